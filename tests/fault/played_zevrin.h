// A Zevrin played by a thread over an emulated node (tests/hid/emulated_device.h): it answers
// every read request as the device does, takes written records and settings into its own
// configuration, and can send a numbered generic event after every answer (so that reports keep
// flowing) or leave by itself after a given number of reports. Used by the fault runs and by the
// benchmarks.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/hid/emulated_device.h"

using report9 = std::array<uint8_t, 9>;

struct played_zevrin {
    emulated_device *node = nullptr;

    std::mutex mutex;
    std::vector<report9> received;                    // every report the program wrote
    std::array<std::array<uint8_t, 4>, 8> records{};  // kind, code, modifiers, auto release
    std::array<uint8_t, 6> settings{5, 18, 7, 40, 150, 115};
    bool events = false;  // a generic event after every answer
    int leave_after = -1; // unplug itself after this many reports
    // After an end of write, switch 1's record comes back with one bit of its code flipped, as
    // a box that stored or sends it wrongly would.
    bool garble_after_write = false;
    // A box gone wrong: this switch never answers its request, and once the settings have been
    // asked for, they are sent again every `stream_settings_ms` for as long as the box is there.
    int silent_switch = -1;
    int stream_settings_ms = -1;
    // Generic events sent as fast as the node takes them, for as long as `flood` holds.
    std::atomic<bool> flood{false};
    std::atomic<bool> gone{false};
    // When the last settings request arrived (the read's last request; its answer starts the
    // end-of-read delay).
    std::chrono::steady_clock::time_point settings_request_at;

    // Plugs a device of description `d` in; `start` then starts answering.
    played_zevrin(UMockdevTestbed *testbed, const emulated_description &d);
    // Plays the configuration interface `interface` of a composite box, which stays the
    // composite's: unplug then only stops answering.
    explicit played_zevrin(emulated_device *interface);
    ~played_zevrin();
    played_zevrin(const played_zevrin &) = delete;
    played_zevrin &operator=(const played_zevrin &) = delete;

    // False when the test's end of the node cannot be found.
    bool start();
    size_t received_count();
    // Stops the device thread and unplugs the device, unless it left by itself.
    void unplug();

private:
    bool owned = true;
    int master = -1;
    int stop_fd = -1;
    uint8_t next_event = 0;
    bool garbling = false;
    bool streaming = false;
    std::chrono::steady_clock::time_point last_streamed;
    void send_unasked();
    std::thread thread;
    void answer(const report9 &r);
    void run();
};
