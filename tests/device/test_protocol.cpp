// The configuration protocol over the real GLib main loop, with the HID module replaced by a
// recorder of the reports written.
#include <gtest/gtest.h>

#include <memory>

#include <algorithm>

#include "device/config.h"
#include "device/config_file.h"
#include "device/conversation.h"
#include "device/protocol.h"
#include "tests/device/spine_test.h"

namespace {

const char *const written_text = "Configuration successfully written into the device.";
const char *const interrupted_text =
    "Writing stopped before the end: the device may now hold part of the new configuration and part of the "
    "old one.";
const char *const no_answer_text =
    "The device did not send its configuration. Please check the connection and read the "
    "configuration again.";

class Protocol : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_spine_state();
        // Two registrations, as start-up makes them: 0 the Zevrin, 1 the Mini.
        mhid_add_device(0xEE50, 0x0102, 0xFF00, 9, 9);
        mhid_add_device(0xEE50, 0x0103, 0xFF00, 9, 9);
    }

    static void connect(int model)
    {
        device_connected = 1;
        connected_device_model = model;
        connected_device_id_out = model;
        connected_device_id_in = model;
    }

    static void receive(std::array<uint8_t, 9> bytes)
    {
        handle_message(bytes.data(), static_cast<int>(bytes.size()));
    }

    // The replies of a box to the requests of a read: switch i does key 0x04 + i with Shift.
    static void answer_switches(int n, int except = -1)
    {
        for (int i = 0; i < n; i++)
            if (i != except)
                receive({0x00, 0x09, 0x00, uint8_t(i), 0x01, uint8_t(0x04 + i), 0x02, 0x01, 0x00});
    }

    // Runs a read to its end: the requests, every switch's reply and the settings reply, then
    // the wait after it.
    static void finish_read()
    {
        drain();
        answer_switches(model_n_switches[connected_device_model]);
        receive({0x00, 0x0A, 0x00, 0x05, 0x12, 0x07, 0x28, 0x96, 0x73});
        ASSERT_TRUE(run_until([] { return reading_config == 0; }));
    }

    // Waits for the message that ends a write (after the box was read back, when it was).
    static void finish_write()
    {
        ASSERT_TRUE(run_until([] { return !seen_dialogs.empty(); }));
        EXPECT_EQ(writing_config, 0);
        ASSERT_EQ(seen_dialogs.size(), 1u);
        EXPECT_EQ(seen_dialogs[0].title, "Zevrin");
    }

    static bool starts_with(const std::string &text, const char *start)
    {
        return text.rfind(start, 0) == 0;
    }
};

using stand_in::writes;

gboolean send_settings_reply_cb(gpointer)
{
    const std::array<uint8_t, 9> reply = {0x00, 0x0A, 0x00, 0x05, 0x12, 0x07, 0x28, 0x96, 0x73};
    handle_message(reply.data(), 9);
    return G_SOURCE_CONTINUE;
}

TEST_F(Protocol, ZevrinReadRequestsEverySwitchThenTheSettings)
{
    connect(0);
    read_config();
    EXPECT_EQ(reading_config, 1);
    EXPECT_EQ(reading_writing_config_fraction, 1.0);
    EXPECT_TRUE(writes.empty());  // the requests go out from the main loop, one per pass

    drain();
    std::vector<stand_in::written> expected;
    for (uint8_t i = 0; i < 8; i++)
        expected.push_back(report_to(0, {0x00, 0x09, 0x00, i, 0, 0, 0, 0, 0}));
    expected.push_back(report_to(0, {0x00, 0x09, 0x01, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(writes, expected);
    EXPECT_EQ(reading_config, 1);  // only the settings reply ends a read

    finish_read();
    EXPECT_EQ(writes.size(), 9u);  // the chain's last pass sent nothing
}

TEST_F(Protocol, MiniReadRequestsTwoSwitchesThenTheSettings)
{
    connect(1);
    read_config();
    drain();
    const std::vector<stand_in::written> expected = {
        report_to(1, {0x00, 0x09, 0x00, 0x00, 0, 0, 0, 0, 0}),
        report_to(1, {0x00, 0x09, 0x00, 0x01, 0, 0, 0, 0, 0}),
        report_to(1, {0x00, 0x09, 0x01, 0x00, 0, 0, 0, 0, 0}),
    };
    EXPECT_EQ(writes, expected);
    finish_read();
}

TEST_F(Protocol, RepliesFillTheRecordAndTheSettingsReplyEndsTheRead)
{
    connect(0);
    read_config();
    drain();
    for (uint8_t i = 0; i < 8; i++)
        receive({0x00, 0x09, 0x00, i, 0x01, static_cast<uint8_t>(0x04 + i), 0x02, 0x01, 0xEE});
    receive({0x00, 0x0A, 0x5A, 0x0C, 0x0C, 0x0C, 0x28, 0x96, 0x20});
    // Every reply is in: the read ends there and then, with no wait and no deadline left.
    EXPECT_EQ(reading_config, 0);
    EXPECT_EQ(read_config_timeout_id, 0u);
    EXPECT_EQ(read_config_done_id, 0u);

    for (int i = 0; i < 8; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(switch_action[i].kind, 1);
        EXPECT_EQ(switch_action[i].code, 4 + i);
        EXPECT_EQ(switch_action[i].modifiers, 2);
        EXPECT_EQ(switch_action[i].auto_release, 1);
    }
    EXPECT_EQ(mouse_speed, (std::array<int, 3>{12, 12, 12}));
    EXPECT_EQ(mouse_stretch, (std::array<int, 2>{40, -106}));
    EXPECT_EQ(joy_displacement, 32);
    EXPECT_EQ(mouse_speed_index, 1);  // the preset whose numbers these are
    EXPECT_TRUE(seen_dialogs.empty());
    // The box holds what was read, and the record is its configuration.
    EXPECT_EQ(config_valid, 1);
    EXPECT_TRUE(same_configuration(box_configuration, record_configuration(), 8));
}

TEST_F(Protocol, Stretch150IsStoredAsMinus106AndWrittenBackAs0x96)
{
    connect(0);
    read_config();
    finish_read();
    EXPECT_EQ(mouse_speed, (std::array<int, 3>{5, 18, 7}));
    EXPECT_EQ(mouse_stretch, (std::array<int, 2>{40, -106}));
    EXPECT_EQ(joy_displacement, 115);

    writes.clear();
    stand_in::echo_box = true;
    write_config();
    ASSERT_EQ(writes.size(), 10u);
    EXPECT_EQ(writes[8], report_to(0, {0x00, 0x07, 0x05, 0x12, 0x07, 0x28, 0x96, 0x73, 0x00}));
    finish_write();
}

TEST_F(Protocol, DefaultZevrinWriteIsTenReportsThenTheBoxIsReadBack)
{
    stand_in::echo_box = true;
    connect(0);
    write_config();
    // The writes are synchronous: everything has gone out when write_config returns.
    const std::vector<stand_in::written> expected = {
        report_to(0, {0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00}),
        report_to(0, {0x00, 0x04, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00}),
        report_to(0, {0x00, 0x04, 0x02, 0x00, 0x02, 0x00, 0x01, 0x00, 0x00}),
        report_to(0, {0x00, 0x04, 0x03, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00}),
        report_to(0, {0x00, 0x04, 0x04, 0x03, 0x04, 0x00, 0x01, 0x00, 0x00}),
        report_to(0, {0x00, 0x04, 0x05, 0x03, 0x08, 0x00, 0x01, 0x00, 0x00}),
        report_to(0, {0x00, 0x04, 0x06, 0x03, 0x01, 0x00, 0x01, 0x00, 0x00}),
        report_to(0, {0x00, 0x04, 0x07, 0x03, 0x02, 0x00, 0x01, 0x00, 0x00}),
        report_to(0, {0x00, 0x07, 0x05, 0x12, 0x07, 0x28, 0x96, 0x73, 0x00}),
        report_to(0, {0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}),
    };
    EXPECT_EQ(writes, expected);
    EXPECT_EQ(writing_config, 1);
    EXPECT_EQ(reading_writing_config_fraction, 1.0);

    // The box takes its time, then it is read back; the message comes once it gave back what
    // was written.
    EXPECT_EQ(writes.size(), 10u);
    finish_write();
    EXPECT_EQ(writes.size(), 19u);
    EXPECT_EQ(writes[10], report_to(0, {0x00, 0x09, 0x00, 0x00, 0, 0, 0, 0, 0}));
    EXPECT_EQ(writes[18], report_to(0, {0x00, 0x09, 0x01, 0x00, 0, 0, 0, 0, 0}));
    EXPECT_EQ(seen_dialogs[0].text, written_text);
    // What reached the box is what it holds now.
    EXPECT_TRUE(same_configuration(box_configuration, record_configuration(), 8));
}

TEST_F(Protocol, ABoxThatGivesBackSomethingElseDidNotTakeTheWrite)
{
    stand_in::echo_box = true;
    connect(0);
    read_config();
    finish_read();
    const configuration before = box_configuration;
    switch_action[2] = {kind_keyboard_key, 0x2C, 0, 1};
    switch_action[6] = {kind_joystick_button, 3, 0, 1};
    joy_displacement = 64;
    const configuration meant = record_configuration();
    write_config();
    // Between the write and the read-back, the box loses switch 7 and its displacement.
    stand_in::box_held.switches[6] = before.switches[6];
    stand_in::box_held.joy_displacement = 93;
    finish_write();
    EXPECT_TRUE(starts_with(seen_dialogs[0].text, "The device did not take the configuration"));
    EXPECT_NE(seen_dialogs[0].text.find("Switch 7 differs. The mouse speed or the joystick displacement differs."),
              std::string::npos)
        << seen_dialogs[0].text;
    // The record keeps what was meant; the box is known to hold what it gave back.
    EXPECT_TRUE(same_configuration(record_configuration(), meant, 8));
    EXPECT_TRUE(same_configuration(box_configuration, stand_in::box_held, 8));
    EXPECT_EQ(config_valid, 1);
}

TEST_F(Protocol, DefaultMiniWriteIsFourReports)
{
    stand_in::echo_box = true;
    connect(1);
    write_config();
    const std::vector<stand_in::written> expected = {
        report_to(1, {0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00}),
        report_to(1, {0x00, 0x04, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00}),
        report_to(1, {0x00, 0x07, 0x05, 0x12, 0x07, 0x28, 0x96, 0x73, 0x00}),
        report_to(1, {0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}),
    };
    EXPECT_EQ(writes, expected);
    finish_write();
    EXPECT_EQ(seen_dialogs[0].text, written_text);
}

TEST_F(Protocol, ControlAltKeyIsWrittenWithModifiers05)
{
    connect(1);
    switch_action[1] = {kind_keyboard_key, 0x04, 1 | 4, 1};  // Control+Alt+A
    write_config();
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes[1], report_to(1, {0x00, 0x04, 0x01, 0x01, 0x04, 0x05, 0x01, 0x00, 0x00}));
    finish_write();
}

TEST_F(Protocol, GenericEventPrintsALineForPressAndRelease)
{
    connect(0);
    const auto before = switch_action;
    EXPECT_EQ(printed_by([] { receive({0x00, 0x64, 0x03, 0x00, 0, 0, 0, 0, 0}); }),
              "Generic event: 03 press\n");
    EXPECT_EQ(printed_by([] { receive({0x00, 0x64, 0x03, 0x01, 0, 0, 0, 0, 0}); }),
              "Generic event: 03 release\n");
    EXPECT_EQ(printed_by([] { receive({0x00, 0x64, 0x08, 0xFF, 0, 0, 0, 0, 0}); }),
              "Generic event: 08 release\n");
    EXPECT_EQ(switch_action, before);
    EXPECT_EQ(read_config_timeout_id, 0u);
}

TEST_F(Protocol, UnknownMessagesAndSwitchIndicesOutsideTheRecordChangeNothing)
{
    connect(0);
    const auto record = switch_action;
    const auto speed = mouse_speed;
    const auto stretch = mouse_stretch;
    const int displacement = joy_displacement;
    for (uint8_t index : {0x08, 0x09, 0x7F, 0x80, 0xFF})
        receive({0x00, 0x09, 0x00, index, 0x05, 0x01, 0x00, 0x00, 0x00});
    for (uint8_t type : {0x00, 0x0B, 0x63, 0xFF})
        receive({0x00, type, 0x00, 0x01, 0x05, 0x01, 0x00, 0x00, 0x00});
    EXPECT_EQ(switch_action, record);
    EXPECT_EQ(mouse_speed, speed);
    EXPECT_EQ(mouse_stretch, stretch);
    EXPECT_EQ(joy_displacement, displacement);
}

TEST_F(Protocol, BytesBeyondTheReportLengthAreNeverRead)
{
    connect(0);
    read_config();
    drain();
    answer_switches(8, 2);
    // Bytes past `length` hold values that must not show up in the record.
    const std::array<uint8_t, 9> switch_reply = {0x00, 0x09, 0x00, 0x02, 0x01, 0x04, 0x55, 0x55, 0x55};
    handle_message(switch_reply.data(), 6);

    // Exactly as long as the length says, so an overrun shows under the address sanitizer.
    auto settings_reply = std::make_unique<uint8_t[]>(5);
    const uint8_t bytes[5] = {0x00, 0x0A, 0x00, 0x05, 0x12};
    std::copy_n(bytes, 5, settings_reply.get());
    handle_message(settings_reply.get(), 5);
    ASSERT_TRUE(run_until([] { return reading_config == 0; }));
    EXPECT_EQ(config_valid, 1);
    EXPECT_EQ(switch_action[2], (action_record{1, 4, 0, 0}));
    EXPECT_EQ(mouse_speed, (std::array<int, 3>{5, 18, 0}));
    EXPECT_EQ(mouse_stretch, (std::array<int, 2>{0, 0}));
    EXPECT_EQ(joy_displacement, 0);

    read_config();
    drain();
    handle_message(switch_reply.data(), 0);
    handle_message(switch_reply.data(), 1);
    handle_message(switch_reply.data(), -3);
    answer_switches(8, 2);
    receive({0x00, 0x0A, 0x00, 0x05, 0x12, 0x07, 0x28, 0x96, 0x73});
    ASSERT_TRUE(run_until([] { return reading_config == 0; }));
    EXPECT_EQ(config_valid, 0);  // none of the three was switch 3's reply
}

TEST_F(Protocol, RepliesInTheWaitAfterTheSettingsReplyCount)
{
    connect(0);
    read_config();
    drain();
    answer_switches(8, 7);
    receive({0x00, 0x0A, 0x00, 0x05, 0x12, 0x07, 0x28, 0x96, 0x73});
    ASSERT_NE(read_config_done_id, 0u);
    receive({0x00, 0x09, 0x00, 0x07, 0x02, 0x03, 0x00, 0x01, 0x00});
    ASSERT_TRUE(run_until([] { return reading_config == 0; }));
    EXPECT_EQ(config_valid, 1);
    EXPECT_EQ(switch_action[7], (action_record{2, 3, 0, 1}));
    EXPECT_TRUE(seen_dialogs.empty());
}

TEST_F(Protocol, RepliesWithoutARunningReadChangeNothing)
{
    connect(0);
    read_config();
    finish_read();
    const configuration before = record_configuration();
    receive({0x00, 0x09, 0x00, 0x01, 0x02, 0x03, 0x00, 0x01, 0x00});
    receive({0x00, 0x0A, 0x00, 0x0C, 0x0C, 0x0C, 0x28, 0x96, 0x20});
    EXPECT_EQ(read_config_done_id, 0u);
    drain();
    EXPECT_TRUE(same_configuration(record_configuration(), before, max_switches));
    EXPECT_EQ(config_valid, 1);
}

TEST_F(Protocol, AWriteStopsAtTheFirstReportThatDoesNotReachTheBoxAndKeepsWhatItHeld)
{
    connect(0);
    read_config();
    finish_read();
    const configuration box = box_configuration;
    set_defaults();
    writes.clear();
    stand_in::writes_reaching_device = 3;  // the fourth switch report fails
    write_config();
    EXPECT_EQ(writes.size(), 4u);  // nothing after it
    finish_write();
    EXPECT_TRUE(starts_with(seen_dialogs[0].text, interrupted_text)) << seen_dialogs[0].text;
    EXPECT_TRUE(same_configuration(box_configuration, box, 8));
    // What the box held before is in a file, named in the message, and noted as the previous
    // configuration of a box whose write did not finish.
    const std::string kept = unfinished_write_previous_file();
    ASSERT_FALSE(kept.empty());
    EXPECT_NE(seen_dialogs[0].text.find(kept), std::string::npos) << seen_dialogs[0].text;
    config_file_contents contents{};
    std::string error;
    ASSERT_TRUE(load_config_file_contents(kept.c_str(), contents, error)) << error;
    EXPECT_TRUE(same_configuration(contents.config, box, 8));

    // The next write that reaches the box clears the note.
    stand_in::writes_reaching_device = -1;
    stand_in::echo_box = true;
    seen_dialogs.clear();
    write_config();
    finish_write();
    EXPECT_EQ(seen_dialogs[0].text, written_text);
    EXPECT_EQ(unfinished_write_previous_file(), "");
}

TEST_F(Protocol, DeviceLeavingDuringTheWriteEndsWithAFailureMessage)
{
    connect(0);
    stand_in::writes_reaching_device = 9;  // the end-of-write report does not arrive
    write_config();
    finish_write();
    EXPECT_TRUE(starts_with(seen_dialogs[0].text, interrupted_text));
}

TEST_F(Protocol, WriteWithoutADeviceEndsWithAFailureMessage)
{
    connect(0);
    device_connected = 0;
    connected_device_id_out = -1;  // the module refuses the id: nothing is sent at all
    write_config();
    EXPECT_TRUE(writes.empty());
    finish_write();
    EXPECT_TRUE(starts_with(seen_dialogs[0].text, interrupted_text));
}

TEST_F(Protocol, ReadWithoutSettingsReplyEndsWithAMessageAndCanBeRepeated)
{
    const int default_timeout_ms = read_config_timeout_ms;
    read_config_timeout_ms = 100;
    connect(0);
    read_config();
    drain();
    EXPECT_NE(read_config_timeout_id, 0u);
    ASSERT_TRUE(run_until([] { return reading_config == 0; }));
    EXPECT_EQ(read_config_timeout_id, 0u);
    ASSERT_TRUE(run_until([] { return !seen_dialogs.empty(); }));
    EXPECT_EQ(seen_dialogs[0].title, "Zevrin");
    EXPECT_EQ(seen_dialogs[0].text, no_answer_text);

    // The user reads again, and this time the device answers, within the usual wait (the short
    // one could run out on a slow machine before the reply is handed in).
    read_config_timeout_ms = default_timeout_ms;
    writes.clear();
    read_config();
    EXPECT_EQ(reading_config, 1);
    finish_read();
    EXPECT_EQ(writes.size(), 9u);
    EXPECT_EQ(seen_dialogs.size(), 1u);
}

TEST_F(Protocol, ReadWithoutSettingsReplyEndsQuietlyWhenTheDeviceHasGone)
{
    read_config_timeout_ms = 100;
    connect(0);
    read_config();
    drain();
    device_connected = 0;  // unplugged during the read
    connected_device_id_out = -1;
    ASSERT_TRUE(run_until([] { return reading_config == 0; }));
    drain();
    EXPECT_TRUE(seen_dialogs.empty());
}

TEST_F(Protocol, EachReadHasItsDeadlineThatNoStreamOfRepliesProlongs)
{
    connect(0);
    read_config();
    const guint first = read_config_timeout_id;
    ASSERT_NE(first, 0u);
    read_config();  // a new read has its own deadline, from its start
    EXPECT_NE(read_config_timeout_id, 0u);
    EXPECT_NE(read_config_timeout_id, first);
    finish_read();
    EXPECT_EQ(read_config_timeout_id, 0u);
    EXPECT_TRUE(seen_dialogs.empty());

    // A box that keeps sending its settings, one switch never answering: the wait for that
    // switch is not prolonged, and the read ends by its deadline even when that wait is long.
    read_config_timeout_ms = 300;
    read_config_done_delay_ms = 60000;
    read_config();
    drain();
    answer_switches(8, 4);
    const guint streaming = g_timeout_add(20, send_settings_reply_cb, nullptr);
    EXPECT_TRUE(run_until([] { return reading_config == 0; }));
    g_source_remove(streaming);
    EXPECT_EQ(config_valid, 0);
    EXPECT_EQ(read_config_done_id, 0u);
}

TEST_F(Protocol, ReportsBeyondWhatWaitsForTheMainLoopAreDroppedAndMakeTheReadIncomplete)
{
    connect(0);
    read_config();
    drain();
    const unsigned dropped = dropped_reports();
    // A flood of reports while the main loop is busy elsewhere: at most so many wait.
    const std::array<uint8_t, 9> event = {0x00, 0x64, 0x01, 0x00, 0, 0, 0, 0, 0};
    for (size_t i = 0; i < max_waiting_reports + 1000; i++)
        hid_report_cb(nullptr, 0, const_cast<uint8_t *>(event.data()), 9);
    EXPECT_EQ(dropped_reports(), dropped + 1000);
    // Every reply comes after it, but the read may have lost some: it is incomplete.
    std::string printed = printed_by([] {
        answer_switches(8);
        receive({0x00, 0x0A, 0x00, 0x05, 0x12, 0x07, 0x28, 0x96, 0x73});
        drain();
    });
    EXPECT_EQ(reading_config, 0);
    EXPECT_EQ(config_valid, 0);
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), static_cast<long>(max_waiting_reports));
}

TEST_F(Protocol, ANewReadReplacesTheOneRunning)
{
    connect(0);
    read_config();
    drain();
    answer_switches(8);  // no settings reply yet
    read_config();
    read_config();
    drain();
    EXPECT_EQ(writes.size(), 18u);  // one chain of nine requests for each read that ran
    // The replies to the first read are gone with it: this one needs its own.
    receive({0x00, 0x0A, 0x00, 0x05, 0x12, 0x07, 0x28, 0x96, 0x73});
    ASSERT_TRUE(run_until([] { return reading_config == 0; }));
    EXPECT_EQ(config_valid, 0);
    ASSERT_EQ(seen_dialogs.size(), 1u);
    EXPECT_EQ(seen_dialogs[0].text, no_answer_text);
}

}  // namespace
