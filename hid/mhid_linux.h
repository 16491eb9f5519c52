// What the HID module offers beyond its portable interface on Linux.
#pragma once

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
