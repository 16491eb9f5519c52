// Stand-in for the HID module: no device exists, and every report written is recorded so the
// tests can check what the window's commands send, byte for byte. The box behind it takes what
// a write sends and gives it back to the read that checks the write (unless the test says
// otherwise); those read requests are counted apart.
#include <algorithm>

#include "device/protocol.h"
#include "tests/device/echo_box.h"
#include "hid/mhid.h"
#include "hid/mhid_linux.h"
#include "tests/window/window_test.h"

std::vector<written_report> mhid_written;
int mhid_check_requests = 0;
bool box_answers_checks = true;

namespace {

configuration written_to_box = {};

}  // namespace

void mhid_init() {}

int mhid_add_device(int, int, int, int, int)
{
    return -1;
}

void mhid_set_callbacks(int, mhid_connected_callback, void *, mhid_disconnected_callback, void *,
                        mhid_report_callback, void *)
{
}

void mhid_set_device_change_callback(mhid_device_change_callback, void *) {}

int mhid_write(int id, const unsigned char *data, int length)
{
    if (id < 0 || data == nullptr || length <= 0)
        return -1;
    written_report r{id, {}};
    std::copy_n(data, std::min(length, 9), r.bytes.begin());
    // A read while a write runs is the one that checks it.
    const bool checking = writing_config && r.bytes[1] == 0x09;
    if (checking)
        mhid_check_requests++;
    else
        mhid_written.push_back(r);
    if (writing_config)
        echo_box_report(written_to_box, id, r.bytes, box_answers_checks);
    return length;
}

void mhid_terminate() {}

void mhid_set_access_denied_callback(mhid_access_denied_callback, void *) {}

void mhid_set_another_device_callback(mhid_another_device_callback, void *) {}

void mhid_bind_only_node(const char *) {}

std::string mhid_bound_node(int)
{
    return "";
}

bool mhid_list_present(std::vector<mhid_present_node> *out)
{
    out->clear();
    return true;
}
