// Key codes (HID keyboard usages), key names in the user's layout, and key capture.
#pragma once

#include <array>
#include <cstdint>
#include <gtk/gtk.h>

constexpr int n_keybd_hid_codes = 78;
extern const std::array<uint8_t, n_keybd_hid_codes> keybd_hid_codes;
// Indexed by set-1 scan code (extended keys at 0x80 + make code).
extern const std::array<uint8_t, 256> windows_keycode_to_hid_code;
// Indexed by usage code; 0xFF where a usage has no scan code.
extern const std::array<uint8_t, 256> hid_code_to_windows_keycode;

// Newly allocated UTF-8 name of a usage code (low 8 bits of `code`); free with g_free.
gchar *get_keybd_hid_code_name(int code);
// Runs the capture dialog over `parent`; returns a usage code, 0, or a negative GTK response.
int dialog_capture_key(GtkWindow *parent);
gboolean dialog_capture_key_press_event_cb(GtkWidget *widget, GdkEventKey *event, gpointer dialog);
