// The demo device under the real HID registry: its scan, its reader thread and its writes, with
// only the platform layer simulated.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <glib.h>
#include <mutex>
#include <thread>
#include <vector>

#include "hid/hid_demo.h"
#include "hid/mhid.h"

namespace {

using report = std::vector<unsigned char>;

struct notice {
    char kind; // 'c' connected, 'd' disconnected, 'r' report
    int id;
    std::thread::id thread;
    report data;
};

std::mutex notices_mutex;
std::condition_variable notices_changed;
std::vector<notice> notices;

void record(notice n)
{
    {
        std::lock_guard lock(notices_mutex);
        notices.push_back(std::move(n));
    }
    notices_changed.notify_all();
}

void connected_cb(void *, int device)
{
    record({'c', device, std::this_thread::get_id(), {}});
}
void disconnected_cb(void *, int device)
{
    record({'d', device, std::this_thread::get_id(), {}});
}
void report_cb(void *, int device, unsigned char *data, int length)
{
    record({'r', device, std::this_thread::get_id(), report(data, data + length)});
}

class DemoDevice : public testing::Test {
protected:
    void TearDown() override
    {
        mhid_terminate();
        mhid_use_platform(nullptr);
        std::lock_guard lock(notices_mutex);
        notices.clear();
    }

    // Registers the Zevrin and the Zevrin Mini as the program does.
    void start(int model)
    {
        mhid_use_platform(hid_demo_platform(model));
        start_registry();
    }

    // Ends the run and forgets what it reported.
    void stop()
    {
        mhid_terminate();
        std::lock_guard lock(notices_mutex);
        notices.clear();
        taken = 0;
    }

    void start_registry()
    {
        mhid_init();
        zevrin = mhid_add_device(0xEE50, 0x0102, 0xFF00, 9, 9);
        mhid_set_callbacks(zevrin, connected_cb, nullptr, disconnected_cb, nullptr, report_cb, nullptr);
        mini = mhid_add_device(0xEE50, 0x0103, 0xFF00, 9, 9);
        mhid_set_callbacks(mini, connected_cb, nullptr, disconnected_cb, nullptr, report_cb, nullptr);
    }

    static std::vector<notice> connection_notices()
    {
        std::lock_guard lock(notices_mutex);
        std::vector<notice> out;
        for (const notice &n : notices)
            if (n.kind != 'r')
                out.push_back(n);
        return out;
    }

    // Sends one command to registration `id` and returns the next report that arrives from it.
    // Reports are taken in order, so a command the device does not answer shows as the answer
    // to the following command arriving instead.
    report command(int id, std::array<unsigned char, 9> bytes)
    {
        EXPECT_EQ(mhid_write(id, bytes.data(), 9), 9);
        return next_report(id);
    }

    void send(int id, std::array<unsigned char, 9> bytes)
    {
        EXPECT_EQ(mhid_write(id, bytes.data(), 9), 9);
    }

    report next_report(int id)
    {
        std::unique_lock lock(notices_mutex);
        // The bound only keeps a broken build from hanging the suite.
        const bool arrived = notices_changed.wait_for(lock, std::chrono::seconds(20), [&] {
            for (size_t i = taken; i < notices.size(); i++)
                if (notices[i].kind == 'r' && notices[i].id == id)
                    return true;
            return false;
        });
        if (!arrived) {
            ADD_FAILURE() << "no report from registration " << id;
            return {};
        }
        for (; taken < notices.size(); taken++) {
            if (notices[taken].kind == 'r' && notices[taken].id == id) {
                reader_thread = notices[taken].thread;
                return notices[taken++].data;
            }
        }
        return {};
    }

    int zevrin = -1;
    int mini = -1;
    size_t taken = 0;
    std::thread::id reader_thread;
};

TEST(DemoDeviceNames, ModelsAreNamedAsTheUserTypesThem)
{
    EXPECT_EQ(hid_demo_model("zevrin"), 0);
    EXPECT_EQ(hid_demo_model("Zevrin"), 0);
    EXPECT_EQ(hid_demo_model("mini"), 1);
    EXPECT_EQ(hid_demo_model("zevrin-mini"), 1);
    EXPECT_EQ(hid_demo_model("zevrin_mini"), 1);
    EXPECT_EQ(hid_demo_model("MINI"), 1);
    EXPECT_EQ(hid_demo_model(""), -1);
    EXPECT_EQ(hid_demo_model("zevrin2"), -1);
    EXPECT_EQ(hid_demo_model(nullptr), -1);
}

TEST_F(DemoDevice, ZevrinIsPresentAtStartAndAnswersEachReadOnTheReaderThread)
{
    start(0);
    // Both first scans ran inside mhid_set_callbacks, on this thread.
    std::vector<notice> seen = connection_notices();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].kind, 'c');
    EXPECT_EQ(seen[0].id, zevrin);
    EXPECT_EQ(seen[1].kind, 'd');
    EXPECT_EQ(seen[1].id, mini);
    EXPECT_EQ(seen[0].thread, std::this_thread::get_id());

    // The sample configuration, one reply per switch: 00 09 xx i kind code modifiers auto.
    const std::array<std::array<unsigned char, 4>, 8> sample = {{
        {0, 0, 0, 1},
        {0, 1, 0, 1},
        {0, 2, 0, 0},
        {1, 0x2C, 0, 1},
        {1, 0x28, 1, 1},
        {2, 0, 0, 1},
        {3, 4, 0, 0},
        {4, 2, 0, 0},
    }};
    for (unsigned char i = 0; i < 8; i++) {
        const auto &s = sample[i];
        EXPECT_EQ(command(zevrin, {0, 0x09, 0x00, i, 0, 0, 0, 0, 0}),
                  (report{0, 0x09, 0, i, s[0], s[1], s[2], s[3], 0}))
            << "switch " << int{i};
        EXPECT_NE(reader_thread, std::this_thread::get_id());
    }
    // Settings: 00 0A xx speed speed speed stretch stretch displacement.
    EXPECT_EQ(command(zevrin, {0, 0x09, 0x01, 0, 0, 0, 0, 0, 0}),
              (report{0, 0x0A, 0, 5, 18, 7, 40, 150, 93}));
    // Nothing else happened: no notice of any change, no report from the absent Mini.
    EXPECT_EQ(connection_notices().size(), 2u);
    EXPECT_EQ(mhid_write(mini, std::array<unsigned char, 9>{0, 0x09, 0x01}.data(), 9), 0);
}

TEST_F(DemoDevice, WhatIsWrittenIsReadBackForTheRunOnly)
{
    start(0);
    // Switch 4 becomes Control+Alt+A without auto-release, switch 8 generic event 3; the
    // settings take values that do not fit a signed byte.
    send(zevrin, {0, 0x04, 3, 1, 0x04, 5, 0, 0, 0});
    send(zevrin, {0, 0x04, 7, 5, 3, 0, 0, 0, 0});
    send(zevrin, {0, 0x07, 12, 12, 12, 200, 150, 127, 0});
    send(zevrin, {0, 0x08, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(command(zevrin, {0, 0x09, 0x00, 3, 0, 0, 0, 0, 0}), (report{0, 0x09, 0, 3, 1, 0x04, 5, 0, 0}));
    EXPECT_EQ(command(zevrin, {0, 0x09, 0x00, 7, 0, 0, 0, 0, 0}), (report{0, 0x09, 0, 7, 5, 3, 0, 0, 0}));
    EXPECT_EQ(command(zevrin, {0, 0x09, 0x00, 2, 0, 0, 0, 0, 0}),
              (report{0, 0x09, 0, 2, 0, 2, 0, 0, 0})); // untouched
    EXPECT_EQ(command(zevrin, {0, 0x09, 0x01, 0, 0, 0, 0, 0, 0}),
              (report{0, 0x0A, 0, 12, 12, 12, 200, 150, 127}));

    // A new run starts from the sample configuration again.
    stop();
    start(0);
    EXPECT_EQ(command(zevrin, {0, 0x09, 0x00, 3, 0, 0, 0, 0, 0}), (report{0, 0x09, 0, 3, 1, 0x2C, 0, 1, 0}));
}

TEST_F(DemoDevice, MiniHasTwoSwitchesAndIgnoresTheOthers)
{
    start(1);
    std::vector<notice> seen = connection_notices();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].kind, 'd');
    EXPECT_EQ(seen[0].id, zevrin);
    EXPECT_EQ(seen[1].kind, 'c');
    EXPECT_EQ(seen[1].id, mini);

    EXPECT_EQ(command(mini, {0, 0x09, 0x00, 1, 0, 0, 0, 0, 0}), (report{0, 0x09, 0, 1, 1, 0x2C, 0, 1, 0}));
    // Switch 3 does not exist: the write is dropped and the read unanswered, so the next report
    // is the answer to the settings request that follows.
    send(mini, {0, 0x04, 2, 1, 0x04, 0, 0, 0, 0});
    send(mini, {0, 0x09, 0x00, 2, 0, 0, 0, 0, 0});
    EXPECT_EQ(command(mini, {0, 0x09, 0x01, 0, 0, 0, 0, 0, 0}), (report{0, 0x0A, 0, 5, 18, 7, 40, 150, 93}));
    // Unknown commands and reports with a report ID are not answered either.
    send(mini, {0, 0x55, 0, 0, 0, 0, 0, 0, 0});
    send(mini, {1, 0x09, 0x01, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(command(mini, {0, 0x09, 0x00, 0, 0, 0, 0, 0, 0}), (report{0, 0x09, 0, 0, 0, 0, 0, 1, 0}));
}

TEST_F(DemoDevice, EnvironmentChoosesTheModelAndRejectsUnknownNames)
{
    g_unsetenv("ZEVRIN_DEMO");
    EXPECT_FALSE(hid_demo_use_from_environment());
    g_setenv("ZEVRIN_DEMO", "toaster", TRUE);
    EXPECT_FALSE(hid_demo_use_from_environment());
    g_setenv("ZEVRIN_DEMO", "mini", TRUE);
    EXPECT_TRUE(hid_demo_use_from_environment());
    g_unsetenv("ZEVRIN_DEMO");
    start_registry();
    std::vector<notice> seen = connection_notices();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].kind, 'c');
    EXPECT_EQ(seen[1].id, mini);
}

TEST_F(DemoDevice, ShutdownWithRepliesWaitingEndsAndTheNextRunStartsEmpty)
{
    // More replies than a node keeps, then the module shuts down at once: the reader is stopped
    // while its queue is full. The next run's node holds none of them, so its first report is
    // the answer to its own first request.
    start(0);
    for (int i = 0; i < 200; i++)
        send(zevrin, {0, 0x09, 0x01, 0, 0, 0, 0, 0, 0});
    stop();
    start(0);
    EXPECT_EQ(command(zevrin, {0, 0x09, 0x00, 5, 0, 0, 0, 0, 0}), (report{0, 0x09, 0, 5, 2, 0, 0, 1, 0}));
}

} // namespace
