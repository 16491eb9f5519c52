// What the HID module offers beyond its portable interface on Linux.
#pragma once

#include <string>
#include <vector>

// Called (on the thread of the scan) when a device matching a registration is present but its
// node cannot be opened for lack of permission; `node` is the device node, e.g. /dev/hidraw3.
typedef void (*mhid_access_denied_callback)(void *target, const char *node);
void mhid_set_access_denied_callback(mhid_access_denied_callback callback, void *target);

// Called (on the thread of the scan, after any connected notice of that scan) when a further
// device matching registration `device` is present beside the one the registration is bound
// to: a second device of the same model, which the registration alone cannot show. Once for
// each such device while it stays present; the module never opens it, so nothing reaches it.
// Should the bound device leave, the registration goes over to the other one (a disconnected
// and a connected notice).
typedef void (*mhid_another_device_callback)(void *target, int device);
void mhid_set_another_device_callback(mhid_another_device_callback callback, void *target);

// Only the interface at device node `devnode` is bound from the next scan on; null or empty: any.
// For a run that talks to one box chosen by its node.
void mhid_bind_only_node(const char *devnode);

// The device node (e.g. /dev/hidraw3) that registration `id` is bound to now, or "" when it is
// bound to none. Not to be called from the module's callbacks.
std::string mhid_bound_node(int id);

// What an interface present now is to this process.
enum mhid_node_state {
    mhid_node_ready,            // it can be used
    mhid_node_no_permission,    // this user may not open it
    mhid_node_held_by_window,   // a configurator window holds the box
    mhid_node_held_by_other,    // another process (a command-line run) holds it
};
struct mhid_present_node {
    int device;  // the registration it serves
    std::string node;
    mhid_node_state state;
};
// Lists the interfaces present now that would serve a registration of this process for
// writing, in the listing's order, each tried (opened and closed at once, nothing written) to
// say whether it can be used; interfaces that have gone meanwhile are left out. Needs
// mhid_init. False when the interfaces cannot be listed at all.
bool mhid_list_present(std::vector<mhid_present_node> *out);
