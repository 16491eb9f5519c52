#include "device/keys.h"
// Not built yet.
const std::array<uint8_t, n_keybd_hid_codes> keybd_hid_codes = {};
const std::array<uint8_t, 256> windows_keycode_to_hid_code = {};
const std::array<uint8_t, 256> hid_code_to_windows_keycode = {};
gchar *get_keybd_hid_code_name(int) { return g_strdup(""); }
int dialog_capture_key(GtkWindow *) { return GTK_RESPONSE_CANCEL; }
gboolean dialog_capture_key_press_event_cb(GtkWidget *, GdkEventKey *, gpointer) { return TRUE; }
