// Device models, the configuration record, its action vocabulary, presets and defaults.
// Process-wide state, read and written on the GUI thread only.
#pragma once

#include <array>
#include <cstdint>

constexpr int n_models = 2;
constexpr int max_switches = 8;  // every per-switch array is sized for the largest model

// One switch's action, in the order the reports carry its fields.
struct action_record {
    int32_t kind;
    int32_t code;
    int32_t modifiers;     // 1 Control, 2 Shift, 4 Alt
    int32_t auto_release;  // 0 or 1
    bool operator==(const action_record &) const = default;
};

// Action kinds.
enum : int32_t {
    kind_mouse_button = 0,
    kind_keyboard_key = 1,
    kind_joystick_button = 2,
    kind_mouse_movement = 3,
    kind_joystick_movement = 4,
    kind_generic_event = 5,
};

// The model table, indexed by model index (0 "Zevrin", 1 "Zevrin Mini"): what every part of the
// program knows of the two boxes.
inline constexpr std::array<const char *, n_models> model_name = {"Zevrin", "Zevrin Mini"};
inline constexpr std::array<const char *, n_models> model_id = {"zevrin", "zevrin_mini"};
inline constexpr std::array<int, n_models> model_n_switches = {8, 2};
inline constexpr std::array<int, n_models> model_output_report_id = {0, 0};
// How a box names itself on USB: the vendor, the model's product, and the usage page of the
// collection that carries the configuration reports (the first vendor-defined one).
inline constexpr int model_vendor_id = 0xEE50;
inline constexpr std::array<int, n_models> model_product_id = {0x0102, 0x0103};
inline constexpr int model_usage_page = 0xFF00;

// The model of a USB product, or -1 when it is none of ours.
constexpr int model_of_product(int product_id)
{
    for (int m = 0; m < n_models; m++)
        if (model_product_id[m] == product_id)
            return m;
    return -1;
}

// A stored field as it travels in a report and as files keep it: its low 8 bits.
constexpr int low_byte(int value)
{
    return value & 0xFF;
}

// Connection state, written only by the device event hub.
extern int device_connected;
extern int connected_device_model;
extern int connected_device_id_out;
extern int connected_device_id_in;

extern std::array<action_record, max_switches> switch_action;

// An entry of an editor list: its (untranslated) text and the action it stands for.
struct combo_action {
    const char *text;
    action_record action;
};
extern const std::array<combo_action, 8> mouse_combo_actions;
extern const std::array<combo_action, 12> joy_combo_actions;
extern const std::array<combo_action, 8> gen_combo_actions;

struct mouse_speed_preset {
    const char *label;
    int speed[3];
    int stretch[2];
};
extern const std::array<mouse_speed_preset, 4> mouse_combo_speeds;

struct joy_displacement_preset {
    const char *label;
    int value;
};
extern const std::array<joy_displacement_preset, 5> joy_combo_displacements;

extern std::array<int, 3> mouse_speed;
extern std::array<int, 2> mouse_stretch;
// The preset whose numbers mouse_speed and mouse_stretch hold, -1 when they are of none.
extern int mouse_speed_index;
extern int joy_displacement;
extern const int default_mouse_speed_index;
extern const int default_joy_displacement;

extern const std::array<action_record, max_switches> default_switch_action;

void set_defaults();
// The preset whose five numbers these are, or -1 when none is. Numbers are compared as the
// reports carry them (low 8 bits), so a stretch of 150 read back as -106 is still 150.
int mouse_speed_preset_entry(const std::array<int, 3> &speed, const std::array<int, 2> &stretch);
// The entry of joy_combo_displacements whose value is `value` (low 8 bits), or -1.
int joy_displacement_entry(int value);
// A displacement as a percentage of the largest one, 127, rounded: 100 gives 79.
int joy_displacement_percent(int value);

// A whole configuration as a box holds it: the switch records and the device-wide settings.
struct configuration {
    std::array<action_record, max_switches> switches;
    std::array<int, 3> mouse_speed;
    std::array<int, 2> mouse_stretch;
    int joy_displacement;
};

// Preset application: mouse speed preset k sets the five mouse numbers of `c`, displacement
// entry k its displacement; an index outside the table changes nothing.
void apply_mouse_speed_preset(configuration &c, int k);
void apply_joy_displacement_preset(configuration &c, int k);
// Whether a box given `a` and one given `b` would hold the same bytes, for the first
// `n_switches` switches and the settings; for one switch; for the settings alone.
bool same_configuration(const configuration &a, const configuration &b, int n_switches);
bool same_action_bytes(const action_record &a, const action_record &b);
bool same_settings_bytes(const configuration &a, const configuration &b);
// `base` with its first `n` switches and the settings taken from `from`.
configuration with_switches_and_settings(const configuration &base, const configuration &from, int n);
// The record (switch_action and the settings) as one configuration.
configuration record_configuration();
// Replaces the record by `c`: switch_action and the settings take its values, mouse_speed_index
// the preset of its mouse numbers (-1 for none), and config_generation counts one more.
void set_record(const configuration &c);

// 1 while the record holds the configuration of the connected box, completely read (and since
// perhaps changed in the window or written): the window shows the rows and offers Write only
// then. Cleared by a new connection, a disconnection and the start of every read.
extern int config_valid;
// What the connected box holds, as far as the program knows: its configuration as last
// completely read, or as last written when every report of the write reached it.
extern configuration box_configuration;
// Counts every replacement of the record (a completed read, the defaults, a write), so that the
// window sets its rows anew only then and not on every refresh.
extern unsigned config_generation;
