// The switch action editor on the real main window, driven as a user drives it: page switching,
// the auto-release rule on every page, reading rows back, and key capture.
#include "tests/window/window_test.h"

#include "app/settings.h"
#include "device/config.h"
#include "device/keys.h"
#include "device/protocol.h"
#include "window/window.h"

namespace {

GtkWidget *page_button(int s, int page)
{
    switch (page) {
    case page_keyboard:
        return radiobutton_keyb[s];
    case page_joystick:
        return radiobutton_joy[s];
    case page_generic:
        return radiobutton_gen[s];
    default:
        return radiobutton_mouse[s];
    }
}

std::array<bool, 4> page_boxes(int s)
{
    return {shown(box_mouse[s]), shown(box_keyb[s]), shown(box_joy[s]), shown(box_gen[s])};
}

struct toggle_count {
    int emissions = 0;
};

void count_toggle_cb(GtkToggleButton *, gpointer data)
{
    static_cast<toggle_count *>(data)->emissions++;
}

using EditorPages = WindowTest;

TEST_F(EditorPages, SwitchingPagesShowsExactlyThatPage)
{
    show_dev_options = true;
    update_main_window();
    for (int s = 0; s < max_switches; s++) {
        for (int page : {page_keyboard, page_joystick, page_generic, page_mouse, page_generic, page_keyboard}) {
            press(page_button(s, page));
            std::array<bool, 4> expected{};
            expected[page] = true;
            EXPECT_EQ(page_boxes(s), expected) << "row " << s + 1 << ", page " << page;
            EXPECT_EQ(get_page(s), page);
        }
    }
}

TEST_F(EditorPages, MouseToJoystickTogglesTwiceAndShowsOnlyJoystick)
{
    ASSERT_TRUE(active(radiobutton_mouse[4]));
    toggle_count count;
    std::array<gulong, 4> ids{};
    for (int p = 0; p < 4; p++)
        ids[p] = g_signal_connect(page_button(4, p), "toggled", G_CALLBACK(count_toggle_cb), &count);
    press(radiobutton_joy[4]);
    for (int p = 0; p < 4; p++)
        g_signal_handler_disconnect(page_button(4, p), ids[p]);
    EXPECT_EQ(count.emissions, 2);
    EXPECT_EQ(page_boxes(4), (std::array<bool, 4>{false, false, true, false}));
}

TEST_F(EditorPages, EachPageKeepsItsSelection)
{
    choose(combobox_mouse[0], 3);
    press(radiobutton_joy[0]);
    choose(combobox_joy[0], 9);
    press(radiobutton_mouse[0]);
    EXPECT_EQ(entry(combobox_mouse[0]), 3);
    press(radiobutton_joy[0]);
    EXPECT_EQ(entry(combobox_joy[0]), 9);
    EXPECT_EQ(read_switch_row(0).code, 8);
}

using EditorAutoRelease = WindowTest;

TEST_F(EditorAutoRelease, MousePageOffersItForTheTwoClicksOnly)
{
    for (int s = 0; s < max_switches; s++) {
        press(radiobutton_mouse[s]);
        for (int j = 0; j < static_cast<int>(mouse_combo_actions.size()); j++) {
            choose(combobox_mouse[s], j);
            EXPECT_EQ(shown(checkbutton_auto_release[s]), j == 0 || j == 1) << "row " << s + 1 << " entry " << j;
        }
    }
}

TEST_F(EditorAutoRelease, KeyboardPageAlwaysOffersIt)
{
    choose(combobox_mouse[1], 2);  // Double click: hidden on the mouse page
    ASSERT_FALSE(shown(checkbutton_auto_release[1]));
    press(radiobutton_keyb[1]);
    EXPECT_TRUE(shown(checkbutton_auto_release[1]));
    for (int j : {0, 1, n_keybd_hid_codes / 2, n_keybd_hid_codes - 1}) {
        choose(combobox_keyb[1], j);
        EXPECT_TRUE(shown(checkbutton_auto_release[1])) << j;
    }
}

TEST_F(EditorAutoRelease, JoystickPageOffersItForButtonsOnly)
{
    for (int s = 0; s < max_switches; s++) {
        press(radiobutton_joy[s]);
        for (int j = 0; j < static_cast<int>(joy_combo_actions.size()); j++) {
            choose(combobox_joy[s], j);
            EXPECT_EQ(shown(checkbutton_auto_release[s]), j < 8) << "row " << s + 1 << " entry " << j;
        }
    }
}

TEST_F(EditorAutoRelease, GenericPageNeverOffersIt)
{
    show_dev_options = true;
    update_main_window();
    press(radiobutton_gen[6]);
    EXPECT_FALSE(shown(checkbutton_auto_release[6]));
    for (int j = 0; j < static_cast<int>(gen_combo_actions.size()); j++) {
        choose(combobox_gen[6], j);
        EXPECT_FALSE(shown(checkbutton_auto_release[6])) << j;
    }
}

TEST_F(EditorAutoRelease, AListOfAnotherPageDoesNotDecide)
{
    press(radiobutton_keyb[3]);
    choose(combobox_mouse[3], 2);
    EXPECT_TRUE(shown(checkbutton_auto_release[3]));
    press(radiobutton_joy[3]);
    choose(combobox_joy[3], 0);
    choose(combobox_mouse[3], 0);
    choose(combobox_joy[3], 11);
    EXPECT_FALSE(shown(checkbutton_auto_release[3]));
    choose(combobox_mouse[3], 1);
    EXPECT_FALSE(shown(checkbutton_auto_release[3]));
    press(radiobutton_mouse[3]);
    EXPECT_TRUE(shown(checkbutton_auto_release[3]));
}

using EditorReadRow = WindowTest;

TEST_F(EditorReadRow, HiddenAutoReleaseStillCounts)
{
    press(radiobutton_mouse[0]);
    choose(combobox_mouse[0], 2);  // Double click
    press(checkbutton_auto_release[0], true);
    ASSERT_FALSE(shown(checkbutton_auto_release[0]));
    const action_record r = read_switch_row(0);
    EXPECT_EQ(r.kind, kind_mouse_button);
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.modifiers, 0);
    EXPECT_EQ(r.auto_release, 1);
    press(checkbutton_auto_release[0], false);
    EXPECT_EQ(read_switch_row(0).auto_release, 0);
}

TEST_F(EditorReadRow, MoveLeftDiffersBetweenMouseAndJoystick)
{
    press(radiobutton_joy[2]);
    choose(combobox_joy[2], 10);
    EXPECT_EQ(read_switch_row(2).kind, kind_joystick_movement);
    EXPECT_EQ(read_switch_row(2).code, 2);
    press(radiobutton_mouse[2]);
    choose(combobox_mouse[2], 7);
    EXPECT_EQ(read_switch_row(2).kind, kind_mouse_movement);
    EXPECT_EQ(read_switch_row(2).code, 2);
}

TEST_F(EditorReadRow, GenericEventNeverCarriesModifiersOrAutoRelease)
{
    show_dev_options = true;
    update_main_window();
    press(radiobutton_gen[5]);
    choose(combobox_gen[5], 2);
    press(checkbutton_auto_release[5], true);
    press(checkbutton_control[5], true);
    const action_record r = read_switch_row(5);
    EXPECT_EQ(r.kind, kind_generic_event);
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.modifiers, 0);
    EXPECT_EQ(r.auto_release, 0);
}

TEST_F(EditorReadRow, ModifiersCountOnTheKeyboardPageOnly)
{
    press(radiobutton_keyb[7]);
    choose(combobox_keyb[7], 5);
    press(checkbutton_control[7], true);
    press(checkbutton_shift[7], false);
    press(checkbutton_alt[7], true);
    action_record r = read_switch_row(7);
    EXPECT_EQ(r.kind, kind_keyboard_key);
    EXPECT_EQ(r.code, keybd_hid_codes[5]);
    EXPECT_EQ(r.modifiers, 5);
    press(radiobutton_mouse[7]);
    r = read_switch_row(7);
    EXPECT_EQ(r.kind, mouse_combo_actions[entry(combobox_mouse[7])].action.kind);
    EXPECT_EQ(r.modifiers, 0);
}

TEST_F(EditorReadRow, EditsLiveInTheRowsUntilARefresh)
{
    const action_record before = switch_action[0];
    press(radiobutton_joy[0]);
    choose(combobox_joy[0], 4);
    EXPECT_EQ(switch_action[0].kind, before.kind);
    EXPECT_EQ(switch_action[0].code, before.code);
    // Any refresh brings the stored action back.
    update_main_window();
    EXPECT_EQ(get_page(0), page_mouse);
    EXPECT_EQ(entry(combobox_mouse[0]), 0);
}

// Key capture through the real capture dialog: a key event is delivered to it, or it is
// cancelled, while it runs its own loop.
struct capture_plan {
    guint16 hardware_keycode = 0;  // 0: cancel instead
    GdkModifierType state = GdkModifierType(0);
    bool dialog_seen = false;
};

gboolean drive_capture_dialog_cb(gpointer data)
{
    auto *plan = static_cast<capture_plan *>(data);
    GList *toplevels = gtk_window_list_toplevels();
    GtkWidget *dialog = nullptr;
    for (GList *l = toplevels; l != nullptr; l = l->next)
        if (GTK_IS_DIALOG(l->data) && l->data != window_main && l->data != window_about &&
            gtk_widget_get_mapped(GTK_WIDGET(l->data)))
            dialog = GTK_WIDGET(l->data);
    g_list_free(toplevels);
    if (dialog == nullptr)
        return G_SOURCE_CONTINUE;
    plan->dialog_seen = true;
    if (plan->hardware_keycode == 0) {
        gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
        return G_SOURCE_REMOVE;
    }
    GdkEvent *event = gdk_event_new(GDK_KEY_PRESS);
    event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(dialog)));
    event->key.send_event = TRUE;
    event->key.time = GDK_CURRENT_TIME;
    event->key.state = plan->state;
    event->key.hardware_keycode = plan->hardware_keycode;
    GdkKeymap *keymap = gdk_keymap_get_for_display(gdk_display_get_default());
    guint keyval = 0;
    gdk_keymap_translate_keyboard_state(keymap, plan->hardware_keycode, GdkModifierType(0), 0, &keyval, nullptr,
                                        nullptr, nullptr);
    event->key.keyval = keyval;
    gdk_event_set_device(event, gdk_seat_get_keyboard(gdk_display_get_default_seat(gdk_display_get_default())));
    gtk_main_do_event(event);
    gdk_event_free(event);
    return G_SOURCE_REMOVE;
}

void capture(int s, capture_plan &plan)
{
    const guint source = g_timeout_add(10, drive_capture_dialog_cb, &plan);
    ASSERT_TRUE(GTK_IS_BUTTON(button_keyb[s]));
    gtk_button_clicked(GTK_BUTTON(button_keyb[s]));
    if (!plan.dialog_seen)
        g_source_remove(source);
}

// X keycodes are evdev codes + 8; the usage codes are fixed by the key's position, whatever
// the layout calls it.
constexpr guint16 x_keycode_b = 48 + 8;       // usage 0x05
constexpr guint16 x_keycode_escape = 1 + 8;   // usage 0x29

using EditorKeyCapture = WindowTest;

TEST_F(EditorKeyCapture, PressedKeyIsSelectedAlone)
{
    connect_idle(0);
    press(radiobutton_keyb[2]);
    choose(combobox_keyb[2], 0);
    press(checkbutton_shift[2], false);
    ASSERT_GE(key_list_entry(0x05), 0);
    capture_plan plan{x_keycode_b, GDK_SHIFT_MASK};
    capture(2, plan);
    EXPECT_TRUE(plan.dialog_seen);
    EXPECT_EQ(entry(combobox_keyb[2]), key_list_entry(0x05));
    EXPECT_FALSE(active(checkbutton_shift[2]));
    EXPECT_EQ(get_page(2), page_keyboard);
}

TEST_F(EditorKeyCapture, EscapeIsCapturedAsAKey)
{
    connect_idle(0);
    press(radiobutton_keyb[0]);
    ASSERT_GE(key_list_entry(0x29), 0);
    capture_plan plan{x_keycode_escape};
    capture(0, plan);
    EXPECT_TRUE(plan.dialog_seen);
    EXPECT_EQ(entry(combobox_keyb[0]), key_list_entry(0x29));
}

TEST_F(EditorKeyCapture, CancelLeavesTheRow)
{
    connect_idle(0);
    press(radiobutton_mouse[1]);
    choose(combobox_keyb[1], 7);
    capture_plan plan;
    capture(1, plan);
    EXPECT_TRUE(plan.dialog_seen);
    EXPECT_EQ(entry(combobox_keyb[1]), 7);
    EXPECT_EQ(get_page(1), page_mouse);
}

}  // namespace
