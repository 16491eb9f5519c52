// The device event hub: turns the HID module's notices into connection state, reads and refreshes.
#pragma once

#include <string>

#include <gtk/gtk.h>

#include "device/protocol.h"
#include "hid/mhid.h"

// The name under which the desktop knows the program (its desktop file, icon and windows).
inline constexpr const char *application_id = "io.github.morvak.Zevrin";

// The device is the built-in demo (ZEVRIN_DEMO), not hardware; the window title says so.
extern bool device_is_demo;

// How the two models name themselves: USB vendor and product, and the usage page of the
// collection that carries the configuration reports (the first vendor-defined one).
inline constexpr int vendor_id = 0xEE50;
inline constexpr int product_id_zevrin = 0x0102;
inline constexpr int product_id_zevrin_mini = 0x0103;
inline constexpr int usage_page_vendor = 0xFF00;

// The registrations of the two models; -1 before register_models.
extern int device_zevrin;
extern int device_zevrin_mini;

void hid_connected_cb(void *user_data, int device);
void hid_disconnected_cb(void *user_data, int device);
void msingle_instance_cb();

// Registers the Zevrin and then the Zevrin Mini with the HID module, with the callbacks above.
// Needs mhid_init first; the first scan of each registration may report it at once.
void register_devices();
// The two registrations alone (the Zevrin, then the Zevrin Mini) with these notices and
// hid_report_cb: what the window and the command line share.
void register_models(mhid_connected_callback connected_cb, mhid_disconnected_callback disconnected_cb);

gboolean read_config_cb(gpointer user_data);
gboolean update_main_window_cb(gpointer user_data);
gboolean multiple_devices_cb(gpointer user_data);

// What the user is told about a box at `node` that they may not use, with how to allow it.
std::string permission_message(const char *node);

// A message with a Close button, run to its end. With `help_page` (a page of the user manual)
// it has a Help button too, which opens that page.
void dialog_info(const char *title, const char *message, GtkWindow *parent,
                 const char *help_page = nullptr);
