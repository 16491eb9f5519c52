// The device event hub: turns the HID module's notices into connection state, reads and refreshes.
#pragma once

#include <gtk/gtk.h>

// The name under which the desktop knows the program (its desktop file, icon and windows).
inline constexpr const char *application_id = "io.github.morvak.Zevrin";

// The device is the built-in demo (ZEVRIN_DEMO), not hardware; the window title says so.
extern bool device_is_demo;

extern int device_zevrin;
extern int device_zevrin_mini;

void hid_connected_cb(void *user_data, int device);
void hid_disconnected_cb(void *user_data, int device);
void hid_report_cb(void *user_data, int device, unsigned char *data, int length);
void msingle_instance_cb();

// Registers the Zevrin and then the Zevrin Mini with the HID module, with the callbacks above.
// Needs mhid_init first; the first scan of each registration may report it at once.
void register_devices();

gboolean read_config_cb(gpointer user_data);
gboolean update_main_window_cb(gpointer user_data);
gboolean multiple_devices_cb(gpointer user_data);

// A message with a Close button, run to its end. With `help_page` (a page of the user manual)
// it has a Help button too, which opens that page.
void dialog_info(const char *title, const char *message, GtkWindow *parent,
                 const char *help_page = nullptr);
