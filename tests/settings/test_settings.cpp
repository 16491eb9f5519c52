// Data and configuration directories, the settings file and the choice of the interface
// language, each case a real start of the probe in a fresh process with a temporary HOME
// and configuration directory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <glib.h>
#include <random>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "app/paths.h"
#include "settings_test.h"

using namespace settings_test;
namespace fs = std::filesystem;

namespace {

class Start : public ::testing::Test {
protected:
    temp_dir tmp;
    std::string config_home = tmp / "config";
    std::string zevrin_dir = config_home + "/zevrin";
    std::string config = zevrin_dir + "/config";

    void SetUp() override { fs::create_directories(tmp / "home"); }

    // A start from the build directory, as `cd builddir && ./zevrin`.
    probe_result start(std::vector<std::string> env = {}, const std::string &cwd = build_root(),
                       const std::string &exe = "")
    {
        env.push_back("HOME=" + (tmp / "home"));
        env.push_back("XDG_CONFIG_HOME=" + config_home);
        probe_result r = run_probe(env, cwd, exe);
        EXPECT_EQ(r.exit_status, 0) << r.output;
        return r;
    }

    void write_config(const std::string &text)
    {
        fs::create_directories(zevrin_dir);
        write_file(config, text);
    }

    // Nothing but the settings file and the profile directory: no temporary file of an
    // interrupted or failed write is left behind.
    void expect_no_leftovers()
    {
        if (!fs::is_directory(zevrin_dir))
            return;
        for (const auto &entry : fs::directory_iterator(zevrin_dir)) {
            std::string name = entry.path().filename();
            EXPECT_TRUE(name == "config" || name == "profiles") << "left in the directory: " << name;
        }
    }

    void expect_written(const std::string &lang, bool dev)
    {
        auto s = read_settings(config);
        ASSERT_TRUE(s) << "no valid settings file at " << config;
        EXPECT_EQ(s->groups, (std::vector<std::string>{"language", "dev_options"}));
        EXPECT_EQ(s->n_keys, 2u);
        EXPECT_EQ(s->lang, lang);
        EXPECT_EQ(s->show_dev_options, dev);
    }
};

// --- Choice of the language -----------------------------------------------------------------

TEST_F(Start, NoFileAndSpanishPreferenceListChoosesSpanishAndWritesIt)
{
    probe_result r = start({"LANG=es_ES.UTF-8"});  // language names es_ES.UTF-8, es_ES, es.UTF-8, es, C
    EXPECT_EQ(r.value["current_language"], "1");
    EXPECT_EQ(r.value["show_dev_options"], "false");
    EXPECT_EQ(r.config_messages, 1) << r.output;
    expect_written("es", false);
    EXPECT_EQ(r.value["LANG"], "es");
    EXPECT_EQ(r.value["LANGUAGE"], "es");
    EXPECT_EQ(r.value["textdomain"], "zevrin");
    EXPECT_EQ(r.value["text_language"], "Idioma");
}

TEST_F(Start, FirstMatchingNameOfTheLanguageVariableWinsWhateverItsCase)
{
    probe_result r = start({"LANGUAGE=de_AT:IT:fr", "LANG=de_AT.UTF-8"});
    EXPECT_EQ(r.value["current_language"], "3");
    expect_written("it", false);
}

TEST_F(Start, OnlyGermanPreferredChoosesEnglishAndWritesIt)
{
    probe_result r = start({"LANG=de_DE"});
    EXPECT_EQ(r.value["current_language"], "0");
    expect_written("en", false);
    EXPECT_EQ(r.value["LANGUAGE"], "en");
    EXPECT_EQ(r.value["text_language"], "Language");
}

TEST_F(Start, UpperCaseCodeInTheFileMeansEnglishAndTheFileIsLeftAlone)
{
    const std::string text = "[language]\nlang=ES\n";
    write_config(text);
    auto before = identity(config);
    probe_result r = start({"LANG=es_ES.UTF-8"});
    EXPECT_EQ(r.value["current_language"], "0");
    EXPECT_EQ(r.config_messages, 0);
    EXPECT_EQ(identity(config), before);
    EXPECT_EQ(read_file(config), text);
}

TEST_F(Start, UnknownCodeInTheFileMeansEnglishAndTheFileIsLeftAlone)
{
    write_config("# mine\n[language]\nlang=de\n[dev_options]\nshow_dev_options=true\n");
    auto before = identity(config);
    probe_result r = start({"LANG=fr_FR.UTF-8"});
    EXPECT_EQ(r.value["current_language"], "0");
    EXPECT_EQ(r.value["show_dev_options"], "true");
    EXPECT_EQ(identity(config), before);
}

TEST_F(Start, EmptyLanguageInTheFileComesFromTheSystemAndIsWritten)
{
    write_config("[language]\nlang=\n[dev_options]\nshow_dev_options=true\n");
    probe_result r = start({"LANG=fr_FR.UTF-8"});
    EXPECT_EQ(r.value["current_language"], "2");
    EXPECT_EQ(r.config_messages, 0);
    expect_written("fr", true);
}

TEST_F(Start, FileWithoutLanguageGroupKeepsItsDeveloperOptionAndGetsTheSystemLanguage)
{
    write_config("[dev_options]\nshow_dev_options=true\n");
    probe_result r = start({"LC_ALL=pt_BR.UTF-8"});
    EXPECT_EQ(r.value["current_language"], "4");
    expect_written("pt", true);
}

TEST_F(Start, FrenchWithoutDeveloperGroupIsFrenchWithOptionsOffAndNotRewritten)
{
    write_config("[language]\nlang=fr\n");
    auto before = identity(config);
    probe_result r = start({"LANG=es_ES.UTF-8"});
    EXPECT_EQ(r.value["current_language"], "2");
    EXPECT_EQ(r.value["show_dev_options"], "false");
    EXPECT_EQ(r.config_messages, 0);
    EXPECT_EQ(identity(config), before);
    EXPECT_EQ(r.value["LANG"], "fr");
    EXPECT_EQ(r.value["text_language"], "Langue");
}

TEST_F(Start, DeveloperOptionIsTakenOnlyWhenItIsABoolean)
{
    write_config("[language]\nlang=ca\n[dev_options]\nshow_dev_options=true\n");
    EXPECT_EQ(start().value["show_dev_options"], "true");
    write_config("[language]\nlang=ca\n[dev_options]\nshow_dev_options=yes please\n");
    probe_result r = start();
    EXPECT_EQ(r.value["show_dev_options"], "false");
    EXPECT_EQ(r.value["current_language"], "5");
}

// --- Translations -----------------------------------------------------------------------------

// glibc ignores LANGUAGE while the messages locale is "C"; a bare code like "eu" is no
// installed locale, so the chosen language must still come through with no locale at all.
TEST_F(Start, ChosenLanguageIsShownWithoutAnyInstalledLocale)
{
    write_config("[language]\nlang=es\n");
    probe_result r = start({});  // no LANG, LC_ALL, LANGUAGE: the "C" locale
    EXPECT_EQ(r.value["text_language"], "Idioma");
    EXPECT_EQ(r.value["lc_messages"], "C.UTF-8");
}

TEST_F(Start, EnglishInTheFileWinsOverTheUsersLanguageVariable)
{
    write_config("[language]\nlang=en\n");
    probe_result r = start({"LANGUAGE=es", "LANG=es_ES.UTF-8"});
    EXPECT_EQ(r.value["LANGUAGE"], "en");
    EXPECT_EQ(r.value["text_language"], "Language");
}

TEST_F(Start, EveryLanguageHasItsOwnRestartMessage)
{
    const char *english = "You need to restart the application to apply this change";
    std::set<std::string> seen;
    for (const char *code : {"es", "fr", "it", "pt", "ca", "eu"}) {
        write_config(std::string("[language]\nlang=") + code + "\n");
        probe_result r = start({"LANG=C.UTF-8"});
        EXPECT_NE(r.value["text_restart"], english) << code;
        EXPECT_NE(r.value["text_language"], "Language") << code;
        seen.insert(r.value["text_restart"]);
    }
    EXPECT_EQ(seen.size(), 6u);
}

// --- Directories ------------------------------------------------------------------------------

TEST_F(Start, FromTheBuildTreeDataAndCataloguesAreRelativeToTheCurrentDirectory)
{
    probe_result r = start({"LANG=C.UTF-8"});
    EXPECT_EQ(r.value["data_dir"], "../data/");
    EXPECT_EQ(r.value["data_file"], "../data/interface/main.glade");
    EXPECT_EQ(r.value["data_file_slash"], "../data/interface/main.glade");
    EXPECT_EQ(r.value["locale_dir"], "locale/");
}

TEST_F(Start, InstalledProgramUsesPrefixShareZevrinAndItsCatalogues)
{
    const std::string prefix = tmp / "prefix";
    const std::string data = prefix + "/share/zevrin";
    fs::create_directories(prefix + "/bin");
    fs::create_directories(data + "/locale/es/LC_MESSAGES");
    fs::copy_file(probe_path(), prefix + "/bin/zevrin");
    fs::copy_file(build_root() + "/locale/es/LC_MESSAGES/zevrin.mo", data + "/locale/es/LC_MESSAGES/zevrin.mo");
    write_config("[language]\nlang=es\n");

    // Started from elsewhere, where no "locale/" folder exists.
    probe_result r = start({"LANG=C.UTF-8"}, tmp.path, prefix + "/bin/zevrin");
    EXPECT_EQ(r.value["data_dir"], data);
    EXPECT_EQ(r.value["data_file"], data + "/interface/main.glade");
    EXPECT_EQ(r.value["data_file_slash"], data + "/interface/main.glade");
    EXPECT_EQ(r.value["locale_dir"], data + "/locale/");
    EXPECT_EQ(r.value["text_language"], "Idioma");
}

TEST_F(Start, ProgramOutsideABinDirectoryLooksBesideItself)
{
    const std::string app = tmp / "app";
    fs::create_directories(app + "/share/zevrin");
    fs::copy_file(probe_path(), app + "/zevrin");
    probe_result r = start({}, tmp.path, app + "/zevrin");
    EXPECT_EQ(r.value["data_dir"], app + "/share/zevrin");
}

TEST_F(Start, PlainFileNamedZevrinIsNotTheDataDirectory)
{
    const std::string prefix = tmp / "prefix";
    fs::create_directories(prefix + "/bin");
    fs::create_directories(prefix + "/share");
    write_file(prefix + "/share/zevrin", "not a directory\n");
    fs::copy_file(probe_path(), prefix + "/bin/zevrin");
    probe_result r = start({}, tmp.path, prefix + "/bin/zevrin");
    EXPECT_EQ(r.value["data_dir"], "../data/");
    EXPECT_EQ(r.value["locale_dir"], "locale/");
}

TEST_F(Start, ConfigurationFileNameHasOneSeparatorAtEachJoint)
{
    config_home += "/";  // a trailing separator in the variable
    probe_result r = start();
    EXPECT_EQ(r.value["config_file"], tmp / "config/zevrin/config");
}

TEST_F(Start, FirstRunCreatesProfilesAndSettingsAndASecondRunTouchesNothing)
{
    ASSERT_FALSE(fs::exists(config_home));
    probe_result first = start({"LANG=eu_ES.UTF-8"});
    EXPECT_TRUE(fs::is_directory(zevrin_dir + "/profiles"));
    expect_written("eu", false);
    EXPECT_EQ(first.config_messages, 1);

    struct stat profiles_before, dir_before;
    ASSERT_EQ(stat((zevrin_dir + "/profiles").c_str(), &profiles_before), 0);
    ASSERT_EQ(stat(zevrin_dir.c_str(), &dir_before), 0);
    auto config_before = identity(config);
    std::string text_before = read_file(config);

    probe_result second = start({"LANG=fr_FR.UTF-8"});
    EXPECT_EQ(second.value["current_language"], "6");
    EXPECT_EQ(second.config_messages, 0);
    struct stat profiles_after, dir_after;
    ASSERT_EQ(stat((zevrin_dir + "/profiles").c_str(), &profiles_after), 0);
    ASSERT_EQ(stat(zevrin_dir.c_str(), &dir_after), 0);
    EXPECT_EQ(profiles_after.st_ino, profiles_before.st_ino);
    EXPECT_EQ(profiles_after.st_mtim.tv_nsec, profiles_before.st_mtim.tv_nsec);
    EXPECT_EQ(dir_after.st_mtim.tv_sec, dir_before.st_mtim.tv_sec);
    EXPECT_EQ(dir_after.st_mtim.tv_nsec, dir_before.st_mtim.tv_nsec);
    EXPECT_EQ(identity(config), config_before);
    EXPECT_EQ(read_file(config), text_before);
}

// --- Bad settings files -----------------------------------------------------------------------

TEST_F(Start, EmptyFileLoadsAsNoSettingsAndIsRewritten)
{
    write_config("");
    probe_result r = start({"LANG=it_IT.UTF-8"});
    EXPECT_EQ(r.value["current_language"], "3");
    EXPECT_EQ(r.config_messages, 0);
    expect_written("it", false);
    expect_no_leftovers();
}

// A file that cannot be read may hold the user's choices: it is left as it is, and the program
// runs on the language of the system.
TEST_F(Start, BinaryGarbageIsLoggedOnceAndLeftAsItIs)
{
    std::mt19937 random(4);
    std::string garbage(3000, '\0');
    for (char &c : garbage)
        c = static_cast<char>(random());
    write_config("[language]\nlang=fr\n" + garbage);
    const auto before = identity(config);
    probe_result r = start({"LANG=ca_ES.UTF-8"});
    EXPECT_EQ(r.config_messages, 1) << r.output;
    EXPECT_EQ(r.value["current_language"], "5");
    EXPECT_EQ(identity(config), before);
    EXPECT_EQ(read_file(config), "[language]\nlang=fr\n" + garbage);
    expect_no_leftovers();
}

TEST_F(Start, LanguageValueThatIsNotUtf8ComesFromTheSystem)
{
    write_config("[language]\nlang=\xff\xfe\n");
    probe_result r = start({"LANG=pt_PT.UTF-8"});
    // The file itself loads (GLib checks the encoding of a value only when it is read as a
    // string), so nothing is logged: the value just counts as missing.
    EXPECT_EQ(r.config_messages, 0) << r.output;
    EXPECT_EQ(r.value["current_language"], "4");
    expect_written("pt", false);
}

TEST_F(Start, HugeFileIsNotReadAndLeftAsItIs)
{
    // Valid, but far beyond what a settings file can be: the language in it is not taken.
    const std::string huge = std::string(200 * 1024, '#') + "\n[language]\nlang=fr\n";
    write_config(huge);
    probe_result r = start({"LANG=it_IT.UTF-8"});
    EXPECT_EQ(r.config_messages, 1) << r.output;
    EXPECT_EQ(r.value["current_language"], "3");
    EXPECT_EQ(read_file(config), huge);

    // A sparse file of 4 GiB: rejected after reading a few kilobytes of it.
    int fd = open(config.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 4LL << 30), 0);
    close(fd);
    r = start({"LANG=it_IT.UTF-8"});
    EXPECT_EQ(r.config_messages, 1) << r.output;
    EXPECT_EQ(fs::file_size(config), 4ULL << 30);
    expect_no_leftovers();
}

TEST_F(Start, SettingsPathThatIsADirectoryIsLoggedAndLeftAsItIs)
{
    fs::create_directories(config + "/inside");
    probe_result r = start({"LANG=es_ES.UTF-8"});
    EXPECT_EQ(r.config_messages, 1) << r.output;
    EXPECT_EQ(r.value["current_language"], "1");
    EXPECT_TRUE(fs::is_directory(config + "/inside"));
    expect_no_leftovers();
}

TEST_F(Start, FifoOrDeviceInPlaceOfTheFileDoesNotHangTheStartAndStays)
{
    fs::create_directories(zevrin_dir);
    ASSERT_EQ(mkfifo(config.c_str(), 0600), 0);
    probe_result r = start({"LANG=fr_FR.UTF-8"});
    EXPECT_EQ(r.config_messages, 1) << r.output;
    EXPECT_EQ(r.value["current_language"], "2");
    EXPECT_TRUE(fs::is_fifo(config));

    fs::remove(config);
    fs::create_symlink("/dev/zero", config);  // endless
    r = start({"LANG=fr_FR.UTF-8"});
    EXPECT_EQ(r.config_messages, 1) << r.output;
    EXPECT_TRUE(fs::is_symlink(config));
    EXPECT_EQ(fs::read_symlink(config), "/dev/zero");
    expect_no_leftovers();
}

// A settings file kept elsewhere (with the user's other dotfiles) and linked in its place is
// read and written through the link, which stays.
TEST_F(Start, SymlinkedFileIsWrittenThroughItsLink)
{
    fs::create_directories(zevrin_dir);
    fs::create_directories(tmp / "dotfiles");
    const std::string target = tmp / "dotfiles/zevrin.conf";
    fs::create_symlink("../../dotfiles/zevrin.conf", config);  // relative, and not there yet
    probe_result r = start({"LANG=es_ES.UTF-8"});
    EXPECT_EQ(r.value["current_language"], "1");
    EXPECT_TRUE(fs::is_symlink(config));
    auto s = read_settings(target);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->lang, "es");

    write_file(target, "[language]\nlang=eu\n");
    r = start({"LANG=es_ES.UTF-8"});
    EXPECT_EQ(r.value["current_language"], "6");
    EXPECT_EQ(r.config_messages, 0);
    EXPECT_TRUE(fs::is_symlink(config));
}

TEST_F(Start, ConfigurationDirectoryThatCannotBeCreatedStillStarts)
{
    write_file(tmp / "plain", "a file where a directory should be\n");
    config_home = tmp / "plain/config";
    probe_result r = start({"LANG=eu_ES.UTF-8"});
    EXPECT_EQ(r.config_messages, 1) << r.output;
    EXPECT_EQ(r.value["current_language"], "6");
    EXPECT_NE(r.value["text_language"], "Language");
    EXPECT_EQ(read_file(tmp / "plain"), "a file where a directory should be\n");
}

// Permission bits do not stop root; these two run for ordinary users only.
TEST_F(Start, UnreadableFileIsLoggedAndLeftAsItIs)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads every file";
    write_config("[language]\nlang=fr\n");
    chmod(config.c_str(), 0);
    probe_result r = start({"LANG=it_IT.UTF-8"});
    EXPECT_EQ(r.config_messages, 1) << r.output;
    EXPECT_EQ(r.value["current_language"], "3");
    chmod(config.c_str(), 0600);
    EXPECT_EQ(read_file(config), "[language]\nlang=fr\n");
}

TEST_F(Start, ReadOnlyConfigurationDirectoryKeepsTheOldFileWhole)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root writes into every directory";
    write_config("[language]\nlang=\n");
    const std::string before = read_file(config);
    chmod(zevrin_dir.c_str(), 0555);
    probe_result r = start({"LANG=it_IT.UTF-8"});
    EXPECT_EQ(r.value["current_language"], "3");
    EXPECT_EQ(read_file(config), before);
    expect_no_leftovers();
}

// --- Environment ------------------------------------------------------------------------------

TEST(SetEnvVar, LongNamesAndValuesArriveWhole)
{
    std::string name = "ZEVRIN_TEST_" + std::string(4000, 'N');
    std::string value(100000, 'v');
    set_env_var(name.c_str(), value.c_str());
    ASSERT_NE(std::getenv(name.c_str()), nullptr);
    EXPECT_EQ(std::getenv(name.c_str()), value);

    set_env_var(name.c_str(), "Materia-light");
    EXPECT_STREQ(std::getenv(name.c_str()), "Materia-light");
    set_env_var("ZEVRIN_TEST_EMPTY", "");
    EXPECT_STREQ(std::getenv("ZEVRIN_TEST_EMPTY"), "");
}

TEST(SetEnvVar, NamesTheEnvironmentCannotHoldAreIgnored)
{
    set_env_var("ZEVRIN_A=B", "x");
    EXPECT_EQ(std::getenv("ZEVRIN_A"), nullptr);
    set_env_var("", "x");
    set_env_var(nullptr, "x");
    set_env_var("ZEVRIN_TEST_NULL", nullptr);
    EXPECT_EQ(std::getenv("ZEVRIN_TEST_NULL"), nullptr);
}

}  // namespace
