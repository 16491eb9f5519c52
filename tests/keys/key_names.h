// What the key lists show for each entry of keybd_hid_codes under the us layout, in list
// order. The same names are shown when no keyboard layout can be asked.
#pragma once

#include <array>

#include "device/keys.h"

inline const std::array<const char *, n_keybd_hid_codes> us_layout_key_names = {
    "A", "B", "C", "D", "E", "F", "G", "H", "I", "J", "K", "L", "M",
    "N", "O", "P", "Q", "R", "S", "T", "U", "V", "W", "X", "Y", "Z",
    ";", "\\",
    "0", "1", "2", "3", "4", "5", "6", "7", "8", "9",
    "Return", "Space",
    "F1", "F2", "F3", "F4", "F5", "F6", "F7", "F8", "F9", "F10", "F11", "F12",
    "-", "=", "[", "]",
    "'", "`", "Comma", "Period", "/",
    "Caps Lock",
    "<",
    "Esc", "Tab", "Backspace",
    "Print Screen", "Insert", "Home", "Page Up", "Page Down", "Delete", "End",
    "Arrow Right", "Arrow Left", "Arrow Down", "Arrow Up",
    "Menu key",
};
