// The device event hub: the window's side of the conversation with a box. It starts the
// conversation (device/conversation.h) and turns what it reports into window refreshes and
// messages.
#pragma once

#include <string>

#include <gtk/gtk.h>

#include "device/conversation.h"
#include "device/protocol.h"
#include "hid/mhid.h"

// The name under which the desktop knows the program (its desktop file, icon and windows).
inline constexpr const char *application_id = "io.github.morvak.Zevrin";

// The device is the built-in demo (ZEVRIN_DEMO), not hardware; the window title says so.
extern bool device_is_demo;

void msingle_instance_cb();

// Starts the conversation for the window, with every box that the HID module finds. Needs
// mhid_init first; the first scan of each registration may report a box at once.
void register_devices();

// What the conversation reports, as the window shows it: a refresh when the box in use
// changed, the message about a second box, the one about a box that may not be used (once
// per node), and a line on standard output for each generic event.
void hub_box_changed();
void hub_another_box();
void hub_access_denied(const char *node);
void hub_generic_event(int number, bool released);

gboolean update_main_window_cb(gpointer user_data);
gboolean multiple_devices_cb(gpointer user_data);

// What the user is told about a box at `node` that they may not use, with how to allow it.
std::string permission_message(const char *node);

// A message with a Close button, run to its end. With `help_page` (a page of the user manual)
// it has a Help button too, which opens that page.
void dialog_info(const char *title, const char *message, GtkWindow *parent,
                 const char *help_page = nullptr);
