// Emulated HID devices for tests: a umockdev testbed (run the test with the umockdev preload)
// with USB HID devices plugged in and out, their hidraw node a pseudo-terminal that the test
// holds the other end of.
//
// The kernel is modelled as hidraw behaves: for a device without report IDs, send only the
// payload (8 bytes for a Zevrin); what the program writes arrives unchanged, report number
// byte included. Unlike hidraw, the node has no report boundaries and one queue for all
// readers, so send one report at a time and receive exactly one report's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <umockdev.h>
#include <vector>

struct emulated_description {
    std::string name;  // HID_NAME
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    std::vector<unsigned char> report_descriptor;
};

// A Zevrin (product 0x0102) and a Zevrin Mini (0x0103): one top-level collection on the vendor
// page 0xFF00 with 8-byte input and output reports and no report IDs (9 bytes each counting
// the report ID byte).
emulated_description zevrin_description();
emulated_description zevrin_mini_description();
// A plain USB mouse (boot protocol), for arrivals and removals of other HID devices.
emulated_description mouse_description();

// A composite box: one USB device with several HID interfaces, each with its own hidraw node,
// all with the box's vendor and product. `interfaces` holds one report descriptor per
// interface, in interface order (interface 0 first).
struct emulated_composite_description {
    std::string name;
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    std::vector<std::vector<unsigned char>> interfaces;
};
// A Zevrin whose configuration interface (as zevrin_description()) is interface 0, followed
// by a keyboard, a mouse and a joystick interface (tests/hid/box_descriptors.h).
emulated_composite_description zevrin_composite_description();
// The same with keyboard, mouse and joystick on one interface 1, with report IDs 1, 2, 3.
emulated_composite_description zevrin_numbered_composite_description();

// A testbed for one test; create it before anything opens a udev monitor.
UMockdevTestbed *emulated_testbed_new();
void emulated_testbed_free(UMockdevTestbed *testbed);
// For a program under test in another process (started with UMOCKDEV_DIR set to the testbed's
// root and the preload): waits until it listens for hot-plug events, since a device plugged in
// before that is never announced to it. False if no listener appears (hang guard).
bool emulated_testbed_wait_for_listener(UMockdevTestbed *testbed);
// Whether anything listens for hot-plug events right now.
bool emulated_testbed_has_listener(UMockdevTestbed *testbed);

struct emulated_device;

// Plugs a device in: its usb device, interface, hid device and hidraw node appear, with "add"
// events. Each plug gets a new hid syspath, as the kernel gives a replugged device.
//
// With `initialised` false, the hidraw node is one that udev has not finished with yet: it is
// in sysfs, but libudev does not list it among initialised devices until
// emulated_device_initialise. (umockdev keeps no udev database. libudev counts a device with a
// device number as initialised only when the database has an entry for it, and one without a
// number always; so such a node carries MAJOR and MINOR until it is initialised.)
emulated_device *emulated_device_plug(UMockdevTestbed *testbed, const emulated_description &d,
                                      bool initialised = true);
// udev is done with a node plugged in uninitialised: it is listed from now on, and its "add"
// goes out, as udev sends it after its rules ran.
void emulated_device_initialise(emulated_device *device);
// udev runs its rules on the hidraw node again ("udevadm trigger"): a "change" event.
void emulated_device_change(emulated_device *device);
// Unplugs it ("remove" events, child first; then the node hangs up) and frees it.
void emulated_device_unplug(emulated_device *device);
// Hangs the node up without removing the device, as a device that died would.
void emulated_device_hang_up(emulated_device *device);

struct emulated_composite;

// Plugs a composite box in: its usb device, then each interface with its hid device and
// hidraw node (node numbers the lowest free ones, in interface order), with "add" events in
// that order.
emulated_composite *emulated_composite_plug(UMockdevTestbed *testbed,
                                            const emulated_composite_description &d);
size_t emulated_composite_size(const emulated_composite *composite);
// Interface `index` (its node, its pty); null past the last one. Use the emulated_device_
// functions on it, but unplug only the whole composite.
emulated_device *emulated_composite_interface(emulated_composite *composite, size_t index);
// Unplugs it: every interface as emulated_device_unplug does it, then the usb device; frees it.
void emulated_composite_unplug(emulated_composite *composite);

const char *emulated_device_node(const emulated_device *device);      // /dev/hidrawN
const char *emulated_device_pty_path(const emulated_device *device);  // where the node leads

// Device to host: one input report exactly as the kernel hands it to read().
void emulated_device_send(emulated_device *device, const unsigned char *data, size_t length);
// Host to device: blocks until `length` bytes written by the program arrived. False if they do
// not come (after a generous hang guard) or the node is gone.
bool emulated_device_receive(emulated_device *device, unsigned char *data, size_t length);
// How many bytes written by the program wait to be received now (a write has arrived once it
// returned in the program).
size_t emulated_device_unread(emulated_device *device);
