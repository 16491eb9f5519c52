// The key capture dialog, driven by real key presses: XTest makes the X server generate
// them, so they travel X -> GDK -> the dialog's handler like a keyboard's.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <vector>

#include <gdk/gdkx.h>
#include <X11/extensions/XTest.h>

#include "device/keys.h"
#include "tests/keys/gui_session.h"

namespace {

// X keycodes (evdev code + 8) of the keys used here.
constexpr unsigned kc_escape = 9, kc_a = 38, kc_b = 56, kc_z = 52, kc_return = 36, kc_space = 65, kc_tab = 23;
constexpr unsigned kc_shift_l = 50, kc_control_l = 37, kc_control_r = 105, kc_alt_l = 64, kc_caps_lock = 66;
constexpr unsigned kc_home = 110, kc_left = 113, kc_up = 111, kc_kp_home = 79;
constexpr unsigned kc_kp_enter = 104, kc_mute = 121, kc_super_l = 133, kc_scroll_lock = 78;

struct key_step {
    unsigned keycode;
    bool press;
};

std::vector<key_step> tap(unsigned keycode)
{
    return {{keycode, true}, {keycode, false}};
}

std::vector<key_step> operator+(std::vector<key_step> a, const std::vector<key_step> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// `keys` pressed while `modifier` is held.
std::vector<key_step> holding(unsigned modifier, const std::vector<key_step> &keys)
{
    return std::vector<key_step>{{modifier, true}} + keys + std::vector<key_step>{{modifier, false}};
}

void send_keys(const std::vector<key_step> &steps)
{
    for (const key_step &step : steps)
        XTestFakeKeyEvent(x_display(), step.keycode, step.press ? True : False, CurrentTime);
    XFlush(x_display());
}

// Runs `act` on the capture dialog once it is on screen and has the keyboard focus.
struct dialog_driver {
    std::function<void(GtkWidget *dialog)> act;
    GtkWidget *dialog = nullptr;
    bool acted = false;
    guint limit = 0;
};

// Ends a dialog that a broken handler would leave open for ever, so that the test fails
// instead of hanging. Not a measurement: every case here ends at once.
constexpr int no_key_taken = -1000;
constexpr guint safety_limit_s = 20;

gboolean give_up_cb(gpointer data)
{
    auto *driver = static_cast<dialog_driver *>(data);
    driver->limit = 0;
    if (driver->dialog != nullptr)
        gtk_dialog_response(GTK_DIALOG(driver->dialog), no_key_taken);
    return G_SOURCE_REMOVE;
}

gboolean act_cb(gpointer data)
{
    auto *driver = static_cast<dialog_driver *>(data);
    if (!driver->acted) {
        driver->acted = true;
        driver->act(driver->dialog);
    }
    return G_SOURCE_REMOVE;
}

gboolean focus_in_cb(GtkWidget *, GdkEvent *, gpointer data)
{
    g_idle_add(act_cb, data);  // after GTK has finished with the focus change
    return FALSE;
}

// Runs inside the dialog's nested main loop, right after the dialog was shown.
gboolean find_dialog_cb(gpointer data)
{
    auto *driver = static_cast<dialog_driver *>(data);
    GList *toplevels = gtk_window_list_toplevels();
    for (GList *l = toplevels; l != nullptr; l = l->next)
        if (GTK_IS_MESSAGE_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data)))
            driver->dialog = GTK_WIDGET(l->data);
    g_list_free(toplevels);
    if (driver->dialog == nullptr) {
        ADD_FAILURE() << "no capture dialog shown";
        return G_SOURCE_REMOVE;
    }
    g_signal_connect(driver->dialog, "focus-in-event", G_CALLBACK(focus_in_cb), driver);
    // There is no window manager to give the new window the focus. The dialog's map request
    // went out before this, so the server has it viewable when the focus request comes.
    gdk_window_focus(gtk_widget_get_window(driver->dialog), GDK_CURRENT_TIME);
    return G_SOURCE_REMOVE;
}

class KeyCapture : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(start_gui_session());
        ASSERT_TRUE(set_layout("us", 0x27, ";"));
    }

    void SetUp() override
    {
        parent = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_widget_show(parent);
    }

    void TearDown() override
    {
        if (parent != nullptr)
            gtk_widget_destroy(parent);
    }

    // Opens the capture dialog over the parent window, runs `act` on it, and returns the
    // dialog's result; the modifiers that came with it are left in `modifiers`.
    int capture(const std::function<void(GtkWidget *)> &act)
    {
        dialog_driver driver{act};
        g_idle_add(find_dialog_cb, &driver);
        driver.limit = g_timeout_add_seconds(safety_limit_s, give_up_cb, &driver);
        const captured_key key = dialog_capture_key(GTK_WINDOW(parent), 3);
        if (driver.limit != 0)
            g_source_remove(driver.limit);
        EXPECT_TRUE(driver.acted) << "the dialog never got the focus";
        EXPECT_NE(key.response, no_key_taken) << "the dialog was still open";
        modifiers = key.modifiers;
        return key.response;
    }

    int capture_keys(const std::vector<key_step> &steps)
    {
        return capture([&](GtkWidget *) { send_keys(steps); });
    }

    // `steps`, then Return to take the key shown.
    int capture_confirmed(const std::vector<key_step> &steps)
    {
        return capture_keys(steps + tap(kc_return));
    }

    // Presses `refused`: the dialog must say that the device cannot send it and stay open for B.
    int capture_after_refusal(const std::vector<key_step> &refused)
    {
        return capture([&](GtkWidget *dialog) {
            GList *lines = gtk_container_get_children(
                GTK_CONTAINER(gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog))));
            GtkWidget *refusal = GTK_WIDGET(g_list_last(lines)->data);
            g_list_free(lines);
            EXPECT_FALSE(gtk_widget_get_visible(refusal));
            g_signal_connect(refusal, "show", G_CALLBACK(+[](GtkWidget *) { send_keys(tap(kc_b) + tap(kc_return)); }),
                             nullptr);
            send_keys(refused);
        });
    }

    GtkWidget *parent = nullptr;
    int modifiers = -1;
};

TEST_F(KeyCapture, DialogAsksForAKeyOverItsParent)
{
    capture([&](GtkWidget *dialog) {
        EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(dialog)), GTK_WINDOW(parent));
        EXPECT_TRUE(gtk_window_get_destroy_with_parent(GTK_WINDOW(dialog)));
        EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(dialog)));
        gchar *text = nullptr;
        GtkMessageType type = GTK_MESSAGE_INFO;
        g_object_get(dialog, "text", &text, "message-type", &type, nullptr);
        EXPECT_STREQ(text, "Press any key");
        EXPECT_EQ(type, GTK_MESSAGE_OTHER);
        g_free(text);
        EXPECT_NE(gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL), nullptr);
        send_keys(tap(kc_escape) + tap(kc_escape));
    });
}

TEST_F(KeyCapture, LetterWithAndWithoutShift)
{
    EXPECT_EQ(capture_confirmed(tap(kc_a)), 0x04);
    EXPECT_EQ(modifiers, 0);
    // Shift alone does nothing; A pressed while Shift is held is the A key, with Shift.
    EXPECT_EQ(capture_confirmed(holding(kc_shift_l, tap(kc_a))), 0x04);
    EXPECT_EQ(modifiers, modifier_shift);
}

TEST_F(KeyCapture, ControlAndAltHeldWithTheKeyComeWithIt)
{
    EXPECT_EQ(capture_confirmed(holding(kc_control_l, holding(kc_shift_l, tap(kc_z)))), 0x1D);
    EXPECT_EQ(modifiers, modifier_control | modifier_shift);
    EXPECT_EQ(capture_confirmed(holding(kc_alt_l, holding(kc_control_r, tap(kc_escape)))), 0x29);
    EXPECT_EQ(modifiers, modifier_control | modifier_alt);
}

TEST_F(KeyCapture, ModifierAloneLeavesTheDialogOpen)
{
    // Had Shift, right Control or Alt ended the dialog, the result would be their usage or 0.
    EXPECT_EQ(capture_confirmed(tap(kc_shift_l) + tap(kc_control_r) + tap(kc_alt_l) + tap(kc_b)), 0x05);
}

TEST_F(KeyCapture, ReturnAndSpaceGiveTheListedUsages)
{
    EXPECT_EQ(capture_confirmed(tap(kc_return)), 0x28);  // not 0x9E, what the table holds
    EXPECT_EQ(capture_confirmed(tap(kc_space)), 0x2C);   // the table holds 0
}

// Escape, Return and Tab are each captured when pressed first and then confirmed with Return;
// Escape once a key is shown leaves without one.
TEST_F(KeyCapture, EscapeReturnAndTabAreShownFirstAndTakenWithReturn)
{
    EXPECT_EQ(capture_confirmed(tap(kc_escape)), 0x29);
    EXPECT_EQ(capture_confirmed(tap(kc_return)), 0x28);
    EXPECT_EQ(capture_confirmed(tap(kc_tab)), 0x2B);
    EXPECT_EQ(capture_keys(tap(kc_escape) + tap(kc_escape)), GTK_RESPONSE_CANCEL);
    EXPECT_EQ(modifiers, 0);
    EXPECT_EQ(capture_keys(tap(kc_tab) + tap(kc_escape)), GTK_RESPONSE_CANCEL);
    EXPECT_EQ(capture_keys(holding(kc_control_l, tap(kc_a)) + tap(kc_escape)), GTK_RESPONSE_CANCEL);
    EXPECT_EQ(modifiers, 0);
}

// The key shown, with what was held with it, and the button that takes it, offered only then.
TEST_F(KeyCapture, TheKeyIsShownAndTakenWithTheButton)
{
    const int response = capture([](GtkWidget *dialog) {
        GtkWidget *use = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), 1000);
        ASSERT_TRUE(GTK_IS_BUTTON(use));
        EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(use)), "Use this key");
        EXPECT_FALSE(gtk_widget_is_sensitive(use));
        GList *lines = gtk_container_get_children(
            GTK_CONTAINER(gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog))));
        GtkWidget *shown = GTK_WIDGET(g_list_nth_data(lines, 2));
        g_list_free(lines);
        ASSERT_TRUE(GTK_IS_LABEL(shown));
        g_signal_connect(shown, "notify::label", G_CALLBACK(+[](GtkWidget *label, GParamSpec *, gpointer use) {
                             EXPECT_EQ(std::string(gtk_label_get_text(GTK_LABEL(label))).rfind("Key: Control+Tab. ", 0), 0u)
                                 << gtk_label_get_text(GTK_LABEL(label));
                             EXPECT_TRUE(gtk_widget_is_sensitive(GTK_WIDGET(use)));
                             gtk_button_clicked(GTK_BUTTON(use));
                         }),
                         use);
        send_keys(holding(kc_control_l, tap(kc_tab)));
    });
    EXPECT_EQ(response, 0x2B);
    EXPECT_EQ(modifiers, modifier_control);
}

TEST_F(KeyCapture, HomeOfTheSeparateBlockAndOfTheKeypad)
{
    EXPECT_EQ(capture_confirmed(tap(kc_home)), 0x4A);
    // The keypad's Home (Num Lock off, as the X server starts) is not a key of the list: the
    // dialog says so and waits for another key.
    EXPECT_EQ(capture_after_refusal(tap(kc_kp_home)), 0x05);
}

TEST_F(KeyCapture, Arrows)
{
    EXPECT_EQ(capture_confirmed(tap(kc_left)), 0x50);
    EXPECT_EQ(capture_confirmed(tap(kc_up)), 0x52);
}

// Caps Lock is a modifier to X, but a key of the list.
TEST_F(KeyCapture, CapsLockIsCaptured)
{
    EXPECT_EQ(capture_confirmed(tap(kc_caps_lock)), 0x39);
    send_keys(tap(kc_caps_lock));  // the lock back off, with no window focused
}

// The X keycode (evdev code + 8) of each key of the list: in the main block the evdev code is
// the scan code; Return, Space, Print Screen, the menu key and the separate block stand apart.
unsigned x_keycode_of_usage(int usage)
{
    const std::map<int, int> evdev_apart = {{0x28, 28},  {0x2C, 57},  {0x46, 99},  {0x65, 127}, {0x4A, 102},
                                            {0x52, 103}, {0x4B, 104}, {0x50, 105}, {0x4F, 106}, {0x4D, 107},
                                            {0x51, 108}, {0x4E, 109}, {0x49, 110}, {0x4C, 111}};
    const auto apart = evdev_apart.find(usage);
    return unsigned(apart != evdev_apart.end() ? apart->second : hid_code_to_windows_keycode[size_t(usage)]) + 8;
}

// No key of the list is passed over when pressed: Print Screen, the menu key and the ISO key
// beside left Shift included.
TEST_F(KeyCapture, EveryKeyOfTheListIsCaptured)
{
    for (uint8_t usage : keybd_hid_codes) {
        const unsigned keycode = x_keycode_of_usage(usage);
        EXPECT_EQ(capture_confirmed(tap(keycode)), usage) << "usage 0x" << std::hex << int(usage) << ", X keycode "
                                                     << std::dec << keycode;
    }
    send_keys(tap(kc_caps_lock));  // the lock back off, with no window focused
}

// Keys that the device cannot send (Super, the keypad, media keys, Scroll Lock) are refused in
// the dialog, which waits for another key.
TEST_F(KeyCapture, KeysTheDeviceCannotSendAreRefused)
{
    EXPECT_EQ(capture_after_refusal(tap(kc_super_l) + tap(kc_kp_enter) + tap(kc_mute) + tap(kc_scroll_lock)),
              0x05);
}

TEST_F(KeyCapture, AnotherKeyChangesTheKeyShown)
{
    EXPECT_EQ(capture_confirmed(tap(kc_b) + holding(kc_shift_l, tap(kc_a))), 0x04);
    EXPECT_EQ(modifiers, modifier_shift);
    EXPECT_EQ(capture_confirmed(holding(kc_shift_l, tap(kc_a)) + tap(kc_b)), 0x05);
    EXPECT_EQ(modifiers, 0);
}

// Events put straight into GDK's queue, with hardware keycodes no keyboard sends.
TEST_F(KeyCapture, EventsWithoutScanCodeAreRefused)
{
    const int response = capture([](GtkWidget *dialog) {
        for (guint16 keycode : {guint16(0), guint16(5), guint16(255)}) {
            GdkEvent *event = gdk_event_new(GDK_KEY_PRESS);
            event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(dialog)));
            event->key.send_event = TRUE;
            event->key.time = GDK_CURRENT_TIME;
            event->key.keyval = GDK_KEY_VoidSymbol;
            event->key.hardware_keycode = keycode;
            gdk_event_set_device(event, gdk_seat_get_keyboard(gdk_display_get_default_seat(gdk_display_get_default())));
            gdk_event_put(event);
            gdk_event_free(event);
        }
        send_keys(tap(kc_escape) + tap(kc_return));
    });
    EXPECT_EQ(response, 0x29);
}

TEST_F(KeyCapture, CancelButton)
{
    const int response = capture([](GtkWidget *dialog) {
        GtkWidget *cancel = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
        ASSERT_NE(cancel, nullptr);
        GtkAllocation allocation;
        gtk_widget_get_allocation(cancel, &allocation);
        int x = 0, y = 0;
        gdk_window_get_origin(gtk_widget_get_window(cancel), &x, &y);
        XTestFakeMotionEvent(x_display(), -1, x + allocation.x + allocation.width / 2,
                             y + allocation.y + allocation.height / 2, CurrentTime);
        XTestFakeButtonEvent(x_display(), 1, True, CurrentTime);
        XTestFakeButtonEvent(x_display(), 1, False, CurrentTime);
        XFlush(x_display());
    });
    EXPECT_EQ(response, GTK_RESPONSE_CANCEL);
}

TEST_F(KeyCapture, ClosingTheWindow)
{
    const int response = capture([](GtkWidget *dialog) {
        // What a window manager sends when the user closes a window.
        Display *display = x_display();
        XEvent event = {};
        event.xclient.type = ClientMessage;
        event.xclient.window = GDK_WINDOW_XID(gtk_widget_get_window(dialog));
        event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display, event.xclient.window, False, NoEventMask, &event);
        XFlush(display);
    });
    EXPECT_EQ(response, GTK_RESPONSE_DELETE_EVENT);
}

TEST_F(KeyCapture, ParentDestroyedWhileTheDialogIsOpen)
{
    const int response = capture([this](GtkWidget *) {
        gtk_widget_destroy(parent);
        parent = nullptr;
    });
    EXPECT_EQ(response, GTK_RESPONSE_NONE);
}

}  // namespace
