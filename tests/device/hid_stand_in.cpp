// A recording stand-in for the HID module: registrations, a first scan that reports what the
// test says is present, and writes that are recorded byte for byte with their length.
#include <algorithm>

#include "tests/device/echo_box.h"
#include "tests/device/spine_test.h"

namespace stand_in {

std::vector<registration> registrations;
std::vector<written> writes;
std::vector<int> present_products;
int writes_reaching_device = -1;
bool echo_box = false;
configuration box_held = {};

namespace {
mhid_device_change_callback device_change_callback = nullptr;
void *device_change_target = nullptr;
mhid_access_denied_callback access_denied_callback = nullptr;
void *access_denied_target = nullptr;
}  // namespace

void reset()
{
    registrations.clear();
    writes.clear();
    present_products.clear();
    writes_reaching_device = -1;
    echo_box = false;
    box_held = {};
    device_change_callback = nullptr;
    access_denied_callback = nullptr;
}

void device_change()
{
    if (device_change_callback != nullptr)
        device_change_callback(device_change_target);
}

void access_denied(const char *node)
{
    if (access_denied_callback != nullptr)
        access_denied_callback(access_denied_target, node);
}

}  // namespace stand_in

using namespace stand_in;


void mhid_init()
{
    registrations.clear();
}

int mhid_add_device(int vendor_id, int product_id, int usage_page, int input_len, int output_len)
{
    if (registrations.size() >= 32)
        return -1;
    registrations.push_back({vendor_id, product_id, usage_page, input_len, output_len, nullptr,
                             nullptr, nullptr});
    return static_cast<int>(registrations.size()) - 1;
}

void mhid_set_callbacks(int id, mhid_connected_callback connected_cb, void *connected_data,
                        mhid_disconnected_callback disconnected_cb, void *disconnected_data,
                        mhid_report_callback report_cb, void *)
{
    if (id < 0 || id >= static_cast<int>(registrations.size()))
        return;
    registration &r = registrations[static_cast<size_t>(id)];
    r.connected_cb = connected_cb;
    r.disconnected_cb = disconnected_cb;
    r.report_cb = report_cb;
    // The first scan, on the caller's thread, as the module makes it.
    const bool present = std::ranges::find(present_products, r.product_id) != present_products.end();
    if (present && connected_cb != nullptr)
        connected_cb(connected_data, id);
    else if (!present && disconnected_cb != nullptr)
        disconnected_cb(disconnected_data, id);
}

void mhid_set_device_change_callback(mhid_device_change_callback callback, void *target)
{
    device_change_callback = callback;
    device_change_target = target;
}

void mhid_set_access_denied_callback(mhid_access_denied_callback callback, void *target)
{
    access_denied_callback = callback;
    access_denied_target = target;
}

void mhid_set_another_device_callback(mhid_another_device_callback, void *) {}

int mhid_write(int id, const unsigned char *data, int length)
{
    if (id < 0 || id >= static_cast<int>(registrations.size()) || length <= 0)
        return -1;
    written w{id, {}, length};
    std::copy_n(data, std::min(length, 9), w.bytes.begin());
    writes.push_back(w);
    const bool reaches = writes_reaching_device < 0 ||
                         static_cast<int>(writes.size()) <= writes_reaching_device;
    if (reaches && echo_box)
        echo_box_report(box_held, id, w.bytes);
    return reaches ? registrations[static_cast<size_t>(id)].output_len : 0;
}

void mhid_terminate() {}

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
