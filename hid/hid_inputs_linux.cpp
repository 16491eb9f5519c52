// The input interfaces of a box on Linux: libudev finds the hidraw nodes under the same USB
// device, and a thread polls them beside an eventfd that stop() signals (closing a node does
// not wake a poll on it).
#include "hid/hid_inputs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <libudev.h>
#include <memory>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

struct udev_deleter {
    void operator()(udev *p) const { udev_unref(p); }
    void operator()(udev_enumerate *p) const { udev_enumerate_unref(p); }
    void operator()(udev_device *p) const { udev_device_unref(p); }
};
template <typename T>
using udev_ptr = std::unique_ptr<T, udev_deleter>;

// A descriptor is at most 4096 bytes (HID_MAX_DESCRIPTOR_SIZE in the kernel). The sysfs file
// is binary: udev_device_get_sysattr_value would stop at its first 0x00.
std::vector<unsigned char> read_descriptor(const char *hid_syspath)
{
    std::vector<unsigned char> bytes(4096);
    const std::string path = std::string(hid_syspath) + "/report_descriptor";
    FILE *f = fopen(path.c_str(), "rbe");
    if (f == nullptr)
        return {};
    bytes.resize(fread(bytes.data(), 1, bytes.size(), f));
    fclose(f);
    return bytes;
}

struct found_node {
    std::string syspath, devnode, usb, hid;
};

std::vector<found_node> list_hidraw(udev *u)
{
    std::vector<found_node> nodes;
    udev_ptr<udev_enumerate> e(udev_enumerate_new(u));
    if (!e || udev_enumerate_add_match_subsystem(e.get(), "hidraw") < 0 ||
        udev_enumerate_add_match_is_initialized(e.get()) < 0 ||
        udev_enumerate_scan_devices(e.get()) < 0)
        return nodes;
    udev_list_entry *entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e.get())) {
        udev_ptr<udev_device> dev(udev_device_new_from_syspath(u, udev_list_entry_get_name(entry)));
        if (!dev)
            continue;  // gone between the listing and now
        // Borrowed from dev.
        udev_device *usb = udev_device_get_parent_with_subsystem_devtype(dev.get(), "usb", "usb_device");
        udev_device *hid = udev_device_get_parent_with_subsystem_devtype(dev.get(), "hid", nullptr);
        const char *devnode = udev_device_get_devnode(dev.get());
        if (usb == nullptr || hid == nullptr || devnode == nullptr)
            continue;
        nodes.push_back({udev_device_get_syspath(dev.get()), devnode, udev_device_get_syspath(usb),
                         udev_device_get_syspath(hid)});
    }
    return nodes;
}

// The longest input report of a node, as read() hands it over (the report ID byte only when
// the descriptor has report IDs).
size_t read_size(const hid_descriptor_info &d)
{
    size_t longest = 0;
    for (const hid_top_collection &c : d.collections)
        longest = std::max<size_t>(longest, c.input_len);
    if (longest == 0)
        return 64;  // no input reports said: a size no real report of such a node exceeds
    return d.input_numbered ? longest : longest - 1;
}

}  // namespace

std::vector<hid_input_node> hid_sibling_inputs(const char *box_node)
{
    std::vector<hid_input_node> siblings;
    udev_ptr<udev> u(udev_new());
    if (!u || box_node == nullptr)
        return siblings;
    const std::vector<found_node> all = list_hidraw(u.get());
    auto box = std::find_if(all.begin(), all.end(), [box_node](const found_node &n) { return n.devnode == box_node; });
    if (box == all.end())
        return siblings;
    for (const found_node &n : all) {
        if (n.usb != box->usb || n.syspath == box->syspath)
            continue;
        const std::vector<unsigned char> bytes = read_descriptor(n.hid.c_str());
        siblings.push_back({n.devnode, n.syspath, parse_report_descriptor(bytes.data(), bytes.size())});
    }
    std::sort(siblings.begin(), siblings.end(),
              [](const hid_input_node &a, const hid_input_node &b) { return a.syspath < b.syspath; });
    return siblings;
}

hid_input_reader::~hid_input_reader()
{
    stop();
}

bool hid_input_reader::start(const std::vector<hid_input_node> &nodes, report_fn on_report, gone_fn on_gone,
                             std::string *error)
{
    if (running()) {
        if (error != nullptr)
            *error = "the reader is already running";
        return false;
    }
    auto fail = [this, error](const std::string &what) {
        stop();  // nothing runs yet: this only closes what was opened
        if (error != nullptr)
            *error = what;
        return false;
    };
    for (const hid_input_node &n : nodes) {
        // Read-only, never the controlling terminal (the test nodes are terminals), and no
        // exclusive access of any kind: other readers get every report as before.
        const int fd = open(n.devnode.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0)
            return fail(n.devnode + ": " + strerror(errno));
        fds_.push_back(fd);
        sizes_.push_back(read_size(n.descriptor));
    }
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0)
        return fail(std::string("eventfd: ") + strerror(errno));
    on_report_ = std::move(on_report);
    on_gone_ = std::move(on_gone);
    thread_ = std::thread(&hid_input_reader::run, this);
    return true;
}

void hid_input_reader::stop()
{
    if (thread_.joinable()) {
        const uint64_t one = 1;
        while (write(wake_, &one, sizeof one) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
    for (int fd : fds_)
        close(fd);
    fds_.clear();
    sizes_.clear();
    if (wake_ >= 0)
        close(wake_);
    wake_ = -1;
}

void hid_input_reader::run()
{
    std::vector<pollfd> polled;
    for (int fd : fds_)
        polled.push_back({fd, POLLIN, 0});
    polled.push_back({wake_, POLLIN, 0});
    size_t longest = 0;
    for (size_t s : sizes_)
        longest = std::max(longest, s);
    std::vector<unsigned char> buffer(std::max<size_t>(longest, 1));
    for (;;) {
        if (poll(polled.data(), polled.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (polled.back().revents != 0)
            return;
        for (size_t i = 0; i + 1 < polled.size(); i++) {
            if (polled[i].fd < 0 || polled[i].revents == 0)
                continue;
            bool gone = (polled[i].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
            // Everything queued before a hang-up is still delivered.
            for (;;) {
                const ssize_t n = read(polled[i].fd, buffer.data(), sizes_[i]);
                if (n > 0) {
                    if (on_report_)
                        on_report_(i, buffer.data(), static_cast<size_t>(n));
                    continue;
                }
                if (n < 0 && errno == EINTR)
                    continue;
                if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                    gone = true;
                break;
            }
            if (gone) {
                polled[i].fd = -1;  // poll skips it from now on
                if (on_gone_)
                    on_gone_(i);
            }
        }
    }
}
