// A small program around the single-instance guard, started by the tests as separate processes.
//
//   single_probe --log FILE [--wait-go] [--stuck] [--reply-timeout-ms N] [--name NAME]
//                [--runtime-root DIR] [--with-items] [--item KEY=VALUE]...
//
// --wait-go: read a line from standard input before taking the guard (lets a test start many
//   at the same moment).
// --stuck: once holding the guard, read a line from standard input before running the main
//   loop (a holder that is still starting up, or hangs). Meanwhile it prints "pending" once
//   a later start has connected to it, which is then waiting for its answer.
//
// --runtime-root DIR: where the per-user runtime directories are, instead of /run/user.
// --with-items: take the guard with msingle_init_with_items, sending the --item's given; the
//   callback then logs the items it receives.
//
// Prints one line: "holder PATH" when it took the guard (then runs a GLib main loop until
// SIGTERM, takes the guard down and exits 0), or "signalled N" when another process holds it,
// N being the number of callbacks that the log showed when msingle_init returned ("unanswered N"
// when that process did not answer in time).
// Each callback appends "callback main" (or "callback other" when not run on the thread that
// runs the main loop) to the log, followed by " KEY=VALUE" for each item it received.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <glib-unix.h>
#include <glib.h>

#include "single/msingle.h"
#include "single/msingle_linux.h"

static const char *log_path = nullptr;
static GThread *main_thread = nullptr;

static void append_log(const char *line)
{
    const int fd = open(log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    if (write(fd, line, std::strlen(line)) < 0)
        perror("single_probe: log");
    close(fd);
}

static std::string callback_line()
{
    return g_thread_self() == main_thread && g_main_context_is_owner(g_main_context_default())
               ? "callback main"
               : "callback other";
}

static void instance_cb()
{
    append_log((callback_line() + "\n").c_str());
}

static void items_cb(const std::vector<msingle_item> &items)
{
    std::string line = callback_line();
    for (const msingle_item &item : items)
        line += " " + item.key + "=" + item.value;
    append_log((line + "\n").c_str());
}

static int count_callbacks()
{
    gchar *text = nullptr;
    if (!g_file_get_contents(log_path, &text, nullptr, nullptr))
        return 0;
    int n = 0;
    for (const char *p = text; (p = std::strstr(p, "callback")); p++)
        n++;
    g_free(text);
    return n;
}

static void read_stdin_line()
{
    char line[64];
    if (!std::fgets(line, sizeof line, stdin))
        return;
}

// The guard's listening socket: the one Unix socket of this process that takes connections.
static int find_listener()
{
    GDir *dir = g_dir_open("/proc/self/fd", 0, nullptr);
    if (!dir)
        return -1;
    int found = -1;
    while (const char *entry = g_dir_read_name(dir)) {
        const int fd = std::atoi(entry);
        int accepting = 0, domain = 0;
        socklen_t len = sizeof accepting;
        if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len) != 0 || !accepting)
            continue;
        len = sizeof domain;
        if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) == 0 && domain == AF_UNIX)
            found = fd;
    }
    g_dir_close(dir);
    return found;
}

// Reads a line from standard input without running the main loop, so nothing is accepted;
// reports the first connection that queues up on the listening socket meanwhile.
static void stay_stuck()
{
    const int listener = find_listener();
    if (listener < 0)
        std::fprintf(stderr, "single_probe: no listening socket\n");
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {listener, POLLIN, 0}};
    bool reported = false;
    for (;;) {
        const nfds_t n = reported || listener < 0 ? 1 : 2;
        if (poll(fds, n, -1) < 0) {
            if (errno == EINTR)
                continue;
            perror("single_probe: poll");
            return;
        }
        if (n == 2 && (fds[1].revents & POLLIN)) {
            std::printf("pending\n");
            std::fflush(stdout);
            reported = true;
        }
        if (fds[0].revents != 0) {
            read_stdin_line();
            return;
        }
    }
}

static gboolean quit_cb(gpointer loop)
{
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return G_SOURCE_REMOVE;
}

int main(int argc, char **argv)
{
    main_thread = g_thread_self();
    bool wait_go = false, stuck = false, with_items = false;
    std::vector<msingle_item> items;
    const char *name = "Morvak.Zevrin.Single";
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--log" && i + 1 < argc)
            log_path = argv[++i];
        else if (arg == "--name" && i + 1 < argc)
            name = argv[++i];
        else if (arg == "--reply-timeout-ms" && i + 1 < argc)
            msingle_reply_timeout_ms = std::atoi(argv[++i]);
        else if (arg == "--runtime-root" && i + 1 < argc)
            msingle_runtime_root = argv[++i];
        else if (arg == "--with-items")
            with_items = true;
        else if (arg == "--item" && i + 1 < argc) {
            const std::string item = argv[++i];
            const size_t eq = item.find('=');
            const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
            items.push_back({item.substr(0, eq), value});
        } else if (arg == "--wait-go")
            wait_go = true;
        else if (arg == "--stuck")
            stuck = true;
        else {
            std::fprintf(stderr, "single_probe: unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    if (!log_path) {
        std::fprintf(stderr, "single_probe: --log is needed\n");
        return 2;
    }

    // Ready for SIGTERM before anybody can learn that we hold the guard.
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    g_unix_signal_add(SIGTERM, quit_cb, loop);

    if (wait_go)
        read_stdin_line();

    const msingle_result result = with_items ? msingle_init_with_items(name, items, items_cb)
                                             : msingle_result(msingle_init(name, instance_cb));
    if (result != msingle_holding) {
        std::printf("%s %d\n", result == msingle_unanswered ? "unanswered" : "signalled",
                    count_callbacks());
        return 0;
    }
    std::printf("holder %s\n", msingle_socket_path().c_str());
    std::fflush(stdout);

    if (stuck)
        stay_stuck();

    g_main_loop_run(loop);
    g_main_loop_unref(loop);
    msingle_terminate();
    return 0;
}
