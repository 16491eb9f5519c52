// The input interfaces of a box over umockdev: composite boxes plugged in beside other
// devices, their sibling nodes listed with their descriptors, read by the reader thread
// (read-only, stoppable, told when a node goes), and their reports mapped to switches.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <algorithm>
#include <string>
#include <unistd.h>
#include <vector>

#include "device/describe.h"
#include "device/switch_test.h"
#include "hid/hid_inputs.h"
#include "tests/hid/emulated_device.h"

namespace {

// What the reader told, from its thread.
struct heard {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<size_t, std::vector<unsigned char>>> reports;
    std::vector<size_t> gone;

    hid_input_reader::report_fn report_cb()
    {
        return [this](size_t index, const unsigned char *data, size_t length) {
            std::lock_guard lock(mutex);
            reports.emplace_back(index, std::vector<unsigned char>(data, data + length));
            changed.notify_all();
        };
    }
    hid_input_reader::gone_fn gone_cb()
    {
        return [this](size_t index) {
            std::lock_guard lock(mutex);
            gone.push_back(index);
            changed.notify_all();
        };
    }
    // Only a guard against a hung test: the reader is woken by the report itself.
    bool wait(size_t n_reports, size_t n_gone)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), [&] {
            return reports.size() >= n_reports && gone.size() >= n_gone;
        });
    }
};

// The access mode and status flags of the descriptors this process has open on `pty`.
std::vector<int> open_flags(const std::string &pty)
{
    std::vector<int> flags;
    DIR *dir = opendir("/proc/self/fd");
    while (dirent *e = readdir(dir)) {
        char target[256] = {};
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) > 0 && pty == target)
            flags.push_back(fcntl(atoi(e->d_name), F_GETFL));
    }
    closedir(dir);
    return flags;
}

class HidInputs : public ::testing::Test {
protected:
    void SetUp() override { testbed = emulated_testbed_new(); }
    void TearDown() override { emulated_testbed_free(testbed); }
    UMockdevTestbed *testbed = nullptr;
};

TEST_F(HidInputs, TheOtherInterfacesOfTheBoxAreListedWithTheirDescriptors)
{
    // Other devices around it, one of them a box of the same model without input interfaces.
    emulated_device *mouse = emulated_device_plug(testbed, mouse_description());
    emulated_device *plain = emulated_device_plug(testbed, zevrin_description());
    emulated_composite *box = emulated_composite_plug(testbed, zevrin_composite_description());
    emulated_composite *numbered = emulated_composite_plug(testbed, zevrin_numbered_composite_description());

    const std::vector<hid_input_node> inputs = hid_sibling_inputs(emulated_device_node(emulated_composite_interface(box, 0)));
    ASSERT_EQ(inputs.size(), 3u);
    const uint16_t usages[] = {0x06, 0x02, 0x04};  // keyboard, mouse, joystick
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(inputs[i].devnode, emulated_device_node(emulated_composite_interface(box, i + 1)));
        ASSERT_EQ(inputs[i].descriptor.collections.size(), 1u);
        EXPECT_EQ(inputs[i].descriptor.collections[0].usage, usages[i]);
        EXPECT_FALSE(inputs[i].descriptor.input_numbered);
    }
    const std::vector<hid_input_node> one =
        hid_sibling_inputs(emulated_device_node(emulated_composite_interface(numbered, 0)));
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].descriptor.collections.size(), 3u);
    EXPECT_TRUE(one[0].descriptor.input_numbered);
    // Asked from an input interface, the configuration interface is among the others.
    EXPECT_EQ(hid_sibling_inputs(emulated_device_node(emulated_composite_interface(box, 2))).size(), 3u);

    EXPECT_TRUE(hid_sibling_inputs(emulated_device_node(plain)).empty());
    EXPECT_TRUE(hid_sibling_inputs("/dev/hidraw99").empty());
    EXPECT_TRUE(hid_sibling_inputs(nullptr).empty());
    emulated_composite_unplug(numbered);
    emulated_composite_unplug(box);
    emulated_device_unplug(plain);
    emulated_device_unplug(mouse);
}

TEST_F(HidInputs, ReportsOfEveryInterfaceReachTheSwitchTestAndUnplugEndsTheReading)
{
    // 1 Space, 2 left click, 3 joystick button 2; the box as both layouts.
    configuration c = {};
    c.switches.fill({99, 0, 0, 0});
    c.switches[0] = {kind_keyboard_key, 0x2C, 0, 0};
    c.switches[1] = {kind_mouse_button, 0, 0, 0};
    c.switches[2] = {kind_joystick_button, 1, 0, 0};
    for (bool with_ids : {false, true}) {
        SCOPED_TRACE(with_ids ? "one interface with report IDs" : "an interface each");
        emulated_composite *box = emulated_composite_plug(
            testbed, with_ids ? zevrin_numbered_composite_description() : zevrin_composite_description());
        const std::vector<hid_input_node> inputs =
            hid_sibling_inputs(emulated_device_node(emulated_composite_interface(box, 0)));
        switch_test test(c, max_switches);
        for (const hid_input_node &n : inputs)
            test.add_interface(n.descriptor);

        heard h;
        hid_input_reader reader;
        std::string error;
        ASSERT_TRUE(reader.start(inputs, h.report_cb(), h.gone_cb(), &error)) << error;
        EXPECT_TRUE(reader.running());
        std::string second_error;
        EXPECT_FALSE(reader.start(inputs, h.report_cb(), h.gone_cb(), &second_error));
        EXPECT_FALSE(second_error.empty());
        // Opened for reading only, without blocking, closed on exec.
        for (size_t i = 0; i < inputs.size(); i++) {
            bool read_only = false;
            for (int flags : open_flags(emulated_device_pty_path(emulated_composite_interface(box, i + 1))))
                read_only = read_only || ((flags & O_ACCMODE) == O_RDONLY && (flags & O_NONBLOCK));
            EXPECT_TRUE(read_only) << i;
        }

        // (interface of the box, report): press and release on each.
        std::vector<std::pair<size_t, std::vector<unsigned char>>> sent;
        if (with_ids) {
            std::vector<unsigned char> space(15, 0), keys_up(15, 0);
            space[0] = keys_up[0] = 1;
            space[2 + 0x2C / 8] = 1 << (0x2C % 8);
            sent = {{1, space}, {1, keys_up}, {1, {2, 1, 0, 0, 0}}, {1, {2, 0, 0, 0, 0}},
                    {1, {3, 0, 0, 0x0F, 0x02}}, {1, {3, 0, 0, 0x0F, 0}}};
        } else {
            sent = {{1, {0, 0, 0x2C, 0, 0, 0, 0, 0}}, {1, {0, 0, 0, 0, 0, 0, 0, 0}},
                    {2, {1, 0, 0, 0}}, {2, {0, 0, 0, 0}}, {3, {0, 0, 0x0F, 0x02}}, {3, {0, 0, 0x0F, 0}}};
        }
        std::vector<std::string> lines;
        for (size_t i = 0; i < sent.size(); i++) {
            emulated_device_send(emulated_composite_interface(box, sent[i].first), sent[i].second.data(),
                                 sent[i].second.size());
            ASSERT_TRUE(h.wait(i + 1, 0));
            std::lock_guard lock(h.mutex);
            EXPECT_EQ(h.reports[i].first, sent[i].first - 1);
            EXPECT_EQ(h.reports[i].second, sent[i].second);
            for (const switch_event &e : test.report(h.reports[i].first, h.reports[i].second.data(),
                                                     h.reports[i].second.size(), static_cast<int64_t>(i)))
                lines.push_back(switch_numbers_text(e.switches) + (e.pressed ? " pressed" : " released"));
        }
        EXPECT_EQ(lines, (std::vector<std::string>{"1 pressed", "1 released", "2 pressed", "2 released",
                                                   "3 pressed", "3 released"}));

        // The box leaves: every node says so once, and stopping does not hang.
        emulated_composite_unplug(box);
        ASSERT_TRUE(h.wait(sent.size(), inputs.size()));
        reader.stop();
        EXPECT_FALSE(reader.running());
        std::lock_guard lock(h.mutex);
        std::vector<size_t> gone = h.gone;
        std::sort(gone.begin(), gone.end());
        EXPECT_EQ(gone, (with_ids ? std::vector<size_t>{0} : std::vector<size_t>{0, 1, 2}));
    }
}

TEST_F(HidInputs, StoppingAnIdleReaderReturnsAndANodeThatCannotBeOpenedIsSaid)
{
    emulated_composite *box = emulated_composite_plug(testbed, zevrin_composite_description());
    std::vector<hid_input_node> inputs = hid_sibling_inputs(emulated_device_node(emulated_composite_interface(box, 0)));
    heard h;
    {
        hid_input_reader reader;
        std::string error;
        ASSERT_TRUE(reader.start(inputs, h.report_cb(), h.gone_cb(), &error)) << error;
        reader.stop();
        reader.stop();
        // Started again after a stop, and left to the destructor.
        ASSERT_TRUE(reader.start(inputs, h.report_cb(), h.gone_cb(), &error)) << error;
    }
    const std::string pty = emulated_device_pty_path(emulated_composite_interface(box, 1));
    EXPECT_EQ(open_flags(pty).size(), 1u);  // the emulated device's own end only: nothing leaked
    inputs.push_back({"/dev/hidraw77", "", {}});
    hid_input_reader reader;
    std::string error;
    EXPECT_FALSE(reader.start(inputs, h.report_cb(), h.gone_cb(), &error));
    EXPECT_NE(error.find("/dev/hidraw77"), std::string::npos) << error;
    EXPECT_FALSE(reader.running());
    EXPECT_EQ(open_flags(pty).size(), 1u);
    std::lock_guard lock(h.mutex);
    EXPECT_TRUE(h.reports.empty());
    emulated_composite_unplug(box);
}

}  // namespace
