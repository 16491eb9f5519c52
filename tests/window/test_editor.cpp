// The switch action editor on the real main window, driven as a user drives it: page switching,
// the auto-release rule on every page, reading rows back, and key capture.
#include "tests/window/window_test.h"

#include <gdk/gdkx.h>
#include <X11/extensions/XTest.h>

#include "app/settings.h"
#include "device/config.h"
#include "device/keys.h"
#include "device/protocol.h"
#include "window/window.h"

namespace {

// The auto-release box keeps its place in every row, so that the rows do not shift; where the
// action has no auto-release it is greyed out.
bool offered(GtkWidget *check)
{
    EXPECT_TRUE(shown(check)) << "the auto-release box was hidden";
    return gtk_widget_get_sensitive(check);
}

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

// A key pressed while the focus is in the window, delivered as the toolkit delivers it; then
// whether `list` is open.
bool key_opens(guint keyval, GtkWidget *list)
{
    GdkEvent *event = gdk_event_new(GDK_KEY_PRESS);
    event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(window_main)));
    event->key.keyval = keyval;
    gdk_event_set_device(event, gdk_seat_get_keyboard(gdk_display_get_default_seat(gdk_display_get_default())));
    gtk_widget_event(window_main, event);
    gdk_event_free(event);
    const auto is_open = [list] {
        gboolean open = FALSE;
        g_object_get(list, "popup-shown", &open, nullptr);
        return open != FALSE;
    };
    // The popup may take a few turns of the loop to come, the more so on a busy machine.
    const bool opened = pump_until(is_open, 300);
    gtk_combo_box_popdown(GTK_COMBO_BOX(list));
    pump_until([&] { return !is_open(); });
    return opened;
}

// Moving through the window with the keyboard must not change a switch's action: the arrows
// open a closed list, and only an open list moves its choice.
TEST_F(EditorPages, ArrowKeysOpenAClosedListInsteadOfChangingIt)
{
    connect_idle(0);  // the rows shown
    GtkWidget *list = combobox_mouse[0];
    choose(list, 2);
    gtk_widget_grab_focus(list);
    for (guint key : {GDK_KEY_Page_Down, GDK_KEY_End, GDK_KEY_Home, GDK_KEY_Page_Up})
        EXPECT_FALSE(key_opens(key, list)) << gdk_keyval_name(key);
    for (guint key : {GDK_KEY_Down, GDK_KEY_Up, GDK_KEY_KP_Down})
        EXPECT_TRUE(key_opens(key, list)) << gdk_keyval_name(key);
    EXPECT_EQ(entry(list), 2);
    // Elsewhere the keys keep their meaning, and no list opens.
    choose(list, 0);  // "Left click", whose auto-release box takes the focus
    gtk_widget_grab_focus(checkbutton_auto_release[0]);
    EXPECT_FALSE(key_opens(GDK_KEY_Down, list));
}

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
            EXPECT_EQ(offered(checkbutton_auto_release[s]), j == 0 || j == 1) << "row " << s + 1 << " entry " << j;
        }
    }
}

TEST_F(EditorAutoRelease, KeyboardPageAlwaysOffersIt)
{
    choose(combobox_mouse[1], 2);  // Double click: hidden on the mouse page
    ASSERT_FALSE(offered(checkbutton_auto_release[1]));
    press(radiobutton_keyb[1]);
    EXPECT_TRUE(offered(checkbutton_auto_release[1]));
    for (int j : {0, 1, n_keybd_hid_codes / 2, n_keybd_hid_codes - 1}) {
        choose(combobox_keyb[1], j);
        EXPECT_TRUE(offered(checkbutton_auto_release[1])) << j;
    }
}

TEST_F(EditorAutoRelease, JoystickPageOffersItForButtonsOnly)
{
    for (int s = 0; s < max_switches; s++) {
        press(radiobutton_joy[s]);
        for (int j = 0; j < static_cast<int>(joy_combo_actions.size()); j++) {
            choose(combobox_joy[s], j);
            EXPECT_EQ(offered(checkbutton_auto_release[s]), j < 8) << "row " << s + 1 << " entry " << j;
        }
    }
}

TEST_F(EditorAutoRelease, GenericPageNeverOffersIt)
{
    show_dev_options = true;
    update_main_window();
    press(radiobutton_gen[6]);
    EXPECT_FALSE(offered(checkbutton_auto_release[6]));
    for (int j = 0; j < static_cast<int>(gen_combo_actions.size()); j++) {
        choose(combobox_gen[6], j);
        EXPECT_FALSE(offered(checkbutton_auto_release[6])) << j;
    }
}

TEST_F(EditorAutoRelease, AListOfAnotherPageDoesNotDecide)
{
    press(radiobutton_keyb[3]);
    choose(combobox_mouse[3], 2);
    EXPECT_TRUE(offered(checkbutton_auto_release[3]));
    press(radiobutton_joy[3]);
    choose(combobox_joy[3], 0);
    choose(combobox_mouse[3], 0);
    choose(combobox_joy[3], 11);
    EXPECT_FALSE(offered(checkbutton_auto_release[3]));
    choose(combobox_mouse[3], 1);
    EXPECT_FALSE(offered(checkbutton_auto_release[3]));
    press(radiobutton_mouse[3]);
    EXPECT_TRUE(offered(checkbutton_auto_release[3]));
}

using EditorReadRow = WindowTest;

// A greyed-out box shows unticked, whatever the row had; the row keeps what it had for Write,
// and the box shows it again where it is offered again.
TEST_F(EditorReadRow, GreyedAutoReleaseShowsUntickedAndTheRowKeepsItsState)
{
    press(radiobutton_mouse[0]);
    choose(combobox_mouse[0], 0);  // Left click
    press(checkbutton_auto_release[0], true);
    choose(combobox_mouse[0], 2);  // Double click
    ASSERT_FALSE(offered(checkbutton_auto_release[0]));
    EXPECT_FALSE(active(checkbutton_auto_release[0]));
    const action_record r = read_switch_row(0);
    EXPECT_EQ(r.kind, kind_mouse_button);
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.modifiers, 0);
    EXPECT_EQ(r.auto_release, 1);
    choose(combobox_mouse[0], 4);  // Move up
    EXPECT_FALSE(active(checkbutton_auto_release[0]));
    EXPECT_EQ(read_switch_row(0).auto_release, 1);
    press(radiobutton_keyb[0]);
    EXPECT_TRUE(active(checkbutton_auto_release[0]));
    press(checkbutton_auto_release[0], false);
    press(radiobutton_joy[0]);
    choose(combobox_joy[0], 9);  // Move right
    EXPECT_EQ(read_switch_row(0).auto_release, 0);
    choose(combobox_joy[0], 0);  // Button 1
    EXPECT_FALSE(active(checkbutton_auto_release[0]));
}

// Set defaults gives the movements an auto-release that they cannot use: every greyed box shows
// unticked, and every row still reads back the record exactly.
TEST_F(EditorReadRow, DefaultsShowEveryGreyedBoxUntickedAndKeepTheRecord)
{
    connect_idle(0);
    set_defaults();
    update_main_window();
    int greyed = 0;
    for (int s = 0; s < model_n_switches[0]; s++) {
        SCOPED_TRACE(s + 1);
        if (!offered(checkbutton_auto_release[s])) {
            greyed++;
            EXPECT_FALSE(active(checkbutton_auto_release[s]));
        } else {
            EXPECT_EQ(active(checkbutton_auto_release[s]), switch_action[s].auto_release != 0);
        }
        EXPECT_EQ(read_switch_row(s), switch_action[s]);
    }
    EXPECT_GE(greyed, 4);  // double click, drag and drop, at least two movements
    const configuration pending = pending_configuration();
    EXPECT_TRUE(same_configuration(pending, record_configuration(), model_n_switches[0]));
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

TEST_F(EditorReadRow, EditsLiveInTheRowsUntilTheRecordIsReplaced)
{
    const action_record before = switch_action[0];
    press(radiobutton_joy[0]);
    choose(combobox_joy[0], 4);
    EXPECT_EQ(switch_action[0], before);
    // A refresh keeps the edit.
    update_main_window();
    EXPECT_EQ(get_page(0), page_joystick);
    EXPECT_EQ(entry(combobox_joy[0]), 4);
    // A record put in place of the old one, even with the same values, brings them back.
    set_record(record_configuration());
    update_main_window();
    EXPECT_EQ(get_page(0), page_mouse);
    EXPECT_EQ(entry(combobox_mouse[0]), 0);
}

// Turning the developer options on or off refreshes the window, through the menu item's own
// handler; unwritten edits stay as they are.
TEST_F(EditorReadRow, DeveloperOptionsKeepTheEditedRows)
{
    ASSERT_TRUE(GTK_IS_CHECK_MENU_ITEM(checkmenuitem_dev_options));
    ASSERT_FALSE(gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(checkmenuitem_dev_options)));
    const action_record stored{kind_joystick_button, 5, 0, 1};
    switch_action[2] = stored;
    connect_idle(0);
    ASSERT_EQ(get_page(2), page_joystick);

    press(radiobutton_keyb[2]);
    choose(combobox_keyb[2], 9);
    press(checkbutton_alt[2], true);
    press(checkbutton_auto_release[2], false);
    const action_record edited{kind_keyboard_key, keybd_hid_codes[9], 4, 0};
    ASSERT_EQ(read_switch_row(2), edited);
    gtk_menu_item_activate(GTK_MENU_ITEM(checkmenuitem_dev_options));
    EXPECT_TRUE(show_dev_options);
    EXPECT_TRUE(shown(radiobutton_gen[2]));
    EXPECT_EQ(page_boxes(2), (std::array<bool, 4>{false, true, false, false}));
    EXPECT_EQ(read_switch_row(2), edited);

    press(radiobutton_gen[2]);
    choose(combobox_gen[2], 3);
    gtk_menu_item_activate(GTK_MENU_ITEM(checkmenuitem_dev_options));
    EXPECT_FALSE(show_dev_options);
    EXPECT_FALSE(shown(radiobutton_gen[2]));
    EXPECT_EQ(page_boxes(2), (std::array<bool, 4>{false, false, false, true}));
    EXPECT_EQ(read_switch_row(2), (action_record{kind_generic_event, 4, 0, 0}));
    EXPECT_EQ(switch_action[2], stored);
}

// Key capture through the real capture dialog: as soon as it maps, it is sent a key event and
// then Return (or another key), cancelled, or closed as the window manager closes a window,
// while it runs its own loop.
enum class capture_answer { key, cancel, close };

constexpr int no_response = -1000;

struct capture_plan {
    capture_answer answer = capture_answer::cancel;
    guint16 hardware_keycode = 0;  // with capture_answer::key
    GdkModifierType state = GdkModifierType(0);
    guint16 then_keycode = 28 + 8;  // pressed next, alone: Return takes the key shown
    bool dialog_seen = false;
    int response = no_response;   // the dialog's "response", if it emitted one
    bool hung = false;            // the dialog was still open when the guard ran out
    GtkWidget *dialog = nullptr;  // held from its mapping until capture() returns
    std::string title{};          // the dialog's title
    guint answer_source = 0;
};

// Ends a dialog that a broken handler would leave open, so that the test fails instead of
// hanging. Not a measurement: every capture here is answered at once.
constexpr guint hang_guard_s = 10;

bool is_capture_dialog(gpointer object)
{
    if (!GTK_IS_MESSAGE_DIALOG(object))
        return false;
    GtkMessageType type = GTK_MESSAGE_INFO;
    g_object_get(object, "message-type", &type, nullptr);
    return type == GTK_MESSAGE_OTHER;
}

void send_key(GtkWidget *dialog, guint16 hardware_keycode, GdkModifierType state)
{
    GdkEvent *event = gdk_event_new(GDK_KEY_PRESS);
    event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(dialog)));
    event->key.send_event = TRUE;
    event->key.time = GDK_CURRENT_TIME;
    event->key.state = state;
    event->key.hardware_keycode = hardware_keycode;
    GdkKeymap *keymap = gdk_keymap_get_for_display(gdk_display_get_default());
    guint keyval = 0;
    gdk_keymap_translate_keyboard_state(keymap, hardware_keycode, GdkModifierType(0), 0, &keyval, nullptr,
                                        nullptr, nullptr);
    event->key.keyval = keyval;
    gdk_event_set_device(event, gdk_seat_get_keyboard(gdk_display_get_default_seat(gdk_display_get_default())));
    gtk_main_do_event(event);
    gdk_event_free(event);
}

// Runs in the dialog's own loop: the dialog is mapped before that loop starts listening for
// its response, so an answer given from the mapping itself would be lost.
gboolean answer_capture_cb(gpointer data)
{
    auto *plan = static_cast<capture_plan *>(data);
    plan->answer_source = 0;
    switch (plan->answer) {
    case capture_answer::key:
        send_key(plan->dialog, plan->hardware_keycode, plan->state);
        if (!plan->hung && plan->response == no_response)
            send_key(plan->dialog, plan->then_keycode, GdkModifierType(0));
        break;
    case capture_answer::cancel:
        gtk_dialog_response(GTK_DIALOG(plan->dialog), GTK_RESPONSE_CANCEL);
        break;
    case capture_answer::close:
        gtk_window_close(GTK_WINDOW(plan->dialog));  // a delete event, as from the title bar
        break;
    }
    return G_SOURCE_REMOVE;
}

void record_response_cb(GtkDialog *, gint response, gpointer data)
{
    static_cast<capture_plan *>(data)->response = response;
}

gboolean capture_dialog_mapped_hook(GSignalInvocationHint *, guint, const GValue *params, gpointer data)
{
    auto *plan = static_cast<capture_plan *>(data);
    GObject *widget = G_OBJECT(g_value_get_object(&params[0]));
    if (is_capture_dialog(widget) && !plan->dialog_seen) {
        plan->dialog_seen = true;
        plan->dialog = GTK_WIDGET(g_object_ref(widget));
        plan->title = gtk_window_get_title(GTK_WINDOW(widget)) ? gtk_window_get_title(GTK_WINDOW(widget)) : "";
        g_signal_connect(widget, "response", G_CALLBACK(record_response_cb), plan);
        plan->answer_source = g_idle_add(answer_capture_cb, plan);
    }
    return TRUE;
}

gboolean capture_hang_guard_cb(gpointer data)
{
    auto *plan = static_cast<capture_plan *>(data);
    plan->hung = true;
    GList *toplevels = gtk_window_list_toplevels();
    for (GList *l = toplevels; l != nullptr; l = l->next)
        if (is_capture_dialog(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data)))
            gtk_dialog_response(GTK_DIALOG(l->data), GTK_RESPONSE_CANCEL);
    g_list_free(toplevels);
    return G_SOURCE_REMOVE;
}

// Clicks row s's capture button; returns once the capture dialog has closed.
void capture(int s, capture_plan &plan)
{
    ASSERT_TRUE(GTK_IS_BUTTON(button_keyb[s]));
    const guint map_signal = g_signal_lookup("map", GTK_TYPE_WIDGET);
    const gulong hook = g_signal_add_emission_hook(map_signal, 0, capture_dialog_mapped_hook, &plan, nullptr);
    const guint guard = g_timeout_add_seconds(hang_guard_s, capture_hang_guard_cb, &plan);
    gtk_button_clicked(GTK_BUTTON(button_keyb[s]));
    if (!plan.hung)
        g_source_remove(guard);
    g_signal_remove_emission_hook(map_signal, hook);
    if (plan.answer_source != 0)
        g_source_remove(plan.answer_source);
    if (plan.dialog != nullptr)
        g_object_unref(plan.dialog);
    plan.dialog = nullptr;
    EXPECT_FALSE(plan.hung) << "the capture dialog was still open after " << hang_guard_s << " s";
}

// X keycodes are evdev codes + 8; the usage codes are fixed by the key's position, whatever
// the layout calls it.
constexpr guint16 x_keycode_b = 48 + 8;       // usage 0x05
constexpr guint16 x_keycode_escape = 1 + 8;   // usage 0x29
constexpr guint16 x_keycode_tab = 15 + 8;     // usage 0x2B

using EditorKeyCapture = WindowTest;

// The key comes with the Control, Shift and Alt held with it; a key pressed alone clears them.
TEST_F(EditorKeyCapture, PressedKeyIsSelectedWithTheModifiersHeld)
{
    connect_idle(0);
    press(radiobutton_keyb[2]);
    choose(combobox_keyb[2], 0);
    press(checkbutton_control[2], true);
    press(checkbutton_shift[2], false);
    ASSERT_GE(key_list_entry(0x05), 0);
    capture_plan shifted{capture_answer::key, x_keycode_b, GDK_SHIFT_MASK};
    capture(2, shifted);
    EXPECT_EQ(shifted.title, "Switch 3");
    EXPECT_EQ(entry(combobox_keyb[2]), key_list_entry(0x05));
    EXPECT_FALSE(active(checkbutton_control[2]));
    EXPECT_TRUE(active(checkbutton_shift[2]));
    EXPECT_EQ(get_page(2), page_keyboard);
    capture_plan alone{capture_answer::key, x_keycode_escape};
    capture(2, alone);
    EXPECT_EQ(entry(combobox_keyb[2]), key_list_entry(0x29));
    EXPECT_EQ(read_switch_row(2).modifiers, 0);
}

// Escape and Tab, pressed first and then taken with Return, are keys like the others.
TEST_F(EditorKeyCapture, EscapeAndTabAreCapturedAsKeys)
{
    connect_idle(0);
    press(radiobutton_keyb[0]);
    for (guint16 keycode : {x_keycode_escape, x_keycode_tab}) {
        capture_plan plan{capture_answer::key, keycode};
        capture(0, plan);
        EXPECT_TRUE(plan.dialog_seen);
        EXPECT_EQ(entry(combobox_keyb[0]), key_list_entry(keycode == x_keycode_tab ? 0x2B : 0x29));
    }
    EXPECT_EQ(read_switch_row(0).code, 0x2B);
}

// Cancel, the window's close, and from the keyboard Escape twice or a key and then Escape, end
// the capture without a key: the row stays as it was, on the mouse page or the keyboard page.
TEST_F(EditorKeyCapture, EndingWithoutAKeyLeavesTheRow)
{
    struct no_key_case {
        const char *what;
        capture_answer answer;
        guint16 hardware_keycode, then_keycode;
        int response;
    };
    const no_key_case cases[] = {
        {"cancel", capture_answer::cancel, 0, 0, GTK_RESPONSE_CANCEL},
        {"close", capture_answer::close, 0, 0, GTK_RESPONSE_DELETE_EVENT},
        {"escape twice", capture_answer::key, x_keycode_escape, x_keycode_escape, GTK_RESPONSE_CANCEL},
        {"tab, escape", capture_answer::key, x_keycode_tab, x_keycode_escape, GTK_RESPONSE_CANCEL},
    };
    connect_idle(0);
    for (const no_key_case &c : cases) {
        for (int page : {page_mouse, page_keyboard}) {
            SCOPED_TRACE(testing::Message() << c.what << ", page " << page);
            press(page == page_mouse ? radiobutton_mouse[1] : radiobutton_keyb[1]);
            choose(combobox_keyb[1], 7);
            capture_plan plan{c.answer, c.hardware_keycode, GdkModifierType(0), c.then_keycode};
            capture(1, plan);
            EXPECT_TRUE(plan.dialog_seen);
            EXPECT_EQ(plan.response, c.response);
            EXPECT_EQ(entry(combobox_keyb[1]), 7);
            EXPECT_EQ(get_page(1), page);
        }
    }
}

// Typing in an open key list, with real key presses (XTest, us layout), which the X server
// sends to the open list: it holds the keyboard grab.
void tap(guint16 x_keycode)
{
    Display *display = gdk_x11_display_get_xdisplay(gdk_display_get_default());
    XTestFakeKeyEvent(display, x_keycode, True, CurrentTime);
    XTestFakeKeyEvent(display, x_keycode, False, CurrentTime);
    XFlush(display);
}

// The entry that an open list highlights, -1 for none.
int highlighted(GtkWidget *menu)
{
    GList *items = gtk_container_get_children(GTK_CONTAINER(menu));
    const int index = g_list_index(items, gtk_menu_shell_get_selected_item(GTK_MENU_SHELL(menu)));
    g_list_free(items);
    return index;
}

using EditorKeyList = WindowTest;

TEST_F(EditorKeyList, TypingACharacterMovesToTheNextKeyNamedWithIt)
{
    constexpr guint16 x_keycode_p = 33, x_keycode_z = 52, x_keycode_f = 41, x_keycode_down = 116;
    constexpr guint16 x_keycode_space = 65, x_keycode_return = 36;
    connect_idle(0);
    press(radiobutton_keyb[0]);
    choose(combobox_keyb[0], key_list_entry(0x04));
    // Opened with Space, as from the keyboard; no window manager gives the window the keyboard.
    gdk_window_focus(gtk_widget_get_window(window_main), GDK_CURRENT_TIME);
    ASSERT_TRUE(pump_until([] { return gtk_window_is_active(GTK_WINDOW(window_main)); }));
    gtk_widget_grab_focus(combobox_keyb[0]);
    tap(x_keycode_space);
    GList *menus = gtk_menu_get_for_attach_widget(combobox_keyb[0]);
    ASSERT_NE(menus, nullptr);
    GtkWidget *menu = GTK_WIDGET(menus->data);
    ASSERT_TRUE(pump_until([&] { return gtk_widget_get_mapped(menu); }));
    // P, on through the other names with P and round to P; Z, the only one, stays; F from Z is
    // F1; Down still moves on.
    const std::pair<guint16, int> steps[] = {
        {x_keycode_p, 0x13}, {x_keycode_p, 0x37}, {x_keycode_p, 0x46}, {x_keycode_p, 0x4B}, {x_keycode_p, 0x4E},
        {x_keycode_p, 0x13}, {x_keycode_z, 0x1D}, {x_keycode_z, 0x1D}, {x_keycode_f, 0x3A}, {x_keycode_down, 0x3B},
    };
    for (const auto &[keycode, usage] : steps) {
        tap(keycode);
        const int expected = key_list_entry(usage);
        ASSERT_TRUE(pump_until([&] { return highlighted(menu) == expected; })) << usage;
    }
    tap(x_keycode_return);
    EXPECT_TRUE(pump_until([] { return entry(combobox_keyb[0]) == key_list_entry(0x3B); }));
}

}  // namespace
