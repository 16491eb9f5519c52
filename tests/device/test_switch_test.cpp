// The switch test over the report descriptors of a composite box: reports of its keyboard,
// mouse and joystick interfaces (apart, or on one interface with report IDs) and its generic
// event notices, turned into presses and releases of switches, with their texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/describe.h"
#include "device/switch_test.h"
#include "hid/report_descriptor.h"
#include "tests/hid/box_descriptors.h"

namespace {

using bytes = std::vector<unsigned char>;

hid_descriptor_info parse(const bytes &d)
{
    return parse_report_descriptor(d.data(), d.size());
}

// An action no input explains (a kind the box does not have).
const action_record none = {99, 0, 0, 0};

configuration with_actions(std::vector<action_record> actions)
{
    configuration c = {};
    c.switches.fill(none);
    for (size_t i = 0; i < actions.size(); i++)
        c.switches[i] = actions[i];
    return c;
}

// 1 Space, 2 Control+A, 3 left click, 4 right click, 5 joystick button 1, 6 joystick up,
// 7 mouse right, 8 generic event 3.
const configuration box = with_actions({
    {kind_keyboard_key, 0x2C, 0, 0},
    {kind_keyboard_key, 0x04, 1, 0},
    {kind_mouse_button, 0, 0, 0},
    {kind_mouse_button, 1, 0, 0},
    {kind_joystick_button, 0, 0, 0},
    {kind_joystick_movement, 4, 0, 0},
    {kind_mouse_movement, 1, 0, 0},
    {kind_generic_event, 3, 0, 0},
});

// "7 pressed Move right @20" ("-" for no switch): what the command line and the window show.
std::string line(const switch_event &e)
{
    const std::string who = e.switches.empty() ? "-" : switch_numbers_text(e.switches);
    return who + (e.pressed ? " pressed " : " released ") + describe_input(e.input) + " @" +
           std::to_string(e.time_ms);
}

// One step of a box: a report of an interface ('k', 'm', 'j' for the composite box, 'n' for
// the interface with report IDs), a generic event notice of the configuration interface ('c',
// bytes the event number and whether it ended), or the clock ('t', bytes empty).
struct step {
    char source;
    int64_t time;
    bytes data;
};

struct session {
    switch_test test;
    size_t k, m, j, n;

    explicit session(const configuration &c, switch_test_timing timing = {})
        : test(c, max_switches, timing)
    {
        k = test.add_interface(parse(box_descriptors::keyboard));
        m = test.add_interface(parse(box_descriptors::mouse));
        j = test.add_interface(parse(box_descriptors::joystick));
        n = test.add_interface(parse(box_descriptors::numbered));
    }

    std::vector<std::string> run(const std::vector<step> &steps)
    {
        std::vector<std::string> lines;
        for (const step &s : steps) {
            std::vector<switch_event> events;
            if (s.source == 't')
                events = test.tick(s.time);
            else if (s.source == 'c')
                events = test.generic_event(s.data.at(0), s.data.at(1) != 0, s.time);
            else
                events = test.report(s.source == 'k' ? k : s.source == 'm' ? m : s.source == 'j' ? j : n,
                                     s.data.data(), s.data.size(), s.time);
            for (const switch_event &e : events)
                lines.push_back(line(e));
        }
        return lines;
    }
};

const bytes no_keys = {0, 0, 0, 0, 0, 0, 0, 0};
const bytes mouse_still = {0, 0, 0, 0};
const bytes joystick_centred = {0, 0, 0x0F, 0};

struct session_case {
    const char *name;
    std::vector<step> steps;
    std::vector<std::string> expected;
};

void run_cases(const configuration &c, const std::vector<session_case> &cases)
{
    for (const session_case &sc : cases) {
        session s(c);
        EXPECT_EQ(s.run(sc.steps), sc.expected) << sc.name;
    }
}

TEST(SwitchTest, EachKindOfActionIsPressedAndReleasedOnItsInterface)
{
    run_cases(box, {
        {"key", {{'k', 1, {0, 0, 0x2C, 0, 0, 0, 0, 0}}, {'k', 2, no_keys}},
         {"1 pressed Space @1", "1 released Space @2"}},
        {"key with Control in the same report",
         {{'k', 1, {0x01, 0, 0x04, 0, 0, 0, 0, 0}}, {'k', 2, no_keys}},
         {"2 pressed Control+A @1", "2 released Control+A @2"}},
        // Right Control counts as Control; the key keeps it when the modifier goes first.
        {"modifier before and after the key",
         {{'k', 1, {0x10, 0, 0, 0, 0, 0, 0, 0}}, {'k', 2, {0x10, 0, 0x04, 0, 0, 0, 0, 0}},
          {'k', 3, {0, 0, 0x04, 0, 0, 0, 0, 0}}, {'k', 4, no_keys}},
         {"2 pressed Control+A @2", "2 released Control+A @4"}},
        {"a key without the switch's modifier is not from it",
         {{'k', 1, {0, 0, 0x04, 0, 0, 0, 0, 0}}, {'k', 2, no_keys}},
         {"- pressed A @1", "- released A @2"}},
        {"two keys in one report, one released",
         {{'k', 1, {0, 0, 0x2C, 0x05, 0, 0, 0, 0}}, {'k', 2, {0, 0, 0x05, 0, 0, 0, 0, 0}},
          {'k', 3, no_keys}},
         {"- pressed B @1", "1 pressed Space @1", "1 released Space @2", "- released B @3"}},
        {"rollover error reports no key", {{'k', 1, {0, 0, 1, 1, 1, 1, 1, 1}}}, {}},
        {"mouse buttons",
         {{'m', 1, {0x01, 0, 0, 0}}, {'m', 2, {0x03, 0, 0, 0}}, {'m', 3, {0x04, 0, 0, 0}},
          {'m', 4, mouse_still}},
         {"3 pressed Left click @1", "4 pressed Right click @2", "3 released Left click @3",
          "4 released Right click @3", "- pressed Middle click @3", "- released Middle click @4"}},
        {"movement held while reports keep coming, released by a still one",
         {{'m', 0, {0, 5, 0, 0}}, {'m', 20, {0, 5, 0, 0}}, {'t', 150, {}}, {'m', 170, {0, 5, 0, 0}},
          {'m', 190, mouse_still}},
         {"7 pressed Move right @0", "7 released Move right @190"}},
        {"movement released after the quiet time",
         {{'m', 0, {0, 5, 0, 0}}, {'t', 199, {}}, {'t', 200, {}}},
         {"7 pressed Move right @0", "7 released Move right @200"}},
        {"a diagonal is two directions; turning releases the old one",
         {{'m', 0, {0, 0xFB, 0xFB, 0}}, {'m', 10, {0, 0, 0xFB, 0}}, {'m', 20, {0, 0, 3, 0}},
          {'m', 30, mouse_still}},
         {"- pressed Move left @0", "- pressed Move up @0", "- released Move left @10",
          "- released Move up @20", "- pressed Move down @20", "- released Move down @30"}},
        {"joystick button and hat",
         {{'j', 1, {0, 0, 0x0F, 0x01}}, {'j', 2, {0, 0, 0x00, 0x01}}, {'j', 3, joystick_centred},
          {'j', 4, {0, 0, 0x01, 0}}, {'j', 5, joystick_centred}},
         {"5 pressed Joystick button 1 @1", "6 pressed Joystick up @2",
          "5 released Joystick button 1 @3", "6 released Joystick up @3",
          "- pressed Joystick right @4", "6 pressed Joystick up @4",
          "- released Joystick right @5", "6 released Joystick up @5"}},
        {"joystick axes away from the centre; small deflections are centred",
         {{'j', 1, {0, 0x81, 0x0F, 0}}, {'j', 2, {0x08, 0xF8, 0x0F, 0}}, {'j', 3, {0x7F, 0, 0x0F, 0}},
          {'j', 4, joystick_centred}},
         {"6 pressed Joystick up @1", "6 released Joystick up @2", "- pressed Joystick right @3",
          "- released Joystick right @4"}},
        {"generic event notices",
         {{'c', 1, {3, 0}}, {'c', 2, {5, 0}}, {'c', 3, {3, 1}}, {'c', 4, {5, 1}}},
         {"8 pressed Event 3 @1", "- pressed Event 5 @2", "8 released Event 3 @3",
          "- released Event 5 @4"}},
    });
}

TEST(SwitchTest, OneInterfaceWithReportIdsKeepsEachReportsInputsApart)
{
    bytes space(15, 0);
    space[0] = 1;
    space[2 + 0x2C / 8] = 1 << (0x2C % 8);
    bytes control_a(15, 0);
    control_a[0] = 1;
    control_a[1] = 0x01;
    control_a[2] = 1 << 4;
    bytes keys_up(15, 0);
    keys_up[0] = 1;
    run_cases(box, {
        {"keyboard bitmap, mouse and joystick reports interleaved",
         {{'n', 1, space}, {'n', 2, {2, 0x01, 0, 0, 0}}, {'n', 3, {3, 0, 0, 0x0F, 0x01}},
          {'n', 4, {2, 0, 0, 0, 0}}, {'n', 5, keys_up}, {'n', 6, {3, 0, 0, 0x0F, 0}},
          {'n', 7, control_a}, {'n', 8, keys_up}},
         {"1 pressed Space @1", "3 pressed Left click @2", "5 pressed Joystick button 1 @3",
          "3 released Left click @4", "1 released Space @5", "5 released Joystick button 1 @6",
          "2 pressed Control+A @7", "2 released Control+A @8"}},
        {"unknown report IDs, short reports and an empty one change nothing",
         {{'n', 1, space}, {'n', 2, {9, 0xFF, 0xFF}}, {'n', 3, {1}}, {'n', 4, {}}, {'n', 5, keys_up}},
         {"1 pressed Space @1", "1 released Space @3"}},
    });
}

TEST(SwitchTest, SwitchesWithTheSameActionAreReportedTogetherAndCounted)
{
    const configuration c = with_actions({{kind_mouse_button, 3, 0, 0}, {kind_keyboard_key, 0x05, 0, 0},
                                          {kind_mouse_button, 0, 0, 0}, none, none, {kind_keyboard_key, 0x2C, 0, 0},
                                          {kind_keyboard_key, 0x2C, 0, 1}, {kind_mouse_movement, 5, 0, 0}});
    session s(c);
    // Drag and left click both hold the left button; a diagonal switch explains two directions.
    EXPECT_EQ(s.run({{'k', 10, {0, 0, 0x2C, 0, 0, 0, 0, 0}}, {'k', 35, no_keys},
                     {'k', 50, {0, 0, 0x2C, 0, 0, 0, 0, 0}}, {'k', 60, no_keys},
                     {'m', 70, {1, 0, 0, 0}}, {'m', 80, mouse_still},
                     {'m', 90, {0, 2, 0xFE, 0}}, {'m', 95, mouse_still}}),
              (std::vector<std::string>{"6,7 pressed Space @10", "6,7 released Space @35",
                                        "6,7 pressed Space @50", "6,7 released Space @60",
                                        "1,3 pressed Left click @70", "1,3 released Left click @80",
                                        "8 pressed Move right @90", "8 pressed Move up @90",
                                        "8 released Move right @95", "8 released Move up @95"}));
    EXPECT_EQ(s.test.counter(5).presses, 2);
    EXPECT_EQ(s.test.counter(6).presses, 2);
    EXPECT_EQ(s.test.counter(6).last_duration_ms, 10);
    EXPECT_EQ(s.test.counter(0).presses, 1);
    EXPECT_EQ(s.test.counter(1).presses, 0);
    EXPECT_EQ(s.test.counter(1).last_duration_ms, -1);
    EXPECT_EQ(s.test.counter(99).presses, 0);
}

TEST(SwitchTest, ADoubleClickIsOnePressOfItsSwitchAndTheFirstClickWaitsOnlyWhenItMust)
{
    const bytes down = {1, 0, 0, 0};
    const std::vector<step> double_click = {{'m', 0, down}, {'m', 30, mouse_still}, {'m', 60, down},
                                            {'m', 90, mouse_still}, {'t', 1000, {}}};
    // Only a double click switch: shown at once.
    run_cases(with_actions({none, none, {kind_mouse_button, 2, 0, 0}}), {
        {"double click alone", double_click,
         {"3 pressed Double click @0", "3 released Double click @90"}},
        {"a single click of it (not what a box sends)",
         {{'m', 0, down}, {'m', 30, mouse_still}, {'t', 279, {}}, {'t', 280, {}}},
         {"3 pressed Double click @0", "3 released Double click @30"}},
    });
    // A left click switch beside it: the first click is settled by the second or the gap.
    const configuration mixed =
        with_actions({none, none, {kind_mouse_button, 0, 0, 0}, {kind_mouse_button, 2, 0, 0}});
    run_cases(mixed, {
        {"double click beside a left click", double_click,
         {"4 pressed Double click @0", "4 released Double click @90"}},
        {"single click beside a double click",
         {{'m', 0, down}, {'m', 100, mouse_still}, {'t', 349, {}}, {'t', 350, {}}},
         {"3 pressed Left click @0", "3 released Left click @100"}},
        {"held beside a double click",
         {{'m', 0, down}, {'t', 250, {}}, {'m', 1000, mouse_still}},
         {"3 pressed Left click @0", "3 released Left click @1000"}},
        {"a report after the gap settles the first click before its own change",
         {{'m', 0, down}, {'m', 10, mouse_still}, {'m', 400, down}, {'m', 410, mouse_still},
          {'t', 700, {}}},
         {"3 pressed Left click @0", "3 released Left click @10", "3 pressed Left click @400",
          "3 released Left click @410"}},
    });
    session s(mixed);
    s.run({{'m', 0, down}});
    EXPECT_EQ(s.test.next_deadline(), 250);
    s.run({{'m', 30, mouse_still}});
    EXPECT_EQ(s.test.next_deadline(), 280);
    s.run({{'m', 60, down}, {'m', 90, mouse_still}});
    EXPECT_EQ(s.test.counter(3).presses, 1);
    EXPECT_EQ(s.test.counter(3).last_duration_ms, 90);
    EXPECT_EQ(s.test.counter(2).presses, 0);
    EXPECT_EQ(s.test.next_deadline(), -1);
}

TEST(SwitchTest, EndingReleasesWhatIsHeldAndDeadlinesSayWhenToTick)
{
    session s(box);
    EXPECT_EQ(s.test.next_deadline(), -1);
    s.run({{'k', 0, {0, 0, 0x2C, 0, 0, 0, 0, 0}}, {'m', 10, {0, 5, 0, 0}}, {'m', 40, {0, 5, 0, 0}},
           {'c', 50, {3, 0}}});
    EXPECT_EQ(s.test.next_deadline(), 240);
    EXPECT_EQ(s.test.held().size(), 3u);
    std::vector<std::string> lines;
    for (const switch_event &e : s.test.release_all(60))
        lines.push_back(line(e));
    EXPECT_EQ(lines, (std::vector<std::string>{"1 released Space @60", "7 released Move right @60",
                                               "8 released Event 3 @60"}));
    EXPECT_TRUE(s.test.held().empty());
    EXPECT_EQ(s.test.next_deadline(), -1);
    EXPECT_EQ(s.test.counter(0).last_duration_ms, 60);
    EXPECT_FALSE(s.test.counter(0).held);
}

TEST(SwitchTest, HostileReportsAndDescriptorsNeverBreakThePairing)
{
    // Noise into every interface, and into an interface whose descriptor is noise too: every
    // release follows a press of the same input, and what is held matches.
    uint32_t seed = 777;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<unsigned char>(seed >> 24);
    };
    bytes noise_descriptor(300);
    for (unsigned char &b : noise_descriptor)
        b = next();
    const configuration mixed = with_actions({{kind_mouse_button, 0, 0, 0}, {kind_mouse_button, 2, 0, 0},
                                              {kind_mouse_movement, 3, 0, 0}, {kind_keyboard_key, 0xE1, 0, 0}});
    for (const configuration *c : {&box, &mixed}) {
        session s(*c);
        const size_t odd = s.test.add_interface(parse(noise_descriptor));
        std::set<received_input> held;
        for (int round = 0; round < 5000; round++) {
            bytes report(next() % 20);
            for (unsigned char &b : report)
                b = next();
            const size_t target = static_cast<size_t>(round % 5);
            const auto events = target == 4 ? s.test.report(odd, report.data(), report.size(), round)
                                            : s.test.report(target, report.data(), report.size(), round);
            for (const switch_event &e : events) {
                if (e.pressed)
                    ASSERT_TRUE(held.insert(e.input).second) << round;
                else
                    ASSERT_EQ(held.erase(e.input), 1u) << round;
            }
            ASSERT_EQ(held, s.test.held()) << round;
        }
        for (const switch_event &e : s.test.release_all(6000))
            ASSERT_EQ(held.erase(e.input), 1u);
        EXPECT_TRUE(held.empty());
    }
}

TEST(SwitchTest, ArrayFieldsNameTheirUsagesByIndexAndNothingBeyondThem)
{
    // A game pad whose buttons come as two 2-bit slots, logical 1 to 3, over the listed
    // usages buttons 1 and 2 only: 3 is beyond the list, 0 below the minimum.
    const bytes pad = {0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0x05, 0x09, 0x09, 0x01, 0x09, 0x02,
                       0x15, 0x01, 0x25, 0x03, 0x75, 0x02, 0x95, 0x02, 0x81, 0x00, 0xC0};
    switch_test test(box, max_switches);
    const size_t i = test.add_interface(parse(pad));
    std::vector<std::string> lines;
    for (unsigned char report : {0x0D, 0x08, 0x06, 0x00})  // slots (1, 3), (0, 2), (2, 1), none
        for (const switch_event &e : test.report(i, &report, 1, report))
            lines.push_back(line(e));
    EXPECT_EQ(lines, (std::vector<std::string>{"5 pressed Joystick button 1 @13", "5 released Joystick button 1 @8",
                                               "- pressed Joystick button 2 @8", "5 pressed Joystick button 1 @6",
                                               "5 released Joystick button 1 @0", "- released Joystick button 2 @0"}));
}

TEST(SwitchTest, ReceivedInputsInWords)
{
    const struct {
        received_input input;
        const char *text;
    } cases[] = {
        {{input_kind::key, 0x2C, 0}, "Space"},
        {{input_kind::key, 0x04, 1 | 2 | 4}, "Control+Shift+Alt+A"},
        {{input_kind::mouse_button, 1, 0}, "Left click"},
        {{input_kind::mouse_button, 2, 0}, "Right click"},
        {{input_kind::mouse_button, 3, 0}, "Middle click"},
        {{input_kind::mouse_button, 5, 0}, "Mouse button 5"},
        {{input_kind::double_click, 1, 0}, "Double click"},
        {{input_kind::mouse_move, 4, 0}, "Move up"},
        {{input_kind::mouse_move, 2, 0}, "Move left"},
        {{input_kind::joystick_button, 1, 0}, "Joystick button 1"},
        {{input_kind::joystick_move, 8, 0}, "Joystick down"},
        {{input_kind::joystick_move, 1, 0}, "Joystick right"},
        {{input_kind::generic_event, 3, 0}, "Event 3"},
        {{input_kind::generic_event, 12, 0}, "Event 12"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(describe_input(c.input), c.text);
    EXPECT_EQ(describe_not_from_a_switch(), "Not from a switch");
    EXPECT_EQ(switch_numbers_text({6, 7}), "6,7");
    EXPECT_EQ(switch_numbers_text({}), "");
    EXPECT_EQ(switch_event_line({true, {input_kind::key, 0x2C, 0}, {6, 7}, 0}), "6,7\tpressed\tSpace\n");
    EXPECT_EQ(switch_event_line({false, {input_kind::mouse_move, 8, 0}, {2}, 0}), "2\treleased\tMove down\n");
    EXPECT_EQ(switch_event_line({true, {input_kind::key, 0x2C, 0}, {}, 0}), "");
}

}  // namespace
