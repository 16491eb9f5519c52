// The fault runs' main and helpers; see fault_support.h.
#include <gtest/gtest.h>

#include "tests/fault/fault_support.h"

#include <chrono>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include <gtk/gtk.h>

#include "app/paths.h"
#include "window/window.h"

std::vector<std::string> logged_warnings;
std::vector<std::string> logged_messages;

namespace {

std::string root;

// The program logs through GLib's structured logger (G_LOG_USE_STRUCTURED is defined).
GLogWriterOutput record_log(GLogLevelFlags level, const GLogField *fields, gsize n_fields, gpointer data)
{
    const char *message = "";
    for (gsize i = 0; i < n_fields; i++)
        if (strcmp(fields[i].key, "MESSAGE") == 0 && fields[i].length < 0)
            message = static_cast<const char *>(fields[i].value);
    // Only the GUI thread logs in these runs (the HID module logs nothing but the permission
    // warning, which no fault run provokes), so plain vectors do.
    if (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING))
        logged_warnings.emplace_back(message);
    else if (level & G_LOG_LEVEL_MESSAGE)
        logged_messages.emplace_back(message);
    return g_log_writer_default(level, fields, n_fields, data);
}

int count_dir(const char *path)
{
    int n = 0;
    DIR *d = opendir(path);
    if (d == nullptr)
        return -1;
    while (dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

int settled(int (*count)(), int expected)
{
    int n = count();
    for (int i = 0; i < 2000 && n > expected; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        n = count();
    }
    return n;
}

}  // namespace

const std::string &fault_root()
{
    return root;
}

bool run_until(const std::function<bool()> &done, int limit_ms)
{
    return run_main_loop_until(done, limit_ms);
}

void drain()
{
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

// The directory listing itself holds one fd while it runs.
int open_fds()
{
    return count_dir("/proc/self/fd") - 1;
}

int threads()
{
    return count_dir("/proc/self/task");
}

int threads_settled(int expected)
{
    return settled(threads, expected);
}

int fds_settled(int expected)
{
    return settled(open_fds, expected);
}

void set_dac_override(bool on)
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    ASSERT_EQ(syscall(SYS_capget, &header, data), 0);
    const unsigned bits = 1u << CAP_DAC_OVERRIDE | 1u << CAP_DAC_READ_SEARCH;
    if (on)
        data[0].effective |= data[0].permitted & bits;
    else
        data[0].effective &= ~bits;
    ASSERT_EQ(syscall(SYS_capset, &header, data), 0);
}

int main(int argc, char **argv)
{
    gchar *home = g_dir_make_tmp("zevrin-fault-XXXXXX", nullptr);
    root = home;
    g_free(home);
    const std::filesystem::path r = root;
    for (const char *dir : {"config", "data", "cache", "runtime"})
        std::filesystem::create_directories(r / dir);
    std::filesystem::permissions(r / "runtime", std::filesystem::perms::owner_all);
    g_setenv("HOME", root.c_str(), TRUE);
    g_setenv("XDG_CONFIG_HOME", (r / "config").c_str(), TRUE);
    g_setenv("XDG_DATA_HOME", (r / "data").c_str(), TRUE);
    g_setenv("XDG_CACHE_HOME", (r / "cache").c_str(), TRUE);
    g_setenv("XDG_RUNTIME_DIR", (r / "runtime").c_str(), TRUE);

    const char *source_root = g_getenv("ZEVRIN_SOURCE_ROOT");
    if (source_root == nullptr) {
        fprintf(stderr, "ZEVRIN_SOURCE_ROOT is not set\n");
        return 1;
    }
    data_dir = g_build_filename(source_root, "data", G_DIR_SEPARATOR_S, nullptr);

    ::testing::InitGoogleTest(&argc, argv);
    gtk_init(&argc, &argv);
    g_log_set_writer_func(record_log, nullptr, nullptr);
    record_message_dialogs();
    // The real main window, built from the real interface files, as start-up builds it.
    load_main_window();
    show_main_window();
    update_main_window();
    const int result = RUN_ALL_TESTS();
    std::error_code ignored;
    std::filesystem::remove_all(r, ignored);
    return result;
}
