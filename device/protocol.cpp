// The configuration protocol. Every function here runs on the GUI thread: the hub hands each
// input report over to this thread before handle_message sees it, so the record, the flags and
// the one output buffer have a single user.
#include "device/protocol.h"

#include <glib/gi18n.h>

#include "app/hub.h"
#include "device/config.h"
#include "hid/mhid.h"
#include "window/window.h"

int reading_config = 1;  // the window shows no configuration before the first read has ended
int writing_config = 0;
int reading_config_step = 0;
double reading_writing_config_fraction = 0.0;
std::array<uint8_t, report_length> report = {};

int read_config_timeout_ms = 3000;
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

// Wait after a read's end before the window shows the record: replies to the earlier requests
// may still be on their way when the settings reply (requested last) arrives.
constexpr guint read_done_delay_ms = 500;
constexpr guint write_done_delay_ms = 500;

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

void cancel_read_config_timeout()
{
    if (read_config_timeout_id != 0) {
        g_source_remove(read_config_timeout_id);
        read_config_timeout_id = 0;
    }
}

gboolean read_config_no_reply_cb(gpointer)
{
    read_config_timeout_id = 0;
    if (!reading_config)
        return FALSE;  // another settings reply has ended the read meanwhile
    reading_config = 0;
    update_main_window();
    // Without a device the window shows the no-device state, which says enough.
    if (device_connected)
        dialog_info("Zevrin",
                    _("The device did not send its configuration. Please check the connection "
                      "and read the configuration again."),
                    GTK_WINDOW(window_main));
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

void read_config()
{
    cancel_read_config_timeout();
    reading_config = 1;
    reading_config_step = 0;
    reading_writing_config_fraction = 1.0;  // the bar stays full for the whole read
    g_idle_add(read_config_step_cb, nullptr);
}

gboolean read_config_step_cb(gpointer)
{
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
        cancel_read_config_timeout();
        read_config_timeout_id = g_timeout_add(static_cast<guint>(read_config_timeout_ms),
                                               read_config_timeout_cb, nullptr);
    }
    update_main_window();
    reading_config_step += 1;
    g_idle_add(read_config_step_cb, nullptr);
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
        // The index comes from the device: never let it reach outside the record.
        if (i < 0 || i >= max_switches)
            return;
        switch_action[i] = {field(4), field(5), field(6), field(7)};
        break;
    }
    case message_settings:
        mouse_speed = {field(3), field(4), field(5)};
        mouse_stretch = {field(6), field(7)};
        joy_displacement = field(8);
        cancel_read_config_timeout();
        g_timeout_add(read_done_delay_ms, read_config_done_cb, nullptr);
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
    reading_config = 0;
    update_main_window();
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
        g_idle_add(write_config_step_cb, nullptr);
        const action_record &a = switch_action[i];
        sent(send_command({command_write_switch, low_byte(i), low_byte(a.kind), low_byte(a.code),
                           low_byte(a.modifiers), low_byte(a.auto_release), 0, 0}));
    }
    reading_writing_config_fraction = 1.0;
    g_idle_add(write_config_step_cb, nullptr);
    sent(send_command({command_write_settings, low_byte(mouse_speed[0]), low_byte(mouse_speed[1]),
                       low_byte(mouse_speed[2]), low_byte(mouse_stretch[0]),
                       low_byte(mouse_stretch[1]), low_byte(joy_displacement), 0}));
    sent(send_command({command_end_of_write, 0, 0, 0, 0, 0, 0, 0}));
    // Whether every report reached the device travels with the timer to the closing message.
    g_timeout_add(write_done_delay_ms, write_config_done_cb, GINT_TO_POINTER(all_sent ? 1 : 0));
}

gboolean write_config_step_cb(gpointer)
{
    update_main_window();
    return FALSE;
}

gboolean write_config_done_cb(gpointer user_data)
{
    const bool all_sent = GPOINTER_TO_INT(user_data) != 0;
    writing_config = 0;
    update_main_window();
    GtkWindow *parent = GTK_WINDOW(window_main);
    if (all_sent)
        dialog_info("Zevrin", _("Configuration successfully written into the device."), parent);
    else
        dialog_info("Zevrin",
                    _("The configuration could not be written into the device. Please check "
                      "that the device is connected and write the configuration again."),
                    parent);
    return FALSE;
}
