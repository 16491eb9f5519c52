// The commands of the main window's buttons and menus. The builder connects these by name.
#include <glib/gi18n.h>

#include "app/hub.h"
#include "app/theme.h"
#include "build_config.h"
#include "device/config.h"
#include "device/protocol.h"
#include "window/widget_ops.h"
#include "window/window.h"

namespace {

// The toolbar that holds Write and Read is hidden unless a device is connected and idle, but a
// keyboard accelerator or an accessibility tool can still activate a hidden button: the
// transfer commands check for themselves.
bool device_idle()
{
    return device_connected && !reading_config && !writing_config;
}

}  // namespace

// Write: take every row of the connected model and the two setting lists into the
// configuration record, then send it.
void button_send_clicked_cb(GtkButton *, gpointer)
{
    if (!device_idle())
        return;
    const int n = model_n_switches[connected_device_model];
    // Switches past the model's count keep what they held; they are neither shown nor sent.
    for (int s = 0; s < n; s++)
        switch_action[s] = read_switch_row(s);
    // Both helpers ignore an index outside their table, leaving the settings as they were.
    apply_mouse_speed_preset(combo_active(combobox_mouse_speed));
    apply_joy_displacement_preset(combo_active(combobox_joy_displacement));
    write_config();
}

// Read: unwritten edits are replaced by what the device reports.
void button_read_clicked_cb(GtkButton *, gpointer)
{
    if (!device_idle())
        return;
    read_config();
}

// The Defaults button reads the device's configuration, like Read; the defaults themselves are
// loaded by the Set defaults menu command.
void button_defaults_clicked_cb(GtkButton *button, gpointer user_data)
{
    button_read_clicked_cb(button, user_data);
}

// Shows the defaults without sending them: they reach the device only with Write.
void menuitem_set_defaults_activate_cb(GtkMenuItem *, gpointer)
{
    set_defaults();
    update_main_window();
    dialog_info("Zevrin", _("Default configuration is shown. Click 'Write' to send it to the device."),
                as_window(window_main));
}

void menuitem_user_manual_activate_cb(GtkMenuItem *, gpointer)
{
    GdkDisplay *display = GTK_IS_WIDGET(window_main) ? gtk_widget_get_display(window_main) : gdk_display_get_default();
    if (display == nullptr)
        return;
    GdkAppLaunchContext *context = gdk_display_get_app_launch_context(display);
    gdk_app_launch_context_set_timestamp(context, GDK_CURRENT_TIME);
    // The browser is the user's: it gets the user's theme, not the one we chose for ourselves.
    give_back_user_theme(G_APP_LAUNCH_CONTEXT(context));
    // Without a browser nothing can be shown, and nothing is.
    g_app_info_launch_default_for_uri(USER_MANUAL_URI, G_APP_LAUNCH_CONTEXT(context), nullptr);
    g_object_unref(context);
}

// The about window is built once and hidden on close, so this is the same window every time.
void menuitem_about_activate_cb(GtkMenuItem *, gpointer)
{
    if (GtkWindow *window = as_window(window_about))
        gtk_window_present(window);
}

void menuitem_quit_activate_cb(GtkMenuItem *, gpointer)
{
    if (gtk_main_level() > 0)
        gtk_main_quit();
}
