#include "device/describe.h"

#include <glib/gi18n.h>

#include "device/keys.h"

namespace {

template <size_t N>
const char *table_text(const std::array<combo_action, N> &table, const action_record &a)
{
    for (const combo_action &entry : table)
        if (entry.action.kind == low_byte(a.kind) && entry.action.code == low_byte(a.code))
            return _(entry.text);
    return nullptr;
}

std::string key_text(const action_record &a)
{
    std::string text;
    const int modifiers = low_byte(a.modifiers);
    // TRANSLATORS: the Control key, as in "Control+A".
    if (modifiers & modifier_control)
        text += std::string(C_("modifier key", "Control")) + "+";
    if (modifiers & modifier_shift)
        text += std::string(C_("modifier key", "Shift")) + "+";
    if (modifiers & modifier_alt)
        text += std::string(C_("modifier key", "Alt")) + "+";
    const std::string name = take_string(get_keybd_hid_code_name(a.code));
    return text + (name.empty() ? printf_string(_("key code %d"), low_byte(a.code)) : name);
}

// Whether the box gives this action an auto-release at all (the window's rule).
bool has_auto_release(const action_record &a)
{
    switch (low_byte(a.kind)) {
    case kind_keyboard_key:
    case kind_joystick_button:
        return true;
    case kind_mouse_button:
        return low_byte(a.code) == 0 || low_byte(a.code) == 1;
    default:
        return false;
    }
}

}  // namespace

std::string take_string(gchar *text)
{
    std::string result = text ? text : "";
    g_free(text);
    return result;
}

std::string describe_action(const action_record &a)
{
    const char *page = nullptr;
    const char *entry = nullptr;
    std::string key;
    switch (low_byte(a.kind)) {
    case kind_mouse_button:
    case kind_mouse_movement:
        page = C_("action page", "Mouse");
        entry = table_text(mouse_combo_actions, a);
        break;
    case kind_keyboard_key:
        page = C_("action page", "Keyboard");
        key = key_text(a);
        entry = key.c_str();
        break;
    case kind_joystick_button:
    case kind_joystick_movement:
        page = C_("action page", "Joystick");
        entry = table_text(joy_combo_actions, a);
        break;
    case kind_generic_event:
        page = C_("action page", "Event");
        entry = table_text(gen_combo_actions, a);
        break;
    default:
        break;
    }
    std::string text;
    if (page && entry)
        text = std::string(page) + ", " + entry;
    else
        // TRANSLATORS: an action that this version does not know, by its two numbers.
        text = printf_string(_("Other action (kind %d, code %d)"), low_byte(a.kind), low_byte(a.code));
    if (low_byte(a.auto_release) != 0 && has_auto_release(a))
        text += std::string(", ") + _("auto-release");
    return text;
}

std::string describe_input(const received_input &input)
{
    switch (input.kind) {
    case input_kind::key:
        return key_text({kind_keyboard_key, input.code, input.modifiers, 0});
    case input_kind::mouse_button:
        switch (input.code) {
        case 1: return _("Left click");
        case 2: return _("Right click");
        // TRANSLATORS: the middle mouse button (often the wheel) was pressed.
        case 3: return _("Middle click");
        default:
            // TRANSLATORS: a mouse button other than left, right and middle, by its number.
            return printf_string(_("Mouse button %d"), input.code);
        }
    case input_kind::double_click:
        return _("Double click");
    case input_kind::mouse_move:
        // The mouse's entries of the action list say it already: "Move up".
        if (const char *text = table_text(mouse_combo_actions, {kind_mouse_movement, input.code, 0, 0}))
            return text;
        return {};
    case input_kind::joystick_button:
        return printf_string(_("Joystick button %d"), input.code);
    case input_kind::joystick_move:
        switch (input.code) {
        // TRANSLATORS: the joystick was pushed up (as received from the box in a switch test).
        case 4: return _("Joystick up");
        case 8: return _("Joystick down");
        case 2: return _("Joystick left");
        default: return _("Joystick right");
        }
    case input_kind::generic_event:
        if (const char *text = table_text(gen_combo_actions, {kind_generic_event, input.code, 0, 0}))
            return text;
        // TRANSLATORS: a generic event of the box, by its number.
        return printf_string(_("Event %d"), input.code);
    }
    return {};
}

std::string describe_not_from_a_switch()
{
    // TRANSLATORS: shown in the switch test for a key, click or movement from the box that no
    // switch's action would send.
    return _("Not from a switch");
}

std::string switch_numbers_text(const std::vector<int> &switches)
{
    std::string text;
    for (int number : switches) {
        if (!text.empty())
            text += ",";
        text += std::to_string(number);
    }
    return text;
}

std::string switch_event_line(const switch_event &event)
{
    if (event.switches.empty())
        return {};
    return switch_numbers_text(event.switches) + (event.pressed ? "\tpressed\t" : "\treleased\t") +
           describe_input(event.input) + "\n";
}

std::string describe_mouse_speed(const configuration &c)
{
    const int preset = mouse_speed_preset_entry(c.mouse_speed, c.mouse_stretch);
    if (preset >= 0)
        return _(mouse_combo_speeds[preset].label);
    return printf_string("%s (%d, %d, %d; %d, %d)", _("As set in the device"), low_byte(c.mouse_speed[0]),
                         low_byte(c.mouse_speed[1]), low_byte(c.mouse_speed[2]), low_byte(c.mouse_stretch[0]),
                         low_byte(c.mouse_stretch[1]));
}

std::string describe_joy_displacement(const configuration &c)
{
    const int entry = joy_displacement_entry(c.joy_displacement);
    if (entry >= 0)
        return _(joy_combo_displacements[entry].label);
    return printf_string(_("%d%%"), joy_displacement_percent(c.joy_displacement));
}
