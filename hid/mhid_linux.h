// What the HID module offers beyond its portable interface on Linux.
#pragma once

// Called (on the thread of the scan) when a device matching a registration is present but its
// node cannot be opened for lack of permission; `node` is the device node, e.g. /dev/hidraw3.
typedef void (*mhid_access_denied_callback)(void *target, const char *node);
void mhid_set_access_denied_callback(mhid_access_denied_callback callback, void *target);
