// The configuration protocol. Every function here runs on the main-loop thread: each input
// report is handed over to this thread before handle_message sees it, so the record, the flags
// and the one output buffer have a single user.
#include "device/protocol.h"

#include <deque>
#include <mutex>

#include "device/config.h"
#include "device/conversation.h"
#include "hid/mhid.h"

int reading_config = 1;  // the window shows no configuration before the first read has ended
int writing_config = 0;
int reading_config_step = 0;
double reading_writing_config_fraction = 0.0;
std::array<uint8_t, report_length> report = {};

int read_config_timeout_ms = 3000;
int read_config_done_delay_ms = 500;
int write_config_done_delay_ms = 500;
size_t max_waiting_reports = 256;
guint read_config_done_id = 0;
guint read_config_timeout_id = 0;

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

// The running read and what its replies have brought so far. The record itself changes only
// when a read is complete, so nothing half-read, and nothing of an earlier read or another
// box, is ever shown or written as this box's configuration. A read after a write (`checking`)
// leaves the record alone: it only tells what the box took.
struct read_replies {
    bool running = false;
    bool checking = false;
    configuration values = {};
    std::array<bool, max_switches> switch_replied = {};
    bool settings_replied = false;
    unsigned dropped_at_start = 0;
};
read_replies replies;

guint read_config_step_id = 0;  // the pending step of the request chain

const protocol_listener *listener = nullptr;

void tell_progress(bool writing, double fraction)
{
    if (listener != nullptr && listener->progress != nullptr)
        listener->progress(writing, fraction);
}

// What the running write sends, and where what the box held before is kept.
configuration written;
std::string previous_file;

// Sends one command (bytes 1 to 8 of the report) to the connected device. Returns whether the
// device took the whole report.
bool send_command(std::array<uint8_t, report_length - 1> bytes)
{
    report[0] = static_cast<uint8_t>(model_output_report_id[connected_device_model]);
    for (int i = 1; i < report_length; i++)
        report[i] = bytes[i - 1];
    return mhid_write(connected_device_id_out, report.data(), report_length) == report_length;
}

uint8_t byte_of(int value)
{
    return static_cast<uint8_t>(low_byte(value));
}

void cancel_source(guint &id)
{
    if (id != 0) {
        g_source_remove(id);
        id = 0;
    }
}

// Input reports on their way to the main-loop thread, in order of arrival, at most
// max_waiting_reports of them. One idle source takes them, one at a time from the front: a
// message that runs a nested main loop (a dialog) while a report is being handled does not
// change the order of those behind it.
struct report_notice {
    int device;
    int length;
    std::array<uint8_t, report_length> bytes;
};
std::mutex waiting_mutex;
std::deque<report_notice> waiting_reports;
bool reports_posted = false;
unsigned reports_dropped = 0;

gboolean handle_waiting_reports_cb(gpointer)
{
    for (;;) {
        report_notice notice;
        {
            std::lock_guard lock(waiting_mutex);
            if (waiting_reports.empty()) {
                reports_posted = false;
                return G_SOURCE_REMOVE;
            }
            notice = waiting_reports.front();
            waiting_reports.pop_front();
        }
        if (notice.device == connected_device_id_in)
            handle_message(notice.bytes.data(), notice.length);
    }
}

bool replies_complete()
{
    const int n = model_n_switches[connected_device_model];
    for (int i = 0; i < n; i++)
        if (!replies.switch_replied[i])
            return false;
    return replies.settings_replied;
}

// Which switches and settings of what was written the box gave back otherwise.
write_outcome compare_with_written(const configuration &read)
{
    write_outcome outcome;
    const size_t n = static_cast<size_t>(model_n_switches[connected_device_model]);
    bool same = true;
    for (size_t s = 0; s < n; s++) {
        outcome.switch_differs[s] = !same_action_bytes(read.switches[s], written.switches[s]);
        same = same && !outcome.switch_differs[s];
    }
    outcome.settings_differ = !same_settings_bytes(read, written);
    outcome.result = same && !outcome.settings_differ ? write_result::verified : write_result::differs;
    return outcome;
}

// The end of a write, with the box read back (`complete`) or not.
void end_write_check(bool complete)
{
    const int n = model_n_switches[connected_device_model];
    write_outcome outcome;
    if (complete) {
        const configuration read = with_switches_and_settings(written, replies.values, n);
        outcome = compare_with_written(read);
        // What the box holds now, whatever it is: the window keeps showing what was written,
        // and marks it unwritten when the box holds something else.
        box_configuration = read;
        config_valid = 1;
    } else {
        outcome.result = write_result::unchecked;
    }
    outcome.previous_file = previous_file;
    writing_config = 0;
    if (listener != nullptr && listener->write_done != nullptr)
        listener->write_done(outcome);
}

// Ends the running read. Complete, it becomes the record and what the box is known to hold;
// otherwise the record stays as it was but is no longer taken for the box's configuration.
void end_read()
{
    cancel_source(read_config_step_id);
    cancel_source(read_config_done_id);
    cancel_source(read_config_timeout_id);
    replies.running = false;
    // Replies that arrive after the device has gone belong to no connected box, and a read
    // that lost reports on the way may have lost replies.
    bool complete = device_connected && replies_complete();
    {
        std::lock_guard lock(waiting_mutex);
        complete = complete && reports_dropped == replies.dropped_at_start;
    }
    if (replies.checking) {
        end_write_check(complete);
        return;
    }
    reading_config = 0;
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

// The deadline: replies already waiting for this thread still count, then the read ends.
gboolean read_config_timeout_cb(gpointer)
{
    read_config_timeout_id = 0;
    handle_waiting_reports_cb(nullptr);
    if (replies.running)
        end_read();
    return G_SOURCE_REMOVE;
}

// Starts the requests of a read: of the box's configuration, or (`checking`) of what it took.
void begin_read(bool checking)
{
    // A read started while another runs replaces it: one chain of requests, one set of replies.
    cancel_source(read_config_step_id);
    cancel_source(read_config_done_id);
    cancel_source(read_config_timeout_id);
    replies = {};
    replies.running = true;
    replies.checking = checking;
    {
        std::lock_guard lock(waiting_mutex);
        replies.dropped_at_start = reports_dropped;
    }
    reading_config_step = 0;
    read_config_timeout_id = g_timeout_add(static_cast<guint>(read_config_timeout_ms), read_config_timeout_cb,
                                           nullptr);
    read_config_step_id = g_idle_add(read_config_step_cb, nullptr);
}

gboolean write_interrupted_cb(gpointer user_data)
{
    writing_config = 0;
    write_outcome outcome;
    outcome.result = write_result::interrupted;
    outcome.reports_sent = GPOINTER_TO_INT(user_data);
    outcome.previous_file = previous_file;
    if (listener != nullptr && listener->write_done != nullptr)
        listener->write_done(outcome);
    return G_SOURCE_REMOVE;
}

void post_write_step(double fraction)
{
    g_idle_add(write_config_step_cb, GUINT_TO_POINTER(static_cast<guint>(fraction * 1000.0 + 0.5)));
}

}  // namespace

void hid_report_cb(void *, int device, unsigned char *data, int length)
{
    report_notice notice{device, 0, {}};
    if (data != nullptr && length > 0) {
        notice.length = std::min(length, report_length);
        std::copy(data, data + notice.length, notice.bytes.begin());
    }
    std::lock_guard lock(waiting_mutex);
    if (waiting_reports.size() >= max_waiting_reports) {
        reports_dropped++;
        return;
    }
    waiting_reports.push_back(notice);
    if (!reports_posted) {
        reports_posted = true;
        g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, handle_waiting_reports_cb, nullptr, nullptr);
    }
}

unsigned dropped_reports()
{
    std::lock_guard lock(waiting_mutex);
    return reports_dropped;
}

void set_protocol_listener(const protocol_listener *l)
{
    listener = l;
}

const protocol_listener *protocol_listener_in_use()
{
    return listener;
}

void read_config()
{
    config_valid = 0;
    reading_config = 1;
    reading_writing_config_fraction = 1.0;  // the bar stays full for the whole read
    begin_read(false);
}

gboolean read_config_step_cb(gpointer)
{
    read_config_step_id = 0;
    // Taken afresh at every pass: the model may change while the chain runs.
    const int n = model_n_switches[connected_device_model];
    if (reading_config_step > n)
        return FALSE;
    if (reading_config_step < n)
        send_command({command_read, 0x00, byte_of(reading_config_step), 0, 0, 0, 0, 0});
    else
        send_command({command_read, 0x01, 0, 0, 0, 0, 0, 0});
    if (!replies.checking)
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
        if (!replies.running || i < 0 || i >= max_switches)
            return;
        replies.values.switches[i] = {field(4), field(5), field(6), field(7)};
        replies.switch_replied[i] = true;
        break;
    }
    case message_settings:
        if (!replies.running)
            return;
        replies.values.mouse_speed = {field(3), field(4), field(5)};
        replies.values.mouse_stretch = {field(6), field(7)};
        replies.values.joy_displacement = field(8);
        replies.settings_replied = true;
        // Replies still missing get a little time, once: more settings replies do not prolong
        // it, and the deadline holds in any case.
        if (read_config_done_id == 0)
            read_config_done_id =
                g_timeout_add(static_cast<guint>(read_config_done_delay_ms), read_config_done_cb, nullptr);
        break;
    case message_generic_event:
        if (listener != nullptr && listener->generic_event != nullptr)
            listener->generic_event(low_byte(field(2)), field(3) != 0);
        return;
    default:
        return;
    }
    if (replies_complete())
        end_read();
}

gboolean read_config_done_cb(gpointer)
{
    read_config_done_id = 0;
    if (replies.running)
        end_read();
    return FALSE;
}

void end_transfer_of_departed_box()
{
    if (replies.running)
        end_read();
}

void write_config()
{
    const int n = model_n_switches[connected_device_model];
    writing_config = 1;
    written = record_configuration();
    // What the box held is kept first, and the write is noted as unfinished until its last
    // report has reached the box: should it not, the box holds some of each.
    previous_file = keep_box_configuration();
    note_unfinished_write(previous_file);

    int sent = 0;
    for (int i = 0; i < n; i++) {
        reading_writing_config_fraction = static_cast<double>(i) / static_cast<double>(n + 1);
        post_write_step(reading_writing_config_fraction);
        const action_record &a = switch_action[i];
        if (!send_command({command_write_switch, byte_of(i), byte_of(a.kind), byte_of(a.code),
                           byte_of(a.modifiers), byte_of(a.auto_release), 0, 0})) {
            g_idle_add(write_interrupted_cb, GINT_TO_POINTER(sent));
            return;
        }
        sent++;
    }
    reading_writing_config_fraction = 1.0;
    post_write_step(1.0);
    if (!send_command({command_write_settings, byte_of(mouse_speed[0]), byte_of(mouse_speed[1]),
                       byte_of(mouse_speed[2]), byte_of(mouse_stretch[0]), byte_of(mouse_stretch[1]),
                       byte_of(joy_displacement), 0})) {
        g_idle_add(write_interrupted_cb, GINT_TO_POINTER(sent));
        return;
    }
    sent++;
    if (!send_command({command_end_of_write, 0, 0, 0, 0, 0, 0, 0})) {
        g_idle_add(write_interrupted_cb, GINT_TO_POINTER(sent));
        return;
    }
    forget_unfinished_write();
    // The box takes its time to store what it got; then it is read back.
    g_timeout_add(static_cast<guint>(write_config_done_delay_ms), write_config_done_cb, nullptr);
}

gboolean write_config_step_cb(gpointer user_data)
{
    // The fraction of the step travels with it: the whole write has been sent before the
    // first step runs.
    tell_progress(true, GPOINTER_TO_UINT(user_data) / 1000.0);
    return FALSE;
}

gboolean write_config_done_cb(gpointer)
{
    if (!device_connected) {
        end_write_check(false);
        return FALSE;
    }
    begin_read(true);
    return FALSE;
}
