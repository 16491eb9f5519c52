#include "device/keys.h"

#include <algorithm>

#include <glib/gi18n.h>

#include "device/keymap.h"

// The keys of the keyboard page, in the order the lists show them.
const std::array<uint8_t, n_keybd_hid_codes> keybd_hid_codes = {
    0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10,  // A to M
    0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D,  // N to Z
    0x33, 0x31,                                                                    // ; and backslash
    0x27, 0x1E, 0x1F, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26,                    // 0, then 1 to 9
    0x28, 0x2C,                                                                    // Return, Space
    0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F, 0x40, 0x41, 0x42, 0x43, 0x44, 0x45,        // F1 to F12
    0x2D, 0x2E, 0x2F, 0x30,                                                        // - = [ ]
    0x34, 0x35, 0x36, 0x37, 0x38,                                                  // ' ` , . /
    0x39,                                                                          // Caps Lock
    0x64,                                                                          // ISO key by left Shift
    0x29, 0x2B, 0x2A,                                                              // Esc, Tab, Backspace
    0x46, 0x49, 0x4A, 0x4B, 0x4E, 0x4C, 0x4D,  // Print Screen, Insert, Home, PgUp, PgDn, Delete, End
    0x4F, 0x50, 0x51, 0x52,                    // arrows right, left, down, up
    0x65,                                      // Application
};

// Scan code (E0-prefixed keys at 0x80 + make code) -> usage code, 0 for none.
const std::array<uint8_t, 256> windows_keycode_to_hid_code = {
    0x00, 0x29, 0x1E, 0x1F, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x2D, 0x2E, 0x2A, 0x2B,  // 0x00
    0x14, 0x1A, 0x08, 0x15, 0x17, 0x1C, 0x18, 0x0C, 0x12, 0x13, 0x2F, 0x30, 0x9E, 0xE0, 0x04, 0x16,  // 0x10
    0x07, 0x09, 0x0A, 0x0B, 0x0D, 0x0E, 0x0F, 0x33, 0x34, 0x35, 0xE1, 0x31, 0x1D, 0x1B, 0x06, 0x19,  // 0x20
    0x05, 0x11, 0x10, 0x36, 0x37, 0x38, 0xE5, 0x00, 0xE2, 0x00, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E,  // 0x30
    0x3F, 0x40, 0x41, 0x42, 0x43, 0x48, 0x47, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 0x40
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x44, 0x45, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 0x50
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 0x60
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 0x70
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 0x80
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE4, 0x00, 0x00,  // 0x90
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 0xA0
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46, 0xE6, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 0xB0
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x4A, 0x52, 0x4B, 0x00, 0x50, 0x00, 0x4F, 0x00, 0x4D,  // 0xC0
    0x51, 0x4E, 0x49, 0x4C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE3, 0xE7, 0x00, 0x00, 0x00,  // 0xD0
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 0xE0
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 0xF0
};

// Usage code -> scan code, 0xFF for none. The inverse of the table above, plus the ISO key
// by left Shift (0x64), whose scan code 0x56 gives no usage there.
const std::array<uint8_t, 256> hid_code_to_windows_keycode = {
    0xFF, 0xFF, 0xFF, 0xFF, 0x1E, 0x30, 0x2E, 0x20, 0x12, 0x21, 0x22, 0x23, 0x17, 0x24, 0x25, 0x26,  // 0x00
    0x32, 0x31, 0x18, 0x19, 0x10, 0x13, 0x1F, 0x14, 0x16, 0x2F, 0x11, 0x2D, 0x15, 0x2C, 0x02, 0x03,  // 0x10
    0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0xFF, 0x01, 0x0E, 0x0F, 0xFF, 0x0C, 0x0D, 0x1A,  // 0x20
    0x1B, 0x2B, 0xFF, 0x27, 0x28, 0x29, 0x33, 0x34, 0x35, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F, 0x40,  // 0x30
    0x41, 0x42, 0x43, 0x44, 0x57, 0x58, 0xB7, 0x46, 0x45, 0xD2, 0xC7, 0xC9, 0xD3, 0xCF, 0xD1, 0xCD,  // 0x40
    0xCB, 0xD0, 0xC8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // 0x50
    0xFF, 0xFF, 0xFF, 0xFF, 0x56, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // 0x60
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // 0x70
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // 0x80
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x1C, 0xFF,  // 0x90
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // 0xA0
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // 0xB0
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // 0xC0
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // 0xD0
    0x1D, 0x2A, 0x38, 0xDB, 0x9D, 0x36, 0xB8, 0xDC, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // 0xE0
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // 0xF0
};

namespace {

// What a US keyboard prints on each main-block key (scan codes 0x00 to 0x58), the same
// names as the us layout gives: shown when the platform has no name for a key (no display,
// or a layout that leaves the key empty), so that no entry of a key list is blank.
constexpr std::array<const char *, 0x59> us_key_names = {
    nullptr, nullptr, "1", "2", "3", "4", "5", "6",                                          // 0x00
    "7", "8", "9", "0", "-", "=", nullptr, nullptr,                                          // 0x08
    "Q", "W", "E", "R", "T", "Y", "U", "I",                                                  // 0x10
    "O", "P", "[", "]", nullptr, nullptr, "A", "S",                                          // 0x18
    "D", "F", "G", "H", "J", "K", "L", ";",                                                  // 0x20
    "'", "`", nullptr, "\\", "Z", "X", "C", "V",                                             // 0x28
    "B", "N", "M", ",", ".", "/", nullptr, nullptr,                                          // 0x30
    nullptr, nullptr, nullptr, "F1", "F2", "F3", "F4", "F5",                                 // 0x38
    "F6", "F7", "F8", "F9", "F10", nullptr, nullptr, nullptr,                                // 0x40
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,                  // 0x48
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "<", "F11",                        // 0x50
    "F12",                                                                                   // 0x58
};

// Upper-cased character by character, so that a key keeps one character ("ß" stays "ß"
// where a whole-string upper-casing would make it "SS").
gchar *key_label(const char *name)
{
    GString *label = g_string_sized_new(8);
    for (const char *p = name; *p; p = g_utf8_next_char(p))
        g_string_append_unichar(label, g_unichar_toupper(g_utf8_get_char(p)));
    return g_string_free(label, FALSE);
}

}  // namespace

gchar *get_keybd_hid_code_name(int code)
{
    const uint8_t c = uint8_t(code & 0xFF);

    // Keys that print no character are named in the interface language.
    switch (c) {
    case 0x28: return g_strdup(C_("key", "Return"));
    case 0x29: return g_strdup(C_("key", "Esc"));
    case 0x2A: return g_strdup(C_("key", "Backspace"));
    case 0x2B: return g_strdup(C_("key", "Tab"));
    // TRANSLATORS: the space bar of the keyboard.
    case 0x2C: return g_strdup(C_("key", "Space"));
    case 0x39: return g_strdup(C_("key", "Caps Lock"));
    case 0x46: return g_strdup(C_("key", "Print Screen"));
    case 0x49: return g_strdup(C_("key", "Insert"));
    // TRANSLATORS: the Home key of the keyboard, which moves to the start of a line.
    case 0x4A: return g_strdup(C_("key", "Home"));
    case 0x4B: return g_strdup(C_("key", "Page Up"));
    case 0x4C: return g_strdup(C_("key", "Delete"));
    // TRANSLATORS: the End key of the keyboard, which moves to the end of a line.
    case 0x4D: return g_strdup(C_("key", "End"));
    case 0x4E: return g_strdup(C_("key", "Page Down"));
    case 0x4F: return g_strdup(C_("key", "Arrow Right"));
    case 0x50: return g_strdup(C_("key", "Arrow Left"));
    case 0x51: return g_strdup(C_("key", "Arrow Down"));
    case 0x52: return g_strdup(C_("key", "Arrow Up"));
    // TRANSLATORS: the menu key (also called the application key), the key with a small menu
    // and pointer on it, usually between the right Alt and the right Control; not the key with
    // the system logo.
    case 0x65: return g_strdup(C_("key", "Menu key"));
    default: break;
    }

    // Every other key is named by what it types in the user's layout, so that the list shows
    // what the keyboard shows.
    const uint8_t k = hid_code_to_windows_keycode[c];
    if (k == 0xFF)
        return g_strdup("");

    const int scan_code = k >= 0x80 ? 0x100 + (k - 0x80) : k;
    gchar *layout_name = layout_key_name(scan_code);
    const char *name = layout_name;
    if (!name || !*name || !g_utf8_validate(name, -1, nullptr))
        name = k < us_key_names.size() && us_key_names[k] ? us_key_names[k] : "";

    gchar *label;
    if (name[0] == '.')
        // TRANSLATORS: the key that types a full stop ".".
        label = g_strdup(C_("key", "Period"));
    else if (name[0] == ',')
        // TRANSLATORS: the key that types a comma ",".
        label = g_strdup(C_("key", "Comma"));
    else
        label = key_label(name);
    g_free(layout_name);
    return label;
}

namespace {

// One run of the capture dialog. The first key pressed is only shown; Return takes it, and
// Escape leaves the dialog once a key is shown. So every key of the list can be captured
// (Escape, Return and Tab each pressed first, then Return), and the dialog can always be left
// from the keyboard without changing the switch (Escape, or Escape twice).
struct key_capture {
    GtkWidget *dialog = nullptr;
    GtkWidget *shown = nullptr;    // what to do, then the key pressed and what to do with it
    GtkWidget *refusal = nullptr;  // shown after a key that the device cannot send
    int usage = 0;                 // the key shown, 0 before the first
    int modifiers = 0;             // held with it
};

// The response of "Use this key" and of Return once a key is shown.
constexpr int response_use_key = 1000;

// Keys that are held with the key to capture rather than captured themselves. Judged by what
// the key does in the layout, so that a Caps Lock key made into a Control key is one too.
bool is_held_modifier(guint keyval)
{
    switch (keyval) {
    case GDK_KEY_Shift_L:
    case GDK_KEY_Shift_R:
    case GDK_KEY_Control_L:
    case GDK_KEY_Control_R:
    case GDK_KEY_Alt_L:
    case GDK_KEY_Alt_R:
    case GDK_KEY_Meta_L:
    case GDK_KEY_Meta_R:
    case GDK_KEY_ISO_Level3_Shift:  // AltGr
    case GDK_KEY_ISO_Level5_Shift:
    case GDK_KEY_Mode_switch:
    case GDK_KEY_ISO_Next_Group:  // Shift or Alt where they also switch layouts
    case GDK_KEY_ISO_Prev_Group:
    case GDK_KEY_ISO_First_Group:
    case GDK_KEY_ISO_Last_Group:
        return true;
    default:
        return false;
    }
}

int held_modifiers(guint state)
{
    return ((state & GDK_CONTROL_MASK) ? modifier_control : 0) | ((state & GDK_SHIFT_MASK) ? modifier_shift : 0) |
           ((state & GDK_MOD1_MASK) ? modifier_alt : 0);
}

// The key of the list that a key event stands for, 0 for a key that the device cannot send.
int key_event_usage(const GdkEventKey *event)
{
    const int sc = key_event_scan_code(event);
    int usage = 0;
    switch (sc) {
    // Return and Space are the usages that the list holds, not what the table has for them;
    // the ISO key and the menu key have none in the table at all.
    case 0x1C: usage = 0x28; break;   // Return
    case 0x39: usage = 0x2C; break;   // Space
    case 0x56: usage = 0x64; break;   // the ISO key beside left Shift
    case 0x15D: usage = 0x65; break;  // the menu key
    default:
        // The table keeps the extended keys (the separate block, Print Screen, ...) at 0x80 +
        // make code.
        if (sc >= 0 && sc < 0x80)
            usage = windows_keycode_to_hid_code[size_t(sc)];
        else if (sc >= 0x100 && sc < 0x180)
            usage = windows_keycode_to_hid_code[size_t(0x80 + sc - 0x100)];
        break;
    }
    const bool listed = std::find(keybd_hid_codes.begin(), keybd_hid_codes.end(), usage) != keybd_hid_codes.end();
    return listed ? usage : 0;
}

// "Control+Shift+A", with the names that the rows and the files use.
gchar *shown_key_name(int usage, int modifiers)
{
    GString *text = g_string_new(nullptr);
    if (modifiers & modifier_control)
        g_string_append_printf(text, "%s+", C_("modifier key", "Control"));
    if (modifiers & modifier_shift)
        g_string_append_printf(text, "%s+", C_("modifier key", "Shift"));
    if (modifiers & modifier_alt)
        g_string_append_printf(text, "%s+", C_("modifier key", "Alt"));
    gchar *name = get_keybd_hid_code_name(usage);
    g_string_append(text, name);
    g_free(name);
    return g_string_free(text, FALSE);
}

void show_pending_key(key_capture *capture)
{
    gchar *name = shown_key_name(capture->usage, capture->modifiers);
    // TRANSLATORS: in the key capture dialog, after a key was pressed; %s is the key, with
    // Control, Shift or Alt when they were held ("Control+A"). “Use this key” is the button.
    gchar *text = g_strdup_printf(_("Key: %s. Press Return or “Use this key” to take it, another key to change it, "
                                    "or Escape to leave the switch as it was."),
                                  name);
    gtk_widget_hide(capture->refusal);
    gtk_dialog_set_response_sensitive(GTK_DIALOG(capture->dialog), response_use_key, TRUE);
    gtk_label_set_text(GTK_LABEL(capture->shown), text);
    g_free(text);
    g_free(name);
}

}  // namespace

captured_key dialog_capture_key(GtkWindow *parent, int switch_number)
{
    key_capture capture;
    capture.dialog = gtk_message_dialog_new(parent, GTK_DIALOG_DESTROY_WITH_PARENT, GTK_MESSAGE_OTHER,
                                            GTK_BUTTONS_CANCEL, "%s", _("Press any key"));
    GtkMessageDialog *message = GTK_MESSAGE_DIALOG(capture.dialog);
    // TRANSLATORS: title of the dialog that takes a key for a switch; %d is its number.
    gchar *title = g_strdup_printf(_("Switch %d"), switch_number);
    gtk_window_set_title(GTK_WINDOW(capture.dialog), title);
    g_free(title);
    gtk_message_dialog_format_secondary_text(
        message, _("The key for switch %d. Hold Control, Shift or Alt with it to tick them as well."),
        switch_number);
    GtkBox *area = GTK_BOX(gtk_message_dialog_get_message_area(message));

    // What the keys do; once a key is pressed, that key and what the keys do with it.
    capture.shown = gtk_label_new(_("The key is shown first: press Return or “Use this key” to take it. Escape "
                                    "twice, or Cancel, leaves the switch as it was."));
    gtk_label_set_line_wrap(GTK_LABEL(capture.shown), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(capture.shown), 50);
    gtk_label_set_xalign(GTK_LABEL(capture.shown), 0);
    gtk_widget_show(capture.shown);
    gtk_box_pack_start(area, capture.shown, FALSE, FALSE, 0);

    // Hidden until a key that the device cannot send is pressed; in bold, as it answers that key.
    capture.refusal = gtk_label_new(_("The device cannot send this key. Please press another key."));
    gtk_label_set_line_wrap(GTK_LABEL(capture.refusal), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(capture.refusal), 50);
    PangoAttrList *bold = pango_attr_list_new();
    pango_attr_list_insert(bold, pango_attr_weight_new(PANGO_WEIGHT_BOLD));
    gtk_label_set_attributes(GTK_LABEL(capture.refusal), bold);
    pango_attr_list_unref(bold);
    gtk_widget_set_no_show_all(capture.refusal, TRUE);
    gtk_box_pack_start(area, capture.refusal, FALSE, FALSE, 0);

    // Offered once a key is shown.
    gtk_dialog_add_button(GTK_DIALOG(capture.dialog), _("Use this key"), response_use_key);
    gtk_dialog_set_response_sensitive(GTK_DIALOG(capture.dialog), response_use_key, FALSE);

    // The theme draws the buttons of a message dialog flat, as bare text; the keys that would
    // work buttons are taken here, so the two are drawn as buttons, for the mouse.
    GtkCssProvider *outline = gtk_css_provider_new();
    gtk_css_provider_load_from_data(outline, "button { border: 1px solid alpha(currentColor, 0.6); }", -1, nullptr);
    for (int response : {int(GTK_RESPONSE_CANCEL), response_use_key})
        gtk_style_context_add_provider(
            gtk_widget_get_style_context(gtk_dialog_get_widget_for_response(GTK_DIALOG(capture.dialog), response)),
            GTK_STYLE_PROVIDER(outline), GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(outline);

    gtk_widget_set_events(capture.dialog, GDK_KEY_PRESS_MASK);
    // Connected before the dialog's own handlers, which would take Escape as a cancel, Return as
    // the focused button and Tab as a move of the focus.
    g_signal_connect(capture.dialog, "key-press-event", G_CALLBACK(dialog_capture_key_press_event_cb), &capture);

    // Held across the nested loop: if the parent goes away meanwhile, the dialog is destroyed
    // with it and must still be a valid object when it is destroyed here.
    g_object_ref(capture.dialog);
    const int response = gtk_dialog_run(GTK_DIALOG(capture.dialog));
    gtk_widget_destroy(capture.dialog);
    g_object_unref(capture.dialog);
    if (response == response_use_key && capture.usage != 0)
        return {capture.usage, capture.modifiers};
    return {response < 0 ? response : int(GTK_RESPONSE_CANCEL), 0};
}

gboolean dialog_capture_key_press_event_cb(GtkWidget *, GdkEventKey *event, gpointer data)
{
    auto *capture = static_cast<key_capture *>(data);
    // Control, Shift, Alt and the like wait for the key they are held with.
    if (is_held_modifier(event->keyval))
        return TRUE;

    // Once a key is shown, Return (also the keypad's) takes it and Escape leaves.
    if (capture->usage != 0) {
        switch (event->keyval) {
        case GDK_KEY_Return:
        case GDK_KEY_KP_Enter:
        case GDK_KEY_ISO_Enter:
            gtk_dialog_response(GTK_DIALOG(capture->dialog), response_use_key);
            return TRUE;
        case GDK_KEY_Escape:
            gtk_dialog_response(GTK_DIALOG(capture->dialog), GTK_RESPONSE_CANCEL);
            return TRUE;
        default:
            break;
        }
    }

    const int usage = key_event_usage(event);
    if (usage == 0) {
        // Super, the keypad, media keys, ...: the dialog says so and waits for another key.
        gtk_widget_show(capture->refusal);
        return TRUE;
    }
    capture->usage = usage;
    capture->modifiers = held_modifiers(event->state);
    show_pending_key(capture);
    return TRUE;
}
