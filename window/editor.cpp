// The switch action editor: page switching, the auto-release rule, key capture, and reading a
// row back into an action record. The editor's state lives in the widgets, but for the
// auto-release of a row whose box is greyed out, kept here; nothing here writes switch_action
// (the Write command does, from read_switch_row). Every change in a row updates the window's
// mark of unwritten changes.
#include "device/config.h"
#include "device/keys.h"
#include "window/widget_ops.h"
#include "window/window.h"

namespace {

bool valid_switch(int s)
{
    return s >= 0 && s < max_switches;
}

// The table entry selected in a list, or null when the list has no valid selection.
template <size_t N>
const action_record *selected_action(const std::array<combo_action, N> &table, GtkWidget *combo)
{
    const int j = combo_active(combo);
    if (j < 0 || j >= static_cast<int>(N))
        return nullptr;
    return &table[j].action;
}

// A row's auto-release while its box is greyed out. The box then shows unticked, the one state
// that a box that means nothing can show in every row, and the row keeps what the box had (or
// what the record gave) for the Write command; the box shows it again when it is offered again.
std::array<bool, max_switches> kept_auto_release = {};

bool auto_release_offered(int s)
{
    return GTK_IS_WIDGET(checkbutton_auto_release[s]) && gtk_widget_get_sensitive(checkbutton_auto_release[s]);
}

bool auto_release_state(int s)
{
    return auto_release_offered(s) ? is_active(checkbutton_auto_release[s]) : kept_auto_release[s];
}

// The auto-release flag means something for keys, joystick buttons and the two plain mouse
// clicks; for the rest it is greyed out, not hidden, so that the rows keep their layout.
// The state changes while the box is greyed out, so that the handlers it runs read the row
// as it stays.
void apply_auto_release_rule(int s)
{
    bool usable = false;
    switch (get_page(s)) {
    case page_keyboard:
        usable = true;
        break;
    case page_joystick: {
        const action_record *a = selected_action(joy_combo_actions, combobox_joy[s]);
        usable = a != nullptr && a->kind == kind_joystick_button;
        break;
    }
    case page_generic:
        usable = false;
        break;
    default: {
        const action_record *a = selected_action(mouse_combo_actions, combobox_mouse[s]);
        usable = a != nullptr && a->kind == kind_mouse_button && (a->code == 0 || a->code == 1);
        break;
    }
    }
    GtkWidget *box = checkbutton_auto_release[s];
    if (usable == auto_release_offered(s))
        return;
    if (usable) {
        set_active(box, kept_auto_release[s]);
        set_sensitive(box, true);
    } else {
        kept_auto_release[s] = is_active(box);
        set_sensitive(box, false);
        set_active(box, false);
    }
}

}  // namespace

void show_page_box(int s, int page)
{
    if (!valid_switch(s))
        return;
    show_if(box_mouse[s], page == page_mouse);
    show_if(box_keyb[s], page == page_keyboard);
    show_if(box_joy[s], page == page_joystick);
    show_if(box_gen[s], page == page_generic);
}

void show_auto_release(int s, bool on)
{
    if (!valid_switch(s))
        return;
    if (auto_release_offered(s)) {
        set_active(checkbutton_auto_release[s], on);
    } else {
        kept_auto_release[s] = on;
        set_active(checkbutton_auto_release[s], false);
    }
}

// The key list holds keybd_hid_codes in order, so a code's entry is its position there.
int key_list_entry(int code)
{
    for (int j = 0; j < n_keybd_hid_codes; j++)
        if (keybd_hid_codes[j] == code)
            return j;
    return -1;
}

// User data: page * 16 + switch slot.
void radiobutton_page_toggled_cb(GtkToggleButton *toggle_button, gpointer user_data)
{
    // A change in the group toggles the button going off too; only the one coming on acts.
    if (!gtk_toggle_button_get_active(toggle_button))
        return;
    const int data = GPOINTER_TO_INT(user_data);
    const int s = data & 15;
    const int page = data >> 4;
    if (!valid_switch(s))
        return;
    show_page_box(s, page);
    apply_auto_release_rule(s);
    update_changed_mark();
}

// The rule looks at the page shown, not at the list that changed.
void combobox_action_changed_cb(GtkComboBox *, gpointer user_data)
{
    const int s = GPOINTER_TO_INT(user_data);
    if (valid_switch(s))
        apply_auto_release_rule(s);
    update_changed_mark();
}

void configuration_edited_cb(GtkWidget *, gpointer)
{
    update_changed_mark();
}

void button_keyb_clicked_cb(GtkButton *, gpointer user_data)
{
    const int s = GPOINTER_TO_INT(user_data);
    if (!valid_switch(s))
        return;
    const captured_key key = dialog_capture_key(as_window(window_main), s + 1);
    // A cancelled or closed dialog gives a negative response; its low byte must not be taken
    // for a usage code.
    const int j = key.response > 0 ? key_list_entry(key.response & 0xFF) : -1;
    if (j < 0)
        return;
    // The boxes show what was held with the key, so a key pressed alone clears them.
    combo_set_active(combobox_keyb[s], j);
    set_active(checkbutton_control[s], (key.modifiers & modifier_control) != 0);
    set_active(checkbutton_shift[s], (key.modifiers & modifier_shift) != 0);
    set_active(checkbutton_alt[s], (key.modifiers & modifier_alt) != 0);
}

// The mouse button is not consulted: page 0 is what remains.
int get_page(int s)
{
    if (!valid_switch(s))
        return page_mouse;
    if (is_active(radiobutton_keyb[s]))
        return page_keyboard;
    if (is_active(radiobutton_joy[s]))
        return page_joystick;
    if (is_active(radiobutton_gen[s]))
        return page_generic;
    return page_mouse;
}

action_record read_switch_row(int s)
{
    if (!valid_switch(s))
        return {};
    // A list without a valid selection (only possible when its widget is missing) keeps the
    // stored kind and code rather than inventing an action. So does the key list's extra entry,
    // "Other action (kept as it is)"; on the other pages that entry keeps the whole record.
    action_record r = switch_action[s];
    const int32_t auto_release = auto_release_state(s) ? 1 : 0;
    const int page = get_page(s);
    if ((page == page_mouse && combo_active(combobox_mouse[s]) == static_cast<int>(mouse_combo_actions.size())) ||
        (page == page_joystick && combo_active(combobox_joy[s]) == static_cast<int>(joy_combo_actions.size())) ||
        (page == page_generic && combo_active(combobox_gen[s]) == static_cast<int>(gen_combo_actions.size())))
        return r;
    switch (page) {
    case page_keyboard: {
        r.kind = kind_keyboard_key;
        const int j = combo_active(combobox_keyb[s]);
        if (j >= 0 && j < n_keybd_hid_codes)
            r.code = keybd_hid_codes[j];
        else if (switch_action[s].kind != kind_keyboard_key)
            r.code = keybd_hid_codes[0];
        r.modifiers = (is_active(checkbutton_control[s]) ? 1 : 0) | (is_active(checkbutton_shift[s]) ? 2 : 0) |
                      (is_active(checkbutton_alt[s]) ? 4 : 0);
        r.auto_release = auto_release;
        break;
    }
    case page_joystick:
        if (const action_record *a = selected_action(joy_combo_actions, combobox_joy[s])) {
            r.kind = a->kind;
            r.code = a->code;
        } else if (r.kind != kind_joystick_button && r.kind != kind_joystick_movement) {
            r.kind = joy_combo_actions[0].action.kind;
            r.code = joy_combo_actions[0].action.code;
        }
        r.modifiers = 0;
        r.auto_release = auto_release;
        break;
    case page_generic:
        if (const action_record *a = selected_action(gen_combo_actions, combobox_gen[s])) {
            r.kind = a->kind;
            r.code = a->code;
        } else if (r.kind != kind_generic_event) {
            r.kind = gen_combo_actions[0].action.kind;
            r.code = gen_combo_actions[0].action.code;
        }
        r.modifiers = 0;
        r.auto_release = 0;  // a generic event never auto-releases, whatever the check button says
        break;
    default:
        if (const action_record *a = selected_action(mouse_combo_actions, combobox_mouse[s])) {
            r.kind = a->kind;
            r.code = a->code;
        } else if (r.kind != kind_mouse_button && r.kind != kind_mouse_movement) {
            r.kind = mouse_combo_actions[0].action.kind;
            r.code = mouse_combo_actions[0].action.code;
        }
        r.modifiers = 0;
        r.auto_release = auto_release;
        break;
    }
    return r;
}
