// The configuration protocol. Every function here runs on the main-loop thread: each input
// report is handed over to this thread before handle_message sees it, so the record, the flags
// and the one output buffer have a single user.
#include "device/protocol.h"

#include <vector>

#include "device/config.h"
#include "hid/mhid.h"

int reading_config = 1;  // the window shows no configuration before the first read has ended
int writing_config = 0;
int reading_config_step = 0;
double reading_writing_config_fraction = 0.0;
std::array<uint8_t, report_length> report = {};

int read_config_timeout_ms = 3000;
guint read_config_timeout_id = 0;
int read_config_done_delay_ms = 500;
guint read_config_done_id = 0;
int write_config_done_delay_ms = 500;

namespace {

// Commands, byte 1 of an output report.
constexpr uint8_t command_read = 0x09;
constexpr uint8_t command_write_switch = 0x04;
constexpr uint8_t command_write_settings = 0x07;
constexpr uint8_t command_end_of_write = 0x08;

// Message types, byte 1 of an input report.
constexpr int message_switch_record = 0x09;
constexpr int message_settings = 0x0A;
constexpr int message_generic_event = 0x64;

// What the replies of the running read have brought so far. The record itself changes only
// when the read is complete, so nothing half-read, and nothing of an earlier read or another
// box, is ever shown or written as this box's configuration.
struct read_replies {
    configuration values = {};
    std::array<bool, max_switches> switch_replied = {};
    bool settings_replied = false;
};
read_replies replies;

const protocol_listener *listener = nullptr;

void tell_progress(bool writing, double fraction)
{
    if (listener != nullptr && listener->progress != nullptr)
        listener->progress(writing, fraction);
}

guint read_config_step_id = 0;  // the pending step of the request chain, 0 when none

// What the running write sends; the box holds it once every report has reached it.
configuration written;

// Sends one command (bytes 1 to 8 of the report) to the connected device. Returns what
// mhid_write returned: the report length when the device took the whole report.
int send_command(std::array<uint8_t, report_length - 1> bytes)
{
    report[0] = static_cast<uint8_t>(model_output_report_id[connected_device_model]);
    for (int i = 1; i < report_length; i++)
        report[i] = bytes[i - 1];
    return mhid_write(connected_device_id_out, report.data(), report_length);
}

// The low 8 bits of a stored field, as it travels in a report.
uint8_t low_byte(int value)
{
    return static_cast<uint8_t>(value & 0xFF);
}

void cancel_source(guint &id)
{
    if (id != 0) {
        g_source_remove(id);
        id = 0;
    }
}

// An input report on its way to the main-loop thread.
struct report_notice {
    int device;
    std::vector<uint8_t> bytes;
};

gboolean report_notice_cb(gpointer user_data)
{
    const auto *notice = static_cast<const report_notice *>(user_data);
    if (notice->device == connected_device_id_in)
        handle_message(notice->bytes.data(), static_cast<int>(notice->bytes.size()));
    return FALSE;
}

void free_report_notice(gpointer user_data)
{
    delete static_cast<report_notice *>(user_data);
}

void post_write_step(double fraction)
{
    g_idle_add(write_config_step_cb, GUINT_TO_POINTER(static_cast<guint>(fraction * 1000.0 + 0.5)));
}

bool replies_complete()
{
    const int n = model_n_switches[connected_device_model];
    for (int i = 0; i < n; i++)
        if (!replies.switch_replied[i])
            return false;
    return replies.settings_replied;
}

// Ends the running read. Complete, it becomes the record and what the box is known to hold;
// otherwise the record stays as it was but is no longer taken for the box's configuration.
void end_read()
{
    cancel_source(read_config_timeout_id);
    cancel_source(read_config_done_id);
    reading_config = 0;
    // Replies that arrive after the device has gone belong to no connected box.
    const bool complete = device_connected && replies_complete();
    if (complete) {
        const configuration read = with_switches_and_settings(record_configuration(), replies.values,
                                                              model_n_switches[connected_device_model]);
        set_record(read);
        box_configuration = read;
    }
    config_valid = complete ? 1 : 0;
    if (listener != nullptr && listener->read_done != nullptr)
        listener->read_done(complete);
}

gboolean read_config_no_reply_cb(gpointer)
{
    read_config_timeout_id = 0;
    if (reading_config)  // else a settings reply has ended the read meanwhile
        end_read();
    return FALSE;
}

// The wait is over, but the reply may already be queued for this thread: the hub hands
// input reports over as idle sources at G_PRIORITY_DEFAULT_IDLE, and a due timer runs before
// those (even at their priority, being the older source). So the verdict goes into an idle of
// that priority behind them; a settings reply queued before it ends the read and cancels it.
gboolean read_config_timeout_cb(gpointer)
{
    read_config_timeout_id = g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, read_config_no_reply_cb,
                                             nullptr, nullptr);
    return FALSE;
}

}  // namespace

void hid_report_cb(void *, int device, unsigned char *data, int length)
{
    auto *notice = new report_notice{device, {}};
    if (data != nullptr && length > 0)
        notice->bytes.assign(data, data + length);
    g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, report_notice_cb, notice, free_report_notice);
}

void set_protocol_listener(const protocol_listener *l)
{
    listener = l;
}

void read_config()
{
    // A read started while another runs replaces it: one chain of requests, one set of replies.
    cancel_source(read_config_timeout_id);
    cancel_source(read_config_done_id);
    cancel_source(read_config_step_id);
    replies = {};
    config_valid = 0;
    reading_config = 1;
    reading_config_step = 0;
    reading_writing_config_fraction = 1.0;  // the bar stays full for the whole read
    read_config_step_id = g_idle_add(read_config_step_cb, nullptr);
}

gboolean read_config_step_cb(gpointer)
{
    read_config_step_id = 0;
    // Taken afresh at every pass: the model may change while the chain runs.
    const int n = model_n_switches[connected_device_model];
    if (reading_config_step > n)
        return FALSE;
    if (reading_config_step < n) {
        send_command({command_read, 0x00, low_byte(reading_config_step), 0, 0, 0, 0, 0});
    } else {
        send_command({command_read, 0x01, 0, 0, 0, 0, 0, 0});
        // The settings reply ends the read. Should it never come (the device left, a report
        // was lost), the read must still end, or the window would stay busy for good.
        cancel_source(read_config_timeout_id);
        read_config_timeout_id = g_timeout_add(static_cast<guint>(read_config_timeout_ms),
                                               read_config_timeout_cb, nullptr);
    }
    tell_progress(false, static_cast<double>(reading_config_step + 1) / static_cast<double>(n + 1));
    reading_config_step += 1;
    read_config_step_id = g_idle_add(read_config_step_cb, nullptr);
    return FALSE;
}

void handle_message(const uint8_t *data, int length)
{
    // Each field is a signed byte widened to int; bytes the report did not carry count as 0.
    auto field = [data, length](int i) -> int {
        return i < length ? static_cast<int8_t>(data[i]) : 0;
    };

    switch (field(1)) {
    case message_switch_record: {
        const int i = field(3);
        // The index comes from the device: never let it reach outside the record. A reply
        // that no read asked for changes nothing.
        if (!reading_config || i < 0 || i >= max_switches)
            return;
        replies.values.switches[i] = {field(4), field(5), field(6), field(7)};
        replies.switch_replied[i] = true;
        break;
    }
    case message_settings:
        if (!reading_config)
            return;
        replies.values.mouse_speed = {field(3), field(4), field(5)};
        replies.values.mouse_stretch = {field(6), field(7)};
        replies.values.joy_displacement = field(8);
        replies.settings_replied = true;
        cancel_source(read_config_timeout_id);
        cancel_source(read_config_done_id);
        read_config_done_id =
            g_timeout_add(static_cast<guint>(read_config_done_delay_ms), read_config_done_cb, nullptr);
        break;
    case message_generic_event:
        g_print("Generic event: %02X %s\n", static_cast<unsigned>(low_byte(field(2))),
                field(3) != 0 ? "release" : "press");
        break;
    default:
        break;
    }
}

gboolean read_config_done_cb(gpointer)
{
    read_config_done_id = 0;
    if (reading_config)
        end_read();
    return FALSE;
}

void write_config()
{
    const int n = model_n_switches[connected_device_model];
    bool all_sent = true;
    auto sent = [&all_sent](int written) {
        if (written != report_length)
            all_sent = false;
    };

    writing_config = 1;
    for (int i = 0; i < n; i++) {
        reading_writing_config_fraction = static_cast<double>(i) / static_cast<double>(n + 1);
        post_write_step(reading_writing_config_fraction);
        const action_record &a = switch_action[i];
        sent(send_command({command_write_switch, low_byte(i), low_byte(a.kind), low_byte(a.code),
                           low_byte(a.modifiers), low_byte(a.auto_release), 0, 0}));
    }
    reading_writing_config_fraction = 1.0;
    post_write_step(1.0);
    sent(send_command({command_write_settings, low_byte(mouse_speed[0]), low_byte(mouse_speed[1]),
                       low_byte(mouse_speed[2]), low_byte(mouse_stretch[0]),
                       low_byte(mouse_stretch[1]), low_byte(joy_displacement), 0}));
    sent(send_command({command_end_of_write, 0, 0, 0, 0, 0, 0, 0}));
    written = record_configuration();
    // Whether every report reached the device travels with the timer to the closing message.
    g_timeout_add(static_cast<guint>(write_config_done_delay_ms), write_config_done_cb,
                  GINT_TO_POINTER(all_sent ? 1 : 0));
}

gboolean write_config_step_cb(gpointer user_data)
{
    // The fraction of the step travels with it: the whole write has been sent before the
    // first step runs.
    tell_progress(true, GPOINTER_TO_UINT(user_data) / 1000.0);
    return FALSE;
}

gboolean write_config_done_cb(gpointer user_data)
{
    const bool all_sent = GPOINTER_TO_INT(user_data) != 0;
    writing_config = 0;
    // After a failed write the box holds some mix of old and new: it is taken to hold what it
    // held before.
    if (all_sent)
        box_configuration = written;
    if (listener != nullptr && listener->write_done != nullptr)
        listener->write_done(all_sent);
    return FALSE;
}
