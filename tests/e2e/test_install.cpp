// `meson install` gives a complete desktop application: the build is installed into a
// temporary DESTDIR, and the installed tree is checked as a desktop, a help viewer and a
// software centre would see it, then the installed program is started (on this test's X server) from a
// directory where no source tree is near, in Spanish, and must come up with its installed interface and
// translations; on a desktop without a help viewer, F1 shows the manual's installed web pages.
//
// Run it as: xvfb-wrap.sh test_install MESON BUILD_ROOT SOURCE_ROOT
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <glib.h>

#include "tests/scratch_dir.h"

namespace fs = std::filesystem;

namespace {

std::string meson_path, build_root, source_root;

const std::string app_id = "io.github.morvak.Zevrin";
const std::vector<std::string> languages = {"es", "fr", "it", "pt", "ca", "eu"};

std::string read_file(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct run_result {
    int status = -1;
    std::string out, err;
};

run_result run(const std::vector<std::string> &args, gchar **env = nullptr, const char *cwd = nullptr)
{
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    run_result r;
    gchar *out = nullptr, *err = nullptr;
    GError *error = nullptr;
    if (!g_spawn_sync(cwd, argv.data(), env, G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out, &err, &r.status,
                      &error)) {
        r.err = error->message;
        g_error_free(error);
        return r;
    }
    r.out = out ? out : "";
    r.err = err ? err : "";
    g_free(out);
    g_free(err);
    r.status = WIFEXITED(r.status) ? WEXITSTATUS(r.status) : -1;
    return r;
}

// The translation of `msgid` in a catalogue of the source tree ("" when it has none). The
// translation may be wrapped over several quoted lines.
std::string translation(const std::string &lang, const std::string &msgid)
{
    const std::string po = read_file(fs::path(source_root) / "po" / (lang + ".po"));
    const std::string key = "\nmsgid \"" + msgid + "\"\nmsgstr ";
    size_t at = po.find(key);
    if (at == std::string::npos)
        return "";
    at += key.size();
    std::string text;
    while (at < po.size() && po[at] == '"') {
        const size_t end = po.find("\"\n", at + 1);
        if (end == std::string::npos)
            break;
        text += po.substr(at + 1, end - at - 1);
        at = end + 2;
    }
    return text;
}

class Installed : public testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        destdir = scratch::make_dir("zevrin-install");
        ASSERT_FALSE(destdir.empty());
        const run_result r =
            run({meson_path, "install", "-C", build_root, "--no-rebuild", "--quiet", "--destdir", destdir});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        // The prefix is the build's; under DESTDIR it is wherever bin/zevrin landed.
        for (const auto &e : fs::recursive_directory_iterator(destdir)) {
            if (e.path().filename() == "zevrin" && e.path().parent_path().filename() == "bin")
                prefix = e.path().parent_path().parent_path();
        }
        ASSERT_FALSE(prefix.empty()) << "no bin/zevrin installed";
    }

    static void TearDownTestSuite()
    {
        scratch::remove_dir(destdir);
    }

    static fs::path share()
    {
        return prefix / "share";
    }

    static std::string destdir;
    static fs::path prefix;
};

std::string Installed::destdir;
fs::path Installed::prefix;

TEST_F(Installed, ProgramDataIconsAndUdevRuleAreInPlace)
{
    EXPECT_EQ(access((prefix / "bin" / "zevrin").c_str(), X_OK), 0);
    const fs::path data = share() / "zevrin";
    for (const char *f :
         {"interface/main.glade", "interface/about.glade", "icons/zevrin.ico", "images/zevrin_small.png",
          "images/morvak.png", "images/models/zevrin.png", "images/models/zevrin_hl.png",
          "images/models/zevrin_hl_small.png", "images/models/zevrin_mini.png",
          "images/models/zevrin_mini_hl.png", "images/models/zevrin_mini_hl_small.png"})
        EXPECT_TRUE(fs::is_regular_file(data / f)) << f;
    for (int n = 1; n <= 8; n++)
        EXPECT_TRUE(fs::is_regular_file(data / "images/symbols" / (std::to_string(n) + ".png"))) << n;
    for (const std::string &lang : languages)
        EXPECT_TRUE(fs::is_regular_file(data / "locale" / lang / "LC_MESSAGES/zevrin.mo")) << lang;

    // The icon theme has the application icon at every size the sources have.
    const fs::path source_icons = fs::path(source_root) / "data/icons/hicolor";
    int sizes = 0;
    for (const auto &size : fs::directory_iterator(source_icons)) {
        for (const auto &icon : fs::directory_iterator(size.path() / "apps")) {
            sizes++;
            const fs::path installed =
                share() / "icons/hicolor" / size.path().filename() / "apps" / icon.path().filename();
            EXPECT_TRUE(fs::is_regular_file(installed)) << installed;
            EXPECT_EQ(icon.path().stem(), app_id);
        }
    }
    EXPECT_GE(sizes, 2);

    // The udev rule lands in a rules.d directory, wherever udev keeps it.
    bool rule = false;
    for (const auto &e : fs::recursive_directory_iterator(destdir))
        rule = rule ||
               (e.path().filename() == "70-zevrin.rules" && e.path().parent_path().filename() == "rules.d");
    EXPECT_TRUE(rule);
}

TEST_F(Installed, DesktopEntryAndMetainfoValidateAndShareOneId)
{
    const fs::path desktop = share() / "applications" / (app_id + ".desktop");
    const fs::path metainfo = share() / "metainfo" / (app_id + ".metainfo.xml");
    ASSERT_TRUE(fs::is_regular_file(desktop));
    ASSERT_TRUE(fs::is_regular_file(metainfo));

    run_result r = run({"desktop-file-validate", desktop});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out + r.err, "");
    r = run({"appstreamcli", "validate", "--no-net", metainfo});
    EXPECT_EQ(r.status, 0) << r.out << r.err;

    const std::string entry = read_file(desktop);
    EXPECT_NE(entry.find("\nExec=zevrin %f\n"), std::string::npos);
    EXPECT_NE(entry.find("\nMimeType=application/x-zevrin-configuration;\n"), std::string::npos);
    EXPECT_NE(entry.find("\nIcon=" + app_id + "\n"), std::string::npos);
    const std::string info = read_file(metainfo);
    EXPECT_NE(info.find("<id>" + app_id + "</id>"), std::string::npos);
    EXPECT_NE(info.find("<launchable type=\"desktop-id\">" + app_id + ".desktop</launchable>"),
              std::string::npos);
    // A software centre can suggest the program for either product.
    EXPECT_NE(info.find("<modalias>usb:vEE50p0102d*</modalias>"), std::string::npos);
    EXPECT_NE(info.find("<modalias>usb:vEE50p0103d*</modalias>"), std::string::npos);
    EXPECT_NE(info.find("<binary>zevrin</binary>"), std::string::npos);
}

TEST_F(Installed, DesktopEntryAndMetainfoCarryTheTranslations)
{
    const std::string entry = read_file(share() / "applications" / (app_id + ".desktop"));
    const std::string info = read_file(share() / "metainfo" / (app_id + ".metainfo.xml"));
    for (const std::string &lang : languages) {
        const std::string name = translation(lang, "Zevrin Configurator");
        const std::string comment =
            translation(lang, "Choose what each switch of a Zevrin or Zevrin Mini does");
        ASSERT_FALSE(name.empty()) << lang << " has no translation of the name";
        EXPECT_NE(entry.find("\nName[" + lang + "]=" + name + "\n"), std::string::npos) << lang;
        EXPECT_NE(entry.find("\nComment[" + lang + "]=" + comment + "\n"), std::string::npos) << lang;
        EXPECT_NE(info.find("<name xml:lang=\"" + lang + "\">" + name + "</name>"), std::string::npos)
            << lang;
    }
}

// The type of configuration files is installed for the desktop's MIME database, its name in
// every language, and the database built from it knows *.zevrin files by it.
TEST_F(Installed, ConfigurationFilesHaveTheirTypeInTheMimeDatabase)
{
    const fs::path package = share() / "mime" / "packages" / (app_id + ".xml");
    ASSERT_TRUE(fs::is_regular_file(package));
    const std::string definition = read_file(package);
    EXPECT_NE(definition.find("<glob pattern=\"*.zevrin\"/>"), std::string::npos);
    for (const std::string &lang : languages) {
        const std::string comment = translation(lang, "Zevrin configuration");
        ASSERT_FALSE(comment.empty()) << lang;
        EXPECT_NE(definition.find("<comment xml:lang=\"" + lang + "\">" + comment + "</comment>"),
                  std::string::npos)
            << lang;
    }
    const run_result r = run({"update-mime-database", share() / "mime"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(read_file(share() / "mime" / "globs2").find(":application/x-zevrin-configuration:*.zevrin"),
              std::string::npos);
}

// The user manual lands where help viewers look for help:zevrin, each language complete: every
// page of the English manual, translated, and every picture, in the language's own version
// where it has one; what a help viewer opens is valid and finds its pictures.
TEST_F(Installed, TheManualIsInPlaceInEveryLanguage)
{
    const fs::path help = fs::path(source_root) / "help";
    std::vector<std::string> pages, figures;
    for (const auto &e : fs::directory_iterator(help / "C")) {
        if (e.path().extension() == ".page")
            pages.push_back(e.path().filename());
    }
    for (const auto &e : fs::directory_iterator(help / "C" / "figures"))
        figures.push_back(e.path().filename());
    ASSERT_GE(pages.size(), 10u);
    ASSERT_GE(figures.size(), 1u);

    std::vector<std::string> manual_languages = {"C"};
    manual_languages.insert(manual_languages.end(), languages.begin(), languages.end());
    const fs::path english = share() / "help" / "C" / "zevrin";
    for (const std::string &lang : manual_languages) {
        const fs::path manual = share() / "help" / lang / "zevrin";
        for (const std::string &page : pages) {
            ASSERT_TRUE(fs::is_regular_file(manual / page)) << manual / page;
            if (lang != "C") {
                EXPECT_NE(read_file(manual / page), read_file(english / page))
                    << lang << " " << page << " is not translated";
            }
        }
        for (const std::string &figure : figures) {
            const fs::path own = help / lang / "figures" / figure;
            const fs::path expected = fs::is_regular_file(own) ? own : help / "C" / "figures" / figure;
            EXPECT_EQ(read_file(manual / "figures" / figure), read_file(expected)) << lang << " " << figure;
        }
        for (const char *check : {"validate", "links", "media"}) {
            const run_result r = run({"yelp-check", check, manual});
            EXPECT_EQ(r.status, 0) << lang << ": yelp-check " << check << "\n" << r.out << r.err;
        }
        // The same pages for a browser, with the same pictures, in the same language.
        const fs::path html = share() / "zevrin" / "help-html" / lang;
        for (const std::string &page : pages) {
            const fs::path file = html / (fs::path(page).stem().string() + ".html");
            ASSERT_TRUE(fs::is_regular_file(file)) << file;
            const std::string text = read_file(file);
            if (lang != "C") {
                EXPECT_NE(text.find(" lang=\"" + lang + "\""), std::string::npos) << file;
                EXPECT_NE(text, read_file(share() / "zevrin/help-html/C" / file.filename())) << file << " is not translated";
            }
            // Nothing is fetched from the internet: the styles and scripts are beside the pages.
            EXPECT_EQ(text.find("src=\"http"), std::string::npos) << file;
            EXPECT_EQ(text.substr(0, text.find("<body")).find("href=\"http"), std::string::npos) << file;
        }
        for (const std::string &figure : figures)
            EXPECT_EQ(read_file(html / "figures" / figure), read_file(manual / "figures" / figure)) << lang << " " << figure;
    }
}

TEST_F(Installed, InstalledProgramFindsItsDataAndTranslations)
{
    // A home whose settings choose Spanish, and a working directory with no data beside it.
    const std::string home = destdir + "/home";
    const std::string work = destdir + "/work";
    fs::create_directories(home + "/.config/zevrin");
    fs::create_directories(work);
    fs::create_directories(destdir + "/run");
    fs::permissions(destdir + "/run", fs::perms::owner_all, fs::perm_options::replace);
    {
        std::ofstream settings(home + "/.config/zevrin/config");
        settings << "[language]\nlang=es\n[dev_options]\nshow_dev_options=false\n";
    }
    ASSERT_FALSE(fs::exists(fs::path(work) / "../data"));
    gchar **env = g_get_environ();
    env = g_environ_setenv(env, "HOME", home.c_str(), TRUE);
    env = g_environ_setenv(env, "XDG_CONFIG_HOME", (home + "/.config").c_str(), TRUE);
    env = g_environ_setenv(env, "XDG_RUNTIME_DIR", (destdir + "/run").c_str(), TRUE);
    env = g_environ_unsetenv(env, "ZEVRIN_DEMO");
    // The desktop has the installed manual where help viewers look, but no help viewer: the
    // handlers of help: addresses on this computer are taken off, and a stand-in browser that
    // writes down what it is given takes web pages and addresses.
    const std::string data_home = home + "/.local/share";
    env = g_environ_setenv(env, "XDG_DATA_HOME", data_home.c_str(), TRUE);
    env = g_environ_setenv(env, "XDG_DATA_DIRS", (share().string() + ":/usr/local/share:/usr/share").c_str(), TRUE);
    const std::string opened = destdir + "/opened";
    fs::create_directories(data_home + "/applications");
    {
        std::ofstream browser(destdir + "/browser.sh");
        browser << "#!/bin/sh\nprintf '%s' \"$1\" > '" << opened << ".tmp' && mv '" << opened << ".tmp' '" << opened
                << "'\n";
    }
    fs::permissions(destdir + "/browser.sh", fs::perms::owner_all);
    {
        std::ofstream entry(data_home + "/applications/zevrin-test-browser.desktop");
        entry << "[Desktop Entry]\nType=Application\nName=Browser\nExec=" << destdir
              << "/browser.sh %u\nMimeType=text/html;x-scheme-handler/https;\nNoDisplay=true\n";
    }
    std::string help_viewers;
    for (const char *dir : {"/usr/local/share/applications", "/usr/share/applications"}) {
        std::error_code error;
        for (const auto &e : fs::directory_iterator(dir, error)) {
            GKeyFile *desktop = g_key_file_new();
            if (e.path().extension() == ".desktop" &&
                g_key_file_load_from_file(desktop, e.path().c_str(), G_KEY_FILE_NONE, nullptr)) {
                gchar *types = g_key_file_get_string(desktop, "Desktop Entry", "MimeType", nullptr);
                if (types != nullptr && strstr(types, "x-scheme-handler/help;") != nullptr)
                    help_viewers += e.path().filename().string() + ";";
                g_free(types);
            }
            g_key_file_free(desktop);
        }
    }
    {
        std::ofstream mimeapps(home + "/.config/mimeapps.list");
        mimeapps << "[Default Applications]\ntext/html=zevrin-test-browser.desktop\n"
                 << "x-scheme-handler/https=zevrin-test-browser.desktop\n"
                 << "[Removed Associations]\nx-scheme-handler/help=" << help_viewers << "\n";
    }

    // Checked before the program starts: a failed assertion past the start would leave it running
    // in the directory that is removed at the end.
    const std::string expected = translation("es", "Zevrin (disconnected)");
    ASSERT_FALSE(expected.empty());
    ASSERT_NE(expected, "Zevrin (disconnected)");

    const std::string zevrin = prefix / "bin" / "zevrin";
    std::vector<char *> argv = {const_cast<char *>(zevrin.c_str()), nullptr};
    const std::string err_path = destdir + "/zevrin.err";
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    GPid pid = 0;
    GError *error = nullptr;
    ASSERT_TRUE(g_spawn_async_with_fds(work.c_str(), argv.data(), env, G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                                       nullptr, &pid, -1, -1, err, &error))
        << (error ? error->message : "");
    close(err);

    const run_result window = run(
        {"timeout", "20", "xdotool", "search", "--sync", "--onlyvisible", "--pid", std::to_string(pid)}, env);
    const std::string id = window.out.substr(0, window.out.find('\n'));
    std::string title;
    if (!id.empty()) {
        // The title is set while the window is built and at every refresh; it is the translated
        // no-device title from the start.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        do {
            title = run({"xdotool", "getwindowname", id}, env).out;
            if (!title.empty() && title.back() == '\n')
                title.pop_back();
            if (title == expected)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } while (std::chrono::steady_clock::now() < end);
    }
    // F1 shows the manual's installed web pages in the browser, in the window's language.
    std::string browsed;
    if (title == expected) {
        run({"xdotool", "windowfocus", "--sync", id}, env);
        run({"xdotool", "key", "--clearmodifiers", "F1"}, env);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!fs::exists(opened) && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        browsed = read_file(opened);
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    g_strfreev(env);

    EXPECT_FALSE(id.empty()) << "the installed program showed no window";
    EXPECT_EQ(title, expected);
    // The desktop hands the browser the file of the file:// address.
    const fs::path page = share() / "zevrin/help-html/es/index.html";
    EXPECT_TRUE(browsed == page.string() || browsed == "file://" + page.string()) << browsed;
    // Every widget of the interface files was found: they came from the installed data.
    const std::string errors = read_file(err_path);
    EXPECT_EQ(errors.find("Widget not found"), std::string::npos) << errors;
}

} // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc < 4) {
        fprintf(stderr, "usage: %s MESON BUILD_ROOT SOURCE_ROOT\n", argv[0]);
        return 2;
    }
    meson_path = argv[1];
    build_root = fs::absolute(argv[2]);
    source_root = fs::absolute(argv[3]);
    return RUN_ALL_TESTS();
}
