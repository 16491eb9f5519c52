// Switch actions and device-wide settings in words, in the user's language, for files and the
// printed page. Works without a display (key names then follow a US keyboard).
#pragma once

#include <string>
#include <vector>

#include <glib.h>

#include "device/config.h"
#include "device/switch_test.h"

// "Keyboard, Control+A, auto-release": the kind of action, what it does, and auto-release
// where the action has it.
std::string describe_action(const action_record &a);
// What the computer received from a box in a switch test: "Space", "Control+A", "Left click",
// "Joystick button 1", "Move up".
std::string describe_input(const received_input &input);
// What a switch test shows for an input that no switch's action explains.
std::string describe_not_from_a_switch();
// "6,7": switch numbers as the command line prints them.
std::string switch_numbers_text(const std::vector<int> &switches);
// The command line's line for an event of a switch test: "6,7\tpressed\tSpace\n" (the middle
// word never translated); empty for an event that is not from a switch.
std::string switch_event_line(const switch_event &event);
// The mouse speed preset that these numbers are, or the five numbers.
std::string describe_mouse_speed(const configuration &c);
// The joystick displacement as a percentage of the largest one.
std::string describe_joy_displacement(const configuration &c);

// The text of a newly allocated string (null reads as empty), which it frees.
std::string take_string(gchar *text);
// g_strdup_printf's text as a string.
template <typename... T>
std::string printf_string(const char *format, T... args)
{
    return take_string(g_strdup_printf(format, args...));
}
