// The command line end to end: the built zevrin run as a process of its own with no display,
// over umockdev virtual boxes that this test plays (tests/fault/played_zevrin.h), its exit
// status, standard output and standard error looked at; and the real window beside it, holding
// a box. Run it under xvfb-wrap.sh (for the window) with umockdev's preload (for the testbed).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <algorithm>
#include <functional>
#include <tuple>
#include <string>
#include <thread>
#include <vector>

#include <glib.h>

#include "device/config.h"
#include "device/config_file.h"
#include "hid/hid_platform.h"
#include "tests/fault/played_zevrin.h"
#include "tests/scratch_dir.h"

namespace {

std::string zevrin_path;
// The user's runtime directory of this process and every program it starts, where the box
// locks are: this process holds a box in one test as a command-line run does.
std::string runtime_dir;

struct outcome {
    int status = -1;
    std::string out, err;
};

// Long enough for a loaded machine; only a broken program waits this long.
constexpr auto deadline = std::chrono::seconds(30);

bool eventually(const std::function<bool()> &done)
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class CommandLine : public testing::Test {
protected:
    UMockdevTestbed *testbed = nullptr;
    std::string root, config_home, work;
    gchar **env = nullptr;
    std::vector<GPid> windows;

    void SetUp() override
    {
        root = scratch::make_dir("zevrin-cli");
        ASSERT_FALSE(root.empty());
        config_home = root + "/config";
        for (const char *d : {"/home", "/config", "/work"})
            ASSERT_EQ(mkdir((root + d).c_str(), 0700), 0);
        // Where the program runs: it finds its data at ../data and its catalogues at locale/,
        // those of the sources and of the build.
        work = root + "/work";
        ASSERT_EQ(symlink((std::string(g_getenv("ZEVRIN_SOURCE_ROOT")) + "/data").c_str(),
                          (root + "/data").c_str()), 0);
        ASSERT_EQ(symlink((std::string(g_getenv("ZEVRIN_BUILD_ROOT")) + "/locale").c_str(),
                          (work + "/locale").c_str()), 0);
        testbed = emulated_testbed_new();
        gchar *testbed_root = umockdev_testbed_get_root_dir(testbed);
        env = g_get_environ();
        env = g_environ_setenv(env, "UMOCKDEV_DIR", testbed_root, TRUE);
        g_free(testbed_root);
        env = g_environ_setenv(env, "LD_PRELOAD", "libumockdev-preload.so.0", TRUE);
        env = g_environ_setenv(env, "HOME", (root + "/home").c_str(), TRUE);
        env = g_environ_setenv(env, "XDG_CONFIG_HOME", config_home.c_str(), TRUE);
        env = g_environ_setenv(env, "XDG_RUNTIME_DIR", runtime_dir.c_str(), TRUE);
        env = g_environ_setenv(env, "LANGUAGE", "en", TRUE);
        env = g_environ_setenv(env, "LANG", "C.UTF-8", TRUE);
        env = g_environ_unsetenv(env, "LC_ALL");
        env = g_environ_unsetenv(env, "ZEVRIN_DEMO");
    }

    void TearDown() override
    {
        for (GPid pid : windows) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        gchar *log = nullptr;
        if (HasFailure() && g_file_get_contents(file("window.log").c_str(), &log, nullptr, nullptr))
            fprintf(stderr, "--- the window's output:\n%s\n", log);
        g_free(log);
        emulated_testbed_free(testbed);
        g_strfreev(env);
        scratch::remove_dir(root);
    }

    // The command line with no display at all; `unprivileged`: without root's right to open
    // any file, so that a node closed to the user is closed to it.
    // `extra` sets (or, with a null value, unsets) variables; with `uid` it runs as that user.
    outcome zevrin(std::vector<std::string> args, bool unprivileged = false,
                   const std::vector<std::pair<const char *, const char *>> &extra = {}, int uid = -1)
    {
        args.insert(args.begin(), zevrin_path);
        if (unprivileged && geteuid() == 0)
            args.insert(args.begin(), {"setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"});
        if (uid >= 0)
            args.insert(args.begin(), {"setpriv", "--reuid=" + std::to_string(uid), "--regid=" + std::to_string(uid),
                                       "--clear-groups", "--"});
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        gchar **child_env = g_environ_unsetenv(g_strdupv(env), "DISPLAY");
        child_env = g_environ_unsetenv(child_env, "WAYLAND_DISPLAY");
        for (const auto &[name, value] : extra)
            child_env = value != nullptr ? g_environ_setenv(child_env, name, value, TRUE)
                                         : g_environ_unsetenv(child_env, name);
        outcome o;
        gchar *out = nullptr, *err = nullptr;
        int wait_status = 0;
        GError *error = nullptr;
        if (!g_spawn_sync(work.c_str(), argv.data(), child_env, G_SPAWN_SEARCH_PATH,
                          nullptr, nullptr, &out, &err, &wait_status, &error)) {
            ADD_FAILURE() << error->message;
            g_error_free(error);
        } else {
            o.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
            o.out = out;
            o.err = err;
        }
        g_free(out);
        g_free(err);
        g_strfreev(child_env);
        return o;
    }

    // The configurator window, on the X server of xvfb-wrap.sh; what it says goes to
    // window.log, shown when the test fails.
    GPid start_window()
    {
        gchar **child_env = g_environ_setenv(g_strdupv(env), "NO_AT_BRIDGE", "1", TRUE);
        char *argv[] = {zevrin_path.data(), nullptr};
        const int log = open(file("window.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        GPid pid = 0;
        GError *error = nullptr;
        if (!g_spawn_async_with_fds(work.c_str(), argv, child_env,
                                    G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid, -1, log, log,
                                    &error)) {
            ADD_FAILURE() << error->message;
            g_error_free(error);
        } else {
            windows.push_back(pid);
        }
        close(log);
        g_strfreev(child_env);
        return pid;
    }

    std::string file(const char *name) const { return root + "/" + name; }

    // A run left going, its standard output and error read as they come.
    struct background {
        GPid pid = 0;
        int out = -1, err = -1;
        bool out_open = true, err_open = true;
        std::string out_text, err_text;
    };
    background start_zevrin(std::vector<std::string> args)
    {
        args.insert(args.begin(), zevrin_path);
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        gchar **child_env = g_environ_unsetenv(g_strdupv(env), "DISPLAY");
        background b;
        GError *error = nullptr;
        if (!g_spawn_async_with_pipes(work.c_str(), argv.data(), child_env, G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                                      nullptr, &b.pid, nullptr, &b.out, &b.err, &error)) {
            ADD_FAILURE() << error->message;
            g_error_free(error);
        }
        g_strfreev(child_env);
        return b;
    }
    // Reads what the run says until standard output holds `lines` lines and standard error
    // holds `err` (or the run ends); false on the hang guard.
    static bool read_until(background &b, size_t lines, const std::string &err = "")
    {
        const auto end = std::chrono::steady_clock::now() + deadline;
        auto done = [&] {
            return static_cast<size_t>(std::count(b.out_text.begin(), b.out_text.end(), '\n')) >= lines &&
                   b.err_text.find(err) != std::string::npos;
        };
        while (!done()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            if (!b.out_open && !b.err_open)
                return done();
            pollfd fds[2] = {{b.out_open ? b.out : -1, POLLIN, 0}, {b.err_open ? b.err : -1, POLLIN, 0}};
            if (poll(fds, 2, 100) <= 0)
                continue;
            for (int i = 0; i < 2; i++) {
                if (fds[i].revents == 0)
                    continue;
                char buffer[512];
                const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0)
                    (i == 0 ? b.out_text : b.err_text).append(buffer, static_cast<size_t>(n));
                else if (n == 0 || errno != EINTR)
                    (i == 0 ? b.out_open : b.err_open) = false;
            }
        }
        return true;
    }
    // Waits for the run to end: its exit status.
    static int wait_for(background &b)
    {
        read_until(b, SIZE_MAX);
        int wait_status = 0;
        waitpid(b.pid, &wait_status, 0);
        close(b.out);
        close(b.err);
        return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    }

    std::string list_line(played_zevrin &box, const char *model, const char *state)
    {
        return std::string(emulated_device_node(box.node)) + "\t" + model + "\t" + state + "\n";
    }
};

int count_entries(const std::string &dir)
{
    int n = 0;
    GDir *d = g_dir_open(dir.c_str(), 0, nullptr);
    while (d != nullptr && g_dir_read_name(d) != nullptr)
        n++;
    if (d != nullptr)
        g_dir_close(d);
    return n;
}

// Each switch's record a box of `played` holds, set apart from the played default.
void give_records(played_zevrin &box, uint8_t seed)
{
    std::lock_guard lock(box.mutex);
    for (size_t i = 0; i < box.records.size(); i++)
        box.records[i] = {static_cast<uint8_t>(i % 3 == 0 ? 2 : 1), static_cast<uint8_t>(seed + i),
                          static_cast<uint8_t>(i % 3 == 1 ? 5 : 0), static_cast<uint8_t>(i % 2)};
    box.settings = {9, 20, 7, 40, 150, seed};
}

// What the file at `path` holds; fails the test when it cannot be read.
config_file_contents read_file(const std::string &path)
{
    config_file_contents c{};
    std::string error;
    EXPECT_TRUE(load_config_file_contents(path.c_str(), c, error)) << error;
    return c;
}

// Whether the box holds `c` for its first `n` switches and its settings, as the reports carry
// them (low 8 bits).
bool box_holds(played_zevrin &box, const configuration &c, int n)
{
    std::lock_guard lock(box.mutex);
    for (int i = 0; i < n; i++) {
        const action_record &a = c.switches[static_cast<size_t>(i)];
        const auto &r = box.records[static_cast<size_t>(i)];
        if (r[0] != (a.kind & 0xFF) || r[1] != (a.code & 0xFF) || r[2] != (a.modifiers & 0xFF) ||
            r[3] != (a.auto_release & 0xFF))
            return false;
    }
    const std::array<int, 6> s = {c.mouse_speed[0], c.mouse_speed[1], c.mouse_speed[2],
                                  c.mouse_stretch[0], c.mouse_stretch[1], c.joy_displacement};
    for (size_t i = 0; i < s.size(); i++)
        if (box.settings[i] != (s[i] & 0xFF))
            return false;
    return true;
}

TEST_F(CommandLine, ListsEachBoxWithItsModelAndState)
{
    EXPECT_EQ(zevrin({"--list"}).status, 2);
    played_zevrin zevrin_box(testbed, zevrin_description());
    played_zevrin mini_box(testbed, zevrin_mini_description());
    const outcome o = zevrin({"--list"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, list_line(zevrin_box, "Zevrin", "ready") + list_line(mini_box, "Zevrin Mini", "ready"));
    ASSERT_EQ(chmod(emulated_device_pty_path(mini_box.node), 0), 0);
    const outcome denied = zevrin({"--list"}, true);
    EXPECT_EQ(denied.out, list_line(zevrin_box, "Zevrin", "ready") +
                              list_line(mini_box, "Zevrin Mini", "no-permission"));
}

// Export from each model, then import the file into a box of that model holding something else:
// the second box ends up with the first one's configuration, as the file says, and the import
// was read back (every read request after the write).
TEST_F(CommandLine, ExportThenImportBetweenTwoBoxesOfEachModelLeavesThemIdentical)
{
    for (const auto &[description, n] : {std::pair{zevrin_description(), 8}, {zevrin_mini_description(), 2}}) {
        played_zevrin from(testbed, description);
        played_zevrin to(testbed, description);
        give_records(from, 0x10);
        give_records(to, 0x30);
        ASSERT_TRUE(from.start());
        ASSERT_TRUE(to.start());
        const std::string path = file("box.zevrin");
        const outcome exported = zevrin({"--export", path, "--device", emulated_device_node(from.node)});
        ASSERT_EQ(exported.status, 0) << exported.err;
        EXPECT_NE(exported.err.find(path), std::string::npos) << exported.err;
        const config_file_contents c = read_file(path);
        EXPECT_EQ(c.model, n == 8 ? 0 : 1);
        EXPECT_TRUE(box_holds(from, c.config, n));
        EXPECT_FALSE(box_holds(to, c.config, n));

        const size_t before = to.received_count();
        const outcome imported = zevrin({"--import=" + path, "--device=" + std::string(emulated_device_node(to.node))});
        ASSERT_EQ(imported.status, 0) << imported.err;
        EXPECT_TRUE(box_holds(to, c.config, n));
        // The box's own read (n + 1 requests), n switch records, the settings, the end of write,
        // then the read-back's n + 1 requests.
        EXPECT_EQ(to.received_count() - before, static_cast<size_t>(3 * n + 4));
        std::lock_guard lock(to.mutex);
        EXPECT_EQ(to.received.back()[1], 0x09);
        EXPECT_EQ(to.received.back()[2], 0x01);
    }
}

// A write that the box does not take, and one that it leaves halfway: each says so, and tells
// where what the box held before is kept and how to write it back, which then puts it back.
TEST_F(CommandLine, AnImportThatIsNotVerifiedOrStopsHalfwaySaysHowToWriteBackWhatTheBoxHeld)
{
    const std::string path = file("box.zevrin");
    {
        played_zevrin box(testbed, zevrin_description());
        box.garble_after_write = true;
        ASSERT_TRUE(box.start());
        ASSERT_EQ(zevrin({"--export", path}).status, 0);
        const outcome o = zevrin({"--import", path});
        EXPECT_EQ(o.status, 7) << o.err;
        EXPECT_NE(o.err.find("could not be verified"), std::string::npos) << o.err;
        EXPECT_NE(o.err.find("zevrin --import '"), std::string::npos) << o.err;
    }

    played_zevrin box(testbed, zevrin_description());
    give_records(box, 0x40);
    const config_file_contents other = read_file(path);
    // The box's read (9 requests) and four switch records, then it is gone.
    box.leave_after = 9 + 4;
    ASSERT_TRUE(box.start());
    const outcome o = zevrin({"--import", path});
    // Stopped while writing, or with every report handed to the node before the box went (the
    // emulated node takes them all at once, where hidraw waits for each): either way the box
    // did not give the configuration back.
    EXPECT_EQ(o.status, 5) << o.err;
    const size_t at = o.err.find("zevrin --import ");
    ASSERT_NE(at, std::string::npos) << o.err;
    const std::string command = o.err.substr(at, o.err.find('\n', at) - at);
    gchar **argv = nullptr;
    ASSERT_TRUE(g_shell_parse_argv(command.c_str(), nullptr, &argv, nullptr)) << command;
    const std::string kept = argv[2];
    g_strfreev(argv);
    const config_file_contents held = read_file(kept);
    EXPECT_TRUE(box_holds(box, held.config, 8) == false);  // it holds a mix now
    EXPECT_FALSE(same_configuration(held.config, other.config, 8));

    // Back again, as the same node: the command given writes back what it held, checked.
    played_zevrin again(testbed, zevrin_description());
    ASSERT_TRUE(again.start());
    const outcome restored =
        zevrin({"--import", kept, "--device", emulated_device_node(again.node)});
    EXPECT_EQ(restored.status, 0) << restored.err;
    EXPECT_TRUE(box_holds(again, held.config, 8));
}

// A box that keeps sending its settings while one switch never answers, and one that sends
// generic events after every answer: the read ends, and standard output holds only what was asked.
TEST_F(CommandLine, AReadEndsWhateverTheBoxKeepsSendingAndItsEventsStayOffStandardOutput)
{
    const std::string path = file("box.zevrin");
    {
        played_zevrin box(testbed, zevrin_description());
        box.silent_switch = 4;
        box.stream_settings_ms = 100;
        ASSERT_TRUE(box.start());
        const outcome o = zevrin({"--export", path});
        EXPECT_EQ(o.status, 5) << o.err;
    }
    played_zevrin box(testbed, zevrin_description());
    box.events = true;
    ASSERT_TRUE(box.start());
    const outcome o = zevrin({"--export", path});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(zevrin({"--list"}).out, list_line(box, "Zevrin", "ready"));
}

TEST_F(CommandLine, EachFailureHasItsExitStatus)
{
    const std::string path = file("box.zevrin");
    // 1: bad usage, and a file that cannot be written. Bad usage never opens the window (there
    // is no display here): it says what is wrong and where help is.
    for (const std::vector<std::string> &bad :
         {std::vector<std::string>{"--frobnicate"}, {"-x"}, {"one.zevrin", "two.zevrin"}, {"--list", "stray"}}) {
        const outcome o = zevrin(bad);
        EXPECT_EQ(o.status, 1) << bad[0];
        EXPECT_NE(o.err.find("Try 'zevrin --help'"), std::string::npos) << bad[0] << ": " << o.err;
    }
    EXPECT_EQ(zevrin({"-h"}).out, zevrin({"--help"}).out);
    EXPECT_EQ(zevrin({"-V"}).out, "zevrin 2.0.1\n");
    EXPECT_NE(zevrin({"-h"}).out.find("zevrin FILE"), std::string::npos);
    EXPECT_EQ(zevrin({"--export"}).status, 1);
    EXPECT_EQ(zevrin({"--export", "--device", "/dev/hidraw0"}).status, 1);
    EXPECT_EQ(zevrin({"--list", "--device", "/dev/hidraw0"}).status, 1);
    EXPECT_EQ(zevrin({"--list", "--print", path}).status, 1);
    // 2: no box, or none at the node named.
    EXPECT_EQ(zevrin({"--export", path}).status, 2);
    played_zevrin box(testbed, zevrin_description());
    ASSERT_TRUE(box.start());
    EXPECT_EQ(zevrin({"--export", path, "--device", "/dev/hidraw9"}).status, 2);
    EXPECT_EQ(zevrin({"--export", file("no-such-dir/box.zevrin")}).status, 1);
    ASSERT_EQ(zevrin({"--export", path}).status, 0);
    // 6: a file that is no configuration, or one for the other model.
    const std::string junk = file("junk.zevrin");
    ASSERT_TRUE(g_file_set_contents(junk.c_str(), "not a configuration\n", -1, nullptr));
    EXPECT_EQ(zevrin({"--import", junk}).status, 6);
    EXPECT_EQ(zevrin({"--print", junk}).status, 6);
    config_file_contents mini = read_file(path);
    mini.model = 1;
    std::string error;
    const std::string mini_path = file("mini.zevrin");
    ASSERT_TRUE(save_config_file_contents(mini_path.c_str(), mini, error)) << error;
    const outcome other_model = zevrin({"--import", mini_path});
    EXPECT_EQ(other_model.status, 6);
    EXPECT_NE(other_model.err.find("Zevrin Mini"), std::string::npos) << other_model.err;
    // 3: two boxes and no --device.
    played_zevrin second(testbed, zevrin_mini_description());
    ASSERT_TRUE(second.start());
    EXPECT_EQ(zevrin({"--export", path}).status, 3);
    // 5: a box that never answers.
    second.unplug();
    box.unplug();
    emulated_device *silent = emulated_device_plug(testbed, zevrin_description());
    EXPECT_EQ(zevrin({"--export", path}).status, 5);
    // 4: a box the user may not open, with the window's advice.
    ASSERT_EQ(chmod(emulated_device_pty_path(silent), 0), 0);
    const outcome denied = zevrin({"--export", path}, true);
    EXPECT_EQ(denied.status, 4);
    EXPECT_NE(denied.err.find("udevadm trigger"), std::string::npos) << denied.err;
    emulated_device_unplug(silent);
}

// While the window holds a box the command line keeps off it (8); once the window has gone it
// may. While another process holds a box, the window does not take it; once it is let go, the
// window takes it and reads it.
TEST_F(CommandLine, OneConversationPerBoxBetweenTheWindowAndTheCommandLine)
{
    played_zevrin box(testbed, zevrin_description());
    ASSERT_TRUE(box.start());
    GPid window = start_window();
    ASSERT_TRUE(eventually([&] { return zevrin({"--list"}).out == list_line(box, "Zevrin", "busy"); }));
    // The window's read: a request for each switch and the settings.
    ASSERT_TRUE(eventually([&] { return box.received_count() >= 9; }));
    const std::string path = file("box.zevrin");
    const size_t talked = box.received_count();
    const outcome refused = zevrin({"--export", path});
    EXPECT_EQ(refused.status, 8) << refused.err;
    EXPECT_NE(refused.err.find("in use by the Zevrin configurator window"), std::string::npos) << refused.err;
    EXPECT_EQ(box.received_count(), talked);
    kill(window, SIGTERM);
    waitpid(window, nullptr, 0);
    windows.clear();
    EXPECT_EQ(zevrin({"--export", path}).status, 0);

    // This process holds the box as a command-line run does, through the same layer: another
    // run is refused and says who holds it.
    const int handle = hid_linux_platform()->open_node(emulated_device_node(box.node), true);
    ASSERT_GE(handle, 0);
    const outcome held = zevrin({"--export", path});
    EXPECT_EQ(held.status, 8) << held.err;
    EXPECT_NE(held.err.find("in use by another zevrin command"), std::string::npos) << held.err;
    const size_t before = box.received_count();
    start_window();
    ASSERT_TRUE(emulated_testbed_wait_for_listener(testbed));
    EXPECT_EQ(zevrin({"--list"}).out, list_line(box, "Zevrin", "busy"));
    EXPECT_EQ(box.received_count(), before);
    hid_linux_platform()->close_node(handle);
    ASSERT_TRUE(eventually([&] { return box.received_count() >= before + 9; }));

    // The window holds it now. A run without XDG_RUNTIME_DIR (sudo -u, su, cron), and one of
    // another user, are refused all the same and send it nothing.
    ASSERT_EQ(chmod(emulated_device_pty_path(box.node), 0666), 0);
    // The testbed, which stands for /sys and /dev here, is open to every user as those are.
    gchar *testbed_root = umockdev_testbed_get_root_dir(testbed);
    for (const auto &entry : std::filesystem::recursive_directory_iterator(testbed_root))
        if (!entry.is_symlink())
            std::filesystem::permissions(entry.path(), std::filesystem::perms::all, std::filesystem::perm_options::add);
    std::filesystem::permissions(testbed_root, std::filesystem::perms::all, std::filesystem::perm_options::add);
    g_free(testbed_root);
    const size_t window_talked = box.received_count();
    for (const bool other_user : {false, true}) {
        std::vector<std::string> args = {"--export", file(other_user ? "other.zevrin" : "no-runtime.zevrin")};
        const outcome o = other_user ? zevrin(args, false, {{"XDG_RUNTIME_DIR", nullptr}}, 65534)
                                     : zevrin(args, false, {{"XDG_RUNTIME_DIR", nullptr}});
        EXPECT_EQ(o.status, 8) << (other_user ? "another user: " : "no runtime directory: ") << o.err;
        EXPECT_NE(o.err.find("in use by the Zevrin configurator window"), std::string::npos) << o.err;
    }
    EXPECT_EQ(box.received_count(), window_talked);
}

// A runtime directory that others can write, with a link planted in it: nothing is made or
// followed there, nor anywhere the link leads, and the box is used as usual.
TEST_F(CommandLine, AWorldWritableRuntimeDirectoryWithAPlantedLinkIsNeverUsed)
{
    played_zevrin box(testbed, zevrin_description());
    ASSERT_TRUE(box.start());
    const std::string shared = file("shared-tmp");
    const std::string elsewhere = file("elsewhere");
    ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), (shared + "/zevrin").c_str()), 0);
    const outcome o = zevrin({"--export", file("box.zevrin")}, false, {{"XDG_RUNTIME_DIR", shared.c_str()}});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(count_entries(elsewhere), 0);
    EXPECT_EQ(count_entries(shared), 1);  // the planted link alone
    struct stat st;
    ASSERT_EQ(lstat(elsewhere.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST_F(CommandLine, PrintsAFileAsAPdfBesideItOrWhereAsked)
{
    played_zevrin box(testbed, zevrin_mini_description());
    ASSERT_TRUE(box.start());
    ASSERT_EQ(zevrin({"--export", file("mini.zevrin")}).status, 0);
    ASSERT_EQ(zevrin({"--print", file("mini.zevrin")}).status, 0);
    ASSERT_EQ(zevrin({"--print", file("mini.zevrin"), "--output", file("page")}).status, 0);
    for (const char *pdf : {"mini.pdf", "page"}) {
        gchar *text = nullptr;
        gsize length = 0;
        ASSERT_TRUE(g_file_get_contents(file(pdf).c_str(), &text, &length, nullptr)) << pdf;
        EXPECT_EQ(std::string(text, std::min<gsize>(length, 5)), "%PDF-");
        g_free(text);
    }
    EXPECT_EQ(zevrin({"--print", file("mini.zevrin"), "--output", file("no-such-dir/page.pdf")}).status, 1);
    // The sheet carries the file's name, or the one given.
    for (const auto &[title, shown] : {std::pair<std::string, std::string>{"", "mini"}, {"Anna's switches", "Anna's switches"}}) {
        std::vector<std::string> args = {"--print", file("mini.zevrin"), "--output", file("named.pdf")};
        if (!title.empty())
            args.insert(args.end(), {"--title", title});
        ASSERT_EQ(zevrin(args).status, 0);
        gchar *text = nullptr;
        const std::string pdf = file("named.pdf");
        const gchar *pdftotext[] = {"pdftotext", pdf.c_str(), "-", nullptr};
        ASSERT_TRUE(g_spawn_sync(nullptr, const_cast<gchar **>(pdftotext), nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                                 nullptr, &text, nullptr, nullptr, nullptr));
        EXPECT_NE(std::string(text).find(shown), std::string::npos) << text;
        g_free(text);
    }
}

// A box with its keyboard, mouse and joystick interfaces, in both layouts: each kind of action
// pressed and released comes out as a line, two switches with the same action together, a
// report that no switch explains left out. The box is only read. SIGTERM ends the test (what
// is held released first), and so does the box leaving; both exit 0.
TEST_F(CommandLine, TestingTheSwitchesPrintsEachPressAndReleaseUntilStoppedOrUnplugged)
{
    for (const bool numbered : {false, true}) {
        SCOPED_TRACE(numbered ? "one interface with report IDs" : "an interface each");
        emulated_composite *composite =
            emulated_composite_plug(testbed, numbered ? zevrin_numbered_composite_description() : zevrin_composite_description());
        played_zevrin box(emulated_composite_interface(composite, 0));
        {
            std::lock_guard lock(box.mutex);
            box.records = {{{1, 0x2C, 0, 0}, {0, 0, 0, 0}, {3, 4, 0, 0}, {2, 1, 0, 0}, {5, 3, 0, 0},
                            {1, 0x04, 1, 0}, {1, 0x04, 1, 0}, {2, 4, 0, 0}}};
        }
        ASSERT_TRUE(box.start());
        background run = start_zevrin({"--test", "--device", emulated_device_node(box.node)});
        ASSERT_TRUE(read_until(run, 0, "Ctrl+C ends the test")) << run.err_text;

        // (interface, report as hidraw hands it over, the line it gives or "").
        auto keys = [&](uint8_t modifiers, uint8_t key) {
            std::vector<unsigned char> r(numbered ? 15 : 8, 0);
            r[0] = numbered ? 1 : modifiers;
            if (numbered) {
                r[1] = modifiers;
                if (key != 0)
                    r[2 + key / 8] = static_cast<unsigned char>(1 << (key % 8));
            } else {
                r[2] = key;
            }
            return r;
        };
        auto other = [&](uint8_t id, std::vector<unsigned char> r) {
            if (numbered)
                r.insert(r.begin(), id);
            return r;
        };
        const size_t keyboard = 1, mouse = numbered ? 1 : 2, joystick = numbered ? 1 : 3;
        const std::vector<std::tuple<size_t, std::vector<unsigned char>, std::string>> steps = {
            {keyboard, keys(0, 0x2C), "1\tpressed\tSpace\n"},
            {keyboard, keys(0, 0), "1\treleased\tSpace\n"},
            {keyboard, keys(0, 0x05), ""},  // B: no switch's
            {keyboard, keys(0, 0), ""},
            {mouse, other(2, {1, 0, 0, 0}), "2\tpressed\tLeft click\n"},
            {mouse, other(2, {0, 0, 0, 0}), "2\treleased\tLeft click\n"},
            // A movement is released once its reports stop.
            {mouse, other(2, {0, 0, 0xF6, 0}), "3\tpressed\tMove up\n3\treleased\tMove up\n"},
            {joystick, other(3, {0, 0, 0x0F, 0x02}), "4\tpressed\tJoystick button 2\n"},
            {joystick, other(3, {0, 0, 0x0F, 0}), "4\treleased\tJoystick button 2\n"},
            {0, {0x64, 3, 0, 0, 0, 0, 0, 0}, "5\tpressed\tEvent 3\n"},
            {0, {0x64, 3, 1, 0, 0, 0, 0, 0}, "5\treleased\tEvent 3\n"},
            {keyboard, keys(0x01, 0x04), "6,7\tpressed\tControl+A\n"},
            {keyboard, keys(0, 0), "6,7\treleased\tControl+A\n"},
            {joystick, other(3, {0, 0, 0x0F, 0x10}), "8\tpressed\tJoystick button 5\n"},
        };
        std::string expected;
        for (const auto &[interface, report, line] : steps) {
            emulated_device_send(emulated_composite_interface(composite, interface), report.data(), report.size());
            expected += line;
            // One report at a time: the emulated node keeps no report boundaries.
            if (!line.empty()) {
                ASSERT_TRUE(read_until(run, static_cast<size_t>(std::count(expected.begin(), expected.end(), '\n'))))
                    << run.out_text << run.err_text;
            }
        }
        EXPECT_EQ(run.out_text, expected);
        if (numbered) {
            kill(run.pid, SIGTERM);
            EXPECT_EQ(wait_for(run), 0) << run.err_text;
            EXPECT_EQ(run.out_text, expected + "8\treleased\tJoystick button 5\n");
        } else {
            box.unplug();
            emulated_composite_unplug(composite);
            composite = nullptr;
            EXPECT_EQ(wait_for(run), 0) << run.err_text;
            EXPECT_NE(run.err_text.find("unplugged"), std::string::npos) << run.err_text;
        }
        // Only the read's requests reached the box: nothing was written to it.
        {
            std::lock_guard lock(box.mutex);
            EXPECT_EQ(box.received.size(), 9u);
            for (const report9 &r : box.received)
                EXPECT_EQ(r[1], 0x09);
        }
        box.unplug();
        if (composite != nullptr)
            emulated_composite_unplug(composite);
    }
    // A box that cannot be used has the usual statuses.
    EXPECT_EQ(zevrin({"--test"}).status, 2);
    EXPECT_EQ(zevrin({"--test", "--device", "/dev/hidraw9"}).status, 2);
    EXPECT_EQ(zevrin({"--test", "--export", file("box.zevrin")}).status, 1);
    emulated_device *silent = emulated_device_plug(testbed, zevrin_description());
    EXPECT_EQ(zevrin({"--test"}).status, 5);
    emulated_device_unplug(silent);
}

// Messages in the language that the settings file chooses, whatever the environment says; the
// help and the version on standard output.
TEST_F(CommandLine, SpeaksTheLanguageOfTheSettingsFile)
{
    const outcome help = zevrin({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("8  the device is in use by the configurator window or another run"), std::string::npos);
    EXPECT_EQ(zevrin({"--version"}).out, "zevrin 2.0.1\n");
    // A run leaves the settings alone: none is written for the language it found.
    EXPECT_FALSE(g_file_test((config_home + "/zevrin/config").c_str(), G_FILE_TEST_EXISTS));
    ASSERT_EQ(g_mkdir_with_parents((config_home + "/zevrin").c_str(), 0700), 0);
    ASSERT_TRUE(g_file_set_contents((config_home + "/zevrin/config").c_str(), "[language]\nlang=fr\n", -1,
                                    nullptr));
    const outcome o = zevrin({"--export", file("box.zevrin")});
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err, "Aucun périphérique Zevrin n'est connecté.\n");
    EXPECT_NE(zevrin({"--help"}).out.find("8  le périphérique est utilisé par la fenêtre du configurateur"),
              std::string::npos);
}

}  // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        fprintf(stderr, "usage: %s ZEVRIN\n", argv[0]);
        return 2;
    }
    gchar *absolute = g_canonicalize_filename(argv[1], nullptr);
    zevrin_path = absolute;
    g_free(absolute);
    runtime_dir = scratch::make_dir("zevrin-cli-run");
    g_setenv("XDG_RUNTIME_DIR", runtime_dir.c_str(), TRUE);
    return RUN_ALL_TESTS();
}
