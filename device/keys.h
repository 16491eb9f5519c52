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

// The modifier bits of a keyboard action (action_record::modifiers).
enum : int { modifier_control = 1, modifier_shift = 2, modifier_alt = 4 };

// Newly allocated UTF-8 name of a usage code (low 8 bits of `code`); free with g_free.
gchar *get_keybd_hid_code_name(int code);

// What the key capture dialog ended with.
struct captured_key {
    // The usage code of the key taken (pressed, then confirmed), always one of keybd_hid_codes,
    // or the toolkit's negative response when the dialog was cancelled or closed.
    int response;
    // Control, Shift and Alt held with the key (modifier_* bits); 0 without a key.
    int modifiers;
};

// Runs the capture dialog for switch number `switch_number` (counted from 1) over `parent`.
captured_key dialog_capture_key(GtkWindow *parent, int switch_number);
// The dialog's key handler; `capture` is the run of the dialog that it serves.
gboolean dialog_capture_key_press_event_cb(GtkWidget *widget, GdkEventKey *event, gpointer capture);
