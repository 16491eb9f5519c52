// The HID module over umockdev virtual devices: real libudev enumeration and monitor, real
// fds (pseudo-terminals standing in for hidraw nodes), real threads. One test runs over a
// scripted layer instead, to see what the real one cannot show (see there).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <glib.h>
#include <linux/capability.h>
#include <mutex>
#include <poll.h>
#include <set>
#include <string>
#include <libudev.h>
#include <map>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "hid/hid_platform.h"
#include "hid/mhid.h"
#include "hid/mhid_linux.h"
#include "tests/hid/emulated_device.h"

namespace {

constexpr int zevrin_vendor = 0xEE50;
constexpr int zevrin_product = 0x0102;
constexpr int zevrin_mini_product = 0x0103;

// What the module told us, in order, with the thread it told us on.
struct notice {
    char kind;  // 'c' connected, 'd' disconnected, 'r' report, 'a' access denied, 'o' another
    int id;
    std::thread::id thread;
    std::vector<unsigned char> data;
};

std::mutex notices_mutex;
std::condition_variable notices_changed;
std::vector<notice> notices;

void record(notice n) {
    {
        std::lock_guard lock(notices_mutex);
        notices.push_back(std::move(n));
    }
    notices_changed.notify_all();
}

void connected_cb(void *, int device) {
    record({'c', device, std::this_thread::get_id(), {}});
}
void disconnected_cb(void *, int device) {
    record({'d', device, std::this_thread::get_id(), {}});
}
void report_cb(void *, int device, unsigned char *data, int length) {
    record({'r', device, std::this_thread::get_id(),
            std::vector<unsigned char>(data, data + length)});
}
void access_denied_cb(void *, const char *node) {
    record({'a', -1, std::this_thread::get_id(),
            std::vector<unsigned char>(node, node + strlen(node))});
}

std::vector<notice> snapshot() {
    std::lock_guard lock(notices_mutex);
    return notices;
}

size_t count(char kind, int id) {
    size_t n = 0;
    for (const notice &x : snapshot())
        n += x.kind == kind && x.id == id;
    return n;
}

// Waits until `done` holds over the notices. The bound only keeps a broken build from hanging
// the suite; nothing here depends on how fast anything is.
bool wait_until(const std::function<bool(const std::vector<notice> &)> &done) {
    std::unique_lock lock(notices_mutex);
    return notices_changed.wait_for(lock, std::chrono::seconds(20), [&] { return done(notices); });
}

bool wait_count(char kind, int id, size_t n) {
    return wait_until([&](const std::vector<notice> &all) {
        size_t k = 0;
        for (const notice &x : all)
            k += x.kind == kind && x.id == id;
        return k >= n;
    });
}

// The real Linux layer, with the watcher's progress made visible: how many hot-plug events it
// has taken, and how many it had taken when it last found none waiting (it has then finished
// every rescan they caused).
std::atomic<int> enumerations{0};
std::mutex watcher_mutex;
std::condition_variable watcher_changed;
int events_taken = 0;
int events_done = 0;
std::thread::id watcher_thread_id;

bool counting_enumerate(const std::vector<hid_product> *wanted,
                        std::vector<hid_interface_info> *out) {
    enumerations++;
    return hid_linux_platform()->enumerate(wanted, out);
}

hid_monitor_event counting_next_event(hid_monitor *m) {
    hid_monitor_event e = hid_linux_platform()->monitor_next_event(m);
    {
        std::lock_guard lock(watcher_mutex);
        watcher_thread_id = std::this_thread::get_id();
        if (e == hid_monitor_none)
            events_done = events_taken;
        else
            events_taken++;
    }
    watcher_changed.notify_all();
    return e;
}

// Reads begun by readers: a reader begins its next read only when it is done with the report
// before, callback included.
int reads_begun = 0;

int counting_read_report(int handle, int wake_fd, unsigned char *buffer, size_t size) {
    {
        std::lock_guard lock(watcher_mutex);
        reads_begun++;
    }
    watcher_changed.notify_all();
    return hid_linux_platform()->read_report(handle, wake_fd, buffer, size);
}

bool wait_reads_begun(int n) {
    std::unique_lock lock(watcher_mutex);
    return watcher_changed.wait_for(lock, std::chrono::seconds(20),
                                    [&] { return reads_begun >= n; });
}

std::thread::id watcher_thread() {
    std::lock_guard lock(watcher_mutex);
    return watcher_thread_id;
}

hid_platform counting_platform() {
    hid_platform p = *hid_linux_platform();
    p.enumerate = counting_enumerate;
    p.monitor_next_event = counting_next_event;
    p.read_report = counting_read_report;
    return p;
}
const hid_platform watched_platform = counting_platform();

// Waits until the watcher has taken `n` events in all and finished with them.
bool wait_watcher_done(int n) {
    std::unique_lock lock(watcher_mutex);
    return watcher_changed.wait_for(lock, std::chrono::seconds(20),
                                    [&] { return events_taken >= n && events_done >= n; });
}

int count_dir(const char *path) {
    int n = 0;
    DIR *d = opendir(path);
    if (d == nullptr)
        return -1;
    while (dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}
int open_fds() { return count_dir("/proc/self/fd"); }

// Threads of the module, told apart by the names it gives them ("mhid-reader",
// "mhid-watcher"); the testbed starts and ends threads of its own.
int threads() {
    int n = 0;
    DIR *d = opendir("/proc/self/task");
    if (d == nullptr)
        return -1;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::string path = std::string("/proc/self/task/") + e->d_name + "/comm";
        gchar *comm = nullptr;
        if (g_file_get_contents(path.c_str(), &comm, nullptr, nullptr))
            n += g_str_has_prefix(comm, "mhid-");
        g_free(comm);
    }
    closedir(d);
    return n;
}

// A joined thread can stay listed for a moment while the kernel reaps it: wait for the count
// to settle (bounded, so a real leak still fails).
int threads_settled(int expected) {
    int n = threads();
    for (int i = 0; i < 2000 && n > expected; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        n = threads();
    }
    return n;
}

// Every warning the module logs; unexpected ones fail the test.
std::vector<std::string> warnings;
GLogWriterOutput log_writer(GLogLevelFlags level, const GLogField *fields, gsize n_fields,
                            gpointer data) {
    if (level & (G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL)) {
        for (gsize i = 0; i < n_fields; i++) {
            if (strcmp(fields[i].key, "MESSAGE") == 0) {
                std::lock_guard lock(notices_mutex);
                warnings.emplace_back(static_cast<const char *>(fields[i].value));
            }
        }
    }
    return g_log_writer_default(level, fields, n_fields, data);
}

std::vector<unsigned char> zevrin_payload(unsigned char first) {
    std::vector<unsigned char> p(8);
    for (size_t i = 0; i < p.size(); i++)
        p[i] = static_cast<unsigned char>(first + i * 37);
    return p;
}

class Hid : public ::testing::Test {
protected:
    UMockdevTestbed *testbed = nullptr;
    std::vector<emulated_device *> plugged;
    std::thread::id main_thread = std::this_thread::get_id();

    void SetUp() override {
        testbed = emulated_testbed_new();
        {
            std::lock_guard lock(notices_mutex);
            notices.clear();
            warnings.clear();
        }
        {
            std::lock_guard lock(watcher_mutex);
            events_taken = events_done = reads_begun = 0;
        }
        enumerations = 0;
        static bool writer_set = false;
        if (!writer_set)
            g_log_set_writer_func(log_writer, nullptr, nullptr);
        writer_set = true;
        mhid_use_platform(&watched_platform);
    }

    void TearDown() override {
        mhid_terminate();
        mhid_set_device_change_callback(nullptr, nullptr);
        mhid_set_access_denied_callback(nullptr, nullptr);
        mhid_set_another_device_callback(nullptr, nullptr);
        for (emulated_device *d : plugged)
            emulated_device_unplug(d);
        plugged.clear();
        emulated_testbed_free(testbed);
        std::lock_guard lock(notices_mutex);
        EXPECT_TRUE(warnings.empty()) << warnings.front();
    }

    emulated_device *plug(const emulated_description &d, bool initialised = true) {
        emulated_device *dev = emulated_device_plug(testbed, d, initialised);
        plugged.push_back(dev);
        return dev;
    }

    void unplug(emulated_device *dev) {
        std::erase(plugged, dev);
        emulated_device_unplug(dev);
    }

    int register_zevrin(int product = zevrin_product, int usage_page = 0xFF00, int in = 9,
                        int out = 9) {
        int id = mhid_add_device(zevrin_vendor, product, usage_page, in, out);
        mhid_set_callbacks(id, connected_cb, nullptr, disconnected_cb, nullptr, report_cb, nullptr);
        return id;
    }

    // Sends one Zevrin report and waits for the module to hand it over.
    void send_and_expect(emulated_device *dev, int id, unsigned char first) {
        size_t before = count('r', id);
        std::vector<unsigned char> payload = zevrin_payload(first);
        emulated_device_send(dev, payload.data(), payload.size());
        ASSERT_TRUE(wait_count('r', id, before + 1));
        notice last = snapshot().back();
        std::vector<unsigned char> expected = {0};
        expected.insert(expected.end(), payload.begin(), payload.end());
        EXPECT_EQ(last.data, expected);
    }
};

// --- The registration table -------------------------------------------------------------

TEST_F(Hid, IdsAreGivenInOrderAndThe33rdRegistrationIsRefused) {
    mhid_init();
    for (int i = 0; i < 32; i++)
        EXPECT_EQ(mhid_add_device(zevrin_vendor, 0x1000 + i, 0xFF00, 9, 9), i);
    EXPECT_EQ(mhid_add_device(zevrin_vendor, zevrin_product, 0xFF00, 9, 9), -1);
    EXPECT_EQ(mhid_add_device(zevrin_vendor, zevrin_product, 0xFF00, 9, 9), -1);

    // The refused id is ignored everywhere; the last real one still works.
    mhid_set_callbacks(-1, connected_cb, nullptr, disconnected_cb, nullptr, report_cb, nullptr);
    unsigned char report[9] = {};
    EXPECT_EQ(mhid_write(-1, report, 9), -1);
    mhid_set_callbacks(31, connected_cb, nullptr, disconnected_cb, nullptr, report_cb, nullptr);
    EXPECT_EQ(count('d', 31), 1u);
    EXPECT_EQ(snapshot().size(), 1u);
}

TEST_F(Hid, OutOfRangeIdsAndLengthsAreRefused) {
    plug(zevrin_description());
    mhid_init();
    // Nothing registered yet: id 0 is out of range too.
    mhid_set_callbacks(0, connected_cb, nullptr, disconnected_cb, nullptr, report_cb, nullptr);
    int id = mhid_add_device(zevrin_vendor, zevrin_product, 0xFF00, 9, 9);
    mhid_set_callbacks(-1, connected_cb, nullptr, disconnected_cb, nullptr, report_cb, nullptr);
    mhid_set_callbacks(id + 1, connected_cb, nullptr, disconnected_cb, nullptr, report_cb, nullptr);
    EXPECT_TRUE(snapshot().empty());
    EXPECT_EQ(enumerations, 0);  // no scan either

    unsigned char report[9] = {};
    EXPECT_EQ(mhid_write(id + 1, report, 9), -1);
    EXPECT_EQ(mhid_write(-1, report, 9), -1);
    EXPECT_EQ(mhid_write(id, report, 0), -1);
    EXPECT_EQ(mhid_write(id, report, -5), -1);
    EXPECT_EQ(mhid_write(id, nullptr, 9), -1);
    // Registered but without a scan yet: not connected, so nothing is written.
    EXPECT_EQ(mhid_write(id, report, 9), 0);
}

// --- Connected and disconnected notices --------------------------------------------------

TEST_F(Hid, FirstScanReportsAbsenceOnceOnTheCallingThread) {
    mhid_init();
    int id = register_zevrin();
    ASSERT_EQ(snapshot().size(), 1u);
    EXPECT_EQ(snapshot()[0].kind, 'd');
    EXPECT_EQ(snapshot()[0].id, id);
    EXPECT_EQ(snapshot()[0].thread, main_thread);
    unsigned char report[9] = {};
    EXPECT_EQ(mhid_write(id, report, 9), 0);

    // Again on an unchanged device: a scan, but nothing to report.
    int scans = enumerations;
    mhid_set_callbacks(id, connected_cb, nullptr, disconnected_cb, nullptr, report_cb, nullptr);
    EXPECT_EQ(enumerations, scans + 1);
    EXPECT_EQ(snapshot().size(), 1u);
}

TEST_F(Hid, FirstScanReportsPresenceOnceOnTheCallingThread) {
    plug(zevrin_description());
    mhid_init();
    int id = register_zevrin();
    ASSERT_EQ(snapshot().size(), 1u);
    EXPECT_EQ(snapshot()[0].kind, 'c');
    EXPECT_EQ(snapshot()[0].id, id);
    EXPECT_EQ(snapshot()[0].thread, main_thread);

    mhid_set_callbacks(id, connected_cb, nullptr, disconnected_cb, nullptr, report_cb, nullptr);
    EXPECT_EQ(snapshot().size(), 1u);
}

TEST_F(Hid, PlugAndUnplugAreEachReportedOnceFromTheWatcher) {
    mhid_init();
    int id = register_zevrin();
    ASSERT_EQ(count('d', id), 1u);

    emulated_device *dev = plug(zevrin_description());
    ASSERT_TRUE(wait_count('c', id, 1));
    ASSERT_TRUE(wait_watcher_done(1));
    std::vector<notice> all = snapshot();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_NE(all[1].thread, main_thread);
    EXPECT_EQ(all[1].thread, watcher_thread());

    unplug(dev);
    ASSERT_TRUE(wait_count('d', id, 2));
    ASSERT_TRUE(wait_watcher_done(2));
    EXPECT_EQ(mhid_bound_node(id), "");
    all = snapshot();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[2].thread, watcher_thread());
}

TEST_F(Hid, HotPlugIsHeardFromTheMomentInitReturns) {
    // Before the first scan can list anything, the module already listens: a device that
    // arrives between that listing and the watcher's start is still announced.
    EXPECT_FALSE(emulated_testbed_has_listener(testbed));
    mhid_init();
    EXPECT_TRUE(emulated_testbed_has_listener(testbed));
    int id = register_zevrin();
    plug(zevrin_description());
    EXPECT_TRUE(wait_count('c', id, 1));
}

TEST_F(Hid, ADeviceChangeBeforeTheCallbacksAreSetDoesNotSwallowTheFirstNotice) {
    // The Zevrin is there from the start; another device arrives after the registration is
    // made but before its callbacks are. The watcher's rescan of that arrival must leave the
    // registration to its first scan, which then reports the Zevrin.
    plug(zevrin_description());
    mhid_init();
    int id = mhid_add_device(zevrin_vendor, zevrin_product, 0xFF00, 9, 9);
    plug(mouse_description());
    ASSERT_TRUE(wait_watcher_done(1));
    mhid_set_callbacks(id, connected_cb, nullptr, disconnected_cb, nullptr, report_cb, nullptr);
    ASSERT_EQ(snapshot().size(), 1u);
    EXPECT_EQ(snapshot()[0].kind, 'c');
    EXPECT_EQ(snapshot()[0].thread, main_thread);
}

TEST_F(Hid, BothModelsAreEachReportedConnectedOnce) {
    plug(zevrin_description());
    plug(zevrin_mini_description());
    mhid_init();
    int zevrin = register_zevrin(zevrin_product);
    int mini = register_zevrin(zevrin_mini_product);
    EXPECT_EQ(count('c', zevrin), 1u);
    EXPECT_EQ(count('c', mini), 1u);
    EXPECT_EQ(snapshot().size(), 2u);
}

TEST_F(Hid, OneDeviceEventIsOneListingForEveryRegistration) {
    plug(zevrin_description());
    mhid_init();
    int zevrin = register_zevrin(zevrin_product);
    int mini = register_zevrin(zevrin_mini_product);
    ASSERT_EQ(count('c', zevrin), 1u);
    ASSERT_EQ(count('d', mini), 1u);
    int scans = enumerations;

    // The arrival is scanned for both registrations from one listing that holds both models.
    plug(zevrin_mini_description());
    ASSERT_TRUE(wait_count('c', mini, 1));
    ASSERT_TRUE(wait_watcher_done(1));
    EXPECT_EQ(enumerations, scans + 1);
    EXPECT_EQ(count('c', zevrin), 1u);
    EXPECT_EQ(snapshot().size(), 3u);
}

// Opens of the report descriptor files of the hid devices present, told apart by product, seen
// through inotify on their sysfs directories inside the testbed.
class descriptor_opens {
public:
    explicit descriptor_opens(UMockdevTestbed *testbed)
        : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        gchar *root = umockdev_testbed_get_root_dir(testbed);
        udev *u = udev_new();
        udev_enumerate *e = udev_enumerate_new(u);
        udev_enumerate_add_match_subsystem(e, "hid");
        udev_enumerate_scan_devices(e);
        udev_list_entry *entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
            udev_device *hid = udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
            unsigned bus = 0, vendor = 0, product = 0;
            const char *id = hid ? udev_device_get_property_value(hid, "HID_ID") : nullptr;
            if (id != nullptr && sscanf(id, "%x:%x:%x", &bus, &vendor, &product) == 3) {
                std::string dir = std::string(root) + udev_device_get_syspath(hid);
                int wd = inotify_add_watch(fd_, dir.c_str(), IN_OPEN);
                if (wd >= 0)
                    product_of_watch_[wd] = static_cast<int>(product);
            }
            if (hid)
                udev_device_unref(hid);
        }
        udev_enumerate_unref(e);
        udev_unref(u);
        g_free(root);
    }
    ~descriptor_opens() { close(fd_); }
    descriptor_opens(const descriptor_opens &) = delete;
    descriptor_opens &operator=(const descriptor_opens &) = delete;

    size_t watched() const { return product_of_watch_.size(); }

    // Opens of report_descriptor of devices of `product` since the last call.
    std::map<int, int> take() {
        std::map<int, int> opens;
        alignas(inotify_event) char buffer[4096];
        ssize_t n;
        while ((n = read(fd_, buffer, sizeof buffer)) > 0) {
            for (char *p = buffer; p < buffer + n;) {
                auto *ev = reinterpret_cast<inotify_event *>(p);
                if (ev->len > 0 && strcmp(ev->name, "report_descriptor") == 0)
                    opens[product_of_watch_[ev->wd]]++;
                p += sizeof(inotify_event) + ev->len;
            }
        }
        return opens;
    }

private:
    int fd_;
    std::map<int, int> product_of_watch_;
};

TEST_F(Hid, OnlyRegisteredModelsHaveTheirDescriptorsRead) {
    const int mouse_product = mouse_description().product_id;
    plug(zevrin_description());
    plug(mouse_description());
    descriptor_opens opens(testbed);
    ASSERT_EQ(opens.watched(), 2u);
    mhid_init();
    int id = register_zevrin();
    ASSERT_EQ(count('c', id), 1u);
    std::map<int, int> first = opens.take();
    EXPECT_EQ(first[zevrin_product], 1);  // the watch sees what is read
    EXPECT_EQ(first[mouse_product], 0);

    // Another device's arrival: the watcher's listing reads the Zevrin's descriptor once more,
    // and the mouse's never.
    plug(mouse_description());
    ASSERT_TRUE(wait_watcher_done(1));
    std::map<int, int> rescan = opens.take();
    EXPECT_EQ(rescan[zevrin_product], 1);
    EXPECT_EQ(rescan[mouse_product], 0);
    EXPECT_EQ(snapshot().size(), 1u);
}

TEST_F(Hid, AnotherDeviceComingOrGoingRescansWithoutNotice) {
    int changes = 0;
    emulated_device *zevrin = plug(zevrin_description());
    mhid_init();
    mhid_set_device_change_callback([](void *target) { ++*static_cast<int *>(target); }, &changes);
    int id = register_zevrin();
    ASSERT_EQ(count('c', id), 1u);
    int scans = enumerations;

    emulated_device *mouse = plug(mouse_description());
    ASSERT_TRUE(wait_watcher_done(1));
    EXPECT_EQ(enumerations, scans + 1);
    unplug(mouse);
    ASSERT_TRUE(wait_watcher_done(2));
    EXPECT_EQ(enumerations, scans + 2);
    EXPECT_EQ(changes, 2);  // read on this thread only after the watcher finished with both

    EXPECT_EQ(snapshot().size(), 1u);
    // Still bound: reports arrive and writes leave.
    send_and_expect(zevrin, id, 0x10);
    unsigned char report[9] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(mhid_write(id, report, 9), 9);
    unsigned char got[9];
    ASSERT_TRUE(emulated_device_receive(zevrin, got, 9));
}

TEST_F(Hid, TerminateStopsNoticesAndLeavesNothingRunning) {
    int fds = open_fds();
    int tasks = threads();
    mhid_init();
    int id = register_zevrin();
    emulated_device *dev = plug(zevrin_description());
    ASSERT_TRUE(wait_count('c', id, 1));
    mhid_terminate();
    EXPECT_EQ(threads_settled(tasks), tasks);
    unsigned char report[9] = {};
    EXPECT_EQ(mhid_write(id, report, 9), 0);
    unplug(dev);
    EXPECT_EQ(open_fds(), fds);

    plug(zevrin_description());
    // No watcher is left to notice; a scan asked for now changes nothing either.
    mhid_set_callbacks(id, connected_cb, nullptr, disconnected_cb, nullptr, report_cb, nullptr);
    EXPECT_EQ(snapshot().size(), 2u);
}

// --- Matching --------------------------------------------------------------------------------

TEST_F(Hid, UsagePageZeroMatchesAnyPageAndAnotherPageMatchesNothing) {
    plug(zevrin_description());
    mhid_init();
    int any = register_zevrin(zevrin_product, 0);
    int other = register_zevrin(zevrin_product, 0xFF01);
    EXPECT_EQ(count('c', any), 1u);
    EXPECT_EQ(count('d', other), 1u);
}

TEST_F(Hid, InputLengthAloneBindsForReadingOnly) {
    emulated_device *dev = plug(zevrin_description());
    mhid_init();
    int id = register_zevrin(zevrin_product, 0xFF00, 9, 5);
    ASSERT_EQ(count('c', id), 1u);
    send_and_expect(dev, id, 0x40);
    unsigned char report[9] = {};
    EXPECT_EQ(mhid_write(id, report, 9), 0);
}

TEST_F(Hid, OutputLengthAloneBindsForWritingWithoutAReader) {
    emulated_device *dev = plug(zevrin_description());
    mhid_init();
    int tasks = threads();
    int id = register_zevrin(zevrin_product, 0xFF00, 5, 9);
    ASSERT_EQ(count('c', id), 1u);
    EXPECT_EQ(threads(), tasks);  // no reader was started
    unsigned char report[9] = {0, 9, 8, 7, 6, 5, 4, 3, 2};
    EXPECT_EQ(mhid_write(id, report, 9), 9);
    unsigned char got[9];
    ASSERT_TRUE(emulated_device_receive(dev, got, 9));
    EXPECT_EQ(0, memcmp(got, report, 9));
}

TEST_F(Hid, NeitherLengthMatchingIsAbsent) {
    plug(zevrin_description());
    mhid_init();
    int id = register_zevrin(zevrin_product, 0xFF00, 8, 10);
    EXPECT_EQ(count('d', id), 1u);
    EXPECT_EQ(snapshot().size(), 1u);
}

TEST_F(Hid, TwoDevicesOfOneModelBindOneAndTheOtherTakesOverWhenItLeaves) {
    emulated_device *first = plug(zevrin_description());
    mhid_init();
    mhid_set_another_device_callback(
        [](void *, int device) { record({'o', device, std::this_thread::get_id(), {}}); },
        nullptr);
    EXPECT_EQ(mhid_bound_node(0), "");  // not registered yet
    int id = register_zevrin();
    ASSERT_EQ(count('c', id), 1u);
    EXPECT_EQ(mhid_bound_node(id), emulated_device_node(first));
    emulated_device *second = plug(zevrin_description());
    ASSERT_TRUE(wait_watcher_done(1));
    // The one in use stays in use; the application hears of the other one.
    ASSERT_EQ(snapshot().size(), 2u);
    EXPECT_EQ(snapshot()[1].kind, 'o');
    EXPECT_EQ(snapshot()[1].id, id);

    unsigned char report[9] = {0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8};
    EXPECT_EQ(mhid_write(id, report, 9), 9);
    unsigned char got[9];
    ASSERT_TRUE(emulated_device_receive(first, got, 9));
    EXPECT_EQ(emulated_device_unread(second), 0u);  // nothing reaches the other one
    send_and_expect(first, id, 0x33);
    // Later rescans do not tell of it again.
    plug(mouse_description());
    ASSERT_TRUE(wait_watcher_done(2));
    EXPECT_EQ(count('o', id), 1u);

    // The one in use leaves: the other one is a different device to the application.
    unplug(first);
    ASSERT_TRUE(wait_watcher_done(3));
    std::vector<notice> all = snapshot();
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all[3].kind, 'd');
    EXPECT_EQ(all[4].kind, 'c');
    EXPECT_EQ(mhid_bound_node(id), emulated_device_node(second));
    send_and_expect(second, id, 0x44);
    EXPECT_EQ(mhid_write(id, report, 9), 9);
    ASSERT_TRUE(emulated_device_receive(second, got, 9));
    EXPECT_EQ(0, memcmp(got, report, 9));
}

// --- Reports and writes ------------------------------------------------------------------

TEST_F(Hid, ReportsArriveWholeWithTheReportIdFirstOnTheReaderThread) {
    emulated_device *dev = plug(zevrin_description());
    mhid_init();
    int id = register_zevrin();
    for (unsigned first = 0; first < 256; first += 8)
        send_and_expect(dev, id, static_cast<unsigned char>(first));
    std::vector<notice> all = snapshot();
    EXPECT_EQ(all.back().kind, 'r');
    EXPECT_NE(all.back().thread, main_thread);
    EXPECT_EQ(all.back().data.size(), 9u);
}

TEST_F(Hid, NumberedReportsKeepTheirOwnId) {
    // The Zevrin's collection with report ID 5 on both reports: hidraw hands over the ID itself.
    emulated_description d = zevrin_description();
    d.product_id = 0x0104;
    d.report_descriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x05, 0x09, 0x02,
                           0x75, 0x08, 0x95, 0x08, 0x81, 0x02, 0x09, 0x03, 0x91, 0x02, 0xC0};
    emulated_device *dev = plug(d);
    mhid_init();
    int id = register_zevrin(0x0104);
    ASSERT_EQ(count('c', id), 1u);
    const unsigned char report[9] = {5, 1, 2, 3, 4, 5, 6, 7, 8};
    emulated_device_send(dev, report, 9);
    ASSERT_TRUE(wait_count('r', id, 1));
    EXPECT_EQ(snapshot().back().data, std::vector<unsigned char>(report, report + 9));
}

TEST_F(Hid, WritesLeaveByteExactWithTheirLeadingZero) {
    emulated_device *dev = plug(zevrin_description());
    mhid_init();
    int id = register_zevrin();
    unsigned char report[9];
    for (int round = 0; round < 32; round++) {
        report[0] = 0;
        for (int i = 1; i < 9; i++)
            report[i] = static_cast<unsigned char>(round * 8 + i - 1);
        ASSERT_EQ(mhid_write(id, report, 9), 9);
        unsigned char got[9];
        ASSERT_TRUE(emulated_device_receive(dev, got, 9));
        EXPECT_EQ(0, memcmp(got, report, 9)) << "round " << round;
    }
}

TEST_F(Hid, AShortWriteBufferIsPaddedNotOverread) {
    emulated_device *dev = plug(zevrin_description());
    mhid_init();
    int id = register_zevrin();
    // Exactly two bytes on the heap: a read past them would be caught by the sanitizer builds.
    auto buffer = std::make_unique<unsigned char[]>(2);
    buffer[0] = 0;
    buffer[1] = 0x7E;
    EXPECT_EQ(mhid_write(id, buffer.get(), 2), 9);
    unsigned char got[9];
    ASSERT_TRUE(emulated_device_receive(dev, got, 9));
    const unsigned char expected[9] = {0, 0x7E, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(got, expected, 9));
    // A longer one: only the registered length leaves.
    unsigned char longer[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    EXPECT_EQ(mhid_write(id, longer, 12), 9);
    ASSERT_TRUE(emulated_device_receive(dev, got, 9));
    EXPECT_EQ(0, memcmp(got, longer, 9));
}

TEST_F(Hid, ANullReportCallbackDropsReportsUntilOneIsSet) {
    emulated_device *dev = plug(zevrin_description());
    mhid_init();
    int tasks = threads();
    int id = mhid_add_device(zevrin_vendor, zevrin_product, 0xFF00, 9, 9);
    mhid_set_callbacks(id, connected_cb, nullptr, disconnected_cb, nullptr, nullptr, nullptr);
    ASSERT_EQ(count('c', id), 1u);
    EXPECT_EQ(threads(), tasks + 1);  // the reader is there all the same
    // The reader begins its second read only when it is done with the first report: by then
    // that report has met the null callback and is gone for good.
    ASSERT_TRUE(wait_reads_begun(1));
    std::vector<unsigned char> dropped = zevrin_payload(1);
    emulated_device_send(dev, dropped.data(), dropped.size());
    ASSERT_TRUE(wait_reads_begun(2));
    // The callback applies from the next report on; the binding stays as it is.
    mhid_set_callbacks(id, connected_cb, nullptr, disconnected_cb, nullptr, report_cb, nullptr);
    EXPECT_EQ(count('c', id), 1u);
    std::vector<unsigned char> next = zevrin_payload(0x77);
    emulated_device_send(dev, next.data(), next.size());
    ASSERT_TRUE(wait_until([](const std::vector<notice> &all) {
        for (const notice &n : all) {
            if (n.kind == 'r' && n.data[1] == 0x77)
                return true;
        }
        return false;
    }));
    for (const notice &n : snapshot()) {
        if (n.kind == 'r') {
            EXPECT_NE(n.data[1], dropped[0]);
        }
    }
}

// --- Removal ---------------------------------------------------------------------------------

TEST_F(Hid, UnplugDuringABlockedReadEndsTheReaderAndReportsOnce) {
    mhid_init();
    int tasks = threads();
    int fds = open_fds();
    int id = register_zevrin();
    emulated_device *dev = plug(zevrin_description());
    ASSERT_TRUE(wait_count('c', id, 1));
    send_and_expect(dev, id, 0x01);  // the reader has delivered and is blocked again
    EXPECT_EQ(threads(), tasks + 1);

    unplug(dev);
    ASSERT_TRUE(wait_count('d', id, 2));
    ASSERT_TRUE(wait_watcher_done(2));
    EXPECT_EQ(count('d', id), 2u);  // the first scan's, and the unplug's
    EXPECT_EQ(threads_settled(tasks), tasks);
    EXPECT_EQ(open_fds(), fds);
}

TEST_F(Hid, ANodeThatFailsWhileItsDeviceIsStillListedIsDropped) {
    emulated_device *dev = plug(zevrin_description());
    mhid_init();
    int tasks = threads();
    int id = register_zevrin();
    ASSERT_EQ(count('c', id), 1u);
    ASSERT_EQ(threads(), tasks + 1);

    // The node fails under the blocked reader while the device is still listed: the reader asks
    // for a rescan, which drops the registration instead of keeping it with a dead reader.
    const int scans = enumerations;
    emulated_device_hang_up(dev);
    ASSERT_TRUE(wait_count('d', id, 1));
    EXPECT_NE(snapshot().back().thread, main_thread);
    EXPECT_EQ(enumerations, scans + 1);
    EXPECT_EQ(threads_settled(tasks), tasks);
    unsigned char report[9] = {};
    EXPECT_EQ(mhid_write(id, report, 9), 0);

    // While it stays listed, rescans pass it over: no reader is started on it again.
    plug(mouse_description());
    ASSERT_TRUE(wait_watcher_done(1));
    EXPECT_EQ(threads_settled(tasks), tasks);
    // Its removal changes nothing more.
    unplug(dev);
    ASSERT_TRUE(wait_watcher_done(2));
    EXPECT_EQ(snapshot().size(), 2u);
}

TEST_F(Hid, NothingIsLeftBehindAfterHundredsOfPlugCyclesWithReportsFlowing) {
    mhid_init();
    int id = register_zevrin();
    int tasks = threads();
    int fds = open_fds();
    const int cycles = 200;
    for (int i = 0; i < cycles; i++) {
        emulated_device *dev = plug(zevrin_description());
        ASSERT_TRUE(wait_count('c', id, static_cast<size_t>(i + 1)));
        send_and_expect(dev, id, static_cast<unsigned char>(i));
        // One more on its way while the device goes.
        std::vector<unsigned char> last = zevrin_payload(0xEE);
        emulated_device_send(dev, last.data(), last.size());
        unsigned char report[9] = {0, static_cast<unsigned char>(i)};
        EXPECT_EQ(mhid_write(id, report, 9), 9);
        unplug(dev);
        ASSERT_TRUE(wait_count('d', id, static_cast<size_t>(i + 2)));
    }
    ASSERT_TRUE(wait_watcher_done(2 * cycles));
    EXPECT_EQ(count('c', id), static_cast<size_t>(cycles));
    EXPECT_EQ(count('d', id), static_cast<size_t>(cycles + 1));
    EXPECT_EQ(threads_settled(tasks), tasks);
    EXPECT_EQ(open_fds(), fds);
}

// --- Writes while the watcher rebinds, over a scripted layer -----------------------------------

// A layer of our own whose listing alternates between two interfaces of the Zevrin, so that
// every rescan closes the bound node and opens the other one, and whose writes check that
// their handle stays open for the whole write. Over the real layer a write to a node closed
// under it cannot be told apart from a failed write (the fd number is reused at once).
namespace scripted {

std::mutex mutex;
std::condition_variable changed;
std::set<int> open_handles;
int listings = 0;
int opens = 0;
int writes_begun = 0;
int writes_on_closed_handles = 0;
int events_sent = 0;
int events_done = 0;
int monitor_pipe[2] = {-1, -1};

hid_interface_info zevrin_interface(const std::string &syspath) {
    hid_interface_info info;
    info.syspath = syspath;
    info.devnode = "/dev/scripted";
    info.vendor_id = zevrin_vendor;
    info.product_id = zevrin_product;
    hid_top_collection c;
    c.usage_page = 0xFF00;
    c.input_len = 9;
    c.output_len = 9;
    info.descriptor.collections.push_back(c);
    return info;
}

// Only the Zevrin is ever registered over this layer, so what is wanted is always the Zevrin.
bool enumerate(const std::vector<hid_product> *, std::vector<hid_interface_info> *out) {
    std::lock_guard lock(mutex);
    out->assign(1, zevrin_interface("/sys/devices/scripted/hidraw" + std::to_string(listings++ % 2)));
    return true;
}

int open_node(const char *, bool) {
    int handle = eventfd(0, EFD_CLOEXEC);
    std::lock_guard lock(mutex);
    opens++;
    open_handles.insert(handle);
    return handle;
}

// No reports ever come: the reader waits for its wake-up.
int read_report(int, int wake_fd, unsigned char *, size_t) {
    pollfd p = {wake_fd, POLLIN, 0};
    while (poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    return hid_read_woken;
}

int write_report(int handle, const unsigned char *, size_t size) {
    auto is_open = [handle] {
        std::lock_guard lock(mutex);
        return open_handles.count(handle) != 0;
    };
    bool ok = is_open();
    {
        std::lock_guard lock(mutex);
        writes_begun++;
    }
    changed.notify_all();
    // A write takes a moment on a real node: leave room for a close to come in between.
    std::this_thread::yield();
    ok = ok && is_open();
    if (!ok) {
        std::lock_guard lock(mutex);
        writes_on_closed_handles++;
    }
    return static_cast<int>(size);
}

void close_node(int handle) {
    {
        std::lock_guard lock(mutex);
        open_handles.erase(handle);
    }
    close(handle);
}

hid_monitor *monitor_new() {
    if (pipe2(monitor_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return nullptr;
    return reinterpret_cast<hid_monitor *>(monitor_pipe);
}

int monitor_fd(hid_monitor *) { return monitor_pipe[0]; }

hid_monitor_event monitor_next_event(hid_monitor *) {
    {
        // Under the mutex, as the sending is: "none" is never taken from before a byte that
        // already counts as sent.
        std::lock_guard lock(mutex);
        char byte;
        if (read(monitor_pipe[0], &byte, 1) == 1)
            return hid_monitor_rescan;
        events_done = events_sent;
    }
    changed.notify_all();
    return hid_monitor_none;
}

void monitor_free(hid_monitor *) {
    close(monitor_pipe[0]);
    close(monitor_pipe[1]);
}

// One arrival or removal (caller holds `mutex`).
bool send_event() {
    events_sent++;
    return write(monitor_pipe[1], "x", 1) == 1;
}

bool wait_events_done(std::unique_lock<std::mutex> &lock) {
    return changed.wait_for(lock, std::chrono::seconds(20),
                            [] { return events_done == events_sent; });
}

// One arrival or removal, once the writer has begun another write; returns when the watcher
// has rescanned.
bool rescan_while_writing() {
    std::unique_lock lock(mutex);
    const int writes = writes_begun;
    if (!changed.wait_for(lock, std::chrono::seconds(20), [&] { return writes_begun > writes; }))
        return false;
    return send_event() && wait_events_done(lock);
}

const hid_platform layer = {enumerate,  open_node,  read_report,        write_report,
                            close_node, monitor_new, monitor_fd, monitor_next_event,
                            monitor_free, nullptr};

}  // namespace scripted

TEST_F(Hid, WritesNeverMeetANodeClosedByARescan) {
    mhid_use_platform(&scripted::layer);
    mhid_init();
    int id = register_zevrin();
    ASSERT_EQ(count('c', id), 1u);

    std::atomic<bool> stop{false};
    std::atomic<int> odd_results{0};
    std::thread writer([&] {
        unsigned char report[9] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
        while (!stop) {
            // 0 while the registration is between two nodes; 9 when the report left whole.
            int n = mhid_write(id, report, 9);
            if (n != 0 && n != 9)
                odd_results++;
        }
    });
    const int rescans = 300;
    int done = 0;
    while (done < rescans && scripted::rescan_while_writing())
        done++;
    stop = true;
    writer.join();
    mhid_terminate();

    EXPECT_EQ(done, rescans);
    std::lock_guard lock(scripted::mutex);
    EXPECT_EQ(scripted::writes_on_closed_handles, 0);
    EXPECT_EQ(odd_results, 0);
    EXPECT_TRUE(scripted::open_handles.empty());
    // Every rescan went over to the other interface: a different device to the application.
    EXPECT_EQ(count('c', id), static_cast<size_t>(rescans + 1));
    EXPECT_EQ(count('d', id), static_cast<size_t>(rescans));
}

// --- A rescan against an old listing ---------------------------------------------------------

// The scripted layer, with a listing that can be held up after it has looked: the watcher's
// listing is then older than one made by mhid_set_callbacks meanwhile.
namespace held {

std::mutex mutex;
std::condition_variable changed;
std::vector<std::string> present;
bool hold_next = false;
bool holding = false;

bool enumerate(const std::vector<hid_product> *, std::vector<hid_interface_info> *out) {
    std::unique_lock lock(mutex);
    out->clear();
    for (const std::string &syspath : present)
        out->push_back(scripted::zevrin_interface(syspath));
    if (hold_next) {
        hold_next = false;
        holding = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(20), [] { return !holding; });
    }
    return true;
}

// The node fails under its reader once `fail_fd` is signalled; `reader_failed` tells when the
// reader has seen it.
int fail_fd = eventfd(0, EFD_CLOEXEC);
bool reader_failed = false;

int read_report(int, int wake_fd, unsigned char *, size_t) {
    pollfd p[2] = {{wake_fd, POLLIN, 0}, {fail_fd, POLLIN, 0}};
    while (poll(p, 2, -1) < 0 && errno == EINTR) {
    }
    if (p[0].revents != 0)
        return hid_read_woken;
    {
        std::lock_guard lock(mutex);
        reader_failed = true;
    }
    changed.notify_all();
    return hid_read_failed;
}

hid_platform make_layer() {
    hid_platform p = scripted::layer;
    p.enumerate = enumerate;
    p.read_report = read_report;
    return p;
}
const hid_platform layer = make_layer();

}  // namespace held

TEST_F(Hid, AListingOlderThanOneAlreadyScannedIsNotActedOn) {
    held::present = {"/sys/devices/held/a"};
    mhid_use_platform(&held::layer);
    mhid_init();
    int id = register_zevrin();
    ASSERT_EQ(count('c', id), 1u);

    // Interface a leaves: the watcher lists for that, seeing nothing, and is held up there.
    {
        std::unique_lock lock(held::mutex);
        held::present.clear();
        held::hold_next = true;
    }
    {
        std::lock_guard lock(scripted::mutex);
        ASSERT_TRUE(scripted::send_event());
    }
    {
        std::unique_lock lock(held::mutex);
        ASSERT_TRUE(held::changed.wait_for(lock, std::chrono::seconds(20), [] { return held::holding; }));
        // Meanwhile b arrives, and a scan from mhid_set_callbacks lists it and goes over to it.
        held::present = {"/sys/devices/held/b"};
    }
    mhid_set_callbacks(id, connected_cb, nullptr, disconnected_cb, nullptr, report_cb, nullptr);
    ASSERT_EQ(count('d', id), 1u);
    ASSERT_EQ(count('c', id), 2u);

    // The held listing (nothing present) is older than b's: acting on it would drop b and take
    // it up again at b's own event, a disconnection that never happened.
    {
        std::lock_guard lock(held::mutex);
        held::holding = false;
    }
    held::changed.notify_all();
    {
        std::unique_lock lock(scripted::mutex);
        ASSERT_TRUE(scripted::send_event());  // b's arrival
        ASSERT_TRUE(scripted::wait_events_done(lock));
    }
    EXPECT_EQ(snapshot().size(), 3u);
    unsigned char report[9] = {};
    EXPECT_EQ(mhid_write(id, report, 9), 9);
    mhid_terminate();
    std::lock_guard lock(scripted::mutex);
    EXPECT_TRUE(scripted::open_handles.empty());
}

TEST_F(Hid, AListingOlderThanTheNodesFailureDoesNotReopenIt) {
    held::present = {"/sys/devices/held/a"};
    held::reader_failed = false;
    mhid_use_platform(&held::layer);
    mhid_init();
    int id = register_zevrin();
    ASSERT_EQ(count('c', id), 1u);

    // The watcher lists (a still there) and is held up; then a's node fails under the reader, as
    // it does a moment before a device leaves the listing.
    {
        std::unique_lock lock(held::mutex);
        held::hold_next = true;
    }
    {
        std::lock_guard lock(scripted::mutex);
        ASSERT_TRUE(scripted::send_event());
    }
    int opens = 0;
    {
        std::unique_lock lock(held::mutex);
        ASSERT_TRUE(held::changed.wait_for(lock, std::chrono::seconds(20), [] { return held::holding; }));
        uint64_t one = 1;
        ASSERT_EQ(write(held::fail_fd, &one, sizeof one), static_cast<ssize_t>(sizeof one));
        ASSERT_TRUE(held::changed.wait_for(lock, std::chrono::seconds(20), [] { return held::reader_failed; }));
        held::present.clear();  // a is gone
        held::holding = false;
        std::lock_guard scripted_lock(scripted::mutex);
        opens = scripted::opens;
    }
    held::changed.notify_all();
    // The held listing still shows a, but began before its node failed: a is not reopened. The
    // rescan that the failed reader asked for lists afterwards: a is gone, once.
    ASSERT_TRUE(wait_count('d', id, 1));
    {
        std::unique_lock lock(scripted::mutex);
        EXPECT_EQ(scripted::opens, opens);
    }

    // The removal's own event changes nothing more.
    {
        std::unique_lock lock(scripted::mutex);
        ASSERT_TRUE(scripted::send_event());
        ASSERT_TRUE(scripted::wait_events_done(lock));
        EXPECT_EQ(scripted::opens, opens);
    }
    ASSERT_EQ(snapshot().size(), 2u);
    EXPECT_EQ(snapshot()[1].kind, 'd');
    mhid_terminate();
    uint64_t value;
    ASSERT_EQ(read(held::fail_fd, &value, sizeof value), static_cast<ssize_t>(sizeof value));
    std::lock_guard lock(scripted::mutex);
    EXPECT_TRUE(scripted::open_handles.empty());
}

// --- Permissions -----------------------------------------------------------------------------

// Drops or restores the calling thread's right to open files whatever their mode (root has it).
void set_dac_override(bool on) {
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    ASSERT_EQ(syscall(SYS_capget, &header, data), 0);
    if (on)
        data[0].effective |=
            data[0].permitted & (1u << CAP_DAC_OVERRIDE | 1u << CAP_DAC_READ_SEARCH);
    else
        data[0].effective &= ~(1u << CAP_DAC_OVERRIDE | 1u << CAP_DAC_READ_SEARCH);
    ASSERT_EQ(syscall(SYS_capset, &header, data), 0);
}

TEST_F(Hid, ANodeThatMayNotBeOpenedIsAbsentWithOneWarningNamingIt) {
    emulated_device *dev = plug(zevrin_description());
    ASSERT_EQ(chmod(emulated_device_pty_path(dev), 0), 0);
    mhid_init();
    mhid_set_access_denied_callback(access_denied_cb, nullptr);
    set_dac_override(false);
    int id = register_zevrin();
    mhid_set_callbacks(id, connected_cb, nullptr, disconnected_cb, nullptr, report_cb, nullptr);
    set_dac_override(true);

    std::vector<notice> all = snapshot();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].kind, 'a');
    EXPECT_EQ(std::string(all[0].data.begin(), all[0].data.end()), emulated_device_node(dev));
    EXPECT_EQ(all[0].thread, main_thread);
    EXPECT_EQ(all[1].kind, 'd');
    EXPECT_EQ(all[1].id, id);

    {
        std::lock_guard lock(notices_mutex);
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_NE(warnings[0].find(emulated_device_node(dev)), std::string::npos);
        EXPECT_NE(warnings[0].find("70-zevrin.rules"), std::string::npos);
        EXPECT_NE(warnings[0].find("udevadm trigger"), std::string::npos);
        warnings.clear();
    }

    // The rule is installed and `udevadm trigger` runs it on the node: a "change", and the
    // device is taken up without being plugged in again.
    ASSERT_EQ(chmod(emulated_device_pty_path(dev), 0600), 0);
    emulated_device_change(dev);
    ASSERT_TRUE(wait_count('c', id, 1));
    send_and_expect(dev, id, 0x5A);
}

}  // namespace
