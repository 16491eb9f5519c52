// Stand-in for the HID module: no device exists, and every report written is recorded so the
// tests can check what the window's commands send, byte for byte.
#include <algorithm>

#include "hid/mhid.h"
#include "hid/mhid_linux.h"
#include "tests/window/window_test.h"

std::vector<written_report> mhid_written;

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
    mhid_written.push_back(r);
    return length;
}

void mhid_terminate() {}

void mhid_set_access_denied_callback(mhid_access_denied_callback, void *) {}

void mhid_set_another_device_callback(mhid_another_device_callback, void *) {}
