// Fuzz target: input reports from the device, through the path a real report takes. The bytes
// are cut into reports of 1 to 9 bytes (the first byte of each chunk gives its length), each
// handed to the hub's report callback as the HID reader thread hands it over, then the GLib
// main loop runs the posted work, handle_message included. Each input is a read that a box has
// already answered in full, so that it ends without a message (which would need a display);
// the input's reports come on top of those replies. Every end-of-read timer that a settings
// reply armed is run at once instead of after its delay, so the end of the read (the record
// replaced, the window refresh) is exercised too and no timer piles up across inputs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <glib.h>

#include "app/hub.h"
#include "device/config.h"
#include "device/protocol.h"

namespace {

void drop_print(const gchar *) {}

// Messages are dropped; a warning or critical (a failed check inside GLib or GTK, say) is a
// finding and ends the run like a crash.
GLogWriterOutput check_log(GLogLevelFlags level, const GLogField *fields, gsize n_fields, gpointer data)
{
    if (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING)) {
        g_log_writer_standard_streams(level, fields, n_fields, data);
        abort();
    }
    return G_LOG_WRITER_HANDLED;
}

void drain()
{
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

void setup()
{
    // Generic event notices print a line each: keep the fuzzer's output readable.
    g_set_print_handler(drop_print);
    g_log_set_writer_func(check_log, nullptr, nullptr);
    // A Zevrin connected as registration 0.
    device_zevrin = 0;
    device_zevrin_mini = 1;
    device_connected = 1;
    connected_device_model = 0;
    connected_device_id_in = 0;
    connected_device_id_out = 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = false;
    if (!ready) {
        setup();
        ready = true;
    }
    read_config();
    for (uint8_t i = 0; i < max_switches; i++) {
        const uint8_t reply[9] = {0x00, 0x09, 0x00, i, 0x00, 0x01, 0x00, 0x01, 0x00};
        handle_message(reply, 9);
    }
    const uint8_t settings_reply[9] = {0x00, 0x0A, 0x00, 0x05, 0x12, 0x07, 0x28, 0x96, 0x73};
    handle_message(settings_reply, 9);
    size_t pos = 0;
    while (pos < size) {
        // Low nibble: length 1 to 9; high bit: the report comes from the other registration,
        // which the hub must drop.
        const uint8_t head = data[pos++];
        size_t length = 1 + (head & 0x0F) % 9;
        if (length > size - pos)
            length = size - pos;
        const int device = (head & 0x80) ? device_zevrin_mini : device_zevrin;
        // The reader's buffer: a copy, so that reading past the report is caught.
        auto *buffer = static_cast<unsigned char *>(malloc(length == 0 ? 1 : length));
        for (size_t i = 0; i < length; i++)
            buffer[i] = data[pos + i];
        hid_report_cb(nullptr, device, buffer, static_cast<int>(length));
        // The module reuses its buffer: the hub must have copied what it kept.
        for (size_t i = 0; i < length; i++)
            buffer[i] = 0xA5;
        free(buffer);
        pos += length;
        drain();
    }
    // The requests of the read still to go out, then the end-of-read timer, run now.
    drain();
    if (read_config_done_id != 0) {
        g_source_remove(read_config_done_id);
        read_config_done_cb(nullptr);
    }
    if (reading_config != 0 || config_valid != 1)
        abort();
    for (const action_record &a : switch_action) {
        if (a.kind < -128 || a.kind > 127 || a.code < -128 || a.code > 127)
            abort();
    }
    return 0;
}
