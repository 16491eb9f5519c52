// The input interfaces of a box: the other HID interfaces of its USB device (its keyboard,
// mouse and joystick), found from the hidraw node of its configuration interface, and one
// reader thread that hands their input reports over. Read-only and never exclusive: nothing is
// grabbed, and the desktop keeps receiving every key, click and movement as always.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "hid/report_descriptor.h"

struct hid_input_node {
    std::string devnode;  // /dev/hidrawN
    std::string syspath;  // of the hidraw device
    hid_descriptor_info descriptor;
};

// The hidraw nodes of the other interfaces of the USB device that `box_node` belongs to, in
// the order of their sysfs paths (interface order), each with its parsed report descriptor.
// Empty when no such node is known, or when it has no siblings.
std::vector<hid_input_node> hid_sibling_inputs(const char *box_node);

class hid_input_reader {
public:
    // Both run on the reader thread. A report is what one read() of node `index` (into the
    // vector given to start) returned; "gone" comes once for a node that failed or hung up,
    // which is then no longer read.
    using report_fn = std::function<void(size_t index, const unsigned char *data, size_t length)>;
    using gone_fn = std::function<void(size_t index)>;

    hid_input_reader() = default;
    hid_input_reader(const hid_input_reader &) = delete;
    hid_input_reader &operator=(const hid_input_reader &) = delete;
    ~hid_input_reader();

    // Opens every node for reading only and starts the thread. False, with what went wrong in
    // `error` (the node and the system's reason), when a node cannot be opened or the reader
    // is already running; nothing stays open then.
    bool start(const std::vector<hid_input_node> &nodes, report_fn on_report, gone_fn on_gone,
               std::string *error);
    // Stops the thread and closes the nodes; no callback runs after it returns. Not to be
    // called from a callback.
    void stop();
    bool running() const { return thread_.joinable(); }

private:
    void run();

    std::vector<int> fds_;
    std::vector<size_t> sizes_;  // read size per node: its longest input report
    int wake_ = -1;              // eventfd that stop() signals
    report_fn on_report_;
    gone_fn on_gone_;
    std::thread thread_;
};
