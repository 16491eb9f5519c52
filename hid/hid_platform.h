// The layer under the HID registry: finding HID interfaces, opening them, moving reports, and
// hearing about arrivals and removals.
//
// hid/mhid.cpp (registrations, scan, readers, writes, watcher) is written only against this
// table of functions; hid/hid_linux.cpp fills it in over libudev and hidraw. Another layer (a
// simulated device, say) can stand in for it by handing its own table to mhid_use_platform()
// before mhid_init(); everything above it, readers and callbacks included, stays the same.
//
// Threads: enumerate, open_node and close_node run on the thread of a scan (the caller of
// mhid_set_callbacks or the watcher), read_report on a reader thread, write_report on the
// caller of mhid_write, the monitor functions on the caller of mhid_init/mhid_terminate
// (monitor_new, monitor_free) and on the watcher thread (monitor_next_event). A layer must
// allow one read_report and one write_report on the same node at the same time, from
// different threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hid/report_descriptor.h"

// A vendor and product pair, as a device names itself.
struct hid_product {
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    bool operator==(const hid_product &) const = default;
};

// One HID interface present now (on Linux one hidraw node).
struct hid_interface_info {
    std::string syspath;  // unique per plugged-in interface; a replugged device gets a new one
    std::string devnode;  // what open_node takes, e.g. /dev/hidraw3
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    // Top-level collections with their report lengths (report ID byte counted), and whether
    // input reports arrive with their report ID in front.
    hid_descriptor_info descriptor;
};

// What read_report returns besides a byte count (>= 0).
constexpr int hid_read_failed = -1;  // the node is gone or broken: the reader ends
constexpr int hid_read_woken = -2;   // the wake-up fd became readable: the reader was told to stop

// What monitor_next_event returns.
enum hid_monitor_event {
    hid_monitor_none = 0,    // nothing (more) to read now
    // An interface arrived, left, or was processed by udev again ("change": `udevadm trigger`
    // after a new rule, say, which may have made its node ours to open): rescan.
    hid_monitor_rescan = 1,
    hid_monitor_other = 2,   // any other event of an interface: no rescan
};

struct hid_monitor;  // owned by the layer

// Who holds a box that refused to open (-EBUSY).
enum hid_holder {
    hid_holder_none = 0,    // nobody any more, or it cannot be told
    hid_holder_window = 1,  // the configurator window of some user
    hid_holder_other = 2,   // another process: a command-line run
};

struct hid_platform {
    // Lists the HID interfaces present now whose vendor and product are among `wanted` (every
    // interface when `wanted` is null) into `out` (emptied first). The others are passed over
    // before their descriptors are read: other people's devices (mice, keyboards, a docking
    // station) cost no more than their udev entries. An interface that the system has not
    // finished setting up (on Linux: not yet initialised by udev, so its node may still lack
    // the permissions that the rules give it) is left out; the event that announces it once
    // it is ready brings it in. False when the list cannot be had at all; then the scan
    // changes nothing.
    bool (*enumerate)(const std::vector<hid_product> *wanted, std::vector<hid_interface_info> *out);

    // Opens a node for reading (`for_write` false) or writing (true). Returns a handle (>= 0) or
    // -errno; -EACCES and -EPERM mean the user lacks the permission. Opening for writing takes
    // the box: while one process has it open for writing, every other process, whatever its
    // user, gets -EBUSY, and hears through its monitor when the box is let go of.
    int (*open_node)(const char *devnode, bool for_write);

    // Blocks until one input report arrived on `handle` or `wake_fd` became readable, whichever
    // first, with no timeout. Stores at most `size` bytes of the report in `buffer` exactly as
    // the node gives it and returns their count, or hid_read_failed or hid_read_woken.
    int (*read_report)(int handle, int wake_fd, unsigned char *buffer, size_t size);

    // Writes one output report, report ID byte first. Returns the byte count written or -1.
    int (*write_report)(int handle, const unsigned char *data, size_t size);

    void (*close_node)(int handle);

    // Hot-plug notices. monitor_new starts listening (null when it cannot), monitor_fd is the fd
    // that becomes readable when an event waits, monitor_next_event takes one waiting event
    // without blocking, monitor_free stops listening.
    hid_monitor *(*monitor_new)();
    int (*monitor_fd)(hid_monitor *monitor);
    hid_monitor_event (*monitor_next_event)(hid_monitor *monitor);
    void (*monitor_free)(hid_monitor *monitor);

    // Who holds the box at `devnode` that refused to open with -EBUSY; null: it cannot be told.
    hid_holder (*holder_of)(const char *devnode);
};

// The libudev + hidraw layer (hid/hid_linux.cpp), the one used unless another is chosen.
const hid_platform *hid_linux_platform();

// Whether the boxes this process takes from now on are held as the window's (a refused
// command-line run then says so). Call it before mhid_init.
void hid_linux_hold_as_window(bool window);

// Chooses the layer for the next mhid_init(); null goes back to hid_linux_platform(). Call it
// only while the module is not running (before mhid_init or after mhid_terminate).
void mhid_use_platform(const hid_platform *platform);
