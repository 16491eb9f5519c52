// Support for the tests of the protocol and the device event hub: a recording stand-in for the
// HID module, the real GLib main loop driven from the test, and an answerer for the modal
// message dialogs that the program opens.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device/config.h"
#include "hid/mhid.h"
#include "hid/mhid_linux.h"
#include "tests/main_loop_support.h"

namespace stand_in {

struct registration {
    int vendor_id, product_id, usage_page, input_len, output_len;
    mhid_connected_callback connected_cb;
    mhid_disconnected_callback disconnected_cb;
    mhid_report_callback report_cb;
};

struct written {
    int id;
    std::array<uint8_t, 9> bytes;  // the first nine bytes given (zeros past `length`)
    int length;                    // the length given to mhid_write
    bool operator==(const written &) const = default;
};

extern std::vector<registration> registrations;
extern std::vector<written> writes;          // every call of mhid_write that the module accepted
extern std::vector<int> present_products;    // the first scan of these reports them connected
extern int writes_reaching_device;           // after this many writes, writes give 0; -1: all reach
// With `echo_box`, the registration written to answers as a box does: it keeps the switch
// records and settings written to it and gives them back when they are read, each reply
// handed to the protocol as its reader thread would. What it holds starts as `box_held`.
extern bool echo_box;
extern configuration box_held;

// No registrations, nothing recorded, no device present, every write reaching the device, no
// echo.
void reset();
// What the Linux watcher does: the device-change hook, and the hook for a node it may not open.
void device_change();
void access_denied(const char *node);

}  // namespace stand_in

// A report as the tests write it: nine bytes, report ID first, written with length 9.
stand_in::written report_to(int id, std::array<uint8_t, 9> bytes);

// Runs the main loop until `done` holds; gives up after `limit_ms` so that a broken test fails
// instead of hanging (a safety net, not a measurement). Returns whether `done` held.
bool run_until(const std::function<bool()> &done, int limit_ms = 10000);
// Runs whatever is ready now, and what that makes ready, without waiting for timers.
void drain();
// What `action` printed through g_print.
std::string printed_by(const std::function<void()> &action);

// Start values of the connection state and the protocol flags, the default record, nothing
// recorded or seen.
void reset_spine_state();
