// Fault runs of the whole device path: the real HID module over umockdev virtual devices, the
// real hub and protocol, the real main window and the real GLib main loop. A device thread plays
// the Zevrin: it answers every read request as the device does, keeps what is written to it,
// and can leave at any point. Devices are unplugged in the middle of a read and of a write,
// plugged in and out hundreds of times while reports flow, and surrounded by a burst of other
// HID devices. Nothing may crash or hang, no fd or thread may be left behind, and a write that
// did not reach the device must never be reported as a success.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtk/gtk.h>

#include "app/hub.h"
#include "device/config.h"
#include "device/protocol.h"
#include "hid/hid_platform.h"
#include "hid/mhid.h"
#include "tests/fault/fault_support.h"
#include "tests/hid/emulated_device.h"
#include "window/window.h"

bool operator==(const action_record &a, const action_record &b)
{
    return a.kind == b.kind && a.code == b.code && a.modifiers == b.modifiers && a.auto_release == b.auto_release;
}

namespace {

const char *const written_text = "Configuration successfully written into the device.";
const char *const not_written_text =
    "The configuration could not be written into the device. Please check that the device is "
    "connected and write the configuration again.";
const char *const multiple_devices_text =
    "There seems to be more than one Zevrin device connected. Please disconnect all devices "
    "except the one you want to configure.";

using report9 = std::array<uint8_t, 9>;

// The test's end of an emulated node (the pty master), found among our own fds by the number of
// the pty that the node leads to. Used only for poll() and read(); the emulated device keeps
// owning it and closes it at unplug.
int master_fd_of(emulated_device *dev)
{
    const std::string pts = emulated_device_pty_path(dev);
    DIR *d = opendir("/proc/self/fd");
    int found = -1;
    while (dirent *e = d ? readdir(d) : nullptr) {
        if (e->d_name[0] == '.')
            continue;
        const int fd = atoi(e->d_name);
        char target[64] = {};
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) <= 0 || strcmp(target, "/dev/ptmx") != 0)
            continue;
        unsigned number = 0;
        if (ioctl(fd, TIOCGPTN, &number) == 0 && pts == "/dev/pts/" + std::to_string(number)) {
            found = fd;
            break;
        }
    }
    if (d)
        closedir(d);
    return found;
}

// A Zevrin played by a thread: answers read requests from its own configuration, takes written
// records and settings into it, and optionally sends a numbered generic event after every
// answer (so that reports keep flowing) or leaves after a given number of reports.
struct zevrin_device {
    emulated_device *node = nullptr;
    int master = -1;
    int stop_fd = -1;
    std::thread thread;

    std::mutex mutex;
    std::vector<report9> received;                 // every report the program wrote
    std::array<std::array<uint8_t, 4>, 8> records{};  // kind, code, modifiers, auto release
    std::array<uint8_t, 6> settings{5, 18, 7, 40, 150, 115};
    bool events = false;
    uint8_t next_event = 0;
    int leave_after = -1;  // unplug itself after this many reports
    std::atomic<bool> gone{false};

    size_t received_count()
    {
        std::lock_guard lock(mutex);
        return received.size();
    }

    void answer(const report9 &r)
    {
        std::array<uint8_t, 8> reply{};
        bool send = false;
        {
            std::lock_guard lock(mutex);
            received.push_back(r);
            if (r[1] == 0x09 && r[2] == 0x00 && r[3] < 8) {
                const auto &a = records[r[3]];
                reply = {0x09, 0x00, r[3], a[0], a[1], a[2], a[3], 0x00};
                send = true;
            } else if (r[1] == 0x09 && r[2] == 0x01) {
                reply = {0x0A, 0x00, settings[0], settings[1], settings[2], settings[3], settings[4], settings[5]};
                send = true;
            } else if (r[1] == 0x04 && r[2] < 8) {
                records[r[2]] = {r[3], r[4], r[5], r[6]};
            } else if (r[1] == 0x07) {
                std::copy(r.begin() + 2, r.begin() + 8, settings.begin());
            }
        }
        if (send)
            emulated_device_send(node, reply.data(), reply.size());
        if (events) {
            std::array<uint8_t, 8> event{0x64, next_event++, 0x00};
            emulated_device_send(node, event.data(), event.size());
        }
    }

    void run()
    {
        report9 r{};
        size_t have = 0;
        for (;;) {
            pollfd fds[2] = {{master, POLLIN, 0}, {stop_fd, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[1].revents != 0 || (fds[0].revents & POLLIN) == 0)
                return;
            // No report boundaries on the emulated node: collect 9 bytes at a time.
            ssize_t n = read(master, r.data() + have, r.size() - have);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0)
                return;
            have += static_cast<size_t>(n);
            if (have < r.size())
                continue;
            have = 0;
            answer(r);
            if (leave_after >= 0 && received_count() >= static_cast<size_t>(leave_after)) {
                emulated_device_unplug(node);
                gone = true;
                return;
            }
        }
    }

    void start()
    {
        master = master_fd_of(node);
        ASSERT_GE(master, 0);
        stop_fd = eventfd(0, EFD_CLOEXEC);
        thread = std::thread([this] { run(); });
    }

    // Stops the device thread and unplugs the device, unless it left by itself.
    void unplug()
    {
        if (thread.joinable()) {
            uint64_t one = 1;
            [[maybe_unused]] ssize_t n = write(stop_fd, &one, sizeof one);
            thread.join();
        }
        if (stop_fd >= 0)
            close(stop_fd);
        stop_fd = -1;
        if (!gone)
            emulated_device_unplug(node);
        gone = true;
    }
};

// The real Linux layer, with a hook before every report write: the test can pull the device out
// at an exact point of a write sequence.
std::function<void(int)> before_write;
int writes_seen = 0;

int hooked_write_report(int handle, const unsigned char *data, size_t size)
{
    if (before_write)
        before_write(writes_seen);
    writes_seen++;
    return hid_linux_platform()->write_report(handle, data, size);
}

hid_platform hooked_platform()
{
    hid_platform p = *hid_linux_platform();
    p.write_report = hooked_write_report;
    return p;
}
const hid_platform write_hook_platform = hooked_platform();

// Generic event lines printed by the program.
std::vector<int> printed_events;

void collect_print(const gchar *text)
{
    unsigned number = 0;
    char kind[16] = {};
    if (sscanf(text, "Generic event: %02X %15s", &number, kind) == 2)
        printed_events.push_back(static_cast<int>(number));
}

class Fault : public ::testing::Test {
protected:
    UMockdevTestbed *testbed = nullptr;
    std::vector<zevrin_device *> devices;
    int base_fds = 0;
    int base_threads = 0;

    void SetUp() override
    {
        testbed = emulated_testbed_new();
        device_connected = 0;
        connected_device_model = 0;
        connected_device_id_in = -1;
        connected_device_id_out = -1;
        reading_config = 0;
        writing_config = 0;
        // A read that loses its device ends soon after, without a message.
        read_config_timeout_ms = 300;
        set_defaults();
        before_write = nullptr;
        writes_seen = 0;
        printed_events.clear();
        g_set_print_handler(collect_print);
        mhid_use_platform(&write_hook_platform);
        mhid_init();
        register_devices();
        drain();
        // Once per run, a whole plug, read and unplug first: threads and fds that GLib, GTK and
        // the testbed start on first use and keep are then part of every baseline, not leaks.
        static bool warmed_up = false;
        if (!warmed_up) {
            zevrin_device *z = plug(zevrin_description(), true);
            ASSERT_TRUE(run_until(read_shown)) << state();
            unplug(z);
            ASSERT_TRUE(run_until([] { return device_connected == 0; }));
            run_until([] { return false; }, 100);
            warmed_up = true;
        }
        printed_events.clear();
        seen_dialogs.clear();
        logged_warnings.clear();
    }

    void TearDown() override
    {
        for (zevrin_device *d : devices) {
            d->unplug();
            delete d;
        }
        devices.clear();
        mhid_terminate();
        // Whatever the last notices posted runs now, against a module that is down.
        run_until([] { return false; }, 50);
        if (read_config_timeout_id != 0) {
            g_source_remove(read_config_timeout_id);
            read_config_timeout_id = 0;
        }
        mhid_use_platform(nullptr);
        g_set_print_handler(nullptr);
        emulated_testbed_free(testbed);
        EXPECT_TRUE(logged_warnings.empty()) << logged_warnings.front();
    }

    zevrin_device *plug(const emulated_description &d, bool events = false, int leave_after = -1)
    {
        auto *z = new zevrin_device;
        z->node = emulated_device_plug(testbed, d);
        z->events = events;
        z->leave_after = leave_after;
        for (int i = 0; i < 8; i++)
            z->records[static_cast<size_t>(i)] = {1, static_cast<uint8_t>(0x04 + i), static_cast<uint8_t>(i & 7), 1};
        z->start();
        devices.push_back(z);
        return z;
    }

    void unplug(zevrin_device *z)
    {
        z->unplug();
        std::erase(devices, z);
        delete z;
    }

    // Baseline of fds and threads with the module running and its first scans done.
    void take_baseline()
    {
        base_fds = open_fds();
        base_threads = threads();
    }

    void expect_nothing_left_behind()
    {
        EXPECT_EQ(threads_settled(base_threads), base_threads);
        EXPECT_EQ(fds_settled(base_fds), base_fds);
    }

    // What a failed wait was waiting on.
    static std::string state()
    {
        const char *title = window_main ? gtk_window_get_title(GTK_WINDOW(window_main)) : "";
        return "connected " + std::to_string(device_connected) + ", reading " + std::to_string(reading_config) +
               ", writing " + std::to_string(writing_config) + ", title \"" + (title ? title : "") + "\"";
    }

    static bool read_shown()
    {
        return device_connected && !reading_config && window_main &&
               g_strcmp0(gtk_window_get_title(GTK_WINDOW(window_main)), "Zevrin") == 0;
    }

    static size_t count_dialogs(const char *text)
    {
        return static_cast<size_t>(std::count_if(seen_dialogs.begin(), seen_dialogs.end(),
                                                 [text](const seen_dialog &d) { return d.text == text; }));
    }
};

TEST_F(Fault, UnplugInTheMiddleOfAReadLeavesNoDeviceAndTheNextPlugReadsAfresh)
{
    take_baseline();
    // The device answers four switch requests and is gone before the fifth.
    zevrin_device *z = plug(zevrin_description(), false, 4);
    ASSERT_TRUE(run_until([&] { return z->gone.load(); }));
    ASSERT_TRUE(run_until([] { return device_connected == 0 && reading_config == 0; }));
    EXPECT_EQ(connected_device_id_out, -1);
    unplug(z);
    EXPECT_TRUE(seen_dialogs.empty());  // no device: the window says so, no message
    expect_nothing_left_behind();

    // Plugged in again, the device is read in full and shown.
    z = plug(zevrin_description());
    z->records[7] = {2, 0x05, 0, 0};
    ASSERT_TRUE(run_until(read_shown)) << state();
    EXPECT_EQ(switch_action[3], (action_record{1, 0x07, 3, 1}));
    EXPECT_EQ(joy_displacement, 115);
    EXPECT_TRUE(seen_dialogs.empty());
    unplug(z);
    ASSERT_TRUE(run_until([] { return device_connected == 0; }));
    expect_nothing_left_behind();
}

TEST_F(Fault, UnplugInTheMiddleOfAWriteIsReportedAsAFailedWrite)
{
    take_baseline();
    zevrin_device *z = plug(zevrin_description());
    ASSERT_TRUE(run_until(read_shown)) << state();

    // The write sends 8 records, the settings and the end of write; the device goes after it
    // has taken the fourth record.
    int first_write = writes_seen;
    before_write = [&](int n) {
        if (n != first_write + 4)
            return;
        run_until([&] { return z->received_count() >= 9u + 4u; });
        z->unplug();
    };
    switch_action[0] = {0, 2, 0, 1};
    write_config();
    before_write = nullptr;
    ASSERT_TRUE(run_until([] { return writing_config == 0 && !seen_dialogs.empty(); }));
    ASSERT_EQ(seen_dialogs.size(), 1u);
    EXPECT_EQ(seen_dialogs[0].text, not_written_text);
    EXPECT_EQ(count_dialogs(written_text), 0u);
    EXPECT_EQ(z->received_count(), 9u + 4u);  // the read's 9 requests, then 4 records

    ASSERT_TRUE(run_until([] { return device_connected == 0; }));
    unplug(z);
    expect_nothing_left_behind();
}

TEST_F(Fault, AWriteToADeviceThatLeftBeforeItIsReportedAsFailed)
{
    take_baseline();
    zevrin_device *z = plug(zevrin_description());
    ASSERT_TRUE(run_until(read_shown)) << state();
    // Gone before the first report, while the window still shows it connected: the removal
    // notice has not been handled yet when the write starts.
    before_write = [&](int) {
        z->unplug();
        before_write = nullptr;
    };
    write_config();
    ASSERT_TRUE(run_until([] { return writing_config == 0 && !seen_dialogs.empty(); }));
    ASSERT_EQ(seen_dialogs.size(), 1u);
    EXPECT_EQ(seen_dialogs[0].text, not_written_text);
    ASSERT_TRUE(run_until([] { return device_connected == 0; }));

    // Without any device, the write command sends nothing and says so.
    seen_dialogs.clear();
    write_config();
    ASSERT_TRUE(run_until([] { return writing_config == 0 && !seen_dialogs.empty(); }));
    EXPECT_EQ(seen_dialogs[0].text, not_written_text);
    unplug(z);
    expect_nothing_left_behind();
}

TEST_F(Fault, HundredsOfPlugCyclesWithReportsFlowingLeaveNothingBehind)
{
    take_baseline();
    zevrin_device *z = nullptr;

    const int cycles = 200;
    size_t events_before = 0;
    for (int i = 0; i < cycles; i++) {
        z = plug(zevrin_description(), true);
        events_before = printed_events.size();
        // Every tenth cycle waits for the whole read; the others pull the device out while
        // the read is running and reports are still on their way.
        if (i % 10 == 0)
            ASSERT_TRUE(run_until(read_shown)) << "cycle " << i;
        else
            ASSERT_TRUE(run_until([&] { return device_connected && z->received_count() >= 1u + i % 9; }))
                << "cycle " << i;
        unplug(z);
        ASSERT_TRUE(run_until([] { return device_connected == 0; })) << "cycle " << i;
        // Events of one connection arrive in the order sent, none twice.
        for (size_t k = events_before + 1; k < printed_events.size(); k++)
            ASSERT_EQ(printed_events[k], printed_events[k - 1] + 1) << "cycle " << i;
    }
    drain();
    EXPECT_TRUE(seen_dialogs.empty());
    expect_nothing_left_behind();
}

TEST_F(Fault, ABurstOfOtherHidDevicesLeavesTheConnectedOneUndisturbed)
{
    zevrin_device *z = plug(zevrin_description(), true);
    ASSERT_TRUE(run_until(read_shown)) << state();
    // Warm-up of the other device kind.
    emulated_device *m = emulated_device_plug(testbed, mouse_description());
    emulated_device_unplug(m);
    run_until([] { return false; }, 100);
    take_baseline();
    const size_t requests = z->received_count();

    // Twenty mice arrive and leave in a burst, a Zevrin Mini among them, while the Zevrin keeps
    // sending reports (answers to a read started meanwhile, and events after each).
    std::vector<emulated_device *> burst;
    for (int i = 0; i < 20; i++) {
        burst.push_back(emulated_device_plug(testbed, mouse_description()));
        if (i == 10)
            burst.push_back(emulated_device_plug(testbed, zevrin_mini_description()));
        if (i == 5)
            read_config();
        drain();
    }
    for (emulated_device *d : burst) {
        emulated_device_unplug(d);
        drain();
    }
    ASSERT_TRUE(run_until([&] { return z->received_count() >= requests + 9 && read_shown(); }));
    // Let every rescan that the burst caused finish.
    run_until([] { return false; }, 300);

    // The Zevrin stayed connected throughout: no new read started by itself, and the one
    // message is about the Mini.
    EXPECT_EQ(device_connected, 1);
    EXPECT_EQ(connected_device_model, 0);
    EXPECT_EQ(z->received_count(), requests + 9);
    ASSERT_EQ(seen_dialogs.size(), 1u);
    EXPECT_EQ(seen_dialogs[0].text, multiple_devices_text);
    for (size_t k = 1; k < printed_events.size(); k++)
        ASSERT_EQ(printed_events[k], printed_events[k - 1] + 1);

    // And it still takes a write, byte for byte.
    seen_dialogs.clear();
    switch_action[2] = {1, 0x1E, 5, 0};
    write_config();
    ASSERT_TRUE(run_until([] { return writing_config == 0 && !seen_dialogs.empty(); }));
    EXPECT_EQ(seen_dialogs[0].text, written_text);
    ASSERT_TRUE(run_until([&] { return z->received_count() >= requests + 9 + 10; }));
    {
        std::lock_guard lock(z->mutex);
        EXPECT_EQ(z->received[requests + 9 + 2], (report9{0, 0x04, 2, 1, 0x1E, 5, 0, 0, 0}));
        EXPECT_EQ(z->received.back(), (report9{0, 0x08, 0, 0, 0, 0, 0, 0, 0}));
    }
    expect_nothing_left_behind();
}

}  // namespace
