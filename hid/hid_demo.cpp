// The simulated device behind ZEVRIN_DEMO; see hid_demo.h.
//
// One interface, always present, with the descriptor a Zevrin carries. Output reports written
// to it are carried out at once, under one mutex, on the writer's thread; a reply goes into the
// queue of every node open for reading (as hidraw gives each open file its own copy of every
// input report) and the node's eventfd is signalled. A reader blocks in poll() on that eventfd
// and its wake-up fd, so an idle demo uses no processor time.
#include "hid/hid_demo.h"

#include "device/config.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <glib.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

constexpr int n_demo_models = n_models;
constexpr std::array<const char *, n_demo_models> demo_syspath = {"/demo/zevrin", "/demo/zevrin-mini"};
constexpr const char *demo_devnode = "demo";

// The device's report descriptor: one application collection on the vendor page 0xFF00 with
// an 8-byte input report and an 8-byte output report, and no report IDs.
constexpr unsigned char demo_report_descriptor[] = {
    0x06, 0x00, 0xFF, // Usage Page (0xFF00, vendor defined)
    0x09, 0x01,       // Usage (1)
    0xA1, 0x01,       // Collection (Application)
    0x09, 0x02,       //   Usage (2)
    0x15, 0x00,       //   Logical Minimum (0)
    0x26, 0xFF, 0x00, //   Logical Maximum (255)
    0x75, 0x08,       //   Report Size (8 bits)
    0x95, 0x08,       //   Report Count (8)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)
    0x09, 0x03,       //   Usage (3)
    0x95, 0x08,       //   Report Count (8)
    0x91, 0x02,       //   Output (Data, Variable, Absolute)
    0xC0,             // End Collection
};

// Payload of an input report as a node without report IDs gives it (no ID byte in front).
constexpr size_t payload_size = 8;
using payload = std::array<uint8_t, payload_size>;
// Like hidraw: a node keeps at most this many unread reports and drops what comes on top.
constexpr size_t max_queued_reports = 64;

// One switch as the reports carry it: kind, code, modifiers, auto-release.
using switch_bytes = std::array<uint8_t, 4>;
// The settings as the reports carry them: mouse speed (3), mouse stretch (2), displacement.
using settings_bytes = std::array<uint8_t, 6>;

// What a demo device holds when the program starts: a little of everything the editor shows.
// Zevrin: left click, right click, double click, the space bar, Control+Enter, joystick
// button 1, mouse up, joystick left. The Mini: left click and the space bar.
constexpr std::array<std::array<switch_bytes, 8>, n_demo_models> sample_switches = {{
    {{{0, 0, 0, 1},
      {0, 1, 0, 1},
      {0, 2, 0, 0},
      {1, 0x2C, 0, 1},
      {1, 0x28, 1, 1},
      {2, 0, 0, 1},
      {3, 4, 0, 0},
      {4, 2, 0, 0}}},
    {{{0, 0, 0, 1},
      {1, 0x2C, 0, 1},
      {0, 0, 0, 1},
      {0, 0, 0, 1},
      {0, 0, 0, 1},
      {0, 0, 0, 1},
      {0, 0, 0, 1},
      {0, 0, 0, 1}}},
}};
// "Accelerate and brake" (5, 18, 7, 40, 150) and a displacement of 93 ("75%").
constexpr settings_bytes sample_settings = {5, 18, 7, 40, 150, 93};

// Commands (byte 1 of an output report) and replies (byte 0 of an input payload).
constexpr uint8_t command_write_switch = 0x04;
constexpr uint8_t command_write_settings = 0x07;
constexpr uint8_t command_end_of_write = 0x08;
constexpr uint8_t command_read = 0x09;
constexpr uint8_t read_what_switch = 0x00;
constexpr uint8_t read_what_settings = 0x01;
constexpr uint8_t reply_switch = 0x09;
constexpr uint8_t reply_settings = 0x0A;

struct open_node {
    bool for_write = false;
    int ready_fd = -1; // readers only: an eventfd signalled when a report is queued
    std::deque<payload> queue;
};

struct demo_device {
    std::mutex mutex;
    int model = 0;
    std::array<switch_bytes, 8> switches = sample_switches[0];
    settings_bytes settings = sample_settings;
    std::map<int, open_node> nodes; // by handle
    int next_handle = 0;
};

// Never destroyed: a reader thread may still be running when the process exits.
demo_device &device = *new demo_device;

// Caller holds device.mutex.
void queue_reply(const payload &reply)
{
    for (auto &[handle, node] : device.nodes) {
        if (node.for_write || node.queue.size() >= max_queued_reports)
            continue;
        node.queue.push_back(reply);
        uint64_t one = 1;
        // Fails only with a full counter, which readers empty long before.
        [[maybe_unused]] ssize_t n = write(node.ready_fd, &one, sizeof one);
    }
}

// Carries out one output report (report ID byte first). Caller holds device.mutex.
void carry_out(const unsigned char *report)
{
    if (report[0] != 0)
        return; // the device has no numbered reports
    const unsigned char *command = report + 1;
    const int n = model_n_switches[static_cast<size_t>(device.model)];
    switch (command[0]) {
    case command_read:
        if (command[1] == read_what_switch && command[2] < n) {
            const switch_bytes &s = device.switches[command[2]];
            queue_reply({reply_switch, 0, command[2], s[0], s[1], s[2], s[3], 0});
        } else if (command[1] == read_what_settings) {
            const settings_bytes &s = device.settings;
            queue_reply({reply_settings, 0, s[0], s[1], s[2], s[3], s[4], s[5]});
        }
        // A switch the model does not have gets no answer.
        break;
    case command_write_switch:
        if (command[1] < n)
            memcpy(device.switches[command[1]].data(), command + 2, 4);
        break;
    case command_write_settings:
        memcpy(device.settings.data(), command + 1, device.settings.size());
        break;
    case command_end_of_write:
        break; // everything is kept as it came; nothing is stored anywhere lasting
    default:
        break;
    }
}

bool demo_enumerate(const std::vector<hid_product> *wanted, std::vector<hid_interface_info> *out)
{
    out->clear();
    hid_interface_info info;
    {
        std::lock_guard lock(device.mutex);
        info.syspath = demo_syspath[static_cast<size_t>(device.model)];
        info.product_id = static_cast<uint16_t>(model_product_id[static_cast<size_t>(device.model)]);
    }
    info.devnode = demo_devnode;
    info.vendor_id = static_cast<uint16_t>(model_vendor_id);
    if (wanted != nullptr && std::find(wanted->begin(), wanted->end(),
                                       hid_product{info.vendor_id, info.product_id}) == wanted->end())
        return true;
    info.descriptor = parse_report_descriptor(demo_report_descriptor, sizeof demo_report_descriptor);
    out->push_back(std::move(info));
    return true;
}

int demo_open_node(const char *devnode, bool for_write)
{
    if (devnode == nullptr || strcmp(devnode, demo_devnode) != 0)
        return -ENOENT;
    open_node node;
    node.for_write = for_write;
    if (!for_write) {
        node.ready_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (node.ready_fd < 0)
            return -errno;
    }
    std::lock_guard lock(device.mutex);
    const int handle = device.next_handle++;
    device.nodes.emplace(handle, std::move(node));
    return handle;
}

int demo_read_report(int handle, int wake_fd, unsigned char *buffer, size_t size)
{
    for (;;) {
        int ready_fd;
        {
            std::lock_guard lock(device.mutex);
            auto it = device.nodes.find(handle);
            if (it == device.nodes.end() || it->second.for_write)
                return hid_read_failed;
            std::deque<payload> &queue = it->second.queue;
            if (!queue.empty()) {
                // One report per read; a short buffer takes its first bytes, as read() does.
                const size_t n = std::min(size, payload_size);
                memcpy(buffer, queue.front().data(), n);
                queue.pop_front();
                return static_cast<int>(n);
            }
            // The registry stops and joins a reader before it closes the reader's node, so the
            // eventfd stays open while this waits on it.
            ready_fd = it->second.ready_fd;
        }
        pollfd fds[2] = {{ready_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return hid_read_failed;
        }
        if (fds[1].revents != 0)
            return hid_read_woken;
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))
            return hid_read_failed;
        uint64_t count;
        // Empties the counter; the queue, checked again above, says what arrived.
        [[maybe_unused]] ssize_t n = read(ready_fd, &count, sizeof count);
    }
}

int demo_write_report(int handle, const unsigned char *data, size_t size)
{
    if (data == nullptr || size == 0)
        return -1;
    // Every command is 9 bytes; bytes a shorter report lacks count as 0.
    std::array<unsigned char, 1 + payload_size> report{};
    memcpy(report.data(), data, std::min(size, report.size()));
    std::lock_guard lock(device.mutex);
    auto it = device.nodes.find(handle);
    if (it == device.nodes.end() || !it->second.for_write)
        return -1;
    carry_out(report.data());
    return static_cast<int>(size);
}

void demo_close_node(int handle)
{
    std::lock_guard lock(device.mutex);
    auto it = device.nodes.find(handle);
    if (it == device.nodes.end())
        return;
    if (it->second.ready_fd >= 0)
        close(it->second.ready_fd);
    device.nodes.erase(it);
}

// The device never arrives or leaves: the watcher waits on an eventfd that nothing signals.
// hid_monitor is the layer's own type; this one is only ever an eventfd in disguise.
struct demo_monitor {
    int fd;
};

hid_monitor *demo_monitor_new()
{
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0)
        return nullptr;
    return reinterpret_cast<hid_monitor *>(new demo_monitor{fd});
}

int demo_monitor_fd(hid_monitor *monitor)
{
    return reinterpret_cast<demo_monitor *>(monitor)->fd;
}

hid_monitor_event demo_monitor_next_event(hid_monitor *)
{
    return hid_monitor_none;
}

void demo_monitor_free(hid_monitor *monitor)
{
    auto *m = reinterpret_cast<demo_monitor *>(monitor);
    close(m->fd);
    delete m;
}

constexpr hid_platform demo_platform = {
    demo_enumerate,   demo_open_node,  demo_read_report,        demo_write_report, demo_close_node,
    demo_monitor_new, demo_monitor_fd, demo_monitor_next_event, demo_monitor_free, nullptr,
};

} // namespace

int hid_demo_model(const char *name)
{
    if (name == nullptr)
        return -1;
    if (g_ascii_strcasecmp(name, "zevrin") == 0)
        return 0;
    if (g_ascii_strcasecmp(name, "mini") == 0 || g_ascii_strcasecmp(name, "zevrin-mini") == 0 ||
        g_ascii_strcasecmp(name, "zevrin_mini") == 0)
        return 1;
    return -1;
}

const hid_platform *hid_demo_platform(int model)
{
    if (model < 0 || model >= n_demo_models)
        model = 0;
    std::lock_guard lock(device.mutex);
    device.model = model;
    device.switches = sample_switches[static_cast<size_t>(model)];
    device.settings = sample_settings;
    return &demo_platform;
}

bool hid_demo_use_from_environment()
{
    const char *name = g_getenv("ZEVRIN_DEMO");
    if (name == nullptr || *name == '\0')
        return false;
    const int model = hid_demo_model(name);
    if (model < 0) {
        g_printerr("ZEVRIN_DEMO=%s names no demo device (use \"zevrin\" or \"mini\"); looking for "
                   "real devices.\n",
                   name);
        return false;
    }
    mhid_use_platform(hid_demo_platform(model));
    return true;
}
