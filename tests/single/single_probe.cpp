// A small program around the single-instance guard, started by the tests as separate processes.
//
//   single_probe --log FILE [--wait-go] [--stuck] [--reply-timeout-ms N] [--name NAME]
//
// --wait-go: read a line from standard input before taking the guard (lets a test start many
//   at the same moment).
// --stuck: once holding the guard, read a line from standard input before running the main
//   loop (a holder that is still starting up, or hangs). Meanwhile it prints "pending" once
//   a later start has connected to it, which is then waiting for its answer.
//
// Prints one line: "holder PATH" when it took the guard (then runs a GLib main loop until
// SIGTERM, takes the guard down and exits 0), or "signalled N" when another process holds it,
// N being the number of callbacks that the log showed when msingle_init returned.
// Each callback appends "callback main" (or "callback other" when not run on the thread that
// runs the main loop) to the log.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

static void instance_cb()
{
    append_log(g_thread_self() == main_thread &&
                       g_main_context_is_owner(g_main_context_default())
                   ? "callback main\n"
                   : "callback other\n");
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
    bool wait_go = false, stuck = false;
    const char *name = "Morvak.Zevrin.Single";
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--log" && i + 1 < argc)
            log_path = argv[++i];
        else if (arg == "--name" && i + 1 < argc)
            name = argv[++i];
        else if (arg == "--reply-timeout-ms" && i + 1 < argc)
            msingle_reply_timeout_ms = std::atoi(argv[++i]);
        else if (arg == "--wait-go")
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

    if (!msingle_init(name, instance_cb)) {
        std::printf("signalled %d\n", count_callbacks());
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
