// Fault runs of the settings file: missing, corrupt in many ways, not a file at all, and in a
// directory that cannot be written. The loader must always come back (a FIFO must not block
// it), pick a valid language, say once what was wrong, never overwrite what it could not read,
// keep going on the values in memory when it cannot write, and leave no fd open.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>
#include <glib/gstdio.h>

#include "app/paths.h"
#include "app/settings.h"
#include "tests/fault/fault_support.h"

namespace {

std::string config_path()
{
    gchar *p = get_config_file("/config");
    std::string s = p;
    g_free(p);
    return s;
}

void remove_config()
{
    const std::string p = config_path();
    if (g_unlink(p.c_str()) != 0)
        g_rmdir(p.c_str());
}

void write_file(const std::string &path, const std::string &bytes)
{
    ASSERT_TRUE(g_file_set_contents(path.c_str(), bytes.data(), static_cast<gssize>(bytes.size()), nullptr));
}

bool logged_config_message()
{
    for (const std::string &m : logged_messages)
        if (m.rfind("Config file: ", 0) == 0)
            return true;
    return false;
}

// The file as the loader must leave it after choosing from the system (English here).
bool holds_fresh_settings()
{
    GKeyFile *k = g_key_file_new();
    bool ok = g_key_file_load_from_file(k, config_path().c_str(), G_KEY_FILE_NONE, nullptr);
    gchar *lang = ok ? g_key_file_get_string(k, "language", "lang", nullptr) : nullptr;
    GError *error = nullptr;
    gboolean dev = ok ? g_key_file_get_boolean(k, "dev_options", "show_dev_options", &error) : TRUE;
    ok = ok && lang && g_strcmp0(lang, "en") == 0 && !error && !dev;
    g_clear_error(&error);
    g_free(lang);
    g_key_file_free(k);
    return ok;
}

class SettingsFault : public ::testing::Test {
protected:
    int base_fds = 0;

    void SetUp() override
    {
        // The user's preferred languages: none of ours, so English is chosen from the system.
        g_setenv("LANGUAGE", "de_DE", TRUE);
        find_config_dir();
        remove_config();
        current_language = 3;
        show_dev_options = true;
        logged_messages.clear();
        logged_warnings.clear();
        base_fds = open_fds();
    }

    void TearDown() override
    {
        remove_config();
        EXPECT_LE(fds_settled(base_fds), base_fds);  // more would be a leak
        EXPECT_TRUE(logged_warnings.empty()) << logged_warnings.front();
    }

    // Loads what is there now; the loader falls back to the system's language.
    void load_and_expect_fallback()
    {
        current_language = 3;
        show_dev_options = false;
        g_setenv("LANGUAGE", "de_DE", TRUE);
        load_config_file();
        EXPECT_EQ(current_language, 0);
        EXPECT_FALSE(show_dev_options);
    }
};

TEST_F(SettingsFault, AMissingFileIsCreated)
{
    load_and_expect_fallback();
    EXPECT_TRUE(logged_config_message());
    EXPECT_TRUE(holds_fresh_settings());
}

std::string contents_of(const std::string &path)
{
    gchar *text = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(path.c_str(), &text, &length, nullptr))
        return "<unreadable>";
    std::string s(text, length);
    g_free(text);
    return s;
}

// Corrupt contents are left as they are; the first save of a setting moves them aside to a name
// beside the file and writes fresh settings.
TEST_F(SettingsFault, CorruptContentsAreMovedAsideByTheFirstSave)
{
    std::string garbage;
    for (int i = 0; i < 4096; i++)
        garbage += static_cast<char>((i * 131 + 7) & 0xFF);
    const std::string cases[] = {
        garbage,
        "[language\nlang=es\n",
        "[language]\nlang=es\none malformed line\n",
        std::string(1 << 20, '['),  // far larger than any settings file
    };
    const std::string aside = config_path() + ".broken";
    int n = 0;
    for (const std::string &contents : cases) {
        SCOPED_TRACE(n++);
        write_file(config_path(), contents);
        logged_messages.clear();
        load_and_expect_fallback();
        EXPECT_EQ(contents_of(config_path()), contents);

        GError *error = nullptr;
        gchar *moved = nullptr;
        EXPECT_TRUE(update_config_file(&error, &moved));
        EXPECT_EQ(error, nullptr);
        ASSERT_NE(moved, nullptr);
        EXPECT_EQ(std::string(moved), aside);
        EXPECT_EQ(contents_of(aside), contents);
        EXPECT_TRUE(holds_fresh_settings());
        g_free(moved);
        moved = nullptr;
        // Saved once, the file is ours again: no second move.
        EXPECT_TRUE(update_config_file(nullptr, &moved));
        EXPECT_EQ(moved, nullptr);
        g_unlink(aside.c_str());
    }
    // A name already taken beside the file is never overwritten.
    write_file(config_path(), "[broken");
    write_file(aside, "kept");
    load_and_expect_fallback();
    gchar *moved = nullptr;
    EXPECT_TRUE(update_config_file(nullptr, &moved));
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ(std::string(moved), aside + "-2");
    EXPECT_EQ(contents_of(aside), "kept");
    EXPECT_EQ(contents_of(moved), "[broken");
    g_unlink(moved);
    g_unlink(aside.c_str());
    g_free(moved);
}

TEST_F(SettingsFault, APathThatIsNoRegularFileNeitherBlocksNorBreaksTheLoader)
{
    const std::string path = config_path();
    // A FIFO: opening it for reading would wait for a writer forever.
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    logged_messages.clear();
    load_and_expect_fallback();
    EXPECT_TRUE(logged_config_message());
    g_unlink(path.c_str());

    // A symbolic link to nowhere, and one to itself.
    ASSERT_EQ(symlink("/nonexistent/zevrin-config", path.c_str()), 0);
    load_and_expect_fallback();
    g_unlink(path.c_str());
    ASSERT_EQ(symlink(path.c_str(), path.c_str()), 0);
    load_and_expect_fallback();
    g_unlink(path.c_str());

    // A directory: not replaced, not even by a save, and the loader goes on with the values in
    // memory.
    ASSERT_EQ(g_mkdir(path.c_str(), 0700), 0);
    logged_messages.clear();
    load_and_expect_fallback();
    EXPECT_TRUE(logged_config_message());
    GError *error = nullptr;
    EXPECT_FALSE(update_config_file(&error));
    ASSERT_NE(error, nullptr);
    EXPECT_NE(std::string(error->message).find("not a regular file"), std::string::npos) << error->message;
    g_clear_error(&error);
    EXPECT_TRUE(g_file_test(path.c_str(), G_FILE_TEST_IS_DIR));
}

TEST_F(SettingsFault, AnUnwritableDirectoryKeepsTheValuesInMemory)
{
    ASSERT_EQ(chmod(config_dir, 0500), 0);
    set_dac_override(false);
    load_and_expect_fallback();
    EXPECT_TRUE(logged_config_message());
    EXPECT_FALSE(g_file_test(config_path().c_str(), G_FILE_TEST_EXISTS));

    // A change made in the menu cannot be saved either; it is kept for the run, and a later
    // save, once the directory is writable again, stores it.
    current_language = 2;
    show_dev_options = true;
    GError *error = nullptr;
    EXPECT_FALSE(update_config_file(&error));
    EXPECT_NE(error, nullptr);  // what the user is told
    g_clear_error(&error);
    EXPECT_FALSE(g_file_test(config_path().c_str(), G_FILE_TEST_EXISTS));
    set_dac_override(true);
    ASSERT_EQ(chmod(config_dir, 0700), 0);
    EXPECT_EQ(current_language, 2);
    EXPECT_TRUE(update_config_file());
    current_language = 0;
    show_dev_options = false;
    load_config_file();
    EXPECT_EQ(current_language, 2);
    EXPECT_TRUE(show_dev_options);
}

TEST_F(SettingsFault, AConfigurationDirectoryThatCannotExistIsSurvived)
{
    // The user's configuration directory is a plain file: nothing can be created under it.
    const std::string blocked = fault_root() + "/blocked-config";
    write_file(blocked, "not a directory");
    // GLib reads XDG_CONFIG_HOME once per process, so the directory is set as find_config_dir
    // would have set it.
    gchar *saved = config_dir;
    config_dir = g_build_filename(blocked.c_str(), "zevrin", nullptr);
    load_and_expect_fallback();
    EXPECT_TRUE(logged_config_message());
    update_config_file();
    g_free(config_dir);
    config_dir = saved;
    g_unlink(blocked.c_str());
}

TEST_F(SettingsFault, RepeatedFailingLoadsLeakNoDescriptor)
{
    const std::string path = config_path();
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    for (int i = 0; i < 200; i++)
        load_config_file();
    g_unlink(path.c_str());
    write_file(path, std::string(100000, 'x'));
    for (int i = 0; i < 50; i++) {
        load_config_file();
        write_file(path, std::string(100000, 'x'));
    }
    EXPECT_EQ(open_fds(), base_fds);
}

}  // namespace
