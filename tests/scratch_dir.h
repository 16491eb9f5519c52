// Temporary directories of the test programs, gone when the program ends however it ends:
// removed by their owner (scope end, TearDown), else at exit() or the return from main (which
// also covers failed assertions and an exit() deep inside the code under test), else just after
// the program is stopped by SIGTERM, SIGINT or SIGHUP (meson's timeout, Ctrl-C) or ends in
// SIGABRT (a fatal GLib message, a failed g_assert, std::terminate).
//
// Only the process that made a directory removes it: a forked child that ends leaves it alone.
// Whoever starts processes that work in a directory stops them before removing it.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <glib.h>

namespace scratch {

namespace detail {

// The signal handlers read these: fixed storage, a slot's path written while it is taken and
// before it is published as live.
enum slot_state { slot_free, slot_taken, slot_live };
struct slot {
    std::atomic<int> state{slot_free};
    std::array<char, PATH_MAX> path{};
};
inline std::array<slot, 32> slots;
inline std::atomic<pid_t> owner{0};
inline constexpr std::array caught_signals = {SIGTERM, SIGINT, SIGHUP, SIGABRT};
inline std::array<struct sigaction, caught_signals.size()> previous_actions;

// Its writing end is held by this process alone (close-on-exec): a remover started from a
// signal handler reads the other end and sees it close when this process is gone.
inline int end_pipe[2] = {-1, -1};

// Starts a process that removes every registered directory once this one has ended. It runs in
// a signal handler, so only async-signal-safe calls: a bare clone (fork() would run atfork
// handlers and take malloc's locks, which the interrupted code may hold), then execve. Waiting
// for the end keeps the removal away from this process's other threads, which go on running
// while the signal is handled and would trip over files taken away under them.
inline void start_remover()
{
    // sh -c SCRIPT sh DIR... NULL: wait for the pipe's end, open up what a test made
    // read-only, remove.
    const char *argv[4 + slots.size() + 1] = {
        "sh", "-c", "cat >/dev/null; chmod -R u+rwx -- \"$@\" 2>/dev/null; rm -rf -- \"$@\"",
        "sh"};
    size_t n = 4;
    for (slot &s : slots)
        if (s.state.load(std::memory_order_acquire) == slot_live)
            argv[n++] = s.path.data();
    if (n == 4 || end_pipe[0] < 0)
        return;
    argv[n] = nullptr;
    const char *envp[] = {"PATH=/usr/bin:/bin", nullptr};
    if (syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0) == 0) {
        // Out of the process group (meson kills a timed-out test's whole group), off the test's
        // output, and holding nothing of the test open but the pipe.
        setsid();
        dup2(end_pipe[0], 0);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
#ifdef SYS_close_range
        syscall(SYS_close_range, 3, ~0U, 0);
#endif
        execve("/bin/sh", const_cast<char **>(argv), const_cast<char **>(envp));
        _exit(127);
    }
}

inline void on_signal(int sig)
{
    if (getpid() == owner.load())
        start_remover();
    // Whatever handled the signal before (the default, a sanitizer) takes it from here, once
    // this handler returns and the signal is unblocked.
    for (size_t i = 0; i < caught_signals.size(); i++)
        if (caught_signals[i] == sig)
            sigaction(sig, &previous_actions[i], nullptr);
    raise(sig);
}

// Gives back the permissions tests take away, so that everything can be removed.
inline void remove_tree(const std::string &path)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
    const auto options = fs::directory_options::skip_permission_denied;
    for (auto it = fs::recursive_directory_iterator(path, options, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path, ec);
}

inline void remove_all_at_exit()
{
    if (getpid() != owner.load())
        return;
    for (slot &s : slots) {
        if (s.state.load(std::memory_order_acquire) == slot_live) {
            remove_tree(s.path.data());
            s.state.store(slot_free, std::memory_order_release);
        }
    }
}

inline void install_handlers()
{
    static const bool installed = [] {
        owner.store(getpid());
        atexit(remove_all_at_exit);
        if (pipe2(end_pipe, O_CLOEXEC) != 0)
            end_pipe[0] = end_pipe[1] = -1;
        for (size_t i = 0; i < caught_signals.size(); i++) {
            struct sigaction action {};
            action.sa_handler = on_signal;
            sigemptyset(&action.sa_mask);
            sigaction(caught_signals[i], &action, &previous_actions[i]);
            // A signal ignored (SIGHUP under nohup, SIGINT in a background job) does not end
            // the program, so it must not take the directories away either.
            if (previous_actions[i].sa_handler == SIG_IGN)
                sigaction(caught_signals[i], &previous_actions[i], nullptr);
        }
        return true;
    }();
    (void)installed;
}

}  // namespace detail

// Takes an existing directory (one a library made) into the same care as make_dir's: it goes
// away when the program ends, unless remove_dir removes it before.
inline void adopt_dir(const std::string &path)
{
    detail::install_handlers();
    if (path.empty() || path.size() >= PATH_MAX)
        return;
    for (detail::slot &s : detail::slots) {
        int expected = detail::slot_free;
        if (s.state.compare_exchange_strong(expected, detail::slot_taken,
                                            std::memory_order_acq_rel)) {
            std::memcpy(s.path.data(), path.c_str(), path.size() + 1);
            s.state.store(detail::slot_live, std::memory_order_release);
            return;
        }
    }
    // More directories alive at once than any test here makes: removed by their owner only.
}

// Makes a new directory "<prefix>-XXXXXX" in the temporary directory ($TMPDIR, else /tmp) and
// returns its path, "" if it cannot be made. It goes away with everything in it when the
// program ends, unless remove_dir removes it before.
inline std::string make_dir(const char *prefix)
{
    detail::install_handlers();
    gchar *templ = g_strconcat(prefix, "-XXXXXX", nullptr);
    gchar *made = g_dir_make_tmp(templ, nullptr);
    g_free(templ);
    if (made == nullptr)
        return "";
    std::string path = made;
    g_free(made);
    adopt_dir(path);
    return path;
}

// Removes a directory of make_dir or adopt_dir now, with everything in it.
inline void remove_dir(const std::string &path)
{
    if (path.empty())
        return;
    detail::remove_tree(path);
    // Still there (something went on writing in it): it stays registered for the end.
    std::error_code ec;
    if (std::filesystem::exists(path, ec) || ec)
        return;
    for (detail::slot &s : detail::slots) {
        int expected = detail::slot_live;
        if (s.state.load(std::memory_order_acquire) == detail::slot_live && path == s.path.data() &&
            s.state.compare_exchange_strong(expected, detail::slot_free, std::memory_order_acq_rel))
            break;
    }
}

// A directory of make_dir that is removed at the end of its scope.
struct dir {
    std::string path;
    explicit dir(const char *prefix) : path(make_dir(prefix)) {}
    ~dir() { remove_dir(path); }
    dir(const dir &) = delete;
    dir &operator=(const dir &) = delete;
};

}  // namespace scratch
