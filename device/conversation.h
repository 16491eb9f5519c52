// The conversation with a box, one engine for the window and the command line: the two models
// are registered with the HID module; a box that it reports is taken when none is in use and
// read at once; a box beside it is refused; when the box in use leaves, another one still
// present is taken instead. Its reads, writes and the checks of its writes are the protocol's
// (device/protocol.h), and everything is reported through the protocol's listener. Whatever
// is written over is kept first, in the user's state directory.
//
// All of it runs on the main-loop thread, but for the HID module's callbacks, which only hand
// their notices over to it.
#pragma once

#include <string>
#include <vector>

#include "hid/mhid_linux.h"

// The registrations of the two models; -1 before conversation_begin.
extern int device_zevrin;
extern int device_zevrin_mini;

// Counts the boxes taken into use (one more at every box plugged in, and at every hand-over
// to a box still present when the one in use left), so that a listener can tell a new box
// from the one in use reported again.
extern unsigned boxes_taken;

// Starts talking to boxes: registers the Zevrin and then the Zevrin Mini (mhid_init first),
// binding only the box at `only_node` when that is not null. The first scans may report a box
// at once; what they report is acted on from the main loop.
void conversation_begin(const char *only_node = nullptr);
// Lets go of the box: the HID module stops and its nodes close, so that another process that
// waits for the box takes it now.
void conversation_end();

// A box plugged in now, with whether this process may use it.
struct present_box {
    std::string node;
    int model = 0;
    mhid_node_state state = mhid_node_ready;
};
// Lists the boxes plugged in now, in the listing's order, without taking any: the HID module
// runs for the listing alone (so call it while the module is not running). False when the
// devices cannot be listed.
bool list_present_boxes(std::vector<present_box> *out);

// The HID module's notices, on any thread.
void hid_connected_cb(void *user_data, int device);
void hid_disconnected_cb(void *user_data, int device);

// Where configurations written over are kept: DIR/zevrin under the user's state directory
// (XDG_STATE_HOME, else ~/.local/state), the last ten of each model.
std::string previous_configurations_dir();
// Keeps what the connected box holds (box_configuration) in that folder; its path, or "" when
// it could not be kept.
std::string keep_box_configuration();
// A write into the connected box has begun, whose previous configuration is in
// `previous_file`: noted (in the state directory, so that another run sees it too) until
// forget_unfinished_write says that every report reached the box.
void note_unfinished_write(const std::string &previous_file);
void forget_unfinished_write();
// After a write into a box of the connected model that did not finish: the file that holds what
// that box held before, else "".
std::string unfinished_write_previous_file();
