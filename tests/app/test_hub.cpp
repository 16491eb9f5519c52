// The device event hub over the real GLib main loop: registrations at start-up, connection
// notices, input reports, and the order in which notices from other threads are handled.
#include <gtest/gtest.h>

#include <thread>

#include "app/hub.h"
#include "device/config.h"
#include "device/protocol.h"
#include "tests/device/spine_test.h"
#include "window/window.h"

namespace {

const char *const multiple_devices_text =
    "There seems to be more than one Zevrin device connected. Please disconnect all devices "
    "except the one you want to configure.";

using stand_in::writes;

class Hub : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_spine_state();
        reading_config = 1;  // as at program start
        device_zevrin = -1;
        device_zevrin_mini = -1;
        mhid_init();
    }

    void TearDown() override
    {
        // A read still running would end in a later test.
        if (reading_config && device_connected)
            end_read(connected_device_id_in);
    }

    static void report(int device, std::array<uint8_t, 9> bytes)
    {
        hid_report_cb(nullptr, device, bytes.data(), static_cast<int>(bytes.size()));
    }

    // The device answers the requests of the read, every switch (but `except`) with a mouse
    // click and the settings with the defaults; the read is over after the wait that follows.
    static void end_read(int device, int except = -1)
    {
        drain();
        for (int i = 0; i < model_n_switches[connected_device_model]; i++)
            if (i != except)
                report(device, {0x00, 0x09, 0x00, uint8_t(i), 0x00, uint8_t(i % 4), 0x00, 0x01, 0x00});
        report(device, {0x00, 0x0A, 0x00, 0x05, 0x12, 0x07, 0x28, 0x96, 0x73});
        ASSERT_TRUE(run_until([] { return reading_config == 0; }));
    }

    static std::vector<stand_in::written> read_requests(int id, int n)
    {
        std::vector<stand_in::written> r;
        for (int i = 0; i < n; i++)
            r.push_back(report_to(id, {0x00, 0x09, 0x00, static_cast<uint8_t>(i), 0, 0, 0, 0, 0}));
        r.push_back(report_to(id, {0x00, 0x09, 0x01, 0x00, 0, 0, 0, 0, 0}));
        return r;
    }

    // The registration ids as start-up makes them, with no device present.
    static void register_none()
    {
        register_devices();
        drain();
        writes.clear();
    }
};

TEST_F(Hub, RegistersZevrinThenMiniWithTheirReportLengths)
{
    register_none();
    ASSERT_EQ(stand_in::registrations.size(), 2u);
    const auto &z = stand_in::registrations[0];
    const auto &m = stand_in::registrations[1];
    EXPECT_EQ(device_zevrin, 0);
    EXPECT_EQ(device_zevrin_mini, 1);
    EXPECT_EQ((std::array{z.vendor_id, z.product_id, z.usage_page, z.input_len, z.output_len}),
              (std::array{0xEE50, 0x0102, 0xFF00, 9, 9}));
    EXPECT_EQ((std::array{m.vendor_id, m.product_id, m.usage_page, m.input_len, m.output_len}),
              (std::array{0xEE50, 0x0103, 0xFF00, 9, 9}));
    for (const auto &r : stand_in::registrations) {
        EXPECT_EQ(r.connected_cb, hid_connected_cb);
        EXPECT_EQ(r.disconnected_cb, hid_disconnected_cb);
        EXPECT_EQ(r.report_cb, hid_report_cb);
    }
    // Both found absent: only refreshes, no device, nothing sent.
    EXPECT_EQ(device_connected, 0);
    EXPECT_TRUE(seen_dialogs.empty());
}

TEST_F(Hub, ZevrinPresentAtStartIsTakenOnceTheLoopRuns)
{
    stand_in::present_products = {0x0102};
    register_devices();
    EXPECT_EQ(device_connected, 0);  // the notice waits for the main loop
    drain();
    EXPECT_EQ(device_connected, 1);
    EXPECT_EQ(connected_device_model, 0);
    EXPECT_EQ(connected_device_id_out, 0);
    EXPECT_EQ(connected_device_id_in, 0);
    EXPECT_EQ(reading_config, 1);
    EXPECT_EQ(writes, read_requests(0, 8));
    end_read(0);
}

TEST_F(Hub, BothModelsAtStartTakeTheZevrinAndRefuseTheMini)
{
    stand_in::present_products = {0x0102, 0x0103};
    register_devices();
    drain();
    EXPECT_EQ(device_connected, 1);
    EXPECT_EQ(connected_device_model, 0);
    EXPECT_EQ(connected_device_id_in, 0);
    ASSERT_EQ(seen_dialogs.size(), 1u);
    EXPECT_EQ(seen_dialogs[0].title, "Zevrin");
    EXPECT_EQ(seen_dialogs[0].text, multiple_devices_text);
    EXPECT_EQ(writes, read_requests(0, 8));  // nothing goes to the Mini
    end_read(0);
}

TEST_F(Hub, SecondDeviceIsRefusedAndLeavesTheConnectionAlone)
{
    register_none();
    hid_connected_cb(nullptr, 0);
    drain();
    end_read(0);
    const auto record = switch_action;

    hid_connected_cb(nullptr, 1);
    drain();
    ASSERT_EQ(seen_dialogs.size(), 1u);
    EXPECT_EQ(seen_dialogs[0].text, multiple_devices_text);
    EXPECT_EQ(device_connected, 1);
    EXPECT_EQ(connected_device_model, 0);
    EXPECT_EQ(reading_config, 0);  // no new read

    // Reports of the refused device are dropped; those of the connected one are taken.
    read_config();
    drain();
    report(1, {0x00, 0x09, 0x00, 0x00, 0x02, 0x06, 0x00, 0x00, 0x00});
    drain();
    EXPECT_EQ(switch_action, record);
    report(0, {0x00, 0x09, 0x00, 0x00, 0x02, 0x05, 0x00, 0x00, 0x00});
    end_read(0, 0);
    EXPECT_EQ(switch_action[0], (action_record{2, 5, 0, 0}));
    EXPECT_EQ(config_valid, 1);

    // Unplugging the refused device changes nothing but the window.
    hid_disconnected_cb(nullptr, 1);
    drain();
    EXPECT_EQ(device_connected, 1);
    EXPECT_EQ(config_valid, 1);
    EXPECT_EQ(connected_device_id_out, 0);
    EXPECT_EQ(writes.size(), 18u);
}

TEST_F(Hub, WhenTheDeviceInUseLeavesARefusedOneStillPresentIsTakenAndRead)
{
    register_none();
    hid_connected_cb(nullptr, 0);
    hid_connected_cb(nullptr, 1);
    drain();
    end_read(0);
    writes.clear();

    // The Zevrin leaves: the Mini, refused until now, is read as if just plugged in.
    hid_disconnected_cb(nullptr, 0);
    drain();
    EXPECT_EQ(connected_device_model, 1);
    EXPECT_EQ(connected_device_id_out, 1);
    EXPECT_EQ(writes, read_requests(1, 2));
    end_read(1);

    // A refused device that left meanwhile is not taken: no device, and the model stays named.
    hid_connected_cb(nullptr, 0);
    hid_disconnected_cb(nullptr, 0);
    hid_disconnected_cb(nullptr, 1);
    drain();
    EXPECT_EQ(device_connected, 0);
    EXPECT_EQ(connected_device_id_out, -1);
    EXPECT_EQ(connected_device_model, 1);
    EXPECT_EQ(writes.size(), 3u);
}

TEST_F(Hub, ReplugStartsANewRead)
{
    register_none();
    hid_connected_cb(nullptr, 0);
    drain();
    end_read(0);
    hid_disconnected_cb(nullptr, 0);
    drain();
    EXPECT_EQ(device_connected, 0);
    writes.clear();

    hid_connected_cb(nullptr, 0);
    drain();
    EXPECT_EQ(device_connected, 1);
    EXPECT_EQ(reading_config, 1);
    EXPECT_EQ(writes, read_requests(0, 8));
    end_read(0);
}

TEST_F(Hub, ConnectedAgainWithoutADisconnectIsOnlyARefresh)
{
    // A scan whose listing failed leaves the registration in an unknown state; the next one
    // reports the same device connected again, with no disconnect in between.
    register_none();
    hid_connected_cb(nullptr, 0);
    drain();
    end_read(0);
    writes.clear();

    hid_connected_cb(nullptr, 0);
    drain();
    EXPECT_TRUE(seen_dialogs.empty());
    EXPECT_EQ(device_connected, 1);
    EXPECT_EQ(connected_device_id_out, 0);
    EXPECT_EQ(connected_device_model, 0);
    EXPECT_EQ(reading_config, 0);
    EXPECT_TRUE(writes.empty());
}

TEST_F(Hub, SettingsReplyAlreadyQueuedWhenTheWaitRunsOutStillEndsTheRead)
{
    register_none();
    read_config_timeout_ms = 100;
    hid_connected_cb(nullptr, 0);
    // Up to the settings request, which starts the wait for its reply.
    ASSERT_TRUE(run_until([] { return read_config_timeout_id != 0; }));
    // The replies arrive and are queued for the GUI thread, which is busy until the wait is over.
    for (uint8_t i = 0; i < 8; i++)
        report(0, {0x00, 0x09, 0x00, i, 0x00, 0x01, 0x00, 0x01, 0x00});
    report(0, {0x00, 0x0A, 0x00, 0x05, 0x12, 0x07, 0x28, 0x96, 0x73});
    g_usleep(2 * 1000 * static_cast<gulong>(read_config_timeout_ms));
    ASSERT_TRUE(run_until([] { return reading_config == 0; }));
    drain();
    EXPECT_TRUE(seen_dialogs.empty());
    EXPECT_EQ(config_valid, 1);
    EXPECT_EQ(mouse_speed, (std::array<int, 3>{5, 18, 7}));
}

TEST_F(Hub, TheWindowIsFirstRefreshedAfterAConnectionWithTheReadUnderWay)
{
    register_none();
    hid_connected_cb(nullptr, 0);
    drain();
    end_read(0);
    hid_disconnected_cb(nullptr, 0);
    drain();
    ASSERT_EQ(reading_config, 0);

    // Every refresh sets the main window's title: each one is seen with the read state of
    // that moment. A refresh before the read had begun would show the stale record as ready.
    window_main = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    std::vector<int> reading_at_refresh;
    g_signal_connect(window_main, "notify::title",
                     G_CALLBACK(+[](GObject *, GParamSpec *, gpointer seen) {
                         static_cast<std::vector<int> *>(seen)->push_back(reading_config);
                     }),
                     &reading_at_refresh);
    hid_connected_cb(nullptr, 0);
    drain();
    gtk_widget_destroy(window_main);
    window_main = nullptr;
    ASSERT_FALSE(reading_at_refresh.empty());
    EXPECT_EQ(reading_at_refresh.front(), 1);
    end_read(0);
}

TEST_F(Hub, UnknownRegistrationOnlyRefreshes)
{
    register_none();
    hid_connected_cb(nullptr, 7);
    drain();
    EXPECT_EQ(device_connected, 0);
    EXPECT_TRUE(writes.empty());
    EXPECT_TRUE(seen_dialogs.empty());
}

TEST_F(Hub, NoticesFromOtherThreadsAreHandledInOrderOfArrival)
{
    register_none();
    std::thread watcher([] {
        hid_connected_cb(nullptr, 0);
        hid_disconnected_cb(nullptr, 0);
        hid_connected_cb(nullptr, 1);
    });
    watcher.join();
    drain();
    EXPECT_EQ(device_connected, 1);
    EXPECT_EQ(connected_device_model, 1);
    EXPECT_EQ(connected_device_id_in, 1);
    EXPECT_TRUE(seen_dialogs.empty());  // the Mini came after the Zevrin had gone

    // The Mini's read is under way.
    std::thread reader([] {
        // Replies for switch 1 in a row: the last one must be what stays.
        for (uint8_t code = 1; code <= 100; code++)
            report(1, {0x00, 0x09, 0x00, 0x00, 0x02, code, 0x00, 0x01, 0x00});
        // From the Zevrin, which is no longer the device whose reports count.
        report(0, {0x00, 0x09, 0x00, 0x01, 0x02, 0x07, 0x00, 0x00, 0x00});
        report(1, {0x00, 0x09, 0x00, 0x01, 0x04, 0x08, 0x00, 0x01, 0x00});
        report(1, {0x00, 0x0A, 0x00, 0x05, 0x12, 0x07, 0x28, 0x96, 0x73});
    });
    reader.join();
    ASSERT_TRUE(run_until([] { return reading_config == 0; }));
    EXPECT_EQ(config_valid, 1);
    EXPECT_EQ(switch_action[0], (action_record{2, 100, 0, 1}));
    EXPECT_EQ(switch_action[1], (action_record{4, 8, 0, 1}));
    EXPECT_TRUE(seen_dialogs.empty());
}

TEST_F(Hub, ReportIsCopiedBeforeTheModuleReusesItsBuffer)
{
    register_none();
    hid_connected_cb(nullptr, 0);
    drain();
    std::array<uint8_t, 9> buffer = {0x00, 0x09, 0x00, 0x03, 0x01, 0x2C, 0x04, 0x00, 0x00};
    hid_report_cb(nullptr, 0, buffer.data(), 9);
    buffer = {0x00, 0x09, 0x00, 0x03, 0x05, 0x01, 0x00, 0x00, 0x00};  // the next reply
    hid_report_cb(nullptr, 0, buffer.data(), 9);
    buffer.fill(0xFF);
    end_read(0, 3);
    EXPECT_EQ(switch_action[3], (action_record{5, 1, 0, 0}));
}

TEST_F(Hub, NodeWithoutPermissionIsExplainedOncePerNode)
{
    register_none();
    const std::string node = "/dev/hidraw7";
    std::thread watcher([&node] {
        stand_in::access_denied(node.c_str());
        // Rescans on later device changes keep refusing the node.
        for (int i = 0; i < 3; i++) {
            stand_in::device_change();
            stand_in::access_denied(node.c_str());
        }
    });
    watcher.join();
    drain();
    ASSERT_EQ(seen_dialogs.size(), 1u);
    EXPECT_EQ(seen_dialogs[0].title, "Zevrin");
    const std::string &text = seen_dialogs[0].text;
    EXPECT_NE(text.find("/dev/hidraw7"), std::string::npos) << text;
    EXPECT_NE(text.find("70-zevrin.rules"), std::string::npos) << text;
    EXPECT_NE(text.find("/etc/udev/rules.d"), std::string::npos) << text;
    EXPECT_NE(text.find("sudo udevadm trigger"), std::string::npos) << text;

    // Another node is news.
    stand_in::access_denied("/dev/hidraw8");
    drain();
    ASSERT_EQ(seen_dialogs.size(), 2u);
    EXPECT_NE(seen_dialogs[1].text.find("/dev/hidraw8"), std::string::npos);

    // Unplugged: the rescan after that change does not refuse it. Plugged in again without
    // the rule: the message comes back.
    stand_in::device_change();
    stand_in::device_change();
    stand_in::access_denied(node.c_str());
    drain();
    ASSERT_EQ(seen_dialogs.size(), 3u);
    EXPECT_NE(seen_dialogs[2].text.find("/dev/hidraw7"), std::string::npos);
}

}  // namespace
