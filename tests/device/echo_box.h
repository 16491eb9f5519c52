// A box as the HID stand-ins of the tests play it: what a write sends is kept in `held`, and a
// read request is answered from it, each reply handed to the protocol as the module's reader
// thread would (`answer` false: the box takes writes but answers nothing).
#pragma once

#include <array>
#include <cstdint>

#include "device/config.h"
#include "device/protocol.h"

inline void echo_box_report(configuration &held, int id, const std::array<uint8_t, 9> &r, bool answer = true)
{
    auto reply = [id](std::array<uint8_t, 9> bytes) { hid_report_cb(nullptr, id, bytes.data(), 9); };
    if (r[1] == 0x04 && r[2] < max_switches) {
        held.switches[r[2]] = {r[3], r[4], r[5], r[6]};
    } else if (r[1] == 0x07) {
        held.mouse_speed = {r[2], r[3], r[4]};
        held.mouse_stretch = {r[5], r[6]};
        held.joy_displacement = r[7];
    } else if (r[1] == 0x09 && r[2] == 0x00 && r[3] < max_switches && answer) {
        const action_record &a = held.switches[r[3]];
        reply({0x00, 0x09, 0x00, r[3], uint8_t(a.kind), uint8_t(a.code), uint8_t(a.modifiers),
               uint8_t(a.auto_release), 0x00});
    } else if (r[1] == 0x09 && r[2] == 0x01 && answer) {
        reply({0x00, 0x0A, 0x00, uint8_t(held.mouse_speed[0]), uint8_t(held.mouse_speed[1]),
               uint8_t(held.mouse_speed[2]), uint8_t(held.mouse_stretch[0]), uint8_t(held.mouse_stretch[1]),
               uint8_t(held.joy_displacement)});
    }
}
