// The real program's single-instance behaviour, end to end under an X server of its own:
// a second start presents the running window and ends, handing over its launcher's startup
// notification; a second start whose holder does not answer says so and ends; the guard
// outlives neither a clean quit nor a killed instance.

#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <glib.h>

#include "tests/scratch_dir.h"

namespace fs = std::filesystem;

static std::string zevrin_path;

struct run_result {
    int status = -1;
    std::string out, err;
};

// The startup-notification messages sent to the X server's root window, as a launcher that
// shows a busy cursor until it hears "remove" for its id receives them: each message comes in
// pieces of 20 bytes, the first as _NET_STARTUP_INFO_BEGIN and the rest as _NET_STARTUP_INFO,
// up to a NUL byte.
class startup_messages {
public:
    startup_messages() : display_(XOpenDisplay(nullptr))
    {
        if (!display_)
            return;
        begin_ = XInternAtom(display_, "_NET_STARTUP_INFO_BEGIN", False);
        more_ = XInternAtom(display_, "_NET_STARTUP_INFO", False);
        XSelectInput(display_, DefaultRootWindow(display_), PropertyChangeMask);
        XSync(display_, False);
    }
    ~startup_messages()
    {
        if (display_)
            XCloseDisplay(display_);
    }
    startup_messages(const startup_messages &) = delete;
    startup_messages &operator=(const startup_messages &) = delete;

    // Waits (a bounded time, for a broken program) for a whole message; "" if none comes.
    std::string next()
    {
        std::string message;
        while (display_) {
            if (!XPending(display_)) {
                pollfd p = {ConnectionNumber(display_), POLLIN, 0};
                if (poll(&p, 1, 20000) != 1)
                    return "";
                continue;
            }
            XEvent event;
            XNextEvent(display_, &event);
            if (event.type != ClientMessage || event.xclient.format != 8)
                continue;
            if (event.xclient.message_type == begin_)
                message.clear();
            else if (event.xclient.message_type != more_)
                continue;
            const char *piece = event.xclient.data.b;
            const size_t length = strnlen(piece, 20);
            message.append(piece, length);
            if (length < 20)
                return message;
        }
        return "";
    }

private:
    Display *display_;
    Atom begin_ = None, more_ = None;
};

class SingleInstanceProgram : public testing::Test {
protected:
    void SetUp() override
    {
        const char *source_root = g_getenv("ZEVRIN_SOURCE_ROOT");
        ASSERT_NE(source_root, nullptr);
        root = scratch::make_dir("single-e2e");
        ASSERT_FALSE(root.empty());
        runtime = root + "/run";
        work = root + "/work";  // the program finds its data at ../data from here
        ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(work.c_str(), 0700), 0);
        ASSERT_EQ(mkdir((root + "/home").c_str(), 0700), 0);
        fs::create_directory_symlink(fs::path(source_root) / "data", root + "/data");
        env = g_get_environ();
        env = g_environ_setenv(env, "XDG_RUNTIME_DIR", runtime.c_str(), TRUE);
        env = g_environ_setenv(env, "HOME", (root + "/home").c_str(), TRUE);
        env = g_environ_setenv(env, "XDG_CONFIG_HOME", (root + "/home/.config").c_str(), TRUE);
        env = g_environ_setenv(env, "XDG_CACHE_HOME", (root + "/home/.cache").c_str(), TRUE);
        env = g_environ_setenv(env, "XDG_DATA_HOME", (root + "/home/.local/share").c_str(), TRUE);
        env = g_environ_setenv(env, "TMPDIR", root.c_str(), TRUE);
        env = g_environ_setenv(env, "LANGUAGE", "en", TRUE);
    }

    void TearDown() override
    {
        for (GPid pid : started) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        g_strfreev(env);
        scratch::remove_dir(root);
    }

    // With the test's environment, or `start_env`.
    GPid start_program(gchar **start_env = nullptr)
    {
        std::vector<char *> argv = {zevrin_path.data(), nullptr};
        GPid pid = 0;
        GError *error = nullptr;
        if (!g_spawn_async(work.c_str(), argv.data(), start_env ? start_env : env,
                           G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid, &error)) {
            ADD_FAILURE() << error->message;
            g_error_free(error);
            return 0;
        }
        started.push_back(pid);
        return pid;
    }

    run_result run(std::vector<std::string> args)
    {
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        run_result r;
        gchar *out = nullptr;
        gchar *err = nullptr;
        GError *error = nullptr;
        if (!g_spawn_sync(work.c_str(), argv.data(), env, G_SPAWN_SEARCH_PATH, nullptr, nullptr,
                          &out, &err, &r.status, &error)) {
            ADD_FAILURE() << error->message;
            g_error_free(error);
            return r;
        }
        r.out = out ? out : "";
        r.err = err ? err : "";
        g_free(out);
        g_free(err);
        return r;
    }

    // The visible windows of a process, waiting (a bounded time) until there is one.
    std::string wait_for_window(GPid pid)
    {
        run_result r = run({"timeout", "20", "xdotool", "search", "--sync", "--onlyvisible",
                            "--pid", std::to_string(pid)});
        EXPECT_EQ(r.status, 0) << "no window of process " << pid;
        return r.out.substr(0, r.out.find('\n'));
    }

    std::vector<std::string> visible_windows()
    {
        run_result r = run({"xdotool", "search", "--onlyvisible", "--name", "Zevrin"});
        std::vector<std::string> ids;
        gchar **lines = g_strsplit(r.out.c_str(), "\n", -1);
        for (gchar **l = lines; *l; l++)
            if (**l)
                ids.push_back(*l);
        g_strfreev(lines);
        return ids;
    }

    static bool running(GPid pid) { return waitpid(pid, nullptr, WNOHANG) == 0; }

    // Exit code of a process, or 128 + signal.
    int wait_exit(GPid pid)
    {
        int status = 0;
        waitpid(pid, &status, 0);
        std::erase(started, pid);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string root, runtime, work;
    gchar **env = nullptr;
    std::vector<GPid> started;
};

TEST_F(SingleInstanceProgram, SecondStartPresentsTheRunningWindowAndEnds)
{
    const GPid first = start_program();
    const std::string window = wait_for_window(first);
    ASSERT_FALSE(window.empty());
    EXPECT_TRUE(fs::is_socket(runtime + "/Morvak.Zevrin.Single"));

    // Take the window off the screen, so that its coming back shows it was presented.
    EXPECT_EQ(run({"xdotool", "windowunmap", "--sync", window}).status, 0);
    EXPECT_TRUE(visible_windows().empty());

    const GPid second = start_program();
    EXPECT_EQ(wait_exit(second), 0);
    EXPECT_TRUE(running(first));
    EXPECT_EQ(wait_for_window(first), window);
    EXPECT_EQ(visible_windows(), std::vector<std::string>{window});  // and none of its own

    // Quit: the name is free again and the next start runs.
    EXPECT_EQ(run({"xdotool", "windowfocus", "--sync", window}).status, 0);
    EXPECT_EQ(run({"xdotool", "key", "ctrl+q"}).status, 0);
    EXPECT_EQ(wait_exit(first), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(runtime + "/Morvak.Zevrin.Single")));
    const GPid third = start_program();
    EXPECT_FALSE(wait_for_window(third).empty());
}

TEST_F(SingleInstanceProgram, SecondStartFromALauncherHandsOverItsStartupNotification)
{
    // As a launcher starts the program: with a startup-notification id that carries the launch
    // time. The first start's own notification ends when its window is shown.
    startup_messages messages;
    gchar **launched = g_environ_setenv(g_strdupv(env), "DESKTOP_STARTUP_ID",
                                        "launcher-6_TIME100", TRUE);
    const GPid first = start_program(launched);
    const std::string window = wait_for_window(first);
    ASSERT_FALSE(window.empty());
    EXPECT_EQ(messages.next(), "remove: ID=\"launcher-6_TIME100\"");

    launched = g_environ_setenv(launched, "DESKTOP_STARTUP_ID", "launcher-7_TIME12345", TRUE);
    const GPid second = start_program(launched);
    g_strfreev(launched);
    EXPECT_EQ(wait_exit(second), 0);

    // The running window was presented with it: it carries the id and the launch time, which
    // its activation request gives the window manager, and the launcher hears that the start
    // is complete, so its busy cursor ends.
    EXPECT_EQ(messages.next(), "remove: ID=\"launcher-7_TIME12345\"");
    EXPECT_EQ(run({"xprop", "-id", window, "_NET_STARTUP_ID"}).out,
              "_NET_STARTUP_ID(UTF8_STRING) = \"launcher-7_TIME12345\"\n");
    EXPECT_EQ(run({"xprop", "-id", window, "_NET_WM_USER_TIME"}).out,
              "_NET_WM_USER_TIME(CARDINAL) = 12345\n");
}

TEST_F(SingleInstanceProgram, SecondStartWhoseHolderDoesNotAnswerSaysSoAndFails)
{
    const GPid first = start_program();
    ASSERT_FALSE(wait_for_window(first).empty());
    kill(first, SIGSTOP);

    // It waits a few seconds, says why nothing happened, and neither runs nor hangs.
    const run_result second = run({zevrin_path});
    kill(first, SIGCONT);
    // What it was started for did not happen: a launcher or a script hears of it.
    EXPECT_NE(second.status, 0);
    EXPECT_NE(second.err.find("zevrin: The Zevrin configurator is already running, but it does "
                              "not answer"),
              std::string::npos)
        << second.err;
    EXPECT_EQ(visible_windows().size(), 1u);
    EXPECT_TRUE(running(first));
}

TEST_F(SingleInstanceProgram, KilledInstanceDoesNotBlockTheNextStart)
{
    const GPid first = start_program();
    ASSERT_FALSE(wait_for_window(first).empty());
    kill(first, SIGKILL);
    EXPECT_EQ(wait_exit(first), 128 + SIGKILL);

    const GPid second = start_program();
    EXPECT_FALSE(wait_for_window(second).empty());
    const GPid third = start_program();
    EXPECT_EQ(wait_exit(third), 0);
    EXPECT_TRUE(running(second));
}

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PATH-OF-zevrin\n", argv[0]);
        return 2;
    }
    zevrin_path = fs::absolute(argv[1]);  // the program runs from another directory
    return RUN_ALL_TESTS();
}
