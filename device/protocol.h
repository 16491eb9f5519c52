// The configuration protocol: 9-byte reports that read and write the configuration record.
// Everything here runs on the main-loop thread; input reports are handed over to it. What the
// protocol has to tell (steps made, a read or a write ended) goes to the listener of whoever
// drives it: the window, or the command line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <glib.h>

#include "device/config.h"

constexpr int report_length = 9;  // report ID byte + 8 bytes of payload

extern int reading_config;
extern int writing_config;
extern int reading_config_step;
extern double reading_writing_config_fraction;
extern std::array<uint8_t, report_length> report;

// A read ends the moment every switch of the connected model and the settings have replied.
// While replies are missing it ends read_config_done_delay_ms after the settings reply (the
// reply to the request sent last; replies that come meanwhile still count), and in any case
// read_config_timeout_ms after it began, however many reports keep coming.
extern int read_config_timeout_ms;
extern int read_config_done_delay_ms;
// The pending deadline and wait of the running read, 0 when none.
extern guint read_config_timeout_id;
extern guint read_config_done_id;
// A write is read back this long after its last report: the box's own time to store it.
extern int write_config_done_delay_ms;
// Input reports waiting for the main-loop thread. Beyond this many, further reports are dropped
// and counted; a read during which a report was dropped did not get its replies for sure, and
// ends incomplete.
extern size_t max_waiting_reports;

// Starts a read. Only a read in which every switch of the connected model and the settings
// replied replaces the record (and box_configuration) and sets config_valid; any other read ends
// with the record as it was and config_valid 0.
void read_config();
// Sends the record to the connected device, stopping at the first report that does not reach
// it, and then reads the box back: only a box that gives back what was sent has taken it.
// What the box held before (box_configuration) is kept in a file first.
void write_config();
// The HID module's report callback: hands a copy of the report (the module reuses its buffer)
// over to the main-loop thread, where handle_message takes it if it comes from
// connected_device_id_in. Reports are handled in order of arrival.
void hid_report_cb(void *user_data, int device, unsigned char *data, int length);
// One input report, report ID first. Reports shorter than 9 bytes are treated as padded with 0.
void handle_message(const uint8_t *data, int length);
// The box in use has gone: a read or a write-back check that runs ends now, incomplete.
void end_transfer_of_departed_box();
// How many input reports have been dropped so far because too many waited.
unsigned dropped_reports();

// How a write ended.
enum class write_result {
    verified,     // the box gave back exactly what was sent
    differs,      // it gave back something else: it did not take the configuration
    unchecked,    // every report reached it, but it did not give its configuration back
    interrupted,  // a report did not reach it: it may hold part of the new and part of the old
};
struct write_outcome {
    write_result result = write_result::verified;
    // differs: which switches (of the connected model) and whether the settings differ.
    std::array<bool, max_switches> switch_differs = {};
    bool settings_differ = false;
    // interrupted: how many reports of the write reached the box.
    int reports_sent = 0;
    // Where what the box held before the write is kept, or "" when it could not be.
    std::string previous_file;
};

// What the protocol and the conversation with the box report, each on the main-loop thread.
// Null entries are not called.
struct protocol_listener {
    // A step of a read (`writing` false) or of a write has been made; `fraction` runs from 0 to
    // 1 over the steps of that read or write.
    void (*progress)(bool writing, double fraction);
    // A read ended: `complete` when the record now holds the whole configuration of the box.
    void (*read_done)(bool complete);
    // A write ended, checked or not.
    void (*write_done)(const write_outcome &outcome);
    // The box reported generic event `number`, pressed or released.
    void (*generic_event)(int number, bool released);
    // The box in use changed: one was taken (its read has begun), or the one in use left.
    void (*box_changed)();
    // Another box was plugged in beside the one in use; nothing is sent to it.
    void (*another_box)();
    // A box at `node` may not be opened by this user; told once per node while it stays.
    void (*access_denied)(const char *node);
};
// The listener from now on (null: none); the caller keeps it alive.
void set_protocol_listener(const protocol_listener *listener);
const protocol_listener *protocol_listener_in_use();

gboolean read_config_step_cb(gpointer user_data);
gboolean read_config_done_cb(gpointer user_data);
gboolean write_config_step_cb(gpointer user_data);
gboolean write_config_done_cb(gpointer user_data);
