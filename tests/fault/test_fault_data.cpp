// Fault runs of the installed data: the real program, installed into a temporary prefix whose
// data directory lacks or holds broken files, started under the test's own X server. A program
// that cannot build its main window must say so and end, never run on without a window; one
// that only lacks pictures, icons, catalogues or the about window must still come up.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <glib.h>

namespace fs = std::filesystem;

namespace {

struct run_result {
    bool ended = false;    // by itself, before the hang guard
    int status = -1;       // exit status when it ended
    bool window = false;   // its main window came up
    std::string errors;    // what it wrote to standard error
};

class DataFault : public ::testing::Test {
protected:
    fs::path prefix;

    void SetUp() override
    {
        gchar *dir = g_dir_make_tmp("zevrin-data-XXXXXX", nullptr);
        prefix = dir;
        g_free(dir);
        // An installation: the program in PREFIX/bin finds its data in PREFIX/share/zevrin.
        fs::create_directories(prefix / "bin");
        fs::create_directories(prefix / "share");
        fs::copy_file(fs::path(g_getenv("ZEVRIN_BUILD_ROOT")) / "zevrin", prefix / "bin" / "zevrin");
        fs::copy(fs::path(g_getenv("ZEVRIN_SOURCE_ROOT")) / "data", data(), fs::copy_options::recursive);
        for (const char *d : {"home/config", "home/runtime"})
            fs::create_directories(prefix / d);
        fs::permissions(prefix / "home/runtime", fs::perms::owner_all);
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(prefix, ignored);
    }

    fs::path data() const { return prefix / "share" / "zevrin"; }

    // Starts the program, looks for its window, and ends it if it is still running then.
    run_result run()
    {
        run_result r;
        const std::string errors_file = (prefix / "errors.txt").string();
        const std::string home = (prefix / "home").string();
        pid_t pid = fork();
        if (pid == 0) {
            setenv("HOME", home.c_str(), 1);
            setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
            setenv("XDG_RUNTIME_DIR", (home + "/runtime").c_str(), 1);
            if (!freopen(errors_file.c_str(), "w", stderr) || chdir(home.c_str()) != 0)
                _exit(126);
            const std::string exe = (prefix / "bin" / "zevrin").string();
            execl(exe.c_str(), exe.c_str(), nullptr);
            _exit(127);
        }
        // The window, if it comes; xdotool waits for it (bounded by timeout, a hang guard).
        gint wait_status = 0;
        gchar *argv[] = {const_cast<gchar *>("timeout"), const_cast<gchar *>("10"), const_cast<gchar *>("xdotool"),
                         const_cast<gchar *>("search"), const_cast<gchar *>("--sync"), const_cast<gchar *>("--onlyvisible"),
                         const_cast<gchar *>("--name"), const_cast<gchar *>("^Zevrin \\(disconnected\\)$"), nullptr};
        // A program that ends by itself ends the wait early: check it first, then look.
        for (int i = 0; i < 100; i++) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                r.ended = true;
                r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!r.ended) {
            g_spawn_sync(nullptr, argv, nullptr, static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL), nullptr, nullptr,
                         nullptr, nullptr, &wait_status, nullptr);
            r.window = g_spawn_check_wait_status(wait_status, nullptr);
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                r.ended = true;
                r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            } else {
                kill(pid, SIGTERM);
                waitpid(pid, &status, 0);
            }
        }
        gchar *text = nullptr;
        if (g_file_get_contents(errors_file.c_str(), &text, nullptr, nullptr))
            r.errors = text;
        g_free(text);
        return r;
    }
};

TEST_F(DataFault, TheCompleteInstallationComesUp)
{
    run_result r = run();
    EXPECT_FALSE(r.ended) << r.errors;
    EXPECT_TRUE(r.window);
}

TEST_F(DataFault, AMissingMainInterfaceFileIsReportedAndTheProgramEnds)
{
    fs::remove(data() / "interface" / "main.glade");
    run_result r = run();
    ASSERT_TRUE(r.ended) << "the program ran on without a window";
    EXPECT_NE(r.status, 0);
    EXPECT_FALSE(r.window);
    EXPECT_NE(r.errors.find("interface/main.glade"), std::string::npos) << r.errors;
}

TEST_F(DataFault, ACorruptMainInterfaceFileNeitherCrashesNorLeavesAnInvisibleProgram)
{
    gchar *text = nullptr;
    gsize length = 0;
    const std::string file = (data() / "interface" / "main.glade").string();
    ASSERT_TRUE(g_file_get_contents(file.c_str(), &text, &length, nullptr));
    ASSERT_TRUE(g_file_set_contents(file.c_str(), text, static_cast<gssize>(length / 3), nullptr));
    g_free(text);
    run_result r = run();
    // Either it built what it could and shows it, or it said what is wrong and ended.
    if (r.ended) {
        EXPECT_EQ(r.status, 1) << r.errors;
        EXPECT_NE(r.errors.find("interface/main.glade"), std::string::npos) << r.errors;
    } else {
        EXPECT_TRUE(r.window);
    }
}

TEST_F(DataFault, MissingPicturesIconsCataloguesAndAboutWindowStillShowTheWindow)
{
    for (const char *gone : {"images", "icons", "locale", "interface/about.glade"})
        fs::remove_all(data() / gone);
    run_result r = run();
    EXPECT_FALSE(r.ended) << r.errors;
    EXPECT_TRUE(r.window);
}

}  // namespace
