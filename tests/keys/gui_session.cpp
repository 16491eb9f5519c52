#include <gtest/gtest.h>

#include "tests/keys/gui_session.h"

#include <sys/wait.h>

#include <gdk/gdkx.h>

#include "device/keymap.h"
#include "tests/scratch_dir.h"

namespace {

unsigned keys_changed_count = 0;

void keys_changed_cb(GdkKeymap *, gpointer)
{
    keys_changed_count++;
}

gboolean set_flag_cb(gpointer flag)
{
    *static_cast<bool *>(flag) = true;
    return G_SOURCE_REMOVE;
}

constexpr guint safety_limit_s = 20;

}  // namespace

bool start_gui_session()
{
    // One for the whole program (also when the suite is repeated), removed when it ends.
    static const std::string home = scratch::make_dir("zevrin-keys");
    if (home.empty())
        return false;
    g_setenv("HOME", home.c_str(), TRUE);
    for (const char *variable : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
        gchar *dir = g_build_filename(home.c_str(), variable, nullptr);
        g_mkdir_with_parents(dir, 0700);
        g_setenv(variable, dir, TRUE);
        g_free(dir);
    }
    g_log_set_always_fatal(GLogLevelFlags(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING));

    if (!gtk_init_check(nullptr, nullptr))
        return false;
    GdkKeymap *keymap = gdk_keymap_get_for_display(gdk_display_get_default());
    g_signal_connect(keymap, "keys-changed", G_CALLBACK(keys_changed_cb), nullptr);
    return true;
}

Display *x_display()
{
    return gdk_x11_display_get_xdisplay(gdk_display_get_default());
}

unsigned keymap_changes()
{
    return keys_changed_count;
}

bool wait_for_keymap(unsigned since, const std::function<bool()> &done)
{
    bool gave_up = false;
    const guint limit = g_timeout_add_seconds(safety_limit_s, set_flag_cb, &gave_up);
    // Each X event wakes the loop; the keymap is read anew after a change notice.
    while (!(keys_changed_count != since && done()) && !gave_up)
        g_main_context_iteration(nullptr, TRUE);
    if (!gave_up)
        g_source_remove(limit);
    return !gave_up;
}

bool set_layout(const char *layout, int probe, const char *probe_name)
{
    const unsigned since = keys_changed_count;
    const char *argv[] = {"setxkbmap", layout, nullptr};
    GError *error = nullptr;
    gint status = 0;
    if (!g_spawn_sync(nullptr, const_cast<char **>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr,
                      nullptr, &status, &error)) {
        ADD_FAILURE() << "setxkbmap: " << error->message;
        g_error_free(error);
        return false;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ADD_FAILURE() << "setxkbmap " << layout << " failed";
        return false;
    }
    return wait_for_keymap(since, [&] { return layout_name(probe) == probe_name; });
}

std::string layout_name(int scan_code)
{
    gchar *name = layout_key_name(scan_code);
    std::string result = name ? name : "";
    g_free(name);
    return result;
}
