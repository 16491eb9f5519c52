// The single-instance guard between real processes: each start is a separate single_probe
// process with private runtime, temporary and home directories.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <glib.h>

#include "tests/scratch_dir.h"

namespace fs = std::filesystem;

static std::string probe_path;

constexpr uid_t nobody = 65534;
const std::string guard_name = "Morvak.Zevrin.Single";

struct probe {
    GPid pid = 0;
    int in = -1;
    FILE *out = nullptr;
    bool reaped = false;
    int status = 0;

    ~probe()
    {
        if (!reaped) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (in >= 0)
            close(in);
        if (out)
            std::fclose(out);
    }

    // The one line it prints about the guard.
    std::string line()
    {
        char buf[4096];
        if (!std::fgets(buf, sizeof buf, out))
            return "(no output)";
        std::string s = buf;
        if (!s.empty() && s.back() == '\n')
            s.pop_back();
        return s;
    }

    void say(const char *text)
    {
        ASSERT_EQ(write(in, text, std::strlen(text)), ssize_t(std::strlen(text)));
    }

    // Its exit code, or 128 + signal.
    int wait()
    {
        if (!reaped) {
            waitpid(pid, &status, 0);
            reaped = true;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    bool running()
    {
        if (reaped)
            return false;
        if (waitpid(pid, &status, WNOHANG) == pid)
            reaped = true;
        return !reaped;
    }
};

class SingleInstance : public testing::Test {
protected:
    void SetUp() override
    {
        root = scratch::make_dir("single-test");
        ASSERT_FALSE(root.empty());
        runtime = root + "/run";
        tmp = root + "/tmp";
        home = root + "/home";
        ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(tmp.c_str(), 01777), 0);
        ASSERT_EQ(chmod(tmp.c_str(), 01777), 0);
        ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
        log = root + "/log";
        user_runtime = root + "/user";
        env = g_get_environ();
        env = g_environ_setenv(env, "XDG_RUNTIME_DIR", runtime.c_str(), TRUE);
        env = g_environ_setenv(env, "TMPDIR", tmp.c_str(), TRUE);
        env = g_environ_setenv(env, "HOME", home.c_str(), TRUE);
        env = g_environ_setenv(env, "XDG_CACHE_HOME", (home + "/.cache").c_str(), TRUE);
    }

    void TearDown() override
    {
        g_strfreev(env);
        scratch::remove_dir(root);
    }

    // With the test's environment, or `start_env`.
    std::unique_ptr<probe> start(std::vector<std::string> args = {}, gchar **start_env = nullptr)
    {
        // The system's runtime directories are never the guard's place in a test.
        std::vector<std::string> all = {probe_path, "--log", log, "--runtime-root", user_runtime};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        auto p = std::make_unique<probe>();
        int out = -1;
        GError *error = nullptr;
        if (!g_spawn_async_with_pipes(nullptr, argv.data(), start_env ? start_env : env,
                                      G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &p->pid,
                                      &p->in, &out, nullptr, &error)) {
            ADD_FAILURE() << error->message;
            g_error_free(error);
            p->reaped = true;
            return p;
        }
        p->out = fdopen(out, "r");
        return p;
    }

    // Starts ten at the same moment; returns the one that holds the guard.
    std::unique_ptr<probe> ten_at_once()
    {
        std::vector<std::unique_ptr<probe>> starts;
        for (int i = 0; i < 10; i++)
            starts.push_back(start({"--wait-go"}));
        for (auto &p : starts)
            p->say("go\n");

        std::unique_ptr<probe> holder;
        int signalled = 0;
        for (auto &p : starts) {
            const std::string line = p->line();
            if (line == socket_in(runtime)) {
                EXPECT_EQ(holder, nullptr) << "a second holder";
                holder = std::move(p);
            } else {
                EXPECT_EQ(line.rfind("signalled ", 0), 0u) << line;
                EXPECT_GE(std::atoi(line.c_str() + 10), 1) << line;
                EXPECT_EQ(p->wait(), 0);
                signalled++;
            }
        }
        EXPECT_EQ(signalled, 9);
        return holder;
    }

    std::vector<std::string> log_lines()
    {
        std::vector<std::string> lines;
        std::ifstream in(log);
        for (std::string l; std::getline(in, l);)
            lines.push_back(l);
        return lines;
    }

    std::string socket_in(const std::string &dir) { return "holder " + dir + "/" + guard_name; }

    static bool is_socket(const std::string &path)
    {
        struct stat st;
        return lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
    }

    // Sends `bytes` to the holder over a connection of our own, as a start would (ending our side
    // for writing if `end`), and returns whether the holder answered.
    bool send_raw(const std::string &bytes, bool end)
    {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, (runtime + "/" + guard_name).c_str(), sizeof addr.sun_path - 1);
        bool answered = false;
        if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
            send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size())) {
            if (end)
                shutdown(fd, SHUT_WR);
            pollfd p = {fd, POLLIN, 0};
            char reply = 0;
            // The bound only keeps a broken guard from hanging the test.
            answered = poll(&p, 1, 20000) == 1 && recv(fd, &reply, 1, 0) == 1;
        }
        close(fd);
        return answered;
    }

    std::string root, runtime, tmp, home, log, user_runtime;
    gchar **env = nullptr;
};

TEST_F(SingleInstance, SecondStartSignalsTheHolderAndEndsWhileItRuns)
{
    auto first = start();
    ASSERT_EQ(first->line(), socket_in(runtime));
    EXPECT_TRUE(is_socket(runtime + "/" + guard_name));

    // The holder's callback has run before the later start's msingle_init returned.
    auto second = start();
    EXPECT_EQ(second->line(), "signalled 1");
    EXPECT_EQ(second->wait(), 0);
    EXPECT_TRUE(first->running());

    auto third = start();
    EXPECT_EQ(third->line(), "signalled 2");
    EXPECT_EQ(third->wait(), 0);

    EXPECT_EQ(log_lines(), (std::vector<std::string>{"callback main", "callback main"}));

    // A clean end frees the name.
    kill(first->pid, SIGTERM);
    EXPECT_EQ(first->wait(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(runtime + "/" + guard_name)));
    auto fourth = start();
    EXPECT_EQ(fourth->line(), socket_in(runtime));
}

TEST_F(SingleInstance, KilledHolderLeavesNothingThatBlocks)
{
    auto first = start();
    ASSERT_EQ(first->line(), socket_in(runtime));
    kill(first->pid, SIGKILL);
    EXPECT_EQ(first->wait(), 128 + SIGKILL);
    EXPECT_TRUE(is_socket(runtime + "/" + guard_name));  // left behind, dead

    auto second = start();
    EXPECT_EQ(second->line(), socket_in(runtime));
    auto third = start();
    EXPECT_EQ(third->line(), "signalled 1");
    EXPECT_EQ(third->wait(), 0);
    EXPECT_TRUE(second->running());
}

TEST_F(SingleInstance, TenStartsAtOnceLeaveOneHolder)
{
    auto holder = ten_at_once();
    ASSERT_NE(holder, nullptr);
    EXPECT_TRUE(holder->running());
    EXPECT_EQ(log_lines(), std::vector<std::string>(9, "callback main"));

    // Again over the socket of a holder that was killed: one of them takes it over.
    kill(holder->pid, SIGKILL);
    holder->wait();
    holder = ten_at_once();
    ASSERT_NE(holder, nullptr);
    EXPECT_TRUE(holder->running());
    EXPECT_EQ(log_lines(), std::vector<std::string>(18, "callback main"));
}

TEST_F(SingleInstance, SignalDuringStartUpIsHandledOnceTheLoopRuns)
{
    auto first = start({"--stuck"});
    ASSERT_EQ(first->line(), socket_in(runtime));

    // The later start is queued at the holder, which takes nobody before its loop runs. Its
    // count, taken when it ends, shows that it waited for the holder's answer.
    auto second = start();
    EXPECT_EQ(first->line(), "pending");
    EXPECT_TRUE(second->running());

    first->say("run\n");
    EXPECT_EQ(second->line(), "signalled 1");
    EXPECT_EQ(second->wait(), 0);
    EXPECT_TRUE(first->running());
}

TEST_F(SingleInstance, HolderThatDiesWhileAStartWaitsHandsOverTheName)
{
    auto first = start({"--stuck"});
    ASSERT_EQ(first->line(), socket_in(runtime));
    auto second = start();
    ASSERT_EQ(first->line(), "pending");  // the later start is waiting on it

    kill(first->pid, SIGKILL);
    first->wait();
    EXPECT_EQ(second->line(), socket_in(runtime));
    auto third = start();
    EXPECT_EQ(third->line(), "signalled 1");
}

TEST_F(SingleInstance, StuckHolderHoldsUpALaterStartOnlyForTheReplyTime)
{
    auto first = start({"--stuck"});
    ASSERT_EQ(first->line(), socket_in(runtime));

    // Gives up waiting, and knows it, but does not start a second instance.
    auto second = start({"--with-items", "--reply-timeout-ms", "200"});
    EXPECT_EQ(second->line(), "unanswered 0");
    EXPECT_EQ(second->wait(), 0);

    // Its signal was not lost: the holder handles it once it runs.
    first->say("run\n");
    auto third = start();
    EXPECT_EQ(third->line().rfind("signalled ", 0), 0u);
    kill(first->pid, SIGTERM);
    EXPECT_EQ(first->wait(), 0);
    EXPECT_EQ(log_lines(), std::vector<std::string>(2, "callback main"));
}

TEST_F(SingleInstance, ALaterStartsItemsReachTheHoldersCallbackInOrder)
{
    auto first = start({"--with-items"});
    ASSERT_EQ(first->line(), socket_in(runtime));

    // A key out of the format is left out by the sender; the others arrive as sent.
    auto second = start({"--with-items", "--item", "startup-id=launcher-1_TIME42", "--item",
                         "file=/tmp/a b", "--item", "Bad_Key=x", "--item", "file=",
                         "--item", "activation-token=tok"});
    EXPECT_EQ(second->line(), "signalled 1");
    // A start with the plain call sends no items.
    auto third = start();
    EXPECT_EQ(third->line(), "signalled 2");
    // Too many to fit into one message: the first ones go, in order, the rest is left out.
    std::vector<std::string> many = {"--with-items"};
    for (int i = 0; i < 400; i++)
        many.insert(many.end(), {"--item", "file=" + std::string(100, char('a' + i % 26))});
    auto fourth = start(many);
    EXPECT_EQ(fourth->line(), "signalled 3");

    const std::vector<std::string> lines = log_lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "callback main startup-id=launcher-1_TIME42 file=/tmp/a b file= "
                        "activation-token=tok");
    EXPECT_EQ(lines[1], "callback main");
    const std::string item = " file=" + std::string(100, 'a');
    EXPECT_EQ(lines[2].rfind("callback main" + item + " file=" + std::string(100, 'b'), 0), 0u);
    EXPECT_GT(lines[2].size(), 100 * item.size());
    EXPECT_LT(lines[2].size(), 16384u);
}

TEST_F(SingleInstance, MessagesOfOtherVersionsAndBrokenOnesStillSignal)
{
    auto holder = start({"--with-items"});
    ASSERT_EQ(holder->line(), socket_in(runtime));
    using namespace std::string_literals;
    // An older start: the signal byte alone, without ending its side.
    EXPECT_TRUE(send_raw("\0"s, false));
    // A later version's format, read to its end.
    EXPECT_TRUE(send_raw("\0002\0whatever it holds\0\0"s, true));
    // A key out of the format, and a message cut short.
    EXPECT_TRUE(send_raw("\0001\0Key\0value\0\0"s, true));
    EXPECT_TRUE(send_raw("\0001\0file\0/cut"s, true));
    // More than the bound.
    EXPECT_TRUE(send_raw("\0001\0file\0"s + std::string(20000, 'x') + "\0\0"s, true));
    // A connection that ends without sending anything is no signal.
    EXPECT_FALSE(send_raw("", true));
    EXPECT_EQ(log_lines(), std::vector<std::string>(5, "callback main"));
}

TEST_F(SingleInstance, AnOlderHolderTakesTheSignalOfANewerStart)
{
    // A holder of an earlier version: reads one byte, answers, closes.
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, (runtime + "/" + guard_name).c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 4), 0);

    auto later = start({"--with-items", "--item", "startup-id=x_TIME1", "--item", "file=/a"});
    const int conn = accept(listener, nullptr, nullptr);
    ASSERT_GE(conn, 0);
    char signal = 1;
    ASSERT_EQ(recv(conn, &signal, 1, 0), 1);
    EXPECT_EQ(signal, 0);
    const char reply = 1;
    ASSERT_EQ(send(conn, &reply, 1, MSG_NOSIGNAL), 1);
    close(conn);
    EXPECT_EQ(later->line(), "signalled 0");
    EXPECT_EQ(later->wait(), 0);
    close(listener);
}

TEST_F(SingleInstance, StartsWithAndWithoutXdgRuntimeDirMeetInTheSessionsRuntimeDirectory)
{
    // The session's runtime directory for our user id, where XDG_RUNTIME_DIR points when set.
    const std::string session = user_runtime + "/" + std::to_string(geteuid());
    ASSERT_TRUE(fs::create_directories(session));
    fs::permissions(session, fs::perms::owner_all);
    gchar **with = g_environ_setenv(g_strdupv(env), "XDG_RUNTIME_DIR", session.c_str(), TRUE);
    gchar **without = g_environ_unsetenv(g_strdupv(env), "XDG_RUNTIME_DIR");

    for (gchar **first_env : {with, without}) {
        auto first = start({}, first_env);
        ASSERT_EQ(first->line(), socket_in(session));
        for (gchar **later_env : {with, without}) {
            auto later = start({}, later_env);
            EXPECT_EQ(later->line().rfind("signalled ", 0), 0u);
            EXPECT_EQ(later->wait(), 0);
        }
        kill(first->pid, SIGTERM);
        EXPECT_EQ(first->wait(), 0);
    }
    EXPECT_EQ(log_lines().size(), 4u);
    g_strfreev(with);
    g_strfreev(without);
}

TEST_F(SingleInstance, AnythingElseInPlaceOfTheSocketIsReplaced)
{
    const std::string place = runtime + "/" + guard_name;
    const std::string outside = root + "/outside";
    std::ofstream(outside) << "keep me";

    // A regular file, a symlink (whose target stays), an empty directory without access.
    std::ofstream(place) << "junk";
    auto a = start();
    EXPECT_EQ(a->line(), socket_in(runtime));
    kill(a->pid, SIGKILL);
    a->wait();

    ASSERT_EQ(unlink(place.c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), place.c_str()), 0);
    auto b = start();
    EXPECT_EQ(b->line(), socket_in(runtime));
    kill(b->pid, SIGKILL);
    b->wait();
    std::string kept;
    std::getline(std::ifstream(outside), kept);
    EXPECT_EQ(kept, "keep me");

    ASSERT_EQ(unlink(place.c_str()), 0);
    ASSERT_EQ(mkdir(place.c_str(), 0), 0);
    auto c = start();
    EXPECT_EQ(c->line(), socket_in(runtime));
    EXPECT_TRUE(is_socket(place));
}

TEST_F(SingleInstance, LockFileInTheWayIsReplaced)
{
    const std::string lock = runtime + "/" + guard_name + ".lock";
    ASSERT_EQ(mkdir(lock.c_str(), 0), 0);
    auto a = start();
    EXPECT_EQ(a->line(), socket_in(runtime));
    kill(a->pid, SIGKILL);
    a->wait();

    ASSERT_EQ(unlink(lock.c_str()), 0);
    ASSERT_EQ(symlink((root + "/elsewhere").c_str(), lock.c_str()), 0);
    auto b = start();
    EXPECT_EQ(b->line(), socket_in(runtime));
    EXPECT_FALSE(fs::exists(root + "/elsewhere"));
    auto c = start();
    EXPECT_EQ(c->line(), "signalled 1");
}

TEST_F(SingleInstance, EntriesOfAnotherUserDoNotStopUs)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make files of another user";
    const std::string place = runtime + "/" + guard_name;

    // A live socket of somebody else that never answers: connecting to it would hang.
    const int foreign = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, place.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(foreign, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(foreign, 16), 0);
    ASSERT_EQ(chown(place.c_str(), nobody, nobody), 0);
    const std::string lock = place + ".lock";
    std::ofstream(lock) << "";
    ASSERT_EQ(chown(lock.c_str(), nobody, nobody), 0);

    auto a = start({"--reply-timeout-ms", "2000"});
    EXPECT_EQ(a->line(), socket_in(runtime));
    struct stat st;
    ASSERT_EQ(lstat(place.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    ASSERT_EQ(lstat(lock.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    auto b = start();
    EXPECT_EQ(b->line(), "signalled 1");
    close(foreign);
}

TEST_F(SingleInstance, UnsafeRuntimeDirectoryIsNotUsed)
{
    const std::string fallback = tmp + "/zevrin-" + std::to_string(geteuid());

    // Open to others: the private directory of our own is used, by every start alike.
    ASSERT_EQ(chmod(runtime.c_str(), 0755), 0);
    auto a = start();
    EXPECT_EQ(a->line(), socket_in(fallback));
    struct stat st;
    ASSERT_EQ(lstat(fallback.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    auto b = start();
    EXPECT_EQ(b->line(), "signalled 1");
    kill(a->pid, SIGTERM);
    EXPECT_EQ(a->wait(), 0);

    // Not set at all.
    env = g_environ_unsetenv(env, "XDG_RUNTIME_DIR");
    auto c = start();
    EXPECT_EQ(c->line(), socket_in(fallback));
    kill(c->pid, SIGTERM);
    EXPECT_EQ(c->wait(), 0);

    // Our own fallback directory, made too open: closed up again and used.
    ASSERT_EQ(chmod(fallback.c_str(), 0777), 0);
    auto d = start();
    EXPECT_EQ(d->line(), socket_in(fallback));
    ASSERT_EQ(lstat(fallback.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(SingleInstance, RuntimeDirectoryTooLongForASocketAddressStillWorks)
{
    std::string deep = runtime;
    while (deep.size() < 120)
        deep += "/a-rather-long-directory-name";
    ASSERT_TRUE(fs::create_directories(deep));
    fs::permissions(deep, fs::perms::owner_all);
    env = g_environ_setenv(env, "XDG_RUNTIME_DIR", deep.c_str(), TRUE);

    auto a = start();
    EXPECT_EQ(a->line(), socket_in(deep));
    EXPECT_TRUE(is_socket(deep + "/" + guard_name));
    auto b = start();
    EXPECT_EQ(b->line(), "signalled 1");
}

TEST_F(SingleInstance, DirectoriesOfAnotherUserAreNotUsed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make files of another user";
    const std::string fallback = tmp + "/zevrin-" + std::to_string(geteuid());
    const std::string cache = home + "/.cache/zevrin";

    // The runtime directory and the temporary name both belong to somebody else.
    ASSERT_EQ(chown(runtime.c_str(), nobody, nobody), 0);
    ASSERT_EQ(mkdir(fallback.c_str(), 0700), 0);
    ASSERT_EQ(chown(fallback.c_str(), nobody, nobody), 0);
    auto a = start();
    EXPECT_EQ(a->line(), socket_in(cache));
    auto b = start();
    EXPECT_EQ(b->line(), "signalled 1");
    kill(a->pid, SIGTERM);
    EXPECT_EQ(a->wait(), 0);

    // A symlink in place of the temporary directory, even to a directory of ours.
    ASSERT_EQ(rmdir(fallback.c_str()), 0);
    const std::string mine = root + "/mine";
    ASSERT_EQ(mkdir(mine.c_str(), 0700), 0);
    ASSERT_EQ(symlink(mine.c_str(), fallback.c_str()), 0);
    auto c = start();
    EXPECT_EQ(c->line(), socket_in(cache));
    EXPECT_TRUE(fs::is_empty(mine));
}

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PATH-OF-single_probe\n", argv[0]);
        return 2;
    }
    probe_path = argv[1];
    signal(SIGPIPE, SIG_IGN);
    return RUN_ALL_TESTS();
}
