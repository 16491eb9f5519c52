// The HID platform layer over libudev and hidraw.
//
// Interfaces are found through the udev database only (subsystem "hidraw"; vendor and product
// from the parent hid device's HID_ID; the report descriptor from its sysfs file), so the
// nodes of devices that nobody registered are never opened.
//
// Only interfaces that udev has initialised are listed. The kernel makes /dev/hidrawN (root,
// mode 0600) before udev has run its rules on it; a scan in that moment (another device's
// event, or start-up) would meet a node that refuses us and report a permission problem for a
// device that is usable a moment later. udev announces the device on our monitor when it is
// done, and that event's rescan finds it initialised.
//
// One conversation per box: whoever has a box's node open for writing holds an advisory lock
// on the node itself (flock on a descriptor of its own), so that the window and a command-line
// run never talk to one box at once, whatever their users and environments. Nothing is created
// anywhere for it, and nothing is left behind. A node whose lock another process holds does not
// open for writing (-EBUSY). The window also holds a shared record lock on the node's first
// byte, by which a refused run tells the window from another run. Letting go of a lock touches
// the node's times; a process that was refused watches the node for that, and rescans once the
// box is free.
#include "hid/hid_platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <libudev.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct udev_unref_fn {
    void operator()(udev *u) const { udev_unref(u); }
    void operator()(udev_enumerate *e) const { udev_enumerate_unref(e); }
    void operator()(udev_device *d) const { udev_device_unref(d); }
    void operator()(udev_monitor *m) const { udev_monitor_unref(m); }
};
template <typename T> using udev_ptr = std::unique_ptr<T, udev_unref_fn>;

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};

// A descriptor is at most 4096 bytes (HID_MAX_DESCRIPTOR_SIZE in the kernel).
constexpr size_t max_descriptor_size = 4096;

// The sysfs file is binary: udev_device_get_sysattr_value would stop at the first 0x00.
std::vector<unsigned char> read_report_descriptor(const char *hid_syspath) {
    std::vector<unsigned char> bytes;
    std::string path = std::string(hid_syspath) + "/report_descriptor";
    std::unique_ptr<FILE, file_closer> f(fopen(path.c_str(), "rbe"));
    if (!f)
        return bytes;
    bytes.resize(max_descriptor_size);
    size_t n = fread(bytes.data(), 1, bytes.size(), f.get());
    bytes.resize(n);
    return bytes;
}

// HID_ID is "bus:vendor:product" in hex, e.g. 0003:0000EE50:00000102.
bool parse_hid_id(const char *text, uint16_t *vendor, uint16_t *product) {
    unsigned bus = 0, v = 0, p = 0;
    if (text == nullptr || sscanf(text, "%x:%x:%x", &bus, &v, &p) != 3)
        return false;
    if (v > 0xFFFF || p > 0xFFFF)
        return false;
    *vendor = static_cast<uint16_t>(v);
    *product = static_cast<uint16_t>(p);
    return true;
}

bool is_wanted(const std::vector<hid_product> *wanted, const hid_product &product) {
    return wanted == nullptr || std::find(wanted->begin(), wanted->end(), product) != wanted->end();
}

bool linux_enumerate(const std::vector<hid_product> *wanted,
                     std::vector<hid_interface_info> *out) {
    out->clear();
    // A context per call: scans of different registrations may run on two threads at once, and
    // a udev context must stay on one thread.
    udev_ptr<udev> u(udev_new());
    if (!u)
        return false;
    udev_ptr<udev_enumerate> e(udev_enumerate_new(u.get()));
    if (!e || udev_enumerate_add_match_subsystem(e.get(), "hidraw") < 0 ||
        udev_enumerate_add_match_is_initialized(e.get()) < 0 ||
        udev_enumerate_scan_devices(e.get()) < 0)
        return false;
    udev_list_entry *entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e.get())) {
        const char *syspath = udev_list_entry_get_name(entry);
        udev_ptr<udev_device> dev(udev_device_new_from_syspath(u.get(), syspath));
        if (!dev)
            continue;  // left between the listing and now
        const char *devnode = udev_device_get_devnode(dev.get());
        // Borrowed: owned by dev.
        udev_device *hid = udev_device_get_parent_with_subsystem_devtype(dev.get(), "hid", nullptr);
        if (devnode == nullptr || hid == nullptr)
            continue;
        hid_interface_info info;
        // HID_ID comes with the udev entry; the descriptor costs a file read and a parse, so it
        // is read only for the devices asked for.
        if (!parse_hid_id(udev_device_get_property_value(hid, "HID_ID"), &info.vendor_id,
                          &info.product_id) ||
            !is_wanted(wanted, {info.vendor_id, info.product_id}))
            continue;
        info.syspath = syspath;
        info.devnode = devnode;
        std::vector<unsigned char> descriptor =
            read_report_descriptor(udev_device_get_syspath(hid));
        info.descriptor = parse_report_descriptor(descriptor.data(), descriptor.size());
        out->push_back(std::move(info));
    }
    return true;
}

// The locks this process holds, one per node (by device number), each on a descriptor of its
// own opened read-only (so that closing it, or a refusal, changes nothing the holders see), and
// shared by the write handles this process has open on the node.
struct node_lock {
    int fd = -1;
    int users = 0;
};
std::mutex locks_mutex;
std::map<dev_t, node_lock> held_locks;
std::map<int, dev_t> handle_locks;  // write handle -> node
// Whether this process holds boxes as the window (set before the first open).
std::atomic<bool> holding_as_window{false};

// Where a process that was refused a box hears of its release: the inotify descriptor of the
// live monitor (-1 when none), and the watches on refused nodes, by node path.
int release_watch_fd = -1;
std::map<std::string, int> release_watches;

// Opens `devnode` read-only for its lock; -1 when it is not the node that `fd` has open (it was
// replaced meanwhile) or cannot be opened.
int open_lock_fd(const char *devnode, const struct stat &node) {
    const int fd = open(devnode, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_rdev != node.st_rdev || st.st_ino != node.st_ino) {
        close(fd);
        return -1;
    }
    return fd;
}

// Takes the lock of the node that the write handle `fd` has open. False when another process
// holds it; then the node is watched for its release. A node whose lock cannot be had at all
// (no second open) is used without one: the box must stay usable.
bool take_lock(const char *devnode, int fd) {
    struct stat node;
    if (fstat(fd, &node) != 0)
        return true;
    std::lock_guard lock(locks_mutex);
    auto held = held_locks.find(node.st_rdev);
    if (held == held_locks.end()) {
        const int lock_fd = open_lock_fd(devnode, node);
        if (lock_fd < 0)
            return true;
        if (flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
            const bool busy = errno == EWOULDBLOCK;
            if (busy && release_watch_fd >= 0 && !release_watches.contains(devnode)) {
                const int wd = inotify_add_watch(release_watch_fd, devnode, IN_ATTRIB);
                if (wd >= 0)
                    release_watches[devnode] = wd;
            }
            close(lock_fd);
            return !busy;
        }
        if (holding_as_window) {
            struct flock mark = {};
            mark.l_type = F_RDLCK;
            mark.l_whence = SEEK_SET;
            mark.l_start = 0;
            mark.l_len = 1;
            fcntl(lock_fd, F_OFD_SETLK, &mark);  // without it a refused run only says "busy"
        }
        if (auto w = release_watches.find(devnode); w != release_watches.end()) {
            inotify_rm_watch(release_watch_fd, w->second);
            release_watches.erase(w);
        }
        held = held_locks.emplace(node.st_rdev, node_lock{lock_fd, 0}).first;
    }
    held->second.users++;
    handle_locks[fd] = node.st_rdev;
    return true;
}

// Lets go of the lock of write handle `fd` when it is the node's last one, touching the node so
// that whoever waits for the box hears of it. Before the handle is closed.
void release_lock(int fd) {
    std::lock_guard lock(locks_mutex);
    auto h = handle_locks.find(fd);
    if (h == handle_locks.end())
        return;
    auto held = held_locks.find(h->second);
    handle_locks.erase(h);
    if (held == held_locks.end() || --held->second.users > 0)
        return;
    flock(held->second.fd, LOCK_UN);
    close(held->second.fd);  // and the window's mark with it
    held_locks.erase(held);
    futimens(fd, nullptr);
}

hid_holder linux_holder(const char *devnode) {
    const int fd = open(devnode, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return hid_holder_none;
    hid_holder holder = hid_holder_none;
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 0;
    probe.l_len = 1;
    if (fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type == F_RDLCK) {
        holder = hid_holder_window;
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        holder = errno == EWOULDBLOCK ? hid_holder_other : hid_holder_none;
    }
    close(fd);  // a lock taken by the probe goes with it
    return holder;
}

int linux_open_node(const char *devnode, bool for_write) {
    // O_NOCTTY: harmless on hidraw, and keeps a tty-backed test node from becoming our terminal.
    // The read side is non-blocking because the reader waits in poll() and must never block in
    // read() once told to stop.
    int flags = (for_write ? O_WRONLY : O_RDONLY | O_NONBLOCK) | O_CLOEXEC | O_NOCTTY;
    int fd = open(devnode, flags);
    if (fd < 0)
        return -errno;
    if (for_write && !take_lock(devnode, fd)) {
        close(fd);
        return -EBUSY;
    }
    return fd;
}

int linux_read_report(int handle, int wake_fd, unsigned char *buffer, size_t size) {
    for (;;) {
        pollfd fds[2] = {{handle, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return hid_read_failed;
        }
        if (fds[1].revents != 0)
            return hid_read_woken;
        if (fds[0].revents & POLLIN) {
            // One report per read(); a short buffer truncates the report, which is what we want.
            ssize_t n = read(handle, buffer, size);
            // An empty read on a node that also says it hung up is its end, not an empty report.
            if (n == 0 && (fds[0].revents & (POLLERR | POLLHUP)))
                return hid_read_failed;
            if (n >= 0)
                return static_cast<int>(n);
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return hid_read_failed;  // EIO or ENODEV: the device left
        }
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))
            return hid_read_failed;
    }
}

int linux_write_report(int handle, const unsigned char *data, size_t size) {
    for (;;) {
        ssize_t n = write(handle, data, size);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno != EINTR)
            return -1;
    }
}

void linux_close_node(int handle) {
    release_lock(handle);
    close(handle);
}

}  // namespace

struct hid_monitor {
    udev_ptr<udev> context;
    udev_ptr<udev_monitor> monitor;
    int inotify = -1;  // nodes refused because another process held them: a released box
    int epoll = -1;    // both of the above
    ~hid_monitor() {
        if (inotify >= 0)
            close(inotify);
        if (epoll >= 0)
            close(epoll);
    }
};

namespace {

hid_monitor *linux_monitor_new() {
    auto m = std::make_unique<hid_monitor>();
    m->context.reset(udev_new());
    if (!m->context)
        return nullptr;
    // The "udev" source: events come after udev's rules ran, so the node already has the
    // permissions that the rules give it when we try to open it.
    m->monitor.reset(udev_monitor_new_from_netlink(m->context.get(), "udev"));
    if (!m->monitor ||
        udev_monitor_filter_add_match_subsystem_devtype(m->monitor.get(), "hidraw", nullptr) < 0 ||
        udev_monitor_enable_receiving(m->monitor.get()) < 0)
        return nullptr;
    m->epoll = epoll_create1(EPOLL_CLOEXEC);
    epoll_event udev_event{EPOLLIN, {}};
    if (m->epoll < 0 ||
        epoll_ctl(m->epoll, EPOLL_CTL_ADD, udev_monitor_get_fd(m->monitor.get()), &udev_event) != 0)
        return nullptr;
    // Without it a box let go by another process is only seen at the next device event.
    m->inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    epoll_event release_event{EPOLLIN, {}};
    if (m->inotify >= 0 && epoll_ctl(m->epoll, EPOLL_CTL_ADD, m->inotify, &release_event) != 0) {
        close(m->inotify);
        m->inotify = -1;
    }
    if (m->inotify >= 0) {
        std::lock_guard lock(locks_mutex);
        release_watch_fd = m->inotify;
        release_watches.clear();
    }
    return m.release();
}

int linux_monitor_fd(hid_monitor *m) {
    return m->epoll;
}

// Whether a node that another process held has been let go of (or has changed otherwise) since
// the last call; the events are all taken.
bool lock_released(hid_monitor *m) {
    if (m->inotify < 0)
        return false;
    bool released = false;
    alignas(inotify_event) char events[4096];
    while (read(m->inotify, events, sizeof events) > 0)
        released = true;
    return released;
}

hid_monitor_event linux_monitor_next_event(hid_monitor *m) {
    if (lock_released(m))
        return hid_monitor_rescan;
    // Events were lost (a burst overflowed the socket): the receive clears the error, and all
    // is rescanned.
    pollfd udev_fd{udev_monitor_get_fd(m->monitor.get()), POLLIN, 0};
    if (poll(&udev_fd, 1, 0) > 0 && (udev_fd.revents & POLLERR) != 0) {
        udev_ptr<udev_device> lost(udev_monitor_receive_device(m->monitor.get()));
        return hid_monitor_rescan;
    }
    // The monitor's socket is non-blocking: no event waiting gives null at once.
    udev_ptr<udev_device> dev(udev_monitor_receive_device(m->monitor.get()));
    if (!dev)
        return hid_monitor_none;
    const char *action = udev_device_get_action(dev.get());
    const std::string name = action != nullptr ? action : "";
    // "change" comes when udev runs its rules on the device again (`udevadm trigger` after a
    // rule was installed): the node may have become ours to open, with no replugging.
    return name == "add" || name == "remove" || name == "change" ? hid_monitor_rescan
                                                                   : hid_monitor_other;
}

void linux_monitor_free(hid_monitor *m) {
    if (m->inotify >= 0) {
        std::lock_guard lock(locks_mutex);
        if (release_watch_fd == m->inotify) {
            release_watch_fd = -1;
            release_watches.clear();
        }
    }
    delete m;
}

constexpr hid_platform linux_platform = {
        linux_enumerate,   linux_open_node,  linux_read_report,       linux_write_report,
        linux_close_node,  linux_monitor_new, linux_monitor_fd,       linux_monitor_next_event,
        linux_monitor_free, linux_holder,
};

}  // namespace

const hid_platform *hid_linux_platform() {
    return &linux_platform;
}

void hid_linux_hold_as_window(bool window) {
    holding_as_window = window;
}
