// Keyboard platform layer for GDK on Linux (X11 with the evdev keycodes of today's servers,
// and Wayland): a key event's hardware keycode is the kernel's evdev code + 8, and the
// names come from GDK's keymap of the display.
#include "device/keymap.h"

#include <array>
#include <utility>

namespace {

constexpr int evdev_offset = 8;  // hardware keycode = evdev code + 8

// evdev codes of the E0-prefixed keys, with their set-1 code (0x100 + make code).
constexpr std::array<std::pair<int, int>, 19> extended_keys = {{
    {69, 0x145},   // Num Lock: reported as an extended key, so that its make code 0x45 is
                   // left to Pause, as key events on PCs have always named them
    {96, 0x11C},   // keypad Enter
    {97, 0x11D},   // right Control
    {98, 0x135},   // keypad slash
    {99, 0x137},   // Print Screen (SysRq)
    {100, 0x138},  // right Alt (AltGr)
    {102, 0x147},  // Home
    {103, 0x148},  // Up
    {104, 0x149},  // Page Up
    {105, 0x14B},  // Left
    {106, 0x14D},  // Right
    {107, 0x14F},  // End
    {108, 0x150},  // Down
    {109, 0x151},  // Page Down
    {110, 0x152},  // Insert
    {111, 0x153},  // Delete
    {125, 0x15B},  // left GUI (Super)
    {126, 0x15C},  // right GUI
    {127, 0x15D},  // Application (Menu)
}};

constexpr int evdev_pause = 119;  // sends E1 1D 45; named by its last make code, 0x45

// Set-1 code of an evdev code, -1 if it has none.
constexpr int evdev_to_set1(int evdev)
{
    for (const auto &[code, set1] : extended_keys)
        if (code == evdev)
            return set1;
    if (evdev == evdev_pause)
        return 0x45;
    // The main block and the keypad: evdev codes 1 (Escape) to 88 (F12) are the make codes.
    if (evdev >= 1 && evdev <= 88)
        return evdev;
    return -1;
}

constexpr int set1_to_evdev(int scan_code)
{
    for (int evdev = 0; evdev < 256; evdev++)
        if (evdev_to_set1(evdev) == scan_code)
            return evdev;
    return -1;
}

static_assert(set1_to_evdev(0x45) == evdev_pause && set1_to_evdev(0x145) == 69);
static_assert(set1_to_evdev(0x27) == 0x27 && set1_to_evdev(0x147) == 102);

// Dead keys type nothing by themselves (GDK gives them no character), so they are shown as
// the spacing form of their accent, the way keyboards print them.
gunichar spacing_accent(guint keyval)
{
    switch (keyval) {
    case GDK_KEY_dead_grave: return 0x0060;             // `
    case GDK_KEY_dead_acute: return 0x00B4;             // ´
    case GDK_KEY_dead_circumflex: return 0x005E;        // ^
    case GDK_KEY_dead_tilde: return 0x007E;             // ~ (also dead_perispomeni)
    case GDK_KEY_dead_macron: return 0x00AF;            // ¯
    case GDK_KEY_dead_breve: return 0x02D8;             // ˘
    case GDK_KEY_dead_abovedot: return 0x02D9;          // ˙
    case GDK_KEY_dead_diaeresis: return 0x00A8;         // ¨
    case GDK_KEY_dead_abovering: return 0x02DA;         // ˚
    case GDK_KEY_dead_doubleacute: return 0x02DD;       // ˝
    case GDK_KEY_dead_caron: return 0x02C7;             // ˇ
    case GDK_KEY_dead_cedilla: return 0x00B8;           // ¸
    case GDK_KEY_dead_ogonek: return 0x02DB;            // ˛
    case GDK_KEY_dead_iota: return 0x037A;              // ͺ
    case GDK_KEY_dead_voiced_sound: return 0x309B;      // ゛
    case GDK_KEY_dead_semivoiced_sound: return 0x309C;  // ゜
    case GDK_KEY_dead_currency: return 0x00A4;          // ¤
    default: return 0;
    }
}

}  // namespace

int key_event_scan_code(const GdkEventKey *event)
{
    return evdev_to_set1(int(event->hardware_keycode) - evdev_offset);
}

gchar *layout_key_name(int scan_code)
{
    const int evdev = set1_to_evdev(scan_code);
    if (evdev < 0)
        return nullptr;
    GdkDisplay *display = gdk_display_get_default();
    if (!display)
        return nullptr;
    GdkKeymap *keymap = gdk_keymap_get_for_display(display);
    if (!keymap)
        return nullptr;

    // Group 0 is the first layout of the user's list, the one the keyboard is labelled for;
    // names are taken once, when the key lists are filled, not at every layout switch.
    guint keyval = 0;
    if (!gdk_keymap_translate_keyboard_state(keymap, guint(evdev + evdev_offset), GdkModifierType(0), 0,
                                             &keyval, nullptr, nullptr, nullptr))
        return nullptr;

    if (keyval >= GDK_KEY_F1 && keyval <= GDK_KEY_F35)
        return g_strdup_printf("F%u", keyval - GDK_KEY_F1 + 1);
    gunichar ch = spacing_accent(keyval);
    if (ch == 0)
        ch = gdk_keyval_to_unicode(keyval);
    // No character (a keysym such as Control_L, or VoidSymbol) or one that cannot be seen.
    if (ch == 0 || !g_unichar_isgraph(ch))
        return nullptr;
    char utf8[8];
    const int length = g_unichar_to_utf8(ch, utf8);
    return g_strndup(utf8, gsize(length));
}
