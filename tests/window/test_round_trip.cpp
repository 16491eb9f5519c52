// What a box holds, through the real window: a read that is not complete shows nothing and
// offers no Write; a complete one, written back without an edit, sends the box exactly the bytes
// it replied with, whatever they are; the settings lists show what the box holds, presets or not.
// The box is played by handing its replies to handle_message as the hub does; the reports the
// window sends are those recorded by the HID stand-in.
#include "tests/window/window_test.h"

#include <random>

#include "device/config.h"
#include "device/keys.h"
#include "device/protocol.h"
#include "window/window.h"

namespace {

using bytes = std::array<uint8_t, 9>;

// A box of `model` plugged in, as the hub takes it: connected, nothing known of it, its read
// under way with every request sent.
void plug(int model)
{
    connect_unread(model);
    read_config();
    const int n = model_n_switches[model];
    ASSERT_TRUE(pump_until([n] { return reading_config_step > n; }));
    mhid_written.clear();
}

void click(const char *id)
{
    GtkWidget *w = find_widget(id);
    ASSERT_TRUE(GTK_IS_BUTTON(w)) << id;
    gtk_button_clicked(GTK_BUTTON(w));
}

std::string title()
{
    const char *t = gtk_window_get_title(GTK_WINDOW(window_main));
    return t ? t : "";
}

std::string message()
{
    return gtk_label_get_text(GTK_LABEL(label_message));
}

bool sensitive(GtkWidget *w)
{
    return w != nullptr && gtk_widget_get_sensitive(w);
}

std::vector<bytes> written()
{
    std::vector<bytes> r;
    for (const written_report &w : mhid_written)
        r.push_back(w.bytes);
    return r;
}

// Write, and its end with the success message.
void write_and_finish()
{
    click("button_send");
    const seen_dialog done = answer_message_dialog([] { pump_until([] { return writing_config == 0; }); });
    EXPECT_EQ(done.text, "Configuration successfully written into the device.");
}

class RoundTrip : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        show_dev_options = true;  // the generic page too
    }
    void TearDown() override
    {
        read_config_done_delay_ms = 500;
        write_config_done_delay_ms = 500;
        WindowTest::TearDown();
    }
};

// Box A is read and unplugged; box B, also a Zevrin, answers only the settings request. The
// window shows none of A's rows for B, offers no Write, and says what happened; Read stays.
TEST_F(RoundTrip, ABoxThatAnswersOnlyTheSettingsShowsNothingOfTheBoxBefore)
{
    ASSERT_NO_FATAL_FAILURE(plug(0));
    configuration a = record_configuration();
    for (action_record &s : a.switches)
        s = {kind_keyboard_key, 0x2C, 1, 0};  // Control+Space
    answer_read(a, 8);
    ASSERT_TRUE(shown(box_config));
    ASSERT_EQ(get_page(0), page_keyboard);

    device_connected = 0;  // unplugged, as the hub records it
    config_valid = 0;
    update_main_window();
    ASSERT_NO_FATAL_FAILURE(plug(0));
    const seen_dialog d = answer_message_dialog([] {
        const uint8_t settings[9] = {0x00, 0x0A, 0x00, 0x05, 0x12, 0x07, 0x28, 0x96, 0x73};
        handle_message(settings, 9);
        pump_until([] { return reading_config == 0; });
    });
    const char *no_configuration = "The device did not send its configuration. Please check the connection and "
                                   "read the configuration again.";
    EXPECT_EQ(d.text, no_configuration);
    EXPECT_EQ(config_valid, 0);
    EXPECT_FALSE(shown(box_config));
    EXPECT_TRUE(shown(label_message));
    EXPECT_EQ(message(), no_configuration);
    EXPECT_EQ(title(), "Zevrin");
    // The toolbar stays for Read; Write and Undo changes wait for a complete read.
    EXPECT_TRUE(shown(box_toolbar));
    EXPECT_FALSE(sensitive(button_send));
    EXPECT_FALSE(sensitive(button_defaults));
    EXPECT_TRUE(sensitive(find_widget("button_read")));
    click("button_send");
    click("button_defaults");
    pump();
    EXPECT_TRUE(mhid_written.empty());
    EXPECT_EQ(writing_config, 0);

    // Read again, and B answers in full: B's rows.
    click("button_read");
    ASSERT_TRUE(pump_until([] { return reading_config_step > 8; }));
    set_defaults();
    answer_read(record_configuration(), 8);
    EXPECT_TRUE(shown(box_config));
    EXPECT_TRUE(sensitive(button_send));
    EXPECT_EQ(get_page(0), page_mouse);
}

TEST_F(RoundTrip, OneLostSwitchReplyShowsNoRows)
{
    for (int model : {0, 1}) {
        SCOPED_TRACE(model);
        ASSERT_NO_FATAL_FAILURE(plug(model));
        const int n = model_n_switches[model];
        const seen_dialog d = answer_message_dialog([n] {
            for (int i = 0; i < n; i++) {
                const uint8_t reply[9] = {0x00, 0x09, 0x00, uint8_t(i), 0x02, 0x01, 0x00, 0x01, 0x00};
                if (i != n / 2)
                    handle_message(reply, 9);
            }
            const uint8_t settings[9] = {0x00, 0x0A, 0x00, 0x05, 0x12, 0x07, 0x28, 0x96, 0x73};
            handle_message(settings, 9);
            pump_until([] { return reading_config == 0; });
        });
        EXPECT_TRUE(d.shown);
        EXPECT_FALSE(shown(box_config));
        EXPECT_FALSE(sensitive(button_send));
        EXPECT_NE(switch_action[0].kind, kind_joystick_button);  // nothing of the read was taken
    }
}

// Values the window has no entry for, read and written back without an edit, byte for byte.
TEST_F(RoundTrip, OddValuesAreWrittenBackAsTheyWereRead)
{
    ASSERT_NO_FATAL_FAILURE(plug(0));
    configuration box{};
    box.switches = {{
        {9, 3, 0, 1},                    // a kind of no page
        {kind_mouse_button, 7, 0, 1},    // a mouse code outside the list
        {kind_keyboard_key, 0xE8, 2, 1}, // a key outside the key list
        {kind_keyboard_key, 0x04, 0x0F, 1},  // modifier bit 8 beside Control, Shift and Alt
        {kind_joystick_button, 3, 0, 2},     // auto-release 2
        {kind_mouse_movement, -16, 0, 0},    // a negative code (the byte 0xF0)
        {kind_generic_event, 2, 0, 1},       // a generic event with auto-release set
        {-1, -1, -1, -1},                    // every byte 0xFF
    }};
    box.mouse_speed = {6, 18, 7};       // no preset's numbers
    box.mouse_stretch = {40, -106};     // 150, as it arrives
    box.joy_displacement = 100;         // between two entries
    answer_read(box, 8);
    EXPECT_EQ(title(), "Zevrin");
    EXPECT_EQ(entry(combobox_mouse_speed), 4);
    EXPECT_EQ(entry(combobox_joy_displacement), 5);

    write_and_finish();
    EXPECT_EQ(written(), reports_of_write(box, 8));
    EXPECT_EQ(title(), "Zevrin");

    // A row the user changes follows the editor; the others stay as read.
    mhid_written.clear();
    press(radiobutton_keyb[0]);
    choose(combobox_keyb[0], 0);
    press(checkbutton_control[0], false);
    press(checkbutton_shift[0], true);
    press(checkbutton_alt[0], false);
    press(checkbutton_shift[3], false);  // from 0x0F, what the check buttons hold: 1 + 4
    choose(combobox_mouse_speed, 0);
    EXPECT_EQ(title(), "*Zevrin");
    write_and_finish();
    configuration expected = box;
    expected.switches[0] = {kind_keyboard_key, keybd_hid_codes[0], 2, 1};
    expected.switches[3].modifiers = 5;
    expected.mouse_speed = {5, 5, 5};
    expected.mouse_stretch = {40, 150};
    EXPECT_EQ(written(), reports_of_write(expected, 8));
}

// The mouse numbers of a preset show that preset; others show that the box's own are kept, and
// stay kept until a preset is chosen (and after choosing "As set in the device" again).
TEST_F(RoundTrip, MouseSpeedAndDisplacementOfPresetsAndOthers)
{
    ASSERT_NO_FATAL_FAILURE(plug(1));
    configuration box = record_configuration();
    box.mouse_speed = {7, 18, 18};  // "Accelerate"
    box.joy_displacement = 64;      // "50%"
    answer_read(box, 2);
    EXPECT_EQ(entry(combobox_mouse_speed), 2);
    EXPECT_EQ(entry(combobox_joy_displacement), 1);
    write_and_finish();
    EXPECT_EQ(written(), reports_of_write(box, 2));

    ASSERT_NO_FATAL_FAILURE(plug(1));
    box.mouse_speed = {7, 18, 19};
    box.mouse_stretch = {41, 151};
    box.joy_displacement = 114;
    answer_read(box, 2);
    EXPECT_EQ(entry(combobox_mouse_speed), 4);
    EXPECT_EQ(entry(combobox_joy_displacement), 5);
    choose(combobox_mouse_speed, 1);
    choose(combobox_mouse_speed, 4);  // back to the box's own
    choose(combobox_joy_displacement, 3);
    EXPECT_EQ(title(), "*Zevrin Mini");
    write_and_finish();
    configuration expected = box;
    expected.joy_displacement = 115;
    EXPECT_EQ(written(), reports_of_write(expected, 2));
    EXPECT_EQ(title(), "Zevrin Mini");
}

// For boxes holding any bytes at all, a read followed by Write with no edit sends exactly the
// bytes read. Across the runs of the Zevrin every field of every switch and setting takes every
// byte value; a run of a Mini follows every eighth.
TEST_F(RoundTrip, WriteWithoutAnEditSendsTheBytesReadWhateverTheyAre)
{
    read_config_done_delay_ms = 0;
    write_config_done_delay_ms = 0;
    std::mt19937 random(13);
    std::array<std::array<uint8_t, 256>, 8 * 4 + 6> order;  // a shuffled 0..255 per field
    for (auto &o : order) {
        for (int v = 0; v < 256; v++)
            o[v] = uint8_t(v);
        std::shuffle(o.begin(), o.end(), random);
    }
    for (int pass = 0; pass < 256 + 32; pass++) {
        SCOPED_TRACE(pass);
        const bool mini = pass % 9 == 8;
        const int model = mini ? 1 : 0;
        const int run = pass - (pass + 1) / 9;  // the Zevrin's runs take 0 to 255 in turn
        const int n = model_n_switches[model];
        auto byte = [&](int field) { return static_cast<int8_t>(order[field][(mini ? run * 7 : run) % 256]); };
        configuration box{};
        for (int i = 0; i < max_switches; i++)
            box.switches[i] = {byte(i * 4), byte(i * 4 + 1), byte(i * 4 + 2), byte(i * 4 + 3)};
        box.mouse_speed = {byte(32), byte(33), byte(34)};
        box.mouse_stretch = {byte(35), byte(36)};
        box.joy_displacement = byte(37);
        ASSERT_NO_FATAL_FAILURE(plug(model));
        answer_read(box, n);
        ASSERT_EQ(config_valid, 1);
        ASSERT_EQ(title(), model_name[model]);  // nothing counts as changed
        write_and_finish();
        ASSERT_EQ(written(), reports_of_write(box, n));
    }
}

}  // namespace
