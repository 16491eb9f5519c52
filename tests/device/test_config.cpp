#include <gtest/gtest.h>

#include "device/config.h"

TEST(SetDefaults, LoadsMouseActionsPresetAndDisplacement)
{
    switch_action.fill({9, 9, 9, 0});
    mouse_speed = {1, 2, 3};
    mouse_stretch = {4, 5};
    mouse_speed_index = 0;
    joy_displacement = 32;

    set_defaults();

    EXPECT_EQ(mouse_speed, (std::array<int, 3>{5, 18, 7}));
    EXPECT_EQ(mouse_stretch, (std::array<int, 2>{40, 150}));
    EXPECT_EQ(mouse_speed_index, 3);
    EXPECT_EQ(joy_displacement, 115);
    EXPECT_EQ(joy_displacement_entry(joy_displacement), 3);  // "90%"
    // Switches 1 to 8 hold the mouse list's actions in list order, auto-release set.
    for (int i = 0; i < max_switches; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(switch_action[i].kind, mouse_combo_actions[i].action.kind);
        EXPECT_EQ(switch_action[i].code, mouse_combo_actions[i].action.code);
        EXPECT_EQ(switch_action[i].modifiers, 0);
        EXPECT_EQ(switch_action[i].auto_release, 1);
    }
}

TEST(SetDefaults, RewritesAllEightEntriesWhateverTheModel)
{
    connected_device_model = 1;  // a Mini has only two switches
    switch_action.fill({1, 4, 7, 0});
    set_defaults();
    for (int i = 0; i < max_switches; i++)
        EXPECT_EQ(switch_action[i].auto_release, 1) << i;
    connected_device_model = 0;
}

// Only a preset's own value is that preset; the byte as a report carries it counts.
TEST(DisplacementDisplay, OnlyAPresetsOwnValueIsThatPreset)
{
    const std::pair<int, int> cases[] = {
        {32, 0}, {64, 1}, {93, 2}, {115, 3}, {127, 4}, {127 - 256, 4}, {31, -1}, {63, -1},
        {100, -1}, {114, -1}, {126, -1}, {200, -1}, {-106, -1}, {0, -1},
    };
    for (auto [value, entry] : cases)
        EXPECT_EQ(joy_displacement_entry(value), entry) << value;
    // Any other value is shown as its share of 127, rounded, of the byte.
    const std::pair<int, int> percent[] = {{0, 0}, {1, 1}, {100, 79}, {127, 100}, {-106, 118}, {255, 201}, {-1, 201}};
    for (auto [value, expected] : percent)
        EXPECT_EQ(joy_displacement_percent(value), expected) << value;
}

TEST(Presets, ApplyCopiesAllFiveMouseNumbersTogether)
{
    configuration c = record_configuration();
    apply_mouse_speed_preset(c, 2);
    EXPECT_EQ(c.mouse_speed, (std::array<int, 3>{7, 18, 18}));
    EXPECT_EQ(c.mouse_stretch, (std::array<int, 2>{40, 150}));
    EXPECT_EQ(mouse_speed_preset_entry(c.mouse_speed, c.mouse_stretch), 2);
    apply_mouse_speed_preset(c, 7);  // out of range: nothing changes
    apply_mouse_speed_preset(c, 4);  // the list's entry for numbers of no preset: the same
    EXPECT_EQ(c.mouse_speed, (std::array<int, 3>{7, 18, 18}));

    apply_joy_displacement_preset(c, 3);
    EXPECT_EQ(c.joy_displacement, 115);
    apply_joy_displacement_preset(c, -1);
    apply_joy_displacement_preset(c, 5);
    EXPECT_EQ(c.joy_displacement, 115);
}

TEST(ActionTables, EveryEntryHasItsOwnKindAndCode)
{
    auto distinct = [](const auto &table) {
        for (size_t a = 0; a < table.size(); a++)
            for (size_t b = a + 1; b < table.size(); b++)
                if (table[a].action.kind == table[b].action.kind && table[a].action.code == table[b].action.code)
                    return false;
        return true;
    };
    EXPECT_TRUE(distinct(mouse_combo_actions));
    EXPECT_TRUE(distinct(joy_combo_actions));
    EXPECT_TRUE(distinct(gen_combo_actions));
    // Mouse lists right before left, the joystick left before right.
    EXPECT_EQ(mouse_combo_actions[6].action.code, 1);
    EXPECT_EQ(mouse_combo_actions[7].action.code, 2);
    EXPECT_EQ(joy_combo_actions[10].action.code, 2);
    EXPECT_EQ(joy_combo_actions[11].action.code, 1);
}
