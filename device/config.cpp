#include "device/config.h"

#include <glib/gi18n.h>

int device_connected = 0;
int connected_device_model = 0;
int connected_device_id_out = -1;
int connected_device_id_in = -1;

std::array<action_record, max_switches> switch_action = {};

// The position of an entry in its editor list is its index here.
const std::array<combo_action, 8> mouse_combo_actions = {{
    {N_("Left click"), {kind_mouse_button, 0, 0, 0}},
    {N_("Right click"), {kind_mouse_button, 1, 0, 0}},
    {N_("Double click"), {kind_mouse_button, 2, 0, 0}},
    {N_("Drag/Drop"), {kind_mouse_button, 3, 0, 0}},
    {N_("Move up"), {kind_mouse_movement, 4, 0, 0}},
    {N_("Move down"), {kind_mouse_movement, 8, 0, 0}},
    {N_("Move right"), {kind_mouse_movement, 1, 0, 0}},
    {N_("Move left"), {kind_mouse_movement, 2, 0, 0}},
}};

const std::array<combo_action, 12> joy_combo_actions = {{
    {N_("Button 1"), {kind_joystick_button, 0, 0, 0}},
    {N_("Button 2"), {kind_joystick_button, 1, 0, 0}},
    {N_("Button 3"), {kind_joystick_button, 2, 0, 0}},
    {N_("Button 4"), {kind_joystick_button, 3, 0, 0}},
    {N_("Button 5"), {kind_joystick_button, 4, 0, 0}},
    {N_("Button 6"), {kind_joystick_button, 5, 0, 0}},
    {N_("Button 7"), {kind_joystick_button, 6, 0, 0}},
    {N_("Button 8"), {kind_joystick_button, 7, 0, 0}},
    {N_("Move up"), {kind_joystick_movement, 4, 0, 0}},
    {N_("Move down"), {kind_joystick_movement, 8, 0, 0}},
    {N_("Move left"), {kind_joystick_movement, 2, 0, 0}},
    {N_("Move right"), {kind_joystick_movement, 1, 0, 0}},
}};

const std::array<combo_action, 8> gen_combo_actions = {{
    {N_("Event 1"), {kind_generic_event, 1, 0, 0}},
    {N_("Event 2"), {kind_generic_event, 2, 0, 0}},
    {N_("Event 3"), {kind_generic_event, 3, 0, 0}},
    {N_("Event 4"), {kind_generic_event, 4, 0, 0}},
    {N_("Event 5"), {kind_generic_event, 5, 0, 0}},
    {N_("Event 6"), {kind_generic_event, 6, 0, 0}},
    {N_("Event 7"), {kind_generic_event, 7, 0, 0}},
    {N_("Event 8"), {kind_generic_event, 8, 0, 0}},
}};

const std::array<mouse_speed_preset, 4> mouse_combo_speeds = {{
    {N_("Constant (slow)"), {5, 5, 5}, {40, 150}},
    {N_("Constant (fast)"), {12, 12, 12}, {40, 150}},
    {N_("Accelerate"), {7, 18, 18}, {40, 150}},
    {N_("Accelerate and brake"), {5, 18, 7}, {40, 150}},
}};

const std::array<joy_displacement_preset, 5> joy_combo_displacements = {{
    {N_("25%"), 32},
    {N_("50%"), 64},
    {N_("75%"), 93},
    {N_("90%"), 115},
    {N_("100%"), 127},
}};

// Start values equal the defaults (preset 3 and 115).
std::array<int, 3> mouse_speed = {5, 18, 7};
std::array<int, 2> mouse_stretch = {40, 150};
int mouse_speed_index = 3;
int joy_displacement = 115;
const int default_mouse_speed_index = 3;
const int default_joy_displacement = 115;

const std::array<action_record, max_switches> default_switch_action = {{
    {kind_mouse_button, 0, 0, 1},
    {kind_mouse_button, 1, 0, 1},
    {kind_mouse_button, 2, 0, 1},
    {kind_mouse_button, 3, 0, 1},
    {kind_mouse_movement, 4, 0, 1},
    {kind_mouse_movement, 8, 0, 1},
    {kind_mouse_movement, 1, 0, 1},
    {kind_mouse_movement, 2, 0, 1},
}};

void apply_mouse_speed_preset(configuration &c, int k)
{
    if (k < 0 || k >= static_cast<int>(mouse_combo_speeds.size()))
        return;
    c.mouse_speed = std::to_array(mouse_combo_speeds[k].speed);
    c.mouse_stretch = std::to_array(mouse_combo_speeds[k].stretch);
}

void apply_joy_displacement_preset(configuration &c, int k)
{
    if (k < 0 || k >= static_cast<int>(joy_combo_displacements.size()))
        return;
    c.joy_displacement = joy_combo_displacements[k].value;
}

namespace {

template <size_t N>
bool same_bytes(const std::array<int, N> &a, const std::array<int, N> &b)
{
    for (size_t i = 0; i < N; i++)
        if (low_byte(a[i]) != low_byte(b[i]))
            return false;
    return true;
}

}  // namespace

bool same_action_bytes(const action_record &a, const action_record &b)
{
    return low_byte(a.kind) == low_byte(b.kind) && low_byte(a.code) == low_byte(b.code) &&
           low_byte(a.modifiers) == low_byte(b.modifiers) && low_byte(a.auto_release) == low_byte(b.auto_release);
}

bool same_settings_bytes(const configuration &a, const configuration &b)
{
    return same_bytes(a.mouse_speed, b.mouse_speed) && same_bytes(a.mouse_stretch, b.mouse_stretch) &&
           low_byte(a.joy_displacement) == low_byte(b.joy_displacement);
}

int mouse_speed_preset_entry(const std::array<int, 3> &speed, const std::array<int, 2> &stretch)
{
    for (size_t k = 0; k < mouse_combo_speeds.size(); k++) {
        const mouse_speed_preset &p = mouse_combo_speeds[k];
        if (same_bytes(speed, std::to_array(p.speed)) && same_bytes(stretch, std::to_array(p.stretch)))
            return static_cast<int>(k);
    }
    return -1;
}

int joy_displacement_entry(int value)
{
    for (size_t k = 0; k < joy_combo_displacements.size(); k++)
        if (low_byte(value) == joy_combo_displacements[k].value)
            return static_cast<int>(k);
    return -1;
}

int joy_displacement_percent(int value)
{
    const int largest = joy_combo_displacements.back().value;
    return (low_byte(value) * 100 + largest / 2) / largest;
}

int config_valid = 0;
configuration box_configuration = {};
unsigned config_generation = 1;

bool same_configuration(const configuration &a, const configuration &b, int n_switches)
{
    for (int s = 0; s < n_switches && s < max_switches; s++)
        if (!same_action_bytes(a.switches[s], b.switches[s]))
            return false;
    return same_settings_bytes(a, b);
}

configuration with_switches_and_settings(const configuration &base, const configuration &from, int n)
{
    configuration c = base;
    for (int s = 0; s < n && s < max_switches; s++)
        c.switches[s] = from.switches[s];
    c.mouse_speed = from.mouse_speed;
    c.mouse_stretch = from.mouse_stretch;
    c.joy_displacement = from.joy_displacement;
    return c;
}

configuration record_configuration()
{
    return {switch_action, mouse_speed, mouse_stretch, joy_displacement};
}

void set_record(const configuration &c)
{
    switch_action = c.switches;
    mouse_speed = c.mouse_speed;
    mouse_stretch = c.mouse_stretch;
    joy_displacement = c.joy_displacement;
    mouse_speed_index = mouse_speed_preset_entry(mouse_speed, mouse_stretch);
    config_generation++;
}

void set_defaults()
{
    configuration c{default_switch_action, {}, {}, default_joy_displacement};
    apply_mouse_speed_preset(c, default_mouse_speed_index);
    set_record(c);
}
