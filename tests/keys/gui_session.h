// A GTK session on the test's own X server (see tests/xvfb-wrap.sh), with the keyboard layout
// under the test's control.
#pragma once

#include <functional>
#include <string>

#include <gtk/gtk.h>
#include <X11/Xlib.h>

// Points HOME and the XDG directories at a temporary directory (removed when the program
// ends), makes GLib warnings and criticals fatal, and opens the display. Call once, before any
// test touches GTK.
bool start_gui_session();

Display *x_display();

// Runs the main loop until the keymap has reported a change since `since` and `done` holds.
// Returns false if that does not happen within a generous safety limit (a broken X server,
// not a measurement).
unsigned keymap_changes();
bool wait_for_keymap(unsigned since, const std::function<bool()> &done);

// Loads an XKB layout with setxkbmap and waits until the keymap has taken it: the layout's
// name of the key with set-1 scan code `probe` is `probe_name`.
bool set_layout(const char *layout, int probe, const char *probe_name);

// The name of the key with scan code `scan_code` in the current layout ("" for none).
std::string layout_name(int scan_code);
