// A small program around the single-instance guard, started by the tests as separate processes.
//
//   single_probe --log FILE [--wait-go] [--stuck] [--reply-timeout-ms N] [--name NAME]
//
// --wait-go: read a line from standard input before taking the guard (lets a test start many
//   at the same moment).
// --stuck: once holding the guard, read a line from standard input before running the main
//   loop (a holder that is still starting up, or hangs).
//
// Prints one line: "holder PATH" when it took the guard (then runs a GLib main loop until
// SIGTERM, takes the guard down and exits 0), or "signalled N" when another process holds it,
// N being the number of callbacks that the log showed when msingle_init returned.
// Each callback appends "callback main" (or "callback other" when not run on the thread that
// runs the main loop) to the log.

#include <fcntl.h>
#include <unistd.h>

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
        read_stdin_line();

    g_main_loop_run(loop);
    g_main_loop_unref(loop);
    msingle_terminate();
    return 0;
}
