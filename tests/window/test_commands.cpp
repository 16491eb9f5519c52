// The commands of the real main window, started from its own buttons and menu items: Write
// checked byte for byte through the recording HID stand-in, Read and Defaults, Set defaults
// with its message, About, Quit, and a window whose widgets are missing.
#include "tests/window/window_test.h"

#include <glib/gstdio.h>
#include <unistd.h>

#include "build_config.h"

#include "app/hub.h"
#include "app/paths.h"
#include "app/settings.h"
#include "device/config.h"
#include "device/keys.h"
#include "device/protocol.h"
#include "window/window.h"
#include "tests/scratch_dir.h"

namespace {

using bytes = std::array<uint8_t, 9>;

void click(const char *id)
{
    GtkWidget *w = find_widget(id);
    ASSERT_TRUE(GTK_IS_BUTTON(w)) << id;
    gtk_button_clicked(GTK_BUTTON(w));
}

void activate(const char *id)
{
    GtkWidget *w = find_widget(id);
    ASSERT_TRUE(GTK_IS_MENU_ITEM(w)) << id;
    gtk_menu_item_activate(GTK_MENU_ITEM(w));
}

bool same_actions(const action_record &a, const action_record &b)
{
    return a.kind == b.kind && a.code == b.code && a.modifiers == b.modifiers && a.auto_release == b.auto_release;
}

// Lets a running write end, closing its success message; returns what the message said.
seen_dialog finish_write()
{
    return answer_message_dialog([] { pump_until([] { return writing_config == 0; }); });
}

using CommandWrite = WindowTest;

TEST_F(CommandWrite, MiniSendsItsTwoRowsAndTheChosenPresets)
{
    connect_idle(1);
    const int key = n_keybd_hid_codes / 3;
    press(radiobutton_keyb[0]);
    choose(combobox_keyb[0], key);
    press(checkbutton_control[0], true);
    press(checkbutton_shift[0], true);
    press(checkbutton_alt[0], false);
    press(checkbutton_auto_release[0], false);
    press(radiobutton_joy[1]);
    choose(combobox_joy[1], 10);  // Move left
    press(checkbutton_auto_release[1], true);
    // Rows beyond the Mini's two are not read, whatever they show.
    press(radiobutton_joy[2]);
    choose(combobox_joy[2], 3);
    choose(combobox_mouse_speed, 1);       // Constant (fast)
    choose(combobox_joy_displacement, 0);  // 25%

    click("button_send");

    const std::vector<bytes> expected = {
        {0x00, 0x04, 0x00, 0x01, keybd_hid_codes[key], 0x03, 0x00, 0x00, 0x00},
        {0x00, 0x04, 0x01, 0x04, 0x02, 0x00, 0x01, 0x00, 0x00},
        {0x00, 0x07, 0x0C, 0x0C, 0x0C, 0x28, 0x96, 0x20, 0x00},
        {0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
    };
    ASSERT_EQ(mhid_written.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) {
        EXPECT_EQ(mhid_written[i].bytes, expected[i]) << "report " << i;
        EXPECT_EQ(mhid_written[i].id, 3) << "report " << i;
    }
    for (int s = 2; s < max_switches; s++)
        EXPECT_TRUE(same_actions(switch_action[s], default_switch_action[s])) << "switch " << s + 1;
    EXPECT_EQ(mouse_speed_index, 1);
    EXPECT_EQ(mouse_speed, (std::array<int, 3>{12, 12, 12}));
    EXPECT_EQ(mouse_stretch, (std::array<int, 2>{40, 150}));
    EXPECT_EQ(joy_displacement, 32);

    const seen_dialog done = finish_write();
    EXPECT_TRUE(done.shown);
    EXPECT_EQ(done.title, "Zevrin");
    EXPECT_EQ(done.text, "Configuration successfully written into the device.");
    // Back to the editor, which shows what was written.
    EXPECT_TRUE(shown(box_config));
    EXPECT_EQ(get_page(0), page_keyboard);
    EXPECT_EQ(entry(combobox_joy[1]), 10);
    EXPECT_EQ(entry(combobox_mouse_speed), 1);
    EXPECT_EQ(entry(combobox_joy_displacement), 0);
}

TEST_F(CommandWrite, ZevrinSendsEightRowsAndTheDisplacement)
{
    connect_idle(0);
    press(radiobutton_mouse[7]);
    choose(combobox_mouse[7], 3);  // Drag/Drop, which keeps the movement's auto-release (greyed out)
    choose(combobox_mouse_speed, 3);
    choose(combobox_joy_displacement, 3);  // 90%

    click("button_send");

    ASSERT_EQ(mhid_written.size(), 10u);
    for (int s = 0; s < 7; s++) {
        const action_record &d = default_switch_action[s];
        const bytes expected = {0x00, 0x04, uint8_t(s), uint8_t(d.kind), uint8_t(d.code), 0x00, 0x01, 0x00, 0x00};
        EXPECT_EQ(mhid_written[s].bytes, expected) << "switch " << s + 1;
    }
    EXPECT_EQ(mhid_written[7].bytes, (bytes{0x00, 0x04, 0x07, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00}));
    EXPECT_EQ(mhid_written[8].bytes, (bytes{0x00, 0x07, 0x05, 0x12, 0x07, 0x28, 0x96, 0x73, 0x00}));
    EXPECT_EQ(joy_displacement, 115);
    EXPECT_TRUE(finish_write().shown);
}

TEST_F(CommandWrite, RefusedWithoutAnIdleDevice)
{
    press(radiobutton_joy[0]);
    for (int state = 0; state < 3; state++) {
        SCOPED_TRACE(state);
        connect_idle(0);
        device_connected = state != 0;
        reading_config = state == 1;
        writing_config = state == 2;
        click("button_send");
        EXPECT_TRUE(mhid_written.empty());
        EXPECT_TRUE(same_actions(switch_action[0], default_switch_action[0]));
        EXPECT_EQ(writing_config, state == 2 ? 1 : 0);
    }
}

using CommandRead = WindowTest;

std::vector<bytes> read_requests(int n)
{
    std::vector<bytes> r;
    for (int i = 0; i < n; i++)
        r.push_back({0x00, 0x09, 0x00, uint8_t(i), 0x00, 0x00, 0x00, 0x00, 0x00});
    r.push_back({0x00, 0x09, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    return r;
}

void check_button_starts_a_read(const char *button, int model)
{
    connect_idle(model);
    ASSERT_TRUE(shown(box_config));
    click(button);
    EXPECT_EQ(reading_config, 1);
    const int n = model_n_switches[model];
    ASSERT_TRUE(pump_until([n] { return reading_config_step > n; }));
    std::vector<bytes> sent;
    for (const written_report &r : mhid_written)
        sent.push_back(r.bytes);
    EXPECT_EQ(sent, read_requests(n));
    EXPECT_FALSE(shown(box_config));
    EXPECT_FALSE(shown(box_toolbar));

    // The device answers: the window shows what it sent once the read has ended.
    const uint8_t key = keybd_hid_codes[n_keybd_hid_codes - 1];
    const uint8_t record_reply[9] = {0x00, 0x09, 0x00, 0x00, 0x01, key, 0x04, 0x01, 0x00};
    handle_message(record_reply, 9);
    for (int i = 1; i < n; i++) {
        const uint8_t other_reply[9] = {0x00, 0x09, 0x00, uint8_t(i), 0x02, 0x01, 0x00, 0x00, 0x00};
        handle_message(other_reply, 9);
    }
    const uint8_t settings_reply[9] = {0x00, 0x0A, 0x00, 0x05, 0x12, 0x07, 0x28, 0x96, 0x40};
    handle_message(settings_reply, 9);
    ASSERT_TRUE(pump_until([] { return reading_config == 0; }));
    EXPECT_TRUE(shown(box_config));
    EXPECT_EQ(get_page(0), page_keyboard);
    EXPECT_EQ(entry(combobox_keyb[0]), n_keybd_hid_codes - 1);
    EXPECT_TRUE(active(checkbutton_alt[0]));
    EXPECT_EQ(entry(combobox_joy_displacement), 1);
}

TEST_F(CommandRead, ReadButtonStartsARead)
{
    check_button_starts_a_read("button_read", 0);
}

TEST_F(CommandRead, DefaultsButtonStartsARead)
{
    check_button_starts_a_read("button_defaults", 1);
}

TEST_F(CommandRead, RefusedWithoutAnIdleDevice)
{
    for (const char *button : {"button_read", "button_defaults"}) {
        for (int state = 0; state < 3; state++) {
            SCOPED_TRACE(testing::Message() << button << " " << state);
            connect_idle(0);
            device_connected = state != 0;
            reading_config = state == 1;
            writing_config = state == 2;
            reading_config_step = 5;
            click(button);
            pump();
            EXPECT_EQ(reading_config_step, 5);
            EXPECT_TRUE(mhid_written.empty());
        }
    }
    writing_config = 0;
    reading_config = 0;
}

using CommandSetDefaults = WindowTest;

// Without a box, or before its configuration has been read, there is nothing to show the
// defaults in: the message says what is missing, and the record stays as it was.
TEST_F(CommandSetDefaults, WithoutADeviceOrItsConfigurationTellsWhatIsMissing)
{
    const action_record odd{kind_joystick_button, 4, 0, 0};
    for (action_record &a : switch_action)
        a = odd;
    mouse_speed = {5, 5, 5};
    joy_displacement = 40;
    update_main_window();

    seen_dialog d = answer_message_dialog([] { activate("menuitem_set_defaults"); });
    EXPECT_TRUE(d.shown);
    EXPECT_EQ(d.title, "Zevrin");
    EXPECT_EQ(d.text, "Please connect a Zevrin device first: the default configuration is shown for the device "
                      "that is connected.");

    connect_idle(0);
    config_valid = 0;  // its read did not complete
    update_main_window();
    d = answer_message_dialog([] { activate("menuitem_set_defaults"); });
    EXPECT_EQ(d.text, "The default configuration can be shown once the configuration of the device has been read.");

    for (int s = 0; s < max_switches; s++) {
        EXPECT_EQ(switch_action[s], odd) << "switch " << s + 1;
        EXPECT_EQ(get_page(s), page_joystick);
    }
    EXPECT_EQ(mouse_speed, (std::array<int, 3>{5, 5, 5}));
    EXPECT_EQ(joy_displacement, 40);
    EXPECT_TRUE(mhid_written.empty());
    EXPECT_FALSE(shown(box_config));
}

TEST_F(CommandSetDefaults, WithADeviceReplacesEditsAndSendsNothing)
{
    switch_action[1] = {kind_keyboard_key, keybd_hid_codes[3], 2, 0};
    connect_idle(1);
    press(radiobutton_joy[0]);
    choose(combobox_joy[0], 6);
    choose(combobox_mouse_speed, 0);
    gtk_widget_grab_focus(checkbutton_alt[1]);

    const seen_dialog d = answer_message_dialog([] { activate("menuitem_set_defaults"); });
    EXPECT_TRUE(d.shown);
    EXPECT_EQ(d.text, "Default configuration is shown. Click 'Write' to send it to the device.");
    // The keyboard page went with the focus on it: the focus stays in the row.
    EXPECT_EQ(gtk_window_get_focus(GTK_WINDOW(window_main)), radiobutton_mouse[1]);
    EXPECT_EQ(get_page(0), page_mouse);
    EXPECT_EQ(get_page(1), page_mouse);
    EXPECT_EQ(entry(combobox_mouse[1]), 1);
    EXPECT_EQ(entry(combobox_mouse_speed), 3);
    EXPECT_TRUE(same_actions(switch_action[1], default_switch_action[1]));
    EXPECT_TRUE(mhid_written.empty());
    EXPECT_TRUE(shown(box_config));
    // The box still holds what was read: the defaults are a change to write.
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(window_main)), "*Zevrin Mini");
}

using CommandAbout = WindowTest;

std::vector<GtkWidget *> visible_toplevels_besides_main()
{
    std::vector<GtkWidget *> found;
    GList *toplevels = gtk_window_list_toplevels();
    for (GList *l = toplevels; l != nullptr; l = l->next)
        if (l->data != window_main && gtk_widget_get_visible(GTK_WIDGET(l->data)) &&
            gtk_window_get_window_type(GTK_WINDOW(l->data)) == GTK_WINDOW_TOPLEVEL)
            found.push_back(GTK_WIDGET(l->data));
    g_list_free(toplevels);
    return found;
}

TEST_F(CommandAbout, PresentsTheSameWindowEveryTime)
{
    ASSERT_TRUE(GTK_IS_WINDOW(window_about));
    GtkWidget *about = window_about;
    g_object_add_weak_pointer(G_OBJECT(about), reinterpret_cast<gpointer *>(&about));

    activate("menuitem_about");
    activate("menuitem_about");
    pump();
    EXPECT_EQ(visible_toplevels_besides_main(), std::vector<GtkWidget *>{window_about});

    // Closing hides it; it stays alive to be presented again.
    gtk_window_close(GTK_WINDOW(window_about));
    pump();
    ASSERT_EQ(about, window_about) << "closing destroyed the about window";
    EXPECT_FALSE(gtk_widget_get_visible(window_about));
    activate("menuitem_about");
    pump();
    EXPECT_EQ(visible_toplevels_besides_main(), std::vector<GtkWidget *>{window_about});

    g_object_remove_weak_pointer(G_OBJECT(about), reinterpret_cast<gpointer *>(&about));
    gtk_widget_hide(window_about);
}

// The address that the desktop was asked to open by `action`, or "" when none was opened.
std::string address_opened_by(const std::function<void()> &action)
{
    g_remove(opened_uri_file.c_str());
    action();
    // Nothing wakes the main loop when the recorder writes its file: a tick looks again.
    const guint tick = g_timeout_add(20, [](gpointer) { return gboolean(G_SOURCE_CONTINUE); }, nullptr);
    const bool written = pump_until([] { return g_file_test(opened_uri_file.c_str(), G_FILE_TEST_EXISTS); });
    g_source_remove(tick);
    if (!written)
        return "";
    gchar *uri = nullptr;
    if (!g_file_get_contents(opened_uri_file.c_str(), &uri, nullptr, nullptr))
        return "";
    const std::string opened = uri;
    g_free(uri);
    return opened;
}

// The manual where help viewers look for it: the user's data directory (the system's would do
// as well). Its web pages where the program looks for them: in a data directory and a current
// directory of the test's own, with the window in the language of `LANGUAGE`.
class CommandUserManual : public WindowTest {
protected:
    std::string manual_dir, scratch, saved_cwd, saved_language;
    gchar *saved_data_dir = nullptr;

    void SetUp() override
    {
        WindowTest::SetUp();
        gchar *dir = g_build_filename(g_get_user_data_dir(), "help", "C", "zevrin", nullptr);
        manual_dir = dir;
        g_free(dir);
        scratch = scratch::make_dir("zevrin-manual");
        ASSERT_FALSE(scratch.empty());
        ASSERT_EQ(g_mkdir_with_parents((scratch + "/data").c_str(), 0700), 0);
        ASSERT_EQ(g_mkdir_with_parents((scratch + "/build").c_str(), 0700), 0);
        gchar *cwd = g_get_current_dir();
        saved_cwd = cwd;
        g_free(cwd);
        ASSERT_EQ(chdir((scratch + "/build").c_str()), 0);
        saved_data_dir = data_dir;
        data_dir = g_strdup((scratch + "/data/").c_str());
        saved_language = g_getenv("LANGUAGE") != nullptr ? g_getenv("LANGUAGE") : "";
        g_setenv("LANGUAGE", "en", TRUE);
    }

    void TearDown() override
    {
        install_manual(false);
        EXPECT_TRUE(set_uri_handlers(false, true));
        g_setenv("LANGUAGE", saved_language.c_str(), TRUE);
        g_free(data_dir);
        data_dir = saved_data_dir;
        EXPECT_EQ(chdir(saved_cwd.c_str()), 0);
        scratch::remove_dir(scratch);
        WindowTest::TearDown();
    }

    void install_manual(bool installed)
    {
        const std::string index = manual_dir + "/index.page";
        if (installed) {
            ASSERT_EQ(g_mkdir_with_parents(manual_dir.c_str(), 0700), 0);
            ASSERT_TRUE(g_file_set_contents(index.c_str(), "<page xmlns=\"http://projectmallard.org/1.0/\" "
                                                           "type=\"guide\" id=\"index\"/>\n", -1, nullptr));
        } else {
            g_remove(index.c_str());
        }
    }

    // A web page of the manual, in `where` ("data/help-html" installed, "build/help/html" in
    // the build tree) and `language`. Its file, which is what the desktop hands the browser for
    // the file:// address.
    std::string install_page(const std::string &where, const char *language, const char *page)
    {
        const std::string dir = scratch + "/" + where + "/" + language;
        EXPECT_EQ(g_mkdir_with_parents(dir.c_str(), 0700), 0);
        const std::string file = dir + "/" + page + ".html";
        EXPECT_TRUE(g_file_set_contents(file.c_str(), "<html></html>\n", -1, nullptr));
        return file;
    }
};

TEST_F(CommandUserManual, OpensTheManualPageInTheBrowser)
{
    const std::string opened = address_opened_by([] { activate("menuitem_user_manual"); });
    EXPECT_EQ(opened, USER_MANUAL_URI);
    EXPECT_EQ(opened.rfind("https://", 0), 0u) << opened;
    EXPECT_NE(opened.find("/descarga/#manual_zevrin"), std::string::npos) << opened;
}

TEST_F(CommandUserManual, AHelpViewerShowsTheInstalledManual)
{
    install_manual(true);
    ASSERT_TRUE(set_uri_handlers(true, true));
    EXPECT_EQ(address_opened_by([] { activate("menuitem_user_manual"); }), "help:zevrin");
    // The F1 key is the same menu item's accelerator.
    GtkAccelGroup *accels = nullptr;
    GSList *groups = gtk_accel_groups_from_object(G_OBJECT(window_main));
    if (groups != nullptr)
        accels = GTK_ACCEL_GROUP(groups->data);
    ASSERT_NE(accels, nullptr);
    EXPECT_EQ(address_opened_by([&] {
                  EXPECT_TRUE(gtk_accel_groups_activate(G_OBJECT(window_main), GDK_KEY_F1, GdkModifierType(0)));
              }),
              "help:zevrin");
    // A topic of the manual, as a message can offer it.
    EXPECT_EQ(address_opened_by([] { show_user_manual("trouble-permission"); }), "help:zevrin/trouble-permission");
}

// Pressed Help in a message: the manual shows the message's page, and the message stays open
// beside it until closed.
TEST_F(CommandUserManual, AMessageOpensItsTroubleshootingPage)
{
    install_manual(true);
    ASSERT_TRUE(set_uri_handlers(true, true));
    static int closed_after_help;
    closed_after_help = 0;
    const auto close_once_opened = [](gpointer) -> gboolean {
        if (!g_file_test(opened_uri_file.c_str(), G_FILE_TEST_EXISTS))
            return TRUE;
        GList *windows = gtk_window_list_toplevels();
        for (GList *l = windows; l != nullptr; l = l->next)
            if (GTK_IS_MESSAGE_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data))) {
                closed_after_help++;
                gtk_dialog_response(GTK_DIALOG(l->data), GTK_RESPONSE_CLOSE);
            }
        g_list_free(windows);
        return FALSE;
    };
    std::string opened;
    const std::vector<seen_dialog> seen = answer_message_dialogs([&] {
        opened = address_opened_by([&] {
            g_timeout_add(20, close_once_opened, nullptr);
            dialog_info("Zevrin", "No permission.", GTK_WINDOW(window_main), "trouble-permission");
        });
    }, {"_Help"});
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].buttons, (std::vector<std::string>{"_Help", "_Close"}));
    EXPECT_EQ(opened, "help:zevrin/trouble-permission");
    EXPECT_EQ(closed_after_help, 1);
}

TEST_F(CommandUserManual, WithoutAHelpViewerTheWebManualOpens)
{
    install_manual(true);
    ASSERT_TRUE(set_uri_handlers(false, true));
    EXPECT_EQ(address_opened_by([] { activate("menuitem_user_manual"); }), USER_MANUAL_URI);
}

// No help viewer, or none that has the manual: the browser shows the manual's pages installed on
// this computer, in the window's language where they are in it, else in English.
TEST_F(CommandUserManual, WithoutAHelpViewerTheBrowserShowsTheInstalledPagesInTheWindowsLanguage)
{
    install_manual(true);
    ASSERT_TRUE(set_uri_handlers(false, true));
    const std::string english = install_page("data/help-html", "C", "index");
    const std::string french = install_page("data/help-html", "fr", "index");
    const std::string french_topic = install_page("data/help-html", "fr", "trouble-permission");
    install_page("build/help/html", "fr", "index");  // the build tree's come second
    g_setenv("LANGUAGE", "fr", TRUE);
    EXPECT_EQ(address_opened_by([] { activate("menuitem_user_manual"); }), french);
    EXPECT_EQ(address_opened_by([] { show_user_manual("trouble-permission"); }), french_topic);
    // A page that is not in French is shown in English.
    install_page("data/help-html", "C", "demo");
    EXPECT_EQ(address_opened_by([] { show_user_manual("demo"); }), english.substr(0, english.size() - 10) + "demo.html");
    // English (en) has its pages in C, as a language without pages of its own.
    for (const char *language : {"en", "de", ""}) {
        g_setenv("LANGUAGE", language, TRUE);
        EXPECT_EQ(address_opened_by([] { activate("menuitem_user_manual"); }), english) << language;
    }
    // A help viewer with the manual installed comes first.
    ASSERT_TRUE(set_uri_handlers(true, true));
    EXPECT_EQ(address_opened_by([] { activate("menuitem_user_manual"); }), "help:zevrin");
}

// Run from the build tree, the program finds the pages that the build made beside it.
TEST_F(CommandUserManual, RunFromTheBuildTreeTheBrowserShowsThePagesOfTheBuild)
{
    ASSERT_TRUE(set_uri_handlers(true, true));
    const std::string built = install_page("build/help/html", "it", "index");
    g_setenv("LANGUAGE", "it", TRUE);
    EXPECT_EQ(address_opened_by([] { activate("menuitem_user_manual"); }), built);
}

TEST_F(CommandUserManual, AManualThatIsNotInstalledIsNotAskedOfTheHelpViewer)
{
    install_manual(false);
    ASSERT_TRUE(set_uri_handlers(true, true));
    EXPECT_EQ(address_opened_by([] { activate("menuitem_user_manual"); }), USER_MANUAL_URI);
}

TEST_F(CommandUserManual, WhenNothingCanOpenItAMessageGivesTheWebAddress)
{
    install_manual(true);
    install_page("data/help-html", "C", "index");
    ASSERT_TRUE(set_uri_handlers(false, false));
    g_remove(opened_uri_file.c_str());
    const seen_dialog seen = answer_message_dialog([] { activate("menuitem_user_manual"); });
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(seen.title, "Zevrin");
    EXPECT_NE(seen.text.find(USER_MANUAL_URI), std::string::npos) << seen.text;
    EXPECT_FALSE(g_file_test(opened_uri_file.c_str(), G_FILE_TEST_EXISTS));
}

gboolean quit_from_menu_cb(gpointer)
{
    activate("menuitem_quit");
    return G_SOURCE_REMOVE;
}

gboolean quit_anyway_cb(gpointer expired)
{
    *static_cast<bool *>(expired) = true;
    gtk_main_quit();
    return G_SOURCE_REMOVE;
}

using CommandQuit = WindowTest;

TEST_F(CommandQuit, LeavesTheMainLoop)
{
    bool expired = false;
    g_idle_add(quit_from_menu_cb, nullptr);
    const guint guard = g_timeout_add_seconds(10, quit_anyway_cb, &expired);
    gtk_main();
    if (!expired)
        g_source_remove(guard);
    EXPECT_FALSE(expired);
}

std::string title()
{
    const char *t = gtk_window_get_title(GTK_WINDOW(window_main));
    return t ? t : "";
}

// How a write that stopped before its end begins its message.
const std::string interrupted_text =
    "Writing stopped before the end: the device may now hold part of the new configuration and part of the old one.";

bool interrupted(const seen_dialog &d)
{
    return d.text.rfind(interrupted_text, 0) == 0;
}
const char *const read_question =
    "The changes in the window have not been written into the device. Reading the configuration from the "
    "device discards them.";
const char *const quit_question =
    "The changes in the window have not been written into the device. Write them before the program ends?";

using CommandChanges = WindowTest;

TEST_F(CommandChanges, TitleMarksWhatTheBoxDoesNotHold)
{
    connect_idle(0);
    EXPECT_EQ(title(), "Zevrin");
    press(radiobutton_keyb[3]);
    EXPECT_EQ(title(), "*Zevrin");
    press(radiobutton_mouse[3]);  // as it was
    EXPECT_EQ(title(), "Zevrin");
    press(checkbutton_auto_release[0], false);
    EXPECT_EQ(title(), "*Zevrin");
    press(checkbutton_auto_release[0], true);
    EXPECT_EQ(title(), "Zevrin");
    choose(combobox_joy_displacement, 0);
    EXPECT_EQ(title(), "*Zevrin");
    update_main_window();  // a refresh keeps the change, and the mark
    EXPECT_EQ(title(), "*Zevrin");
    EXPECT_EQ(entry(combobox_joy_displacement), 0);

    click("button_send");
    EXPECT_EQ(finish_write().text, "Configuration successfully written into the device.");
    EXPECT_EQ(title(), "Zevrin");

    // A write that the box does not give back is not taken for written: the mark stays, and
    // the message offers to write again.
    choose(combobox_mouse_speed, 0);
    box_answers_checks = false;
    click("button_send");
    const seen_dialog unchecked = finish_write();
    EXPECT_EQ(unchecked.text.rfind("The configuration was sent to the device, but the device did not give it back", 0),
              0u)
        << unchecked.text;
    EXPECT_EQ(unchecked.buttons, (std::vector<std::string>{"_Help", "_Close", "Write _again"}));
    EXPECT_EQ(title(), "*Zevrin");

    // A write that does not reach the box leaves the mark: the box holds what it held.
    connected_device_id_out = -1;
    click("button_send");
    const seen_dialog stopped = finish_write();
    EXPECT_TRUE(interrupted(stopped)) << stopped.text;
    EXPECT_EQ(title(), "*Zevrin");
}

TEST_F(CommandChanges, ReadAndUndoAskBeforeDiscardingChanges)
{
    for (const char *button : {"button_read", "button_defaults"}) {
        SCOPED_TRACE(button);
        connect_idle(0);
        const configuration box = record_configuration();
        choose(combobox_mouse[2], 6);
        seen_dialog d = answer_message_dialog([&] { click(button); }, "_Cancel");
        EXPECT_EQ(d.title, "Zevrin");
        EXPECT_EQ(d.text, read_question);
        EXPECT_EQ(d.buttons, (std::vector<std::string>{"_Cancel", "_Discard"}));
        EXPECT_EQ(reading_config, 0);
        EXPECT_TRUE(mhid_written.empty());
        EXPECT_EQ(entry(combobox_mouse[2]), 6);
        EXPECT_EQ(title(), "*Zevrin");

        gtk_widget_grab_focus(find_widget(button));
        d = answer_message_dialog([&] { click(button); }, "_Discard");
        EXPECT_EQ(d.text, read_question);
        ASSERT_EQ(reading_config, 1);
        ASSERT_TRUE(pump_until([] { return reading_config_step > 8; }));
        EXPECT_EQ(gtk_window_get_focus(GTK_WINDOW(window_main)), nullptr);  // hidden with the toolbar
        answer_read(box, 8);
        EXPECT_EQ(entry(combobox_mouse[2]), 2);
        // Back on the button that started the read.
        EXPECT_EQ(gtk_window_get_focus(GTK_WINDOW(window_main)), find_widget(button));
        EXPECT_EQ(title(), "Zevrin");
        mhid_written.clear();
    }
    // Without changes there is nothing to ask.
    click("button_read");
    EXPECT_EQ(reading_config, 1);
    ASSERT_TRUE(pump_until([] { return reading_config_step > 8; }));
    answer_read(record_configuration(), 8);
}

struct loop_run {
    std::function<void()> action;
    bool went_on = false;
    guint after = 0;
};

gboolean went_on_cb(gpointer data)
{
    auto *run = static_cast<loop_run *>(data);
    run->after = 0;
    run->went_on = true;
    gtk_main_quit();
    return G_SOURCE_REMOVE;
}

gboolean run_action_cb(gpointer data)
{
    auto *run = static_cast<loop_run *>(data);
    run->action();
    // Runs only when the loop goes on after the action.
    run->after = g_idle_add_full(G_PRIORITY_LOW, went_on_cb, run, nullptr);
    return G_SOURCE_REMOVE;
}

// Runs `action` inside the main loop; whether that ended the loop there and then.
bool ends_the_main_loop(const std::function<void()> &action)
{
    loop_run run{action};
    g_idle_add(run_action_cb, &run);
    gtk_main();
    if (run.after != 0)
        g_source_remove(run.after);
    return !run.went_on;
}

void edit_a_row()
{
    connect_idle(0);
    press(radiobutton_joy[6]);
    choose(combobox_joy[6], 1);
    ASSERT_EQ(title(), "*Zevrin");
}

TEST_F(CommandChanges, QuitAsksFirstCancelKeepsTheProgramDiscardEndsIt)
{
    ASSERT_NO_FATAL_FAILURE(edit_a_row());
    std::vector<seen_dialog> d;
    EXPECT_FALSE(ends_the_main_loop([&] {
        d = answer_message_dialogs([] { activate("menuitem_quit"); }, {"_Cancel"});
    }));
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].title, "Zevrin");
    EXPECT_EQ(d[0].text, quit_question);
    EXPECT_EQ(d[0].buttons, (std::vector<std::string>{"_Cancel", "_Discard", "_Write"}));
    EXPECT_EQ(get_page(6), page_joystick);
    EXPECT_EQ(title(), "*Zevrin");
    EXPECT_TRUE(mhid_written.empty());

    // Closing the window asks the same, and keeps the window.
    EXPECT_FALSE(ends_the_main_loop([&] {
        d = answer_message_dialogs([] { gtk_window_close(GTK_WINDOW(window_main)); }, {"_Cancel"});
    }));
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].text, quit_question);
    EXPECT_TRUE(gtk_widget_get_visible(window_main));

    // Discarded, the changes go with the program, unwritten.
    EXPECT_TRUE(ends_the_main_loop([&] { answer_message_dialogs([] { activate("menuitem_quit"); }, {"_Discard"}); }));
    EXPECT_TRUE(mhid_written.empty());
    EXPECT_FALSE(restart_requested);
}

TEST_F(CommandChanges, QuitWriteEndsOnceTheWriteHasReachedTheBox)
{
    ASSERT_NO_FATAL_FAILURE(edit_a_row());
    bool expired = false;
    g_idle_add(+[](gpointer) -> gboolean {
        answer_message_dialogs([] { activate("menuitem_quit"); }, {"_Write"});
        return G_SOURCE_REMOVE;
    }, nullptr);
    const guint guard = g_timeout_add_seconds(10, quit_anyway_cb, &expired);
    gtk_main();
    if (!expired)
        g_source_remove(guard);
    EXPECT_FALSE(expired);
    EXPECT_EQ(writing_config, 0);  // ended by the end of the write, without a message
    ASSERT_EQ(mhid_written.size(), 10u);
    EXPECT_EQ(mhid_written[6].bytes, (bytes{0x00, 0x04, 0x06, 0x02, 0x01, 0x00, 0x01, 0x00, 0x00}));
}

TEST_F(CommandChanges, QuitWriteThatFailsSaysSoAndKeepsTheProgram)
{
    ASSERT_NO_FATAL_FAILURE(edit_a_row());
    connected_device_id_out = -1;  // gone, the hub not told yet
    std::vector<seen_dialog> d;
    EXPECT_FALSE(ends_the_main_loop([&] {
        d = answer_message_dialogs([] { activate("menuitem_quit"); }, {"_Write"});
        d.push_back(finish_write());
    }));
    ASSERT_EQ(d.size(), 2u);
    EXPECT_TRUE(interrupted(d[1])) << d[1].text;
    EXPECT_FALSE(quit_after_write);
    EXPECT_EQ(title(), "*Zevrin");
}

// A language chosen in the menu offers a restart, which is a Quit (asking first) that the
// program follows with a new start.
TEST_F(CommandChanges, RestartNowAsksLikeQuitThenEndsForTheRestart)
{
    ASSERT_NO_FATAL_FAILURE(edit_a_row());
    const int italian = 3;
    ASSERT_NE(current_language, italian);
    std::vector<seen_dialog> d;
    EXPECT_FALSE(ends_the_main_loop([&] {
        d = answer_message_dialogs([&] { gtk_menu_item_activate(GTK_MENU_ITEM(radiomenuitem_lang[italian])); },
                                   {"_Restart now", "_Cancel"});
    }));
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].title, "Language");
    EXPECT_EQ(d[0].text, "You need to restart the application to apply this change");
    EXPECT_EQ(d[0].buttons, (std::vector<std::string>{"_Restart now", "_OK"}));
    EXPECT_EQ(d[1].text, quit_question);
    EXPECT_FALSE(restart_requested);

    // Another language, and now the changes are discarded: the program ends, to start again.
    const int catalan = 5;
    EXPECT_TRUE(ends_the_main_loop([&] {
        d = answer_message_dialogs([&] { gtk_menu_item_activate(GTK_MENU_ITEM(radiomenuitem_lang[catalan])); },
                                   {"_Restart now", "_Discard"});
    }));
    EXPECT_EQ(d.size(), 2u);
    EXPECT_TRUE(restart_requested);
    EXPECT_TRUE(mhid_written.empty());

    // Back to English for the tests that follow, without the handler.
    GtkWidget *english = radiomenuitem_lang[0];
    const auto handler = reinterpret_cast<gpointer>(radiomenuitem_lang_activate_cb);
    g_signal_handlers_block_matched(english, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr, handler, nullptr);
    gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(english), TRUE);
    g_signal_handlers_unblock_matched(english, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr, handler, nullptr);
    current_language = 0;
}

// Every reference of the window code, so a test can empty them all as if the interface files
// lacked every id.
std::vector<GtkWidget **> all_references()
{
    std::vector<GtkWidget **> refs = {
        &window_main, &checkmenuitem_dev_options, &label_message, &box_models, &box_config,
        &combobox_mouse_speed, &combobox_joy_displacement, &image_connected_model, &label_connected_model,
        &box_toolbar, &button_defaults, &button_send, &progressbar, &window_about, &label_version,
        &image_zevrin, &image_morvak,
    };
    for (GtkWidget *&w : radiomenuitem_lang)
        refs.push_back(&w);
    for (model_widgets *a : {&box_model, &image_model})
        for (GtkWidget *&w : *a)
            refs.push_back(&w);
    for (switch_widgets *a :
         {&image_symbol, &radiobutton_mouse, &radiobutton_keyb, &radiobutton_joy, &radiobutton_gen, &box_sw,
          &separator_sw, &box_mouse, &box_keyb, &box_joy, &box_gen, &combobox_mouse, &combobox_keyb, &button_keyb,
          &combobox_joy, &combobox_gen, &checkbutton_auto_release, &checkbutton_control, &checkbutton_shift,
          &checkbutton_alt})
        for (GtkWidget *&w : *a)
            refs.push_back(&w);
    return refs;
}

using MissingWidgets = WindowTest;

TEST_F(MissingWidgets, EveryOperationSkipsEmptyReferencesQuietly)
{
    std::vector<GtkWidget **> refs = all_references();
    std::vector<GtkWidget *> saved;
    for (GtkWidget **r : refs) {
        saved.push_back(*r);
        *r = nullptr;
    }

    for (int state = 0; state < 4; state++) {
        device_connected = state != 0;
        reading_config = state == 1;
        writing_config = state == 2;
        update_main_window();
    }
    set_model_images();
    show_main_window();
    switch_action[0] = {kind_keyboard_key, 0x10, 1, 1};
    switch_action[1] = {kind_generic_event, 2, 0, 0};
    update_main_window();
    for (int s = 0; s < max_switches; s++) {
        EXPECT_EQ(get_page(s), page_mouse);
        const action_record r = read_switch_row(s);
        // Without a list the row keeps the stored mouse action, or falls back to the first one.
        const int32_t stored = switch_action[s].kind;
        if (stored == kind_mouse_button || stored == kind_mouse_movement) {
            EXPECT_EQ(r.kind, stored);
            EXPECT_EQ(r.code, switch_action[s].code);
        } else {
            EXPECT_EQ(r.kind, mouse_combo_actions[0].action.kind);
            EXPECT_EQ(r.code, mouse_combo_actions[0].action.code);
        }
    }
    connect_idle(1);
    button_send_clicked_cb(nullptr, nullptr);  // no lists: the presets stay as they were
    EXPECT_EQ(mhid_written.size(), 4u);
    EXPECT_EQ(mouse_speed_index, 3);
    EXPECT_EQ(joy_displacement, 115);
    menuitem_about_activate_cb(nullptr, nullptr);
    combobox_action_changed_cb(nullptr, GINT_TO_POINTER(3));
    pump();
    EXPECT_TRUE(take_log_problems().empty()) << "an empty reference reached the toolkit";

    for (size_t i = 0; i < refs.size(); i++)
        *refs[i] = saved[i];
    // The write goes on to its end with the references back.
    EXPECT_TRUE(finish_write().shown);
}

}  // namespace
