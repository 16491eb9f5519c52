// Emulated HID devices over umockdev; see emulated_device.h.
#include "tests/hid/emulated_device.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <set>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "tests/hid/box_descriptors.h"
#include "tests/scratch_dir.h"

namespace {

// A vendor-defined collection with 8-byte input and output reports and no report IDs.
const std::vector<unsigned char> zevrin_report_descriptor = {
        0x06, 0x00, 0xFF,  // Usage Page (Vendor Defined 0xFF00)
        0x09, 0x01,        // Usage (0x01)
        0xA1, 0x01,        // Collection (Application)
        0x09, 0x02,        //   Usage (0x02)
        0x15, 0x00,        //   Logical Minimum (0)
        0x26, 0xFF, 0x00,  //   Logical Maximum (255)
        0x75, 0x08,        //   Report Size (8)
        0x95, 0x08,        //   Report Count (8)
        0x81, 0x02,        //   Input (Data, Variable, Absolute)
        0x09, 0x03,        //   Usage (0x03)
        0x75, 0x08,        //   Report Size (8)
        0x95, 0x08,        //   Report Count (8)
        0x91, 0x02,        //   Output (Data, Variable, Absolute)
        0xC0,              // End Collection
};

// The boot mouse of the Device Class Definition for HID 1.11, appendix E.10.
const std::vector<unsigned char> mouse_report_descriptor = {
        0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19, 0x01, 0x29,
        0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02, 0x95, 0x01, 0x75, 0x05,
        0x81, 0x01, 0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95,
        0x02, 0x81, 0x06, 0xC0, 0xC0,
};

// Node numbers in use (the kernel hands out the lowest free minor) and a sequence number for
// hid device names, which the kernel never reuses while it runs.
std::mutex registry_mutex;
std::set<int> nodes_in_use;
unsigned hid_sequence = 0;

std::string hex(const std::vector<unsigned char> &bytes) {
    std::string s;
    char buf[3];
    for (unsigned char b : bytes) {
        snprintf(buf, sizeof buf, "%02X", b);
        s += buf;
    }
    return s;
}

void set_raw_cloexec(int fd) {
    termios t;
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
}

}  // namespace

struct emulated_device {
    UMockdevTestbed *testbed = nullptr;
    int number = -1;
    std::string usb_path, interface_path, hid_path, hidraw_path;
    std::string node, link, pty_path;
    int master = -1;
    int slave = -1;
    bool owns_usb = true;  // false for an interface of a composite device
};

struct emulated_composite {
    UMockdevTestbed *testbed = nullptr;
    std::string usb_path;
    std::vector<emulated_device *> interfaces;
};

emulated_description zevrin_description() {
    return {"Morvak Zevrin", 0xEE50, 0x0102, zevrin_report_descriptor};
}

emulated_description zevrin_mini_description() {
    return {"Morvak Zevrin Mini", 0xEE50, 0x0103, zevrin_report_descriptor};
}

emulated_description mouse_description() {
    return {"Generic USB Mouse", 0x046D, 0xC077, mouse_report_descriptor};
}

UMockdevTestbed *emulated_testbed_new() {
    UMockdevTestbed *testbed = umockdev_testbed_new();
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    gchar *dev = g_build_filename(root, "dev", nullptr);
    g_mkdir_with_parents(dev, 0755);
    g_free(dev);
    // umockdev removes its directory when the testbed is freed; this one also goes when the
    // test program ends in a failed assertion, a fatal message or a timeout.
    scratch::adopt_dir(root);
    g_free(root);
    return testbed;
}

void emulated_testbed_free(UMockdevTestbed *testbed) {
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    g_object_unref(testbed);
    scratch::remove_dir(root);
    g_free(root);
}

bool emulated_testbed_has_listener(UMockdevTestbed *testbed) {
    // The preload makes one "event<N>" socket in the testbed's root per udev monitor.
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    bool found = false;
    if (GDir *dir = g_dir_open(root, 0, nullptr)) {
        while (const gchar *name = g_dir_read_name(dir))
            found = found || g_str_has_prefix(name, "event");
        g_dir_close(dir);
    }
    g_free(root);
    return found;
}

bool emulated_testbed_wait_for_listener(UMockdevTestbed *testbed) {
    for (int i = 0; i < 20000; i++) {
        if (emulated_testbed_has_listener(testbed))
            return true;
        g_usleep(1000);
    }
    return false;
}

namespace {

// "/sys/devices/..." -> "/devices/..."
std::string strip_sys(const std::string &p) {
    return p.substr(4);
}

// Takes a node number and the pty behind it, and names the sysfs paths of interface
// `interface` of the USB device at `usb_path`.
emulated_device *new_interface(UMockdevTestbed *testbed, const emulated_description &d,
                               const std::string &usb_path, int interface) {
    auto *dev = new emulated_device;
    dev->testbed = testbed;
    unsigned sequence;
    {
        std::lock_guard lock(registry_mutex);
        int n = 0;
        while (nodes_in_use.count(n))
            n++;
        nodes_in_use.insert(n);
        dev->number = n;
        sequence = ++hid_sequence;
    }
    if (openpty(&dev->master, &dev->slave, nullptr, nullptr, nullptr) != 0)
        g_error("openpty: %s", g_strerror(errno));
    set_raw_cloexec(dev->master);
    set_raw_cloexec(dev->slave);
    dev->pty_path = ttyname(dev->slave);

    gchar *root = umockdev_testbed_get_root_dir(testbed);
    dev->node = "/dev/hidraw" + std::to_string(dev->number);
    dev->link = std::string(root) + dev->node;
    g_free(root);
    g_unlink(dev->link.c_str());
    if (symlink(dev->pty_path.c_str(), dev->link.c_str()) != 0)
        g_error("symlink %s: %s", dev->link.c_str(), g_strerror(errno));

    char ids[32];
    snprintf(ids, sizeof ids, "%04X:%04X", d.vendor_id, d.product_id);
    // A USB device named after its first node: "1-<number + 1>".
    dev->usb_path = usb_path.empty() ? "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-" +
                                           std::to_string(dev->number + 1)
                                     : usb_path;
    const std::string port = dev->usb_path.substr(dev->usb_path.rfind('/') + 1);
    dev->interface_path = dev->usb_path + "/" + port + ":1." + std::to_string(interface);
    char hid_name[64];
    snprintf(hid_name, sizeof hid_name, "0003:%s.%04X", ids, sequence);
    dev->hid_path = dev->interface_path + "/" + hid_name;
    dev->hidraw_path = dev->hid_path + "/hidraw/hidraw" + std::to_string(dev->number);
    return dev;
}

std::string usb_device_text(const emulated_device *dev, const emulated_description &d) {
    char vendor[8], product[8];
    snprintf(vendor, sizeof vendor, "%04x", d.vendor_id);
    snprintf(product, sizeof product, "%04x", d.product_id);
    std::string text;
    text += "P: " + strip_sys(dev->usb_path) + "\n";
    text += "E: SUBSYSTEM=usb\n";
    text += "E: DEVTYPE=usb_device\n";
    text += std::string("A: idVendor=") + vendor + "\n";
    text += std::string("A: idProduct=") + product + "\n";
    text += "A: product=" + d.name + "\n\n";
    return text;
}

// Parents first: the hidraw node's "add" goes out last, when everything above it exists.
std::string interface_text(const emulated_device *dev, const emulated_description &d,
                           int interface, bool initialised) {
    char hid_id[32], number[8];
    snprintf(hid_id, sizeof hid_id, "0003:%08X:%08X", d.vendor_id, d.product_id);
    snprintf(number, sizeof number, "%02x", interface);
    std::string text;
    text += "P: " + strip_sys(dev->interface_path) + "\n";
    text += "E: SUBSYSTEM=usb\n";
    text += "E: DEVTYPE=usb_interface\n";
    text += "A: bInterfaceClass=03\n";
    text += std::string("A: bInterfaceNumber=") + number + "\n\n";
    text += "P: " + strip_sys(dev->hid_path) + "\n";
    text += "E: SUBSYSTEM=hid\n";
    text += "E: DRIVER=hid-generic\n";
    text += std::string("E: HID_ID=") + hid_id + "\n";
    text += "E: HID_NAME=" + d.name + "\n";
    text += "H: report_descriptor=" + hex(d.report_descriptor) + "\n\n";
    text += "P: " + strip_sys(dev->hidraw_path) + "\n";
    text += "E: SUBSYSTEM=hidraw\n";
    text += "E: DEVNAME=" + dev->node + "\n";
    if (!initialised)
        text += "E: MAJOR=241\nE: MINOR=" + std::to_string(dev->number) + "\n";
    text += "A: dev=241:" + std::to_string(dev->number) + "\n\n";
    return text;
}

void add_devices(UMockdevTestbed *testbed, const std::string &text) {
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, text.c_str(), &error))
        g_error("umockdev_testbed_add_from_string: %s", error->message);
}

// Takes the interface's node away and sends its "remove" events; the USB device's too when
// the interface is the device's only one.
void unplug_interface(emulated_device *dev) {
    // As the kernel and udev do it: the node fails under its readers and disappears, and the
    // device is no longer listed, before anyone hears "remove". The class link goes first
    // because the testbed needs the device's own sysfs directory to send the event.
    gchar *sys = umockdev_testbed_get_sys_dir(dev->testbed);
    std::string class_link =
        std::string(sys) + "/class/hidraw/hidraw" + std::to_string(dev->number);
    g_free(sys);
    g_unlink(class_link.c_str());
    g_unlink(dev->link.c_str());
    if (dev->slave >= 0)
        close(dev->slave);
    dev->slave = -1;
    emulated_device_hang_up(dev);
    std::vector<std::string> paths = {dev->hidraw_path, dev->hid_path, dev->interface_path};
    if (dev->owns_usb)
        paths.push_back(dev->usb_path);
    for (const std::string &p : paths)
        umockdev_testbed_uevent(dev->testbed, p.c_str(), "remove");
    for (const std::string &p : paths)
        umockdev_testbed_remove_device(dev->testbed, p.c_str());
    {
        std::lock_guard lock(registry_mutex);
        nodes_in_use.erase(dev->number);
    }
}

}  // namespace

emulated_device *emulated_device_plug(UMockdevTestbed *testbed, const emulated_description &d,
                                      bool initialised) {
    emulated_device *dev = new_interface(testbed, d, "", 0);
    add_devices(testbed, usb_device_text(dev, d) + interface_text(dev, d, 0, initialised));
    return dev;
}

void emulated_device_hang_up(emulated_device *dev) {
    if (dev->master >= 0)
        close(dev->master);
    dev->master = -1;
}

void emulated_device_unplug(emulated_device *dev) {
    unplug_interface(dev);
    delete dev;
}

void emulated_device_initialise(emulated_device *dev) {
    gchar *sys = umockdev_testbed_get_sys_dir(dev->testbed);
    const std::string uevent = std::string(sys) + dev->hidraw_path.substr(4) + "/uevent";
    g_free(sys);
    gchar *text = nullptr;
    if (!g_file_get_contents(uevent.c_str(), &text, nullptr, nullptr))
        g_error("cannot read %s", uevent.c_str());
    std::string kept;
    gchar **lines = g_strsplit(text, "\n", -1);
    for (gchar **l = lines; *l; l++) {
        if (**l && !g_str_has_prefix(*l, "MAJOR=") && !g_str_has_prefix(*l, "MINOR="))
            kept += std::string(*l) + "\n";
    }
    g_strfreev(lines);
    g_free(text);
    if (!g_file_set_contents(uevent.c_str(), kept.c_str(), -1, nullptr))
        g_error("cannot write %s", uevent.c_str());
    umockdev_testbed_uevent(dev->testbed, dev->hidraw_path.c_str(), "add");
}

void emulated_device_change(emulated_device *dev) {
    umockdev_testbed_uevent(dev->testbed, dev->hidraw_path.c_str(), "change");
}

const char *emulated_device_node(const emulated_device *dev) {
    return dev->node.c_str();
}

const char *emulated_device_pty_path(const emulated_device *dev) {
    return dev->pty_path.c_str();
}

void emulated_device_send(emulated_device *dev, const unsigned char *data, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(dev->master, data + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            g_error("emulated device write: %s", g_strerror(errno));
        done += static_cast<size_t>(n);
    }
}

size_t emulated_device_unread(emulated_device *dev) {
    int n = 0;
    if (ioctl(dev->master, FIONREAD, &n) != 0)
        g_error("FIONREAD: %s", g_strerror(errno));
    return static_cast<size_t>(n);
}

bool emulated_device_receive(emulated_device *dev, unsigned char *data, size_t length) {
    size_t done = 0;
    while (done < length) {
        // Only a guard against a hung test: a correct program has written long before.
        pollfd p = {dev->master, POLLIN, 0};
        int r = poll(&p, 1, 20000);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        ssize_t n = read(dev->master, data + done, length - done);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

emulated_composite_description zevrin_composite_description() {
    return {"Morvak Zevrin", 0xEE50, 0x0102,
            {zevrin_report_descriptor, box_descriptors::keyboard, box_descriptors::mouse,
             box_descriptors::joystick}};
}

emulated_composite_description zevrin_numbered_composite_description() {
    return {"Morvak Zevrin", 0xEE50, 0x0102, {zevrin_report_descriptor, box_descriptors::numbered}};
}

emulated_composite *emulated_composite_plug(UMockdevTestbed *testbed,
                                            const emulated_composite_description &d) {
    auto *composite = new emulated_composite;
    composite->testbed = testbed;
    std::string text;
    for (size_t i = 0; i < d.interfaces.size(); i++) {
        const emulated_description one = {d.name, d.vendor_id, d.product_id, d.interfaces[i]};
        emulated_device *dev =
            new_interface(testbed, one, composite->usb_path, static_cast<int>(i));
        dev->owns_usb = false;
        if (i == 0) {
            composite->usb_path = dev->usb_path;
            text += usb_device_text(dev, one);
        }
        text += interface_text(dev, one, static_cast<int>(i), true);
        composite->interfaces.push_back(dev);
    }
    add_devices(testbed, text);
    return composite;
}

size_t emulated_composite_size(const emulated_composite *composite) {
    return composite->interfaces.size();
}

emulated_device *emulated_composite_interface(emulated_composite *composite, size_t index) {
    return index < composite->interfaces.size() ? composite->interfaces[index] : nullptr;
}

void emulated_composite_unplug(emulated_composite *composite) {
    for (emulated_device *dev : composite->interfaces) {
        unplug_interface(dev);
        delete dev;
    }
    if (!composite->usb_path.empty()) {
        umockdev_testbed_uevent(composite->testbed, composite->usb_path.c_str(), "remove");
        umockdev_testbed_remove_device(composite->testbed, composite->usb_path.c_str());
    }
    delete composite;
}
