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
// One conversation per box: whoever has a node open holds an advisory lock for it, a file
// per node in the user's runtime directory, so that the window and a command-line run never
// talk to one box at once. A node whose lock another process holds does not open (-EBUSY).
// Letting go of a lock touches its file; the monitor watches the directory, so a process that
// was refused rescans once the box is free.
#include "hid/hid_platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <libudev.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The user's runtime directory for box locks, made when missing; free with g_free.
gchar *box_lock_dir() {
    gchar *dir = g_build_filename(g_get_user_runtime_dir(), "zevrin", nullptr);
    g_mkdir_with_parents(dir, 0700);
    return dir;
}

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

// The locks this process holds: one per node, shared by the handles it has open on the node
// (flock() locks of one file opened twice would refuse each other).
struct node_lock {
    int fd = -1;
    int users = 0;
};
std::mutex locks_mutex;
std::map<std::string, node_lock> held_locks;  // by lock file
std::map<int, std::string> handle_locks;      // handle -> lock file
// Lock files this process has touched on letting go, by name, with how many of those touches
// its monitor has yet to pass over: a release of our own is no news to us. Only while a
// monitor watches them (live_monitors).
std::map<std::string, int> own_touches;
int live_monitors = 0;

// The lock file of the node open on `fd`, named after the node's identity (the same for every
// process that opens it, whatever path it took), or empty when there is none to take.
std::string lock_file_of(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return {};
    gchar *dir = box_lock_dir();
    gchar *name = g_strdup_printf("node-%llx-%llx-%llx.lock", static_cast<unsigned long long>(st.st_dev),
                                  static_cast<unsigned long long>(st.st_ino),
                                  static_cast<unsigned long long>(st.st_rdev));
    gchar *path = g_build_filename(dir, name, nullptr);
    std::string result = path;
    g_free(path);
    g_free(name);
    g_free(dir);
    return result;
}

// Takes the lock of the node open on `fd` for `fd`. False when another process holds it. A lock
// that cannot be made at all (no runtime directory) does not keep the box from being used.
bool take_lock(int fd) {
    const std::string file = lock_file_of(fd);
    if (file.empty())
        return true;
    std::lock_guard lock(locks_mutex);
    auto held = held_locks.find(file);
    if (held == held_locks.end()) {
        // Read-only: closing it then tells the watchers nothing; only a release touches it.
        const int lock_fd = g_open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
        if (lock_fd < 0)
            return true;
        if (flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
            const bool busy = errno == EWOULDBLOCK;
            close(lock_fd);
            return !busy;
        }
        held = held_locks.emplace(file, node_lock{lock_fd, 0}).first;
    }
    held->second.users++;
    handle_locks[fd] = file;
    return true;
}

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
    // Touched after the unlock: whoever waits for the box rescans and finds it free.
    gchar *name = g_path_get_basename(held->first.c_str());
    if (futimens(held->second.fd, nullptr) == 0 && live_monitors > 0)
        own_touches[name]++;
    g_free(name);
    close(held->second.fd);
    held_locks.erase(held);
}

int linux_open_node(const char *devnode, bool for_write) {
    // O_NOCTTY: harmless on hidraw, and keeps a tty-backed test node from becoming our terminal.
    // The read side is non-blocking because the reader waits in poll() and must never block in
    // read() once told to stop.
    int flags = (for_write ? O_WRONLY : O_RDONLY | O_NONBLOCK) | O_CLOEXEC | O_NOCTTY;
    int fd = open(devnode, flags);
    if (fd < 0)
        return -errno;
    if (!take_lock(fd)) {
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
    int inotify = -1;  // the lock directory: a released box
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
    // Without the lock directory a box let go by another process is only seen at the next
    // device event.
    gchar *dir = box_lock_dir();
    m->inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    epoll_event lock_event{EPOLLIN, {}};
    if (m->inotify >= 0 && (inotify_add_watch(m->inotify, dir, IN_ATTRIB) < 0 ||
                            epoll_ctl(m->epoll, EPOLL_CTL_ADD, m->inotify, &lock_event) != 0)) {
        close(m->inotify);
        m->inotify = -1;
    }
    g_free(dir);
    if (m->inotify >= 0) {
        std::lock_guard lock(locks_mutex);
        live_monitors++;
    }
    return m.release();
}

int linux_monitor_fd(hid_monitor *m) {
    return m->epoll;
}

// Whether another process let go of a lock since the last call (the events are all taken).
bool lock_released(hid_monitor *m) {
    if (m->inotify < 0)
        return false;
    bool released = false;
    alignas(inotify_event) char events[4096];
    ssize_t n;
    while ((n = read(m->inotify, events, sizeof events)) > 0) {
        for (ssize_t at = 0; at < n;) {
            const auto *e = reinterpret_cast<const inotify_event *>(events + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            std::lock_guard lock(locks_mutex);
            auto own = e->len > 0 ? own_touches.find(e->name) : own_touches.end();
            if (own == own_touches.end()) {
                released = true;
            } else if (--own->second == 0) {
                own_touches.erase(own);
            }
        }
    }
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
        if (--live_monitors == 0)
            own_touches.clear();
    }
    delete m;
}

constexpr hid_platform linux_platform = {
        linux_enumerate,   linux_open_node,  linux_read_report,       linux_write_report,
        linux_close_node,  linux_monitor_new, linux_monitor_fd,       linux_monitor_next_event,
        linux_monitor_free,
};

}  // namespace

const hid_platform *hid_linux_platform() {
    return &linux_platform;
}
