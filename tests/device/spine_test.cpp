// The main loop, dialog and output helpers of spine_test.h, and the tests' main: GTK on the
// X server of xvfb-wrap.sh, with HOME and the XDG directories in a temporary directory.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include <gtk/gtk.h>

#include <glib/gstdio.h>

#include "device/config.h"
#include "device/conversation.h"
#include "device/protocol.h"
#include "tests/device/spine_test.h"
#include "window/window.h"
#include "tests/scratch_dir.h"


stand_in::written report_to(int id, std::array<uint8_t, 9> bytes)
{
    return {id, bytes, 9};
}

namespace {

std::string *print_target = nullptr;

void print_to_target(const gchar *text)
{
    if (print_target != nullptr)
        *print_target += text;
}

}  // namespace

bool run_until(const std::function<bool()> &done, int limit_ms)
{
    return run_main_loop_until(done, limit_ms);
}

void drain()
{
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

std::string printed_by(const std::function<void()> &action)
{
    std::string out;
    print_target = &out;
    GPrintFunc old = g_set_print_handler(print_to_target);
    action();
    g_set_print_handler(old);
    print_target = nullptr;
    return out;
}

void reset_spine_state()
{
    // Nothing from an earlier test may still be on its way.
    drain();
    for (guint *id : {&read_config_timeout_id, &read_config_done_id}) {
        if (*id != 0) {
            g_source_remove(*id);
            *id = 0;
        }
    }
    device_connected = 0;
    connected_device_model = 0;
    connected_device_id_out = -1;
    connected_device_id_in = -1;
    reading_config = 0;
    writing_config = 0;
    reading_config_step = 0;
    reading_writing_config_fraction = 0.0;
    read_config_timeout_ms = 3000;
    read_config_done_delay_ms = 500;
    config_valid = 0;
    set_defaults();
    box_configuration = {};
    stand_in::reset();
    forget_window_document();
    // No write of an earlier test is left unfinished.
    g_unlink((previous_configurations_dir() + "/unfinished-writes").c_str());
    seen_dialogs.clear();
    set_protocol_listener(&window_protocol_listener);
}

int main(int argc, char **argv)
{
    // Nothing the toolkit or the program writes may land in the real user's directories. The
    // directory goes when the program ends, also through an exit() or abort() in a test.
    const std::filesystem::path root = scratch::make_dir("zevrin-test");
    if (root.empty()) {
        std::fprintf(stderr, "cannot make a temporary directory\n");
        return 1;
    }
    for (const char *dir : {"config", "data", "cache", "runtime"})
        std::filesystem::create_directories(root / dir);
    std::filesystem::permissions(root / "runtime", std::filesystem::perms::owner_all);
    g_setenv("HOME", root.c_str(), TRUE);
    g_setenv("XDG_CONFIG_HOME", (root / "config").c_str(), TRUE);
    g_setenv("XDG_DATA_HOME", (root / "data").c_str(), TRUE);
    g_setenv("XDG_CACHE_HOME", (root / "cache").c_str(), TRUE);
    g_setenv("XDG_RUNTIME_DIR", (root / "runtime").c_str(), TRUE);

    ::testing::InitGoogleTest(&argc, argv);
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "cannot open the display; run under tests/xvfb-wrap.sh\n");
        return 1;
    }
    record_message_dialogs();
    return RUN_ALL_TESTS();
}
