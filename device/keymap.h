// The keyboard as the platform sees it: scan codes of key events and key names in the
// user's current layout. Scan codes here are PC set-1 make codes, plus 0x100 for a key
// whose make code follows the E0 prefix (the separate block, right Control, ...).
#pragma once

#include <gtk/gtk.h>

// Set-1 scan code of a key event (make code, 0x100 added for an extended key), or -1 for a
// key that has no set-1 code.
int key_event_scan_code(const GdkEventKey *event);

// The character that the key with set-1 scan code `scan_code` types in the user's current
// layout without modifiers, as newly allocated UTF-8 (free with g_free): a dead key gives
// its spacing accent ("^" for a dead circumflex), a function key its label ("F1"). NULL
// when there is no display or keymap, or when the layout gives the key no such name.
gchar *layout_key_name(int scan_code);
