// Testing the switches: which switch of a box a key press, click, movement or joystick
// change came from. Fed with the box's own input reports (keyboard, mouse and joystick
// interfaces, parsed with their report descriptors) and the generic event notices of its
// configuration interface, it tells each press and release, the switches whose action explains
// it, and keeps counters per switch. No toolkit, no threads and no clock of its own: the caller
// passes the time (milliseconds of a monotonic clock) with every report, calls tick() when
// next_deadline() comes, and calls everything from one thread, so the window and the command
// line can both use it.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "device/config.h"
#include "hid/report_descriptor.h"

// One thing the computer received, and holds while the switch is down.
enum class input_kind {
    key,              // code: keyboard usage; modifiers: modifier_* bits held at the press
    mouse_button,     // code: button number, 1 left, 2 right, 3 middle
    double_click,     // code 1: two clicks of the left button in quick succession
    mouse_move,       // code: one direction bit, 1 right, 2 left, 4 up, 8 down
    joystick_button,  // code: button number from 1
    joystick_move,    // code: one direction bit
    generic_event,    // code: the event number of the notice
};

struct received_input {
    input_kind kind = input_kind::key;
    int code = 0;
    int modifiers = 0;
    auto operator<=>(const received_input &) const = default;
};

struct switch_event {
    bool pressed = false;
    received_input input;
    // The switch numbers (counted from 1) whose action explains it, in order; several when
    // their actions are the same and the press cannot be told apart. Empty: not from a switch.
    std::vector<int> switches;
    int64_t time_ms = 0;  // when it happened (a double click's press: its first click)
};

struct switch_counter {
    int presses = 0;
    bool held = false;
    int64_t pressed_at_ms = 0;        // of the press now held or last released
    int64_t last_duration_ms = -1;    // of the last finished press; -1 before the first
};

struct switch_test_timing {
    // A movement is released when no relative report came for this long.
    int64_t movement_quiet_ms = 200;
    // The gap between the clicks of a box's double click is shorter than this.
    int64_t double_click_ms = 250;
};

class switch_test {
public:
    // `c` as the box holds it; switches from n_switches on are not looked at.
    switch_test(const configuration &c, int n_switches, switch_test_timing timing = {});

    // Adds an input interface of the box (its parsed report descriptor); returns its index.
    size_t add_interface(const hid_descriptor_info &descriptor);
    // One input report of interface `index` as hidraw's read() hands it over: starting with the
    // report ID when the interface's descriptor has report IDs, the payload alone otherwise.
    // What time has settled before it (see tick) comes first in the events.
    std::vector<switch_event> report(size_t index, const unsigned char *data, size_t length,
                                     int64_t now_ms);
    // A generic event notice of the configuration interface, as the protocol hands it over:
    // event `number` began or (`released`) ended; it names the switches whose action is that
    // event.
    std::vector<switch_event> generic_event(int number, bool released, int64_t now_ms);
    // Time has passed: movements that stopped, a click that turned out single.
    std::vector<switch_event> tick(int64_t now_ms);
    // When tick() has something to do, or -1 when nothing waits for time.
    int64_t next_deadline() const;
    // Everything still held is released (the test ends, or the box left).
    std::vector<switch_event> release_all(int64_t now_ms);

    // Counters of switch `index` (0-based).
    const switch_counter &counter(int index) const;
    // The inputs that the events so far have pressed and not released.
    std::set<received_input> held() const;
    // The switch numbers whose action explains `input` (see switch_event::switches).
    std::vector<int> switches_for(const received_input &input) const;

private:
    struct interface_state {
        hid_descriptor_info descriptor;
        // What the last report of each report ID holds (movements apart); keys with
        // modifiers 0, the modifier keys among them.
        std::map<uint8_t, std::set<received_input>> held;
    };
    // The left button while a double click switch exists: first click down or up, second
    // click down (a double click), or held too long for one (a single click).
    enum class click_state { idle, first_down, first_up, second_down, single_down };

    void update(std::vector<switch_event> &events, int64_t now_ms);
    void emit(std::vector<switch_event> &events, bool pressed, const received_input &input,
              std::vector<int> switches, int64_t time_ms);
    void left_button(std::vector<switch_event> &events, bool pressed, int64_t now_ms);
    void expire_click(std::vector<switch_event> &events, int64_t now_ms);

    configuration config_;
    int n_switches_;
    switch_test_timing timing_;
    std::vector<interface_state> interfaces_;
    std::set<received_input> generic_held_;
    std::map<int, int64_t> moves_;            // mouse direction bit -> last report moving so
    std::set<received_input> previous_;       // every input held after the last report
    std::set<received_input> reported_;       // what the events have pressed and not released
    std::map<int, int> key_modifiers_;        // held key usage -> modifiers at its press
    std::array<switch_counter, max_switches> counters_ = {};
    click_state click_ = click_state::idle;
    int64_t click_first_ms_ = 0;   // the first click's press
    int64_t click_up_ms_ = 0;      // and its release
    int64_t click_deadline_ms_ = -1;
};
