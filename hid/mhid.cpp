// The HID module: the registration table, the scan that binds a registration to a present
// interface, one reader thread per bound registration, writes, and the watcher thread that
// rescans on every arrival and removal. Everything platform-specific is behind hid_platform.h.
//
// A scan works from a listing of the present interfaces. The first scan of a registration (in
// mhid_set_callbacks) lists for itself; the watcher lists once per device event, and once per
// request of a reader whose node failed, and scans every registration against that one
// listing. A listing holds only the interfaces of registered models, so other devices'
// descriptors are never read.
//
// A registration stays bound to one interface while that interface is listed and its node
// healthy. A node that fails while its interface is still listed (a device that hung up) is
// dead: it is not bound again while it stays listed, so the registration never shows
// connected with a reader that cannot read. Further interfaces of the registration's model are
// never opened; the application hears of each through the another-device hook.
//
// Locking, per record:
// - scan_mutex: held for a whole scan, callbacks included, so two scans of one record (the
//   first one on the caller of mhid_set_callbacks, others on the watcher) never overlap and
//   their notices come out in order. It also guards the reader, the binding and the serial of
//   the last listing scanned: a listing begun before that one is older than what the record
//   already saw, and is not acted on.
// - io_mutex: guards read_handle and write_handle. mhid_write holds it for its one write; the
//   scan takes it to close or replace the handles, so a write never meets a handle that is
//   being closed or replaced.
// - callbacks_mutex: guards the six callback values, which mhid_set_callbacks changes while the
//   reader and the watcher use them.
// A scan stops the old reader (wake-up fd, then join) before it closes the reader's node and
// before the input buffer is replaced. It joins without io_mutex or callbacks_mutex held, so a
// report callback may call mhid_write. A callback must not call mhid_set_callbacks for its own
// registration (that scan would wait for the one that called it).
#include "hid/mhid.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <glib.h>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <set>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "hid/hid_platform.h"
#include "hid/mhid_linux.h"

namespace {

constexpr int max_devices = 32;

constexpr int state_unknown = 0;
constexpr int state_connected = 1;
constexpr int state_disconnected = 2;

// An eventfd that wakes a thread blocked in poll(). Closed by its owner after the join.
struct wake_fd {
    int fd = -1;
    wake_fd() : fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~wake_fd() {
        if (fd >= 0)
            close(fd);
    }
    wake_fd(const wake_fd &) = delete;
    wake_fd &operator=(const wake_fd &) = delete;
    void signal() const {
        uint64_t one = 1;
        // Cannot fail short of a full counter, which one signal per thread never reaches.
        [[maybe_unused]] ssize_t n = write(fd, &one, sizeof one);
    }
};

// A reader or the watcher: a thread that also waits on its wake-up fd, and returns once that
// is signalled.
struct woken_thread {
    wake_fd wake;
    std::thread thread;

    void stop() {
        wake.signal();
        thread.join();
    }
};

struct hid_device {
    int id = 0;

    mhid_connected_callback connected_cb = nullptr;
    void *connected_data = nullptr;
    mhid_disconnected_callback disconnected_cb = nullptr;
    void *disconnected_data = nullptr;
    mhid_report_callback report_cb = nullptr;
    void *report_data = nullptr;
    // Set once mhid_set_callbacks has stored the callbacks. Until then the watcher leaves the
    // record alone: a rescan of it would bind a present interface without anyone to tell, and
    // the first scan of mhid_set_callbacks would then find nothing changed and stay silent.
    std::atomic<bool> callbacks_set{false};

    // Set by mhid_add_device before n_devices publishes the record; read-only afterwards.
    int vendor_id = 0;
    int product_id = 0;
    int usage_page = 0;
    int input_len = 0;
    int output_len = 0;

    std::atomic<int> state{state_unknown};
    int read_handle = -1;
    int write_handle = -1;
    std::unique_ptr<unsigned char[]> input_buffer;

    // The current binding (scan_mutex): the interface's syspath and the reader on read_handle.
    std::string bound_syspath;
    std::string bound_devnode;
    bool bound_input = false;
    bool bound_output = false;
    std::unique_ptr<woken_thread> current_reader;
    // Set by the reader when its node failed (unplugged): the binding is dead even if a scan
    // still lists the interface. Stored first: listings_begun at that moment, so listings up to
    // that serial began before the failure.
    std::atomic<bool> reader_failed{false};
    std::atomic<uint64_t> reader_failed_after{0};
    // Serial of the newest listing a scan of this record acted on (scan_mutex).
    uint64_t last_listing = 0;
    // Listed interfaces whose node failed under their reader, and interfaces of this model
    // besides the bound one that the application has been told of (scan_mutex; by syspath,
    // each forgotten once its interface is no longer listed).
    std::set<std::string> dead_interfaces;
    std::set<std::string> others_reported;

    std::mutex scan_mutex;
    std::mutex io_mutex;
    std::mutex callbacks_mutex;
};

// The table lives for the whole process and is never destroyed, so a reader or the watcher
// still running while the process exits never meets a destroyed mutex.
std::array<hid_device, max_devices> &devices = *new std::array<hid_device, max_devices>;
std::atomic<int> n_devices{0};

// Listings are numbered in the order they begin.
std::atomic<uint64_t> listings_begun{0};

// Signalled by a reader whose node failed: the watcher rescans. Lives for the whole process,
// like the readers that may still signal it while the process exits.
wake_fd &rescan_requested = *new wake_fd;

const hid_platform *chosen_platform = nullptr;
const hid_platform *platform = nullptr;
std::atomic<bool> running{false};

// The watcher: its hot-plug monitor, and its thread with the thread's wake-up fd while it runs
// (main thread only, except that the watcher thread uses the monitor while it runs). Never
// destroyed, like the table: at exit a watcher still running is left to end with the process
// instead of meeting the destructor of a joinable thread.
hid_monitor *dev_notify = nullptr;
std::optional<woken_thread> &watcher = *new std::optional<woken_thread>;

std::mutex hooks_mutex;
mhid_device_change_callback device_change_callback = nullptr;
void *device_change_target = nullptr;
mhid_access_denied_callback access_denied_callback = nullptr;
void *access_denied_target = nullptr;
mhid_another_device_callback another_device_callback = nullptr;
void *another_device_target = nullptr;
// The only node that may be bound; empty: any (hooks_mutex).
std::string only_node;
// Interfaces already reported as not openable (by syspath, so a replugged device, which gets
// a new syspath, is reported again).
std::set<std::string> denied_interfaces;

// Named by their creator, so the name is there as soon as the thread is (debuggers, tests).
void name_thread(std::thread &thread, const char *name) {
    pthread_setname_np(thread.native_handle(), name);
}

void thread_read(hid_device *dev, woken_thread *self, int handle, bool numbered) {
    unsigned char *buffer = dev->input_buffer.get();
    const size_t len = static_cast<size_t>(dev->input_len);
    for (;;) {
        // Reports of a device without report IDs arrive without the ID byte; the callback always
        // gets the ID first, so those land one byte in and get a 0 in front.
        int n = numbered ? platform->read_report(handle, self->wake.fd, buffer, len)
                         : platform->read_report(handle, self->wake.fd, buffer + 1, len - 1);
        if (n == hid_read_failed) {
            // The device may still be listed (it hung up, or its removal is on its way): a
            // rescan that begins after this moment finds out which, and drops the node.
            dev->reader_failed_after = listings_begun.load();
            dev->reader_failed = true;
            rescan_requested.signal();
        }
        if (n < 0)
            return;
        if (n == 0)
            continue;
        if (!numbered) {
            buffer[0] = 0;
            n++;
        }
        mhid_report_callback cb;
        void *data;
        {
            std::lock_guard lock(dev->callbacks_mutex);
            cb = dev->report_cb;
            data = dev->report_data;
        }
        if (cb != nullptr)
            cb(data, dev->id, buffer, n);
    }
}

// Ends the reader and closes both handles. Caller holds scan_mutex.
void release_binding(hid_device &dev) {
    if (dev.current_reader) {
        dev.current_reader->stop();
        dev.current_reader.reset();
    }
    {
        std::lock_guard lock(dev.io_mutex);
        if (dev.read_handle >= 0)
            platform->close_node(dev.read_handle);
        if (dev.write_handle >= 0)
            platform->close_node(dev.write_handle);
        dev.read_handle = -1;
        dev.write_handle = -1;
    }
    dev.bound_syspath.clear();
    dev.bound_devnode.clear();
    dev.bound_input = false;
    dev.bound_output = false;
    dev.reader_failed = false;
}

void report_access_denied(const hid_interface_info &info) {
    mhid_access_denied_callback cb;
    void *target;
    {
        std::lock_guard lock(hooks_mutex);
        if (!denied_interfaces.insert(info.syspath).second)
            return;
        cb = access_denied_callback;
        target = access_denied_target;
    }
    g_warning("Cannot open %s (HID device %04x:%04x): permission denied. Install the udev rule "
              "70-zevrin.rules into /etc/udev/rules.d and run \"udevadm trigger\"; the device "
              "need not be plugged in again.",
              info.devnode.c_str(), info.vendor_id, info.product_id);
    if (cb != nullptr)
        cb(target, info.devnode.c_str());
}

// Opens the interface for the matched sides and starts its reader. Caller holds scan_mutex
// and has released the previous binding.
bool bind(hid_device &dev, const hid_interface_info &info, bool input, bool output) {
    int rfd = -1, wfd = -1;
    if (input)
        rfd = platform->open_node(info.devnode.c_str(), false);
    if (rfd >= 0 || !input) {
        if (output)
            wfd = platform->open_node(info.devnode.c_str(), true);
    }
    int err = input && rfd < 0 ? rfd : output && wfd < 0 ? wfd : 0;
    if (err != 0) {
        if (rfd >= 0)
            platform->close_node(rfd);
        if (wfd >= 0)
            platform->close_node(wfd);
        if (err == -EACCES || err == -EPERM)
            report_access_denied(info);
        return false;
    }
    {
        std::lock_guard lock(dev.io_mutex);
        dev.read_handle = rfd;
        dev.write_handle = wfd;
    }
    dev.bound_syspath = info.syspath;
    dev.bound_devnode = info.devnode;
    dev.bound_input = input;
    dev.bound_output = output;
    if (input) {
        dev.input_buffer = std::make_unique<unsigned char[]>(static_cast<size_t>(dev.input_len));
        dev.current_reader = std::make_unique<woken_thread>();
        dev.current_reader->thread = std::thread(thread_read, &dev, dev.current_reader.get(), rfd,
                                                 info.descriptor.input_numbered);
        name_thread(dev.current_reader->thread, "mhid-reader");
    }
    return true;
}

// The interfaces present at one moment, as far as they are of the products asked for.
struct listing {
    uint64_t serial = 0;
    bool ok = false;  // false: nothing is known
    std::vector<hid_interface_info> present;
};

listing list_interfaces(const std::vector<hid_product> &wanted) {
    listing l;
    l.serial = listings_begun.fetch_add(1) + 1;
    l.ok = platform->enumerate(&wanted, &l.present);
    return l;
}

// The product a registration asks for, if it can be one (IDs are 16 bits).
std::optional<hid_product> product_of(const hid_device &dev) {
    if (dev.vendor_id < 0 || dev.vendor_id > 0xFFFF || dev.product_id < 0 ||
        dev.product_id > 0xFFFF)
        return std::nullopt;
    return hid_product{static_cast<uint16_t>(dev.vendor_id), static_cast<uint16_t>(dev.product_id)};
}

struct match {
    const hid_interface_info *info;
    bool input;
    bool output;
};

// Which sides of `dev` an interface serves: the best of its top-level collections on the
// registered usage page (any page for 0) whose input or output length equals the registered
// one.
match match_interface(const hid_device &dev, const hid_interface_info &info) {
    match m{&info, false, false};
    if (info.vendor_id != dev.vendor_id || info.product_id != dev.product_id)
        return m;
    for (const hid_top_collection &c : info.descriptor.collections) {
        if (dev.usage_page != 0 && c.usage_page != dev.usage_page)
            continue;
        bool in = c.input_len != 0 && c.input_len == dev.input_len;
        bool out = c.output_len != 0 && c.output_len == dev.output_len;
        if (int{in} + int{out} > int{m.input} + int{m.output}) {
            m.input = in;
            m.output = out;
        }
    }
    return m;
}

void notify(hid_device &dev, int before, int after) {
    if (after == state_connected && before != state_connected) {
        mhid_connected_callback cb;
        void *data;
        {
            std::lock_guard lock(dev.callbacks_mutex);
            cb = dev.connected_cb;
            data = dev.connected_data;
        }
        if (cb != nullptr)
            cb(data, dev.id);
    } else if (after == state_disconnected && before != state_disconnected) {
        mhid_disconnected_callback cb;
        void *data;
        {
            std::lock_guard lock(dev.callbacks_mutex);
            cb = dev.disconnected_cb;
            data = dev.disconnected_data;
        }
        if (cb != nullptr)
            cb(data, dev.id);
    }
}

bool is_listed(const listing &l, const std::string &syspath) {
    return std::any_of(l.present.begin(), l.present.end(),
                       [&](const hid_interface_info &info) { return info.syspath == syspath; });
}

// Whether `l` is news to the record. Another scan of it may already have acted on a newer
// listing (the first scan and the watcher's can overlap); this older one would undo that with
// an older picture. Whatever changed since the newer listing began brings an event of its own,
// so nothing is missed.
bool take_listing(hid_device &dev, const listing &l) {
    if (l.serial < dev.last_listing)
        return false;
    dev.last_listing = l.serial;
    return true;
}

// Interfaces that have left are forgotten: should one come back under the same syspath, it is
// a fresh start.
void forget_departed(hid_device &dev, const listing &l) {
    std::erase_if(dev.dead_interfaces, [&](const std::string &s) { return !is_listed(l, s); });
    std::erase_if(dev.others_reported, [&](const std::string &s) { return !is_listed(l, s); });
}

// The listed interfaces that serve `dev`, in the listing's order, dead ones left out.
std::vector<match> usable_matches(const hid_device &dev, const listing &l) {
    std::vector<match> matches;
    std::string node;
    {
        std::lock_guard lock(hooks_mutex);
        node = only_node;
    }
    for (const hid_interface_info &info : l.present) {
        if (!node.empty() && info.devnode != node)
            continue;
        match m = match_interface(dev, info);
        if ((m.input || m.output) && !dev.dead_interfaces.contains(info.syspath))
            matches.push_back(m);
    }
    return matches;
}

// Whether the bound node failed before `l` began. A failure after that says nothing about the
// listing, which may well still show the interface (a device leaves the listing a moment after
// its node fails); the rescan that the reader asked for lists afresh and decides.
bool failed_before(const hid_device &dev, const listing &l) {
    return dev.reader_failed && l.serial > dev.reader_failed_after.load();
}

// Whether the binding stands: its interface is still listed with the same sides, and its node
// has not failed. Keeping it keeps its node and reader as they are, so reports that arrive
// meanwhile are not lost and a second device of the same model never takes over from the one
// in use.
bool binding_holds(const hid_device &dev, const listing &l, const std::vector<match> &matches) {
    if (dev.bound_syspath.empty() || failed_before(dev, l))
        return false;
    return std::any_of(matches.begin(), matches.end(), [&](const match &m) {
        return m.info->syspath == dev.bound_syspath && m.input == dev.bound_input &&
               m.output == dev.bound_output;
    });
}

// Ends the binding. A node that failed while its interface is still listed is dead: opened
// again it would fail again, or hang up again at once.
void retire_binding(hid_device &dev, const listing &l) {
    if (failed_before(dev, l) && is_listed(l, dev.bound_syspath))
        dev.dead_interfaces.insert(dev.bound_syspath);
    release_binding(dev);
}

// Several matching interfaces (two devices of the same model): the first one in the listing's
// order (by syspath) that opens is kept; the others are never opened.
void bind_first_usable(hid_device &dev, const std::vector<match> &matches) {
    for (const match &m : matches) {
        if (bind(dev, *m.info, m.input, m.output))
            return;
    }
}

// Tells the application how the registration's state changed in a scan.
void report_state(hid_device &dev, int before, const std::string &previous) {
    if (dev.state == state_connected && before == state_connected && !previous.empty() &&
        previous != dev.bound_syspath) {
        // The registration went over to another device (the one in use left while a second
        // one of the same model stays): that is a different device to the application, which
        // must not go on showing or writing the first one's state, so it hears of the change.
        notify(dev, state_connected, state_disconnected);
        notify(dev, state_disconnected, state_connected);
        return;
    }
    notify(dev, before, dev.state);
}

// Tells the application of each device of the registration's model beside the bound one, once
// while it stays listed.
void report_other_devices(hid_device &dev, const std::vector<match> &matches) {
    std::set<std::string> others;
    if (dev.state == state_connected) {
        for (const match &m : matches) {
            if (m.info->syspath != dev.bound_syspath)
                others.insert(m.info->syspath);
        }
    }
    size_t news = 0;
    for (const std::string &syspath : others)
        news += dev.others_reported.contains(syspath) ? 0 : 1;
    dev.others_reported = std::move(others);
    mhid_another_device_callback cb;
    void *target;
    {
        std::lock_guard lock(hooks_mutex);
        cb = another_device_callback;
        target = another_device_target;
    }
    for (size_t i = 0; cb != nullptr && i < news; i++)
        cb(target, dev.id);
}

// The scan of one registration against a listing that holds at least its product's interfaces.
void scan(hid_device &dev, const listing &l) {
    std::lock_guard scan_lock(dev.scan_mutex);
    if (!running || !take_listing(dev, l))
        return;
    const int before = dev.state;
    if (!l.ok) {
        // Nothing is known: keep the binding as it is and report nothing.
        dev.state = state_unknown;
        return;
    }
    forget_departed(dev, l);
    const std::vector<match> matches = usable_matches(dev, l);
    const std::string previous = dev.bound_syspath;
    if (!binding_holds(dev, l, matches)) {
        retire_binding(dev, l);
        bind_first_usable(dev, matches);
    }
    dev.state = dev.bound_syspath.empty() ? state_disconnected : state_connected;
    report_state(dev, before, previous);
    report_other_devices(dev, matches);
}

// The first scan of a registration, and any later one from mhid_set_callbacks: it lists the
// interfaces of its own product only.
void check_connected_and_notify(hid_device &dev) {
    std::vector<hid_product> wanted;
    if (std::optional<hid_product> p = product_of(dev))
        wanted.push_back(*p);
    scan(dev, list_interfaces(wanted));
}

// The watcher's rescan after a device change: every registration whose callbacks are set, all
// against one listing. The others are left to the first scan of their mhid_set_callbacks, which
// lists after its callbacks are set, so after this choice is made: a registration that gets its
// callbacks meanwhile is scanned there, over a listing no older than this one.
void rescan_all() {
    std::vector<hid_device *> due;
    std::vector<hid_product> wanted;
    for (int i = 0; i < n_devices.load(std::memory_order_acquire); i++) {
        hid_device &dev = devices[static_cast<size_t>(i)];
        if (!dev.callbacks_set.load(std::memory_order_acquire))
            continue;
        due.push_back(&dev);
        std::optional<hid_product> p = product_of(dev);
        if (p && std::find(wanted.begin(), wanted.end(), *p) == wanted.end())
            wanted.push_back(*p);
    }
    if (due.empty())
        return;
    const listing l = list_interfaces(wanted);
    for (hid_device *dev : due)
        scan(*dev, l);
}

// Takes every hot-plug event waiting on the monitor, each told to the device-change callback
// and rescanned for if it calls for it.
void take_device_events(hid_monitor *monitor) {
    hid_monitor_event event;
    while ((event = platform->monitor_next_event(monitor)) != hid_monitor_none) {
        mhid_device_change_callback cb;
        void *target;
        {
            std::lock_guard lock(hooks_mutex);
            cb = device_change_callback;
            target = device_change_target;
        }
        if (cb != nullptr)
            cb(target);
        if (event == hid_monitor_rescan)
            rescan_all();
    }
}

// The watcher: waits for hot-plug events (when there is a monitor), for rescans that readers
// ask for, and for its own wake-up, which ends it.
void thread_window(hid_monitor *monitor, int wake) {
    int monitor_fd = monitor != nullptr ? platform->monitor_fd(monitor) : -1;
    for (;;) {
        // poll() passes over a negative fd: a watcher without a monitor serves the readers.
        pollfd fds[3] = {{wake, POLLIN, 0}, {monitor_fd, POLLIN, 0},
                         {rescan_requested.fd, POLLIN, 0}};
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents != 0)
            return;
        if (fds[1].revents & (POLLHUP | POLLNVAL)) {
            // The monitor is gone: no further notices, as when it could not be made.
            monitor_fd = -1;
        } else if (fds[1].revents != 0) {
            take_device_events(monitor);
            // POLLERR is the netlink socket's overflow (a burst of events, say a docking
            // station): the receive clears it, but events were lost, so all is rescanned.
            if (fds[1].revents & POLLERR)
                rescan_all();
        }
        if (fds[2].revents != 0) {
            uint64_t requests;
            // Empties the counter: one rescan answers every request made before it lists.
            [[maybe_unused]] ssize_t n = read(rescan_requested.fd, &requests, sizeof requests);
            rescan_all();
        }
    }
}

void reset_record(hid_device &dev, int id) {
    std::scoped_lock lock(dev.scan_mutex, dev.io_mutex, dev.callbacks_mutex);
    dev.id = id;
    dev.connected_cb = nullptr;
    dev.connected_data = nullptr;
    dev.disconnected_cb = nullptr;
    dev.disconnected_data = nullptr;
    dev.report_cb = nullptr;
    dev.report_data = nullptr;
    dev.callbacks_set = false;
    dev.vendor_id = dev.product_id = dev.usage_page = dev.input_len = dev.output_len = 0;
    dev.state = state_unknown;
    dev.read_handle = dev.write_handle = -1;
    dev.input_buffer.reset();
    dev.bound_syspath.clear();
    dev.bound_devnode.clear();
    dev.bound_input = dev.bound_output = false;
    dev.reader_failed = false;
    dev.last_listing = 0;
    dev.dead_interfaces.clear();
    dev.others_reported.clear();
}

}  // namespace

void mhid_use_platform(const hid_platform *p) {
    chosen_platform = p;
}

void mhid_init() {
    if (running)
        mhid_terminate();
    platform = chosen_platform != nullptr ? chosen_platform : hid_linux_platform();
    n_devices = 0;
    {
        std::lock_guard lock(hooks_mutex);
        denied_interfaces.clear();
    }
    uint64_t stale;
    // A rescan that a reader of an earlier run asked for concerns nothing of this one.
    [[maybe_unused]] ssize_t n = read(rescan_requested.fd, &stale, sizeof stale);
    running = true;
    // The monitor is made here, before the first scan can run, so that an interface arriving
    // between that scan's listing and the watcher's start still gives a notice. Without one the
    // watcher still runs, for the rescans that readers ask for.
    dev_notify = platform->monitor_new();
    watcher.emplace();
    watcher->thread = std::thread(thread_window, dev_notify, watcher->wake.fd);
    name_thread(watcher->thread, "mhid-watcher");
}

int mhid_add_device(int vendor_id, int product_id, int usage_page, int input_len,
                    int output_len) {
    int id = n_devices.load();
    if (id >= max_devices)
        return -1;
    hid_device &dev = devices[static_cast<size_t>(id)];
    reset_record(dev, id);
    dev.vendor_id = vendor_id;
    dev.product_id = product_id;
    dev.usage_page = usage_page;
    dev.input_len = input_len;
    dev.output_len = output_len;
    // Published only now: the watcher's loop never meets a half-made record.
    n_devices.store(id + 1, std::memory_order_release);
    return id;
}

void mhid_set_callbacks(int id, mhid_connected_callback connected_cb, void *connected_data,
                        mhid_disconnected_callback disconnected_cb, void *disconnected_data,
                        mhid_report_callback report_cb, void *report_data) {
    if (id < 0 || id >= n_devices.load(std::memory_order_acquire))
        return;
    hid_device &dev = devices[static_cast<size_t>(id)];
    {
        std::lock_guard lock(dev.callbacks_mutex);
        dev.connected_cb = connected_cb;
        dev.connected_data = connected_data;
        dev.disconnected_cb = disconnected_cb;
        dev.disconnected_data = disconnected_data;
        dev.report_cb = report_cb;
        dev.report_data = report_data;
        dev.callbacks_set.store(true, std::memory_order_release);
    }
    check_connected_and_notify(dev);
}

void mhid_set_device_change_callback(mhid_device_change_callback callback, void *target) {
    std::lock_guard lock(hooks_mutex);
    device_change_callback = callback;
    device_change_target = target;
}

void mhid_set_access_denied_callback(mhid_access_denied_callback callback, void *target) {
    std::lock_guard lock(hooks_mutex);
    access_denied_callback = callback;
    access_denied_target = target;
}

void mhid_set_another_device_callback(mhid_another_device_callback callback, void *target) {
    std::lock_guard lock(hooks_mutex);
    another_device_callback = callback;
    another_device_target = target;
}

void mhid_bind_only_node(const char *devnode) {
    std::lock_guard lock(hooks_mutex);
    only_node = devnode != nullptr ? devnode : "";
}

int mhid_write(int id, const unsigned char *data, int length) {
    if (id < 0 || id >= n_devices.load(std::memory_order_acquire) || length <= 0 ||
        data == nullptr)
        return -1;
    hid_device &dev = devices[static_cast<size_t>(id)];
    if (dev.output_len <= 0)
        return 0;
    // Exactly output_len bytes leave, but no more than `length` are read from the caller: a
    // short buffer is padded with zeros.
    std::vector<unsigned char> report(static_cast<size_t>(dev.output_len), 0);
    memcpy(report.data(), data, std::min<size_t>(report.size(), static_cast<size_t>(length)));
    std::lock_guard lock(dev.io_mutex);
    if (dev.write_handle < 0)
        return 0;
    int n = platform->write_report(dev.write_handle, report.data(), report.size());
    return n > 0 ? n : 0;
}

std::string mhid_bound_node(int id) {
    if (id < 0 || id >= n_devices.load(std::memory_order_acquire))
        return "";
    hid_device &dev = devices[static_cast<size_t>(id)];
    std::lock_guard lock(dev.scan_mutex);
    return dev.bound_devnode;
}

bool mhid_list_present(std::vector<mhid_present_node> *out) {
    out->clear();
    std::vector<hid_product> wanted;
    const int n = n_devices.load(std::memory_order_acquire);
    for (int i = 0; i < n; i++) {
        std::optional<hid_product> p = product_of(devices[static_cast<size_t>(i)]);
        if (p && std::find(wanted.begin(), wanted.end(), *p) == wanted.end())
            wanted.push_back(*p);
    }
    const listing l = list_interfaces(wanted);
    if (!l.ok)
        return false;
    for (const hid_interface_info &info : l.present) {
        for (int i = 0; i < n; i++) {
            if (!match_interface(devices[static_cast<size_t>(i)], info).output)
                continue;
            const int handle = platform->open_node(info.devnode.c_str(), true);
            mhid_node_state state = mhid_node_ready;
            if (handle >= 0) {
                platform->close_node(handle);
            } else if (handle == -EACCES || handle == -EPERM) {
                state = mhid_node_no_permission;
            } else if (handle == -EBUSY) {
                const hid_holder holder = platform->holder_of != nullptr
                                              ? platform->holder_of(info.devnode.c_str())
                                              : hid_holder_other;
                // Let go of between the two tries: free now.
                state = holder == hid_holder_window  ? mhid_node_held_by_window
                        : holder == hid_holder_other ? mhid_node_held_by_other
                                                     : mhid_node_ready;
            } else {
                break;  // gone meanwhile
            }
            out->push_back({i, info.devnode, state});
            break;
        }
    }
    return true;
}

void mhid_terminate() {
    if (!running)
        return;
    // Notices stop first; then every reader ends and every node is closed, so nothing of the
    // module runs or stays open once this returns.
    if (watcher) {
        watcher->stop();
        watcher.reset();
    }
    if (dev_notify != nullptr) {
        platform->monitor_free(dev_notify);
        dev_notify = nullptr;
    }
    running = false;  // from here on a scan changes nothing
    for (int i = 0; i < n_devices.load(); i++) {
        hid_device &dev = devices[static_cast<size_t>(i)];
        std::lock_guard lock(dev.scan_mutex);
        release_binding(dev);
    }
}
