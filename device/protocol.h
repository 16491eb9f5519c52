// The configuration protocol: 9-byte reports that read and write the configuration record.
// Everything here runs on the main-loop thread; input reports are handed over to it. What the
// protocol has to tell (steps made, a read or a write ended) goes to the listener of whoever
// drives it: the window, or the command line.
#pragma once

#include <array>
#include <cstdint>
#include <glib.h>

constexpr int report_length = 9;  // report ID byte + 8 bytes of payload

extern int reading_config;
extern int writing_config;
extern int reading_config_step;
extern double reading_writing_config_fraction;
extern std::array<uint8_t, report_length> report;

// A read whose settings reply has not come this long after the settings request was sent ends
// with a message, once the reports already queued for the GUI thread have been handled. The
// source id of the pending wait, 0 when none; a settings reply and a new read cancel it.
extern int read_config_timeout_ms;
extern guint read_config_timeout_id;
// Replies may still be on their way when the settings reply (requested last) arrives: the read
// ends this long after it, and replies that come meanwhile still count. The source id of the
// pending end, 0 when none.
extern int read_config_done_delay_ms;
extern guint read_config_done_id;
// A write ends (with its message) this long after its last report.
extern int write_config_done_delay_ms;

// Starts a read. Only a read in which every switch of the connected model and the settings
// replied replaces the record (and box_configuration) and sets config_valid; any other read ends
// with the record as it was, config_valid 0 and, while the device is connected, a message.
void read_config();
// Sends the record to the connected device. When every report reached it, box_configuration
// takes what was sent.
void write_config();
// The HID module's report callback: hands a copy of the report (the module reuses its buffer)
// over to the main-loop thread, where handle_message takes it if it comes from
// connected_device_id_in. Reports are handled in order of arrival.
void hid_report_cb(void *user_data, int device, unsigned char *data, int length);
// One input report, report ID first. Reports shorter than 9 bytes are treated as padded with 0.
void handle_message(const uint8_t *data, int length);

// What the protocol reports, each on the main-loop thread. Null entries are not called.
struct protocol_listener {
    // A step of a read (`writing` false) or of a write has been made; `fraction` runs from 0 to
    // 1 over the steps of that read or write.
    void (*progress)(bool writing, double fraction);
    // A read ended: `complete` when the record now holds the whole configuration of the box.
    void (*read_done)(bool complete);
    // A write ended: `all_sent` when every report reached the box.
    void (*write_done)(bool all_sent);
};
// The listener from now on (null: none); the caller keeps it alive.
void set_protocol_listener(const protocol_listener *listener);

gboolean read_config_step_cb(gpointer user_data);
gboolean read_config_done_cb(gpointer user_data);
gboolean write_config_step_cb(gpointer user_data);
gboolean write_config_done_cb(gpointer user_data);
