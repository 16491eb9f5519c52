// The configuration protocol: 9-byte reports that read and write the configuration record.
// Everything here runs on the GUI thread; input reports are handed over to it by the hub.
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
// One input report, report ID first. Reports shorter than 9 bytes are treated as padded with 0.
void handle_message(const uint8_t *data, int length);

gboolean read_config_step_cb(gpointer user_data);
gboolean read_config_done_cb(gpointer user_data);
gboolean write_config_step_cb(gpointer user_data);
gboolean write_config_done_cb(gpointer user_data);
