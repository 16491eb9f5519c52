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
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtk/gtk.h>
#include <unistd.h>

#include "app/hub.h"
#include <glib/gstdio.h>

#include "device/config.h"
#include "device/conversation.h"
#include "device/protocol.h"
#include "hid/hid_platform.h"
#include "hid/mhid.h"
#include "tests/fault/fault_support.h"
#include "tests/fault/played_zevrin.h"
#include "window/window.h"

namespace {

const char *const written_text = "Configuration successfully written into the device.";
const std::string interrupted_text =
    "Writing stopped before the end: the device may now hold part of the new configuration and part of the old one.";
const std::string unfinished_text = "The last write into this Zevrin did not finish";

bool starts_with(const std::string &text, const std::string &start)
{
    return text.rfind(start, 0) == 0;
}
const char *const multiple_devices_text =
    "There seems to be more than one Zevrin device connected. Please disconnect all devices "
    "except the one you want to configure.";

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

// And the watcher's progress: how many arrivals and removals it has taken, and how many it had
// taken when it last found none waiting (it had then finished every rescan they caused).
std::mutex watcher_mutex;
int events_taken = 0;
int events_done = 0;

hid_monitor_event counting_next_event(hid_monitor *m)
{
    hid_monitor_event e = hid_linux_platform()->monitor_next_event(m);
    {
        std::lock_guard lock(watcher_mutex);
        if (e == hid_monitor_none)
            events_done = events_taken;
        else if (e == hid_monitor_rescan)
            events_taken++;
    }
    // A test waiting for the watcher runs the main loop: have it look again.
    if (e == hid_monitor_none)
        g_main_context_wakeup(nullptr);
    return e;
}

int watcher_events_done()
{
    std::lock_guard lock(watcher_mutex);
    return events_done;
}

hid_platform hooked_platform()
{
    hid_platform p = *hid_linux_platform();
    p.write_report = hooked_write_report;
    p.monitor_next_event = counting_next_event;
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
    std::vector<played_zevrin *> devices;
    int base_fds = 0;
    int base_threads = 0;

    // Timers an earlier test left running: the end of a read (armed by a settings reply) and the
    // end of a write. They carry no user data, unlike the tests' own time limits; left alone,
    // they would end a read of this test before its time.
    static void drop_pending_timers()
    {
        // The protocol's own timers first, through the ids that the protocol keeps.
        for (guint *id : {&read_config_timeout_id, &read_config_done_id}) {
            if (*id != 0) {
                g_source_remove(*id);
                *id = 0;
            }
        }
        GSource *probe = g_timeout_source_new(1);
        auto *timeout_funcs = const_cast<GSourceFuncs *>(probe->source_funcs);
        g_source_unref(probe);
        while (g_source_remove_by_funcs_user_data(timeout_funcs, nullptr)) {
        }
    }

    void SetUp() override
    {
        drop_pending_timers();
        testbed = emulated_testbed_new();
        device_connected = 0;
        connected_device_model = 0;
        connected_device_id_in = -1;
        connected_device_id_out = -1;
        reading_config = 1;  // as at start-up: no configuration is shown before a read ends
        writing_config = 0;
        // A read that loses its device ends soon after, without a message.
        read_config_timeout_ms = 300;
        set_defaults();
        forget_window_document();  // nothing of an earlier test's rows waits for a box
        before_write = nullptr;
        writes_seen = 0;
        printed_events.clear();
        g_set_print_handler(collect_print);
        mhid_use_platform(&write_hook_platform);
        update_main_window();  // the title of an earlier test's device goes
        mhid_init();
        register_devices();
        drain();
        // Once per run, a whole plug, read and unplug first: threads and fds that GLib, GTK and
        // the testbed start on first use and keep are then part of every baseline, not leaks.
        static bool warmed_up = false;
        if (!warmed_up) {
            played_zevrin *z = plug(zevrin_description(), true);
            ASSERT_TRUE(run_until(read_shown)) << state();
            unplug(z);
            ASSERT_TRUE(run_until([] { return device_connected == 0; }));
            // And a message: the first one loads the dialog's icon and theme parts.
            dialog_info("Zevrin", "warm-up", GTK_WINDOW(window_main));
            run_until([] { return false; }, 100);
            warmed_up = true;
        }
        printed_events.clear();
        seen_dialogs.clear();
        dialog_answers.clear();
        logged_warnings.clear();
        // No write of an earlier test is left unfinished.
        g_unlink((previous_configurations_dir() + "/unfinished-writes").c_str());
    }

    void TearDown() override
    {
        for (played_zevrin *d : devices)
            delete d;
        devices.clear();
        mhid_terminate();
        // Whatever the last notices posted runs now, against a module that is down.
        run_until([] { return false; }, 50);
        drop_pending_timers();
        mhid_use_platform(nullptr);
        g_set_print_handler(nullptr);
        emulated_testbed_free(testbed);
        EXPECT_TRUE(logged_warnings.empty()) << logged_warnings.front();
    }

    played_zevrin *plug(const emulated_description &d, bool events = false, int leave_after = -1)
    {
        auto *z = new played_zevrin(testbed, d);
        z->events = events;
        z->leave_after = leave_after;
        devices.push_back(z);
        EXPECT_TRUE(z->start());
        return z;
    }

    void unplug(played_zevrin *z)
    {
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
        // A leak shows as more than the baseline. Fewer is fine: a worker thread of GLib's
        // own pool, say, may end on its own while the test runs.
        EXPECT_LE(threads_settled(base_threads), base_threads);
        EXPECT_LE(fds_settled(base_fds), base_fds);
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
    played_zevrin *z = plug(zevrin_description(), false, 4);
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
    played_zevrin *z = plug(zevrin_description());
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
    const configuration held = record_configuration();
    switch_action[0] = {0, 2, 0, 1};
    for (int s = 1; s < 8; s++)
        switch_action[s] = {1, 0x04 + s, 0, 1};
    write_config();
    before_write = nullptr;
    ASSERT_TRUE(run_until([] { return writing_config == 0 && !seen_dialogs.empty(); }));
    ASSERT_EQ(seen_dialogs.size(), 1u);
    EXPECT_TRUE(starts_with(seen_dialogs[0].text, interrupted_text)) << seen_dialogs[0].text;
    EXPECT_EQ(count_dialogs(written_text), 0u);
    EXPECT_EQ(z->received_count(), 9u + 4u);  // the read's 9 requests, then 4 records

    ASSERT_TRUE(run_until([] { return device_connected == 0; }));
    std::array<std::array<uint8_t, 4>, 8> mix;
    {
        std::lock_guard lock(z->mutex);
        mix = z->records;
    }
    unplug(z);
    expect_nothing_left_behind();

    // The box comes back holding half of each: the window says its last write did not finish,
    // and writing back what it held before puts exactly that into it again.
    seen_dialogs.clear();
    dialog_answers = {3};  // "Write back the previous configuration"
    z = plug(zevrin_description());
    {
        std::lock_guard lock(z->mutex);
        z->records = mix;
    }
    ASSERT_TRUE(run_until([] { return seen_dialogs.size() >= 2u && writing_config == 0; })) << state();
    EXPECT_TRUE(starts_with(seen_dialogs[0].text, unfinished_text)) << seen_dialogs[0].text;
    EXPECT_EQ(seen_dialogs[1].text, written_text);
    {
        std::lock_guard lock(z->mutex);
        for (size_t s = 0; s < 8; s++) {
            const action_record &a = held.switches[s];
            EXPECT_EQ(z->records[s], (std::array<uint8_t, 4>{uint8_t(a.kind), uint8_t(a.code), uint8_t(a.modifiers),
                                                            uint8_t(a.auto_release)}))
                << "switch " << s + 1;
        }
    }
    EXPECT_EQ(unfinished_write_previous_file(), "");
    unplug(z);
    ASSERT_TRUE(run_until([] { return device_connected == 0; }));
}

TEST_F(Fault, AWriteToADeviceThatLeftBeforeItIsReportedAsFailed)
{
    take_baseline();
    played_zevrin *z = plug(zevrin_description());
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
    EXPECT_TRUE(starts_with(seen_dialogs[0].text, interrupted_text)) << seen_dialogs[0].text;
    ASSERT_TRUE(run_until([] { return device_connected == 0; }));

    // Without any device, the write command sends nothing and says so.
    seen_dialogs.clear();
    write_config();
    ASSERT_TRUE(run_until([] { return writing_config == 0 && !seen_dialogs.empty(); }));
    EXPECT_TRUE(starts_with(seen_dialogs[0].text, interrupted_text)) << seen_dialogs[0].text;
    unplug(z);
    expect_nothing_left_behind();
}

TEST_F(Fault, HundredsOfPlugCyclesWithReportsFlowingLeaveNothingBehind)
{
    take_baseline();
    played_zevrin *z = nullptr;

    const int cycles = 200;
    size_t events_before = 0;
    for (int i = 0; i < cycles; i++) {
        z = plug(zevrin_description(), true);
        events_before = printed_events.size();
        // Every twentieth cycle waits for the whole read; the others pull the device out while
        // the read is running and reports are still on their way.
        if (i % 20 == 0)
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
    EXPECT_TRUE(seen_dialogs.empty()) << (seen_dialogs.empty() ? "" : seen_dialogs[0].text);
    expect_nothing_left_behind();
}

// The resident memory of this process, in kB.
long resident_kb()
{
    long pages = 0, resident = 0;
    FILE *f = fopen("/proc/self/statm", "r");
    if (f != nullptr) {
        if (fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// A box that floods the program with reports while the main loop is held up elsewhere: what
// waits for the loop stays bounded (the rest is dropped and counted), and once the flood is
// over the box is read as usual.
TEST_F(Fault, AFloodOfReportsIsBoundedAndTheBoxIsReadAfterIt)
{
    played_zevrin *z = plug(zevrin_description());
    ASSERT_TRUE(run_until(read_shown)) << state();
    const unsigned dropped = dropped_reports();
    const long before = resident_kb();
    z->flood = true;
    read_config();  // its first request wakes the box, which floods from then on
    drain();
    // The main loop is busy for a while (a long dialog, a slow machine): nothing takes reports.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long during = resident_kb();
    z->flood = false;
    EXPECT_GT(dropped_reports(), dropped + 1000u);
    // Tens of thousands of reports came meanwhile; without a bound each would wait in memory.
    EXPECT_LT(during - before, 8 * 1024) << "kB grown: " << during - before;
    // The read under way may have lost its replies (whether it did depends on how fast the
    // box was); once what the node still holds has come through, a read is complete.
    ASSERT_TRUE(run_until([] { return reading_config == 0; }));
    run_until([] { return false; }, 1000);
    seen_dialogs.clear();
    read_config();
    ASSERT_TRUE(run_until([] { return reading_config == 0; }));
    EXPECT_EQ(config_valid, 1);
    unplug(z);
    ASSERT_TRUE(run_until([] { return device_connected == 0; }));
}

TEST_F(Fault, ABurstOfOtherHidDevicesLeavesTheConnectedOneUndisturbed)
{
    played_zevrin *z = plug(zevrin_description(), true);
    ASSERT_TRUE(run_until(read_shown)) << state();
    // Warm-up of the other device kind.
    const int warm_up_events = watcher_events_done() + 2;
    emulated_device *m = emulated_device_plug(testbed, mouse_description());
    emulated_device_unplug(m);
    ASSERT_TRUE(run_until([&] { return watcher_events_done() >= warm_up_events; }));
    take_baseline();
    const size_t requests = z->received_count();

    // Twenty mice arrive and leave in bursts of seven, a Zevrin Mini among them, while the
    // Zevrin keeps sending reports (answers to a read started meanwhile, and events after each).
    // Between bursts the watcher catches up: the testbed's event socket is small, and the
    // testbed aborts the run when it overflows, where the kernel would only drop events.
    int events = watcher_events_done();
    auto settle = [&](int more) {
        events += more;
        ASSERT_TRUE(run_until([&] { return watcher_events_done() >= events; }, 60000))
            << "watcher done with " << watcher_events_done() << " events of " << events;
    };
    std::vector<emulated_device *> burst;
    for (int i = 0; i < 21; i++) {
        burst.push_back(emulated_device_plug(testbed, i == 10 ? zevrin_mini_description() : mouse_description()));
        if (i == 5)
            read_config();
        drain();
        if (i % 7 == 6)
            settle(7);
    }
    for (size_t i = 0; i < burst.size(); i++) {
        emulated_device_unplug(burst[i]);
        drain();
        if (i % 7 == 6)
            settle(7);
    }
    ASSERT_TRUE(run_until([&] { return z->received_count() >= requests + 9 && read_shown(); }));
    // Let every rescan that the burst caused finish.
    run_until([] { return false; }, 300);

    // The Zevrin stayed connected throughout: no new read started by itself, and the one
    // message is about the Mini.
    EXPECT_EQ(device_connected, 1);
    EXPECT_EQ(connected_device_model, 0);
    EXPECT_EQ(z->received_count(), requests + 9) << "requests before the burst: " << requests << "; " << state();
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
    // The write's ten reports, then the nine requests that read it back.
    ASSERT_EQ(z->received_count(), requests + 9 + 10 + 9);
    {
        std::lock_guard lock(z->mutex);
        EXPECT_EQ(z->received[requests + 9 + 2], (report9{0, 0x04, 2, 1, 0x1E, 5, 0, 0, 0}));
        EXPECT_EQ(z->received[requests + 9 + 9], (report9{0, 0x08, 0, 0, 0, 0, 0, 0, 0}));
    }
    expect_nothing_left_behind();
}

}  // namespace
