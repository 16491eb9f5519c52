// Configuration files through the real window: a file opened fills the rows, marks the window
// changed and reaches the box with Write, byte for byte; what the window saves opens as the same;
// an invalid file says why and changes nothing; a file for the other model fills what both have;
// a file given before a box is ready opens once it is.
#include "tests/window/window_test.h"

#include <functional>
#include <random>

#include <glib/gstdio.h>

#include "app/paths.h"
#include "device/config.h"
#include "device/config_file.h"
#include "device/conversation.h"
#include "device/describe.h"
#include "device/protocol.h"
#include "tests/scratch_dir.h"
#include "window/window.h"

namespace {

using bytes = std::array<uint8_t, 9>;

std::string title()
{
    const char *t = gtk_window_get_title(GTK_WINDOW(window_main));
    return t ? t : "";
}

// Every byte value turns up in every field over the first 256 rounds.
configuration random_configuration(std::mt19937 &random, int round)
{
    int field = 0;
    auto next = [&]() { return round < 256 ? (round * 7 + 31 * field++) & 0xFF : int(random() & 0xFF); };
    configuration c{};
    for (action_record &a : c.switches)
        a = {next(), next(), next(), next()};
    for (int &v : c.mouse_speed)
        v = next();
    for (int &v : c.mouse_stretch)
        v = next();
    c.joy_displacement = next();
    return c;
}

// Opens `path` as a file given to the program is opened; returns the message it showed.
seen_dialog open_file(const std::string &path)
{
    return answer_message_dialog([&] {
        open_configuration_file(path.c_str());
        pump_until([] { return false; }, 300);
    });
}

// Runs `action`, which opens a dialog of the class `type` and waits for it; `handle` gets the
// dialog once it shows, and answers it.
void with_dialog(const char *type, const std::function<void()> &action, const std::function<void(GtkDialog *)> &handle)
{
    struct watch {
        const char *type;
        const std::function<void(GtkDialog *)> &handle;
        bool handled;
    } w{type, handle, false};
    const guint source = g_timeout_add(
        50,
        [](gpointer data) -> gboolean {
            auto *w = static_cast<watch *>(data);
            GList *toplevels = gtk_window_list_toplevels();
            for (GList *l = toplevels; l != nullptr && !w->handled; l = l->next)
                if (g_strcmp0(G_OBJECT_TYPE_NAME(l->data), w->type) == 0 && gtk_widget_get_mapped(GTK_WIDGET(l->data))) {
                    w->handled = true;
                    w->handle(GTK_DIALOG(l->data));
                }
            g_list_free(toplevels);
            return w->handled ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
        },
        &w);
    action();
    if (!w.handled)
        g_source_remove(source);
    EXPECT_TRUE(w.handled);
}

GtkTreeView *first_tree_view(GtkWidget *widget)
{
    if (GTK_IS_TREE_VIEW(widget))
        return GTK_TREE_VIEW(widget);
    GtkTreeView *found = nullptr;
    if (GTK_IS_CONTAINER(widget)) {
        GList *children = gtk_container_get_children(GTK_CONTAINER(widget));
        for (GList *l = children; l != nullptr && found == nullptr; l = l->next)
            found = first_tree_view(GTK_WIDGET(l->data));
        g_list_free(children);
    }
    return found;
}

// Selects the row of `view` that holds the text `name` in some column; false when none does.
bool select_row(GtkTreeView *view, const char *name)
{
    GtkTreeModel *model = gtk_tree_view_get_model(view);
    GtkTreeIter iter;
    for (bool more = model && gtk_tree_model_get_iter_first(model, &iter); more;
         more = gtk_tree_model_iter_next(model, &iter))
        for (int column = 0; column < gtk_tree_model_get_n_columns(model); column++) {
            if (gtk_tree_model_get_column_type(model, column) != G_TYPE_STRING)
                continue;
            gchar *text = nullptr;
            gtk_tree_model_get(model, &iter, column, &text, -1);
            const bool found = g_strcmp0(text, name) == 0;
            g_free(text);
            if (found) {
                gtk_tree_selection_select_iter(gtk_tree_view_get_selection(view), &iter);
                return true;
            }
        }
    return false;
}

// The text of a PDF as pdftotext lays it out.
std::string pdf_text(const std::string &dir, const char *pdf)
{
    const gchar *argv[] = {"pdftotext", "-layout", pdf, "page.txt", nullptr};
    gint status = -1;
    EXPECT_TRUE(g_spawn_sync(dir.c_str(), const_cast<gchar **>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr,
                             nullptr, nullptr, &status, nullptr));
    EXPECT_TRUE(g_spawn_check_wait_status(status, nullptr));
    gchar *text = nullptr;
    EXPECT_TRUE(g_file_get_contents((dir + "/page.txt").c_str(), &text, nullptr, nullptr));
    return take_string(text);
}

class Files : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        show_dev_options = true;
        write_config_done_delay_ms = 0;
    }
    void TearDown() override
    {
        write_config_done_delay_ms = 500;
        scratch::remove_dir(dir);
        WindowTest::TearDown();
    }
    std::string file(const char *name) const { return dir + "/" + name; }
    std::string dir = scratch::make_dir("zevrin-window-files");
};

TEST_F(Files, AFileOpenedFillsTheRowsAndWriteSendsItWhatTheWindowSavesOpensTheSame)
{
    std::mt19937 random(1208);
    for (int round = 0; round < 256 + 8; round += (round < 256 ? 15 : 1)) {
        SCOPED_TRACE(round);
        const int model = round % n_models;
        const int n = model_n_switches[model];
        connect_idle(model);
        const configuration box = record_configuration();
        const configuration c = random_configuration(random, round);
        std::string error;
        ASSERT_TRUE(save_config_file_contents(file("in.zevrin").c_str(), {model, c}, error)) << error;

        const seen_dialog d = open_file(file("in.zevrin"));
        EXPECT_EQ(d.text, "The configuration of “in.zevrin” is shown. Click 'Write' to send it to the device.");
        EXPECT_TRUE(same_configuration(pending_configuration(), c, n));
        // Nothing reached the box; the window is marked as changed when the file differs.
        EXPECT_TRUE(mhid_written.empty());
        EXPECT_EQ(title()[0] == '*', !same_configuration(c, box, n)) << title();

        // Saved from the window, the same configuration.
        ASSERT_TRUE(save_configuration_file(file("out.zevrin").c_str(), window_contents()));
        config_file_contents saved{};
        ASSERT_TRUE(load_config_file_contents(file("out.zevrin").c_str(), saved, error)) << error;
        EXPECT_EQ(saved.model, model);
        EXPECT_TRUE(same_configuration(saved.config, c, n));

        gtk_button_clicked(GTK_BUTTON(button_send));
        answer_message_dialog([] { pump_until([] { return writing_config == 0; }); });
        std::vector<bytes> sent;
        for (const written_report &w : mhid_written)
            sent.push_back(w.bytes);
        EXPECT_EQ(sent, reports_of_write(c, n));
        mhid_written.clear();
    }
}

TEST_F(Files, AnInvalidFileSaysWhyAndChangesNothingInTheWindow)
{
    connect_idle(0);
    // A row changed by the user stays as it is too.
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(radiobutton_joy[2]), TRUE);
    const configuration before = pending_configuration();
    const std::string before_title = title();
    ASSERT_EQ(before_title, "*Zevrin");

    config_file_contents valid{0, before};
    const std::string text = config_file_text(valid);
    auto variant = [&](const char *name, const char *from, const char *to) {
        std::string t = text;
        t.replace(t.find(from), strlen(from), to);
        g_file_set_contents(file(name).c_str(), t.c_str(), -1, nullptr);
        return file(name);
    };
    // Every kind has its message in the file module's tests; the window shows the message.
    const std::string paths[] = {
        file("missing.zevrin"),
        variant("newer.zevrin", "Format=1", "Format=9"),
        variant("switch.zevrin", "[Switch 8]", "[Switch 9]"),
        variant("range.zevrin", "MouseSpeed=", "MouseSpeed=300;"),
    };
    for (const std::string &path : paths) {
        SCOPED_TRACE(path);
        config_file_contents unused{};
        std::string error;
        ASSERT_FALSE(load_config_file_contents(path.c_str(), unused, error));
        const seen_dialog d = open_file(path);
        EXPECT_EQ(d.text, error);
        EXPECT_TRUE(same_configuration(pending_configuration(), before, max_switches));
        EXPECT_EQ(get_page(2), page_joystick);
        EXPECT_EQ(title(), before_title);
    }
    EXPECT_TRUE(mhid_written.empty());
}

TEST_F(Files, AFileOfTheOtherModelFillsTheSwitchesBothHave)
{
    connect_idle(0);
    configuration mini = record_configuration();
    mini.switches[0] = {kind_keyboard_key, 0x04, 1, 1};
    mini.switches[1] = {kind_joystick_button, 2, 0, 1};
    for (int s = 2; s < max_switches; s++)
        mini.switches[s] = {kind_generic_event, 5, 0, 0};  // not in a Mini's file
    std::string error;
    ASSERT_TRUE(save_config_file_contents(file("mini.zevrin").c_str(), {1, mini}, error));
    const configuration before = pending_configuration();
    seen_dialog d = open_file(file("mini.zevrin"));
    EXPECT_NE(d.text.find("The file “mini.zevrin” is for a Zevrin Mini: switches 3 to 8 were not in it and keep "
                          "their actions."),
              std::string::npos)
        << d.text;
    const configuration now = pending_configuration();
    EXPECT_EQ(now.switches[0], mini.switches[0]);
    EXPECT_EQ(now.switches[1], mini.switches[1]);
    for (int s = 2; s < max_switches; s++)
        EXPECT_EQ(now.switches[s], before.switches[s]) << s;

    connect_idle(1);
    configuration zevrin = before;
    zevrin.switches[1] = {kind_mouse_movement, 8, 0, 0};
    ASSERT_TRUE(save_config_file_contents(file("zevrin.zevrin").c_str(), {0, zevrin}, error));
    d = open_file(file("zevrin.zevrin"));
    EXPECT_NE(d.text.find("its switches 3 to 8 were left out, as the Zevrin Mini has only 2 switches."),
              std::string::npos)
        << d.text;
    EXPECT_EQ(pending_configuration().switches[1], zevrin.switches[1]);
}

TEST_F(Files, AFileGivenBeforeTheBoxIsReadOpensOnceItIs)
{
    configuration c = record_configuration();
    c.switches[0] = {kind_joystick_movement, 4, 0, 0};
    std::string error;
    ASSERT_TRUE(save_config_file_contents(file("early.zevrin").c_str(), {0, c}, error));
    connect_unread(0);
    reading_config = 1;
    update_main_window();
    EXPECT_FALSE(open_file(file("early.zevrin")).shown);

    const seen_dialog d = answer_message_dialog([] {
        connect_idle(0);
        pump_until([] { return false; }, 300);
    });
    EXPECT_EQ(d.text, "The configuration of “early.zevrin” is shown. Click 'Write' to send it to the device.");
    EXPECT_EQ(pending_configuration().switches[0], c.switches[0]);
}

// Without a box a file is shown for its own model, named in the title; saved unchanged it is
// the same file byte for byte; Write is unavailable and says why; New configuration shows the
// defaults of the model chosen.
TEST_F(Files, WithoutABoxAFileIsShownSavedAndPrintedButNotWritten)
{
    configuration c = record_configuration();
    c.switches[1] = {kind_mouse_movement, 2, 0, 1};
    std::string error;
    ASSERT_TRUE(save_config_file_contents(file("anna.zevrin").c_str(), {1, c}, error));
    EXPECT_FALSE(open_file(file("anna.zevrin")).shown);
    EXPECT_TRUE(gtk_widget_get_visible(box_config));
    EXPECT_FALSE(gtk_widget_get_visible(box_sw[2]));
    EXPECT_EQ(title(), "anna.zevrin — Zevrin Mini (no device connected)");
    EXPECT_EQ(pending_configuration().switches[1], c.switches[1]);
    EXPECT_FALSE(gtk_widget_get_sensitive(button_send));
    EXPECT_EQ(take_string(gtk_widget_get_tooltip_text(button_send)),
              "Connect a Zevrin device to write this configuration into it.");
    const seen_dialog why = answer_message_dialog([] { button_send_clicked_cb(nullptr, nullptr); });
    EXPECT_EQ(why.text, "Connect a Zevrin device to write this configuration into it.");
    EXPECT_TRUE(mhid_written.empty());

    ASSERT_TRUE(save_configuration_file(file("copy.zevrin").c_str(), window_contents()));
    gchar *original = nullptr, *copy = nullptr;
    ASSERT_TRUE(g_file_get_contents(file("anna.zevrin").c_str(), &original, nullptr, nullptr));
    ASSERT_TRUE(g_file_get_contents(file("copy.zevrin").c_str(), &copy, nullptr, nullptr));
    EXPECT_EQ(take_string(original), take_string(copy));
    EXPECT_EQ(title(), "copy.zevrin — Zevrin Mini (no device connected)");

    // A change marks the title; New configuration asks first, and Discard shows the defaults.
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(radiobutton_joy[0]), TRUE);
    EXPECT_EQ(title(), "*copy.zevrin — Zevrin Mini (no device connected)");
    const seen_dialog asked = answer_message_dialog([] { menuitem_new_zevrin_activate_cb(nullptr, nullptr); },
                                                    "_Discard");
    EXPECT_EQ(asked.buttons, (std::vector<std::string>{"_Cancel", "_Discard"}));
    EXPECT_EQ(title(), "Zevrin (no device connected)");
    EXPECT_TRUE(gtk_widget_get_visible(box_sw[7]));
    EXPECT_EQ(pending_configuration().switches[1], default_switch_action[1]);
}

// The window prints the page that the command line makes: exported to PDF through the print
// operation, it names each switch's action as the rows show it.
TEST_F(Files, PrintingGivesThePageOfWhatTheWindowShows)
{
    connect_idle(1);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(radiobutton_keyb[1]), TRUE);
    print_configuration(window_contents(), file("page.pdf").c_str());
    const std::string page = pdf_text(dir, "page.pdf");
    EXPECT_NE(page.find("Zevrin Mini"), std::string::npos) << page;
    EXPECT_NE(page.find(describe_action(pending_configuration().switches[0])), std::string::npos) << page;
    EXPECT_NE(page.find("Keyboard, A, auto-release"), std::string::npos) << page;
    EXPECT_EQ(page.find("Switch 3"), std::string::npos) << page;
    // Opened from a file, or saved in one, the sheet carries the file's name.
    std::string error;
    ASSERT_TRUE(save_config_file_contents(file("Anna Lopez.ZEVRIN").c_str(), window_contents(), error)) << error;
    // The rows hold an unwritten change: opening asks first, and Discard opens.
    const std::vector<seen_dialog> asked = answer_message_dialogs(
        [&] {
            open_configuration_file(file("Anna Lopez.ZEVRIN").c_str());
            pump_until([] { return false; }, 300);
        },
        {"_Discard", "_Close"});
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].text, "The changes in the window have not been written into the device. Opening “Anna "
                             "Lopez.ZEVRIN” discards them.");
    print_configuration(window_contents(), file("anna.pdf").c_str());
    EXPECT_EQ(pdf_text(dir, "anna.pdf").find("Anna Lopez"), 0u);
    ASSERT_TRUE(save_configuration_file(file("Bob.zevrin").c_str(), window_contents()));
    print_configuration(window_contents(), file("bob.pdf").c_str());
    EXPECT_EQ(pdf_text(dir, "bob.pdf").find("Bob"), 0u);

    // The print dialog offers that name, in an entry of its own, and prints the name typed there.
    const std::string here = take_string(g_get_current_dir());
    ASSERT_EQ(g_chdir(dir.c_str()), 0);
    with_dialog(
        "GtkPrintUnixDialog", [] { print_configuration(window_contents(), nullptr); },
        [](GtkDialog *dialog) {
            GtkWidget *entry = find_widget("entry_sheet_name");
            EXPECT_TRUE(GTK_IS_ENTRY(entry));
            if (GTK_IS_ENTRY(entry)) {
                EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(entry)), "Bob");
                gtk_entry_set_text(GTK_ENTRY(entry), "  Carla Sánchez ");
            }
            // The printer "Print to File", as the user chooses it in the list, once listed.
            GtkTreeView *printers = first_tree_view(GTK_WIDGET(dialog));
            ASSERT_NE(printers, nullptr);
            const bool listed = pump_until([&] { return select_row(printers, "Print to File"); });
            EXPECT_TRUE(listed);
            GtkWidget *print = gtk_dialog_get_widget_for_response(dialog, GTK_RESPONSE_OK);
            const bool ready = listed && pump_until([&] { return gtk_widget_is_sensitive(print); });
            EXPECT_TRUE(ready);
            gtk_dialog_response(dialog, ready ? GTK_RESPONSE_OK : GTK_RESPONSE_CANCEL);
        });
    ASSERT_EQ(g_chdir(here.c_str()), 0);
    // The file printer writes output.pdf in the current folder.
    EXPECT_EQ(pdf_text(dir, "output.pdf").find("Carla Sánchez"), 0u);
}

// File › Open shows configuration files whatever the case of their extension, and all files
// when the user asks; a file chosen there opens.
TEST_F(Files, TheOpenDialogFindsZevrinFilesInAnyCaseAndOffersAllFiles)
{
    connect_idle(1);
    configuration c = record_configuration();
    c.switches[0] = {kind_keyboard_key, 0x05, 0, 1};
    // In the folder the chooser opens in: a chooser that goes to another folder while the path
    // bar still looks up the icons of its buttons can trip GTK's own assertion
    // (set_button_image_get_info_cb), on a busy machine.
    const std::string folder = take_string(get_config_file("profiles")), path = folder + "/PUPIL.ZEVRIN";
    g_mkdir_with_parents(folder.c_str(), 0700);
    std::string error;
    ASSERT_TRUE(save_config_file_contents(path.c_str(), {1, c}, error)) << error;
    GtkWidget *open = find_widget("menuitem_open");
    ASSERT_NE(open, nullptr);
    const seen_dialog d = answer_message_dialog([&] {
        with_dialog(
            "GtkFileChooserDialog", [&] { gtk_menu_item_activate(GTK_MENU_ITEM(open)); },
            [&](GtkDialog *dialog) {
                GtkFileChooser *chooser = GTK_FILE_CHOOSER(dialog);
                GSList *filters = gtk_file_chooser_list_filters(chooser);
                EXPECT_EQ(g_slist_length(filters), 2u);
                auto *zevrin = GTK_FILE_FILTER(g_slist_nth_data(filters, 0));
                auto *all = GTK_FILE_FILTER(g_slist_nth_data(filters, 1));
                g_slist_free(filters);
                EXPECT_EQ(gtk_file_chooser_get_filter(chooser), zevrin);
                EXPECT_STREQ(gtk_file_filter_get_name(all), "All files");
                auto shows = [](GtkFileFilter *filter, const char *name) {
                    GtkFileFilterInfo info{};
                    info.contains = GTK_FILE_FILTER_DISPLAY_NAME;
                    info.display_name = name;
                    return gtk_file_filter_filter(filter, &info) != FALSE;
                };
                for (const char *name : {"anna.zevrin", "PUPIL.ZEVRIN", "Bob.Zevrin"})
                    EXPECT_TRUE(shows(zevrin, name)) << name;
                for (const char *name : {"anna.txt", "zevrin", "anna.zevrin.pdf"})
                    EXPECT_FALSE(shows(zevrin, name)) << name;
                EXPECT_TRUE(shows(all, "anna.txt"));
                // The chooser reads the folder before it selects the file in it.
                gtk_file_chooser_select_filename(chooser, path.c_str());
                const bool selected = pump_until(
                    [&] { return take_string(gtk_file_chooser_get_filename(chooser)) == path; });
                EXPECT_TRUE(selected);
                gtk_dialog_response(dialog, selected ? GTK_RESPONSE_ACCEPT : GTK_RESPONSE_CANCEL);
            });
    });
    EXPECT_EQ(d.text, "The configuration of “PUPIL.ZEVRIN” is shown. Click 'Write' to send it to the device.");
    EXPECT_EQ(pending_configuration().switches[0], c.switches[0]);
    g_remove(path.c_str());
}

}  // namespace

namespace {

// A box of `model` holding `held` is taken and read, as the conversation does it: the window
// hears of the box before the read replaces the record. Returns the question asked, answered
// with `answer` (empty: closed).
std::vector<seen_dialog> box_arrives(int model, const configuration &held, const std::vector<std::string> &answers)
{
    connect_unread(model);
    boxes_taken++;
    reading_config = 1;
    window_protocol_listener.box_changed();
    return answer_message_dialogs(
        [&] {
            set_record(held);
            box_configuration = held;
            config_valid = 1;
            reading_config = 0;
            window_protocol_listener.read_done(true);
            pump_until([] { return false; }, 200);
        },
        answers);
}

seen_dialog box_arrives(int model, const configuration &held, const std::string &answer)
{
    const std::vector<seen_dialog> seen = box_arrives(model, held, std::vector<std::string>{answer});
    return seen.empty() ? seen_dialog{} : seen.front();
}

}  // namespace

// A box arriving while a file is shown without one: its read does not replace the rows before
// the user chooses, and each answer does what it says.
TEST_F(Files, ABoxArrivingWithAFileShownAsksWhichToKeep)
{
    configuration c = record_configuration();
    c.switches[0] = {kind_mouse_movement, 2, 0, 1};
    std::string error;
    ASSERT_TRUE(save_config_file_contents(file("anna.zevrin").c_str(), {1, c}, error));
    configuration box = record_configuration();
    box.switches[0] = {kind_mouse_button, 1, 0, 0};

    // Escape: the file stays in the window, unwritten, and nothing is sent.
    EXPECT_FALSE(open_file(file("anna.zevrin")).shown);
    seen_dialog d = box_arrives(1, box, "");
    EXPECT_EQ(d.text, "The connected Zevrin Mini holds another configuration than “anna.zevrin”, which the "
                      "window shows.");
    EXPECT_EQ(d.buttons, (std::vector<std::string>{"_Show what the device holds", "_Write ‘anna.zevrin’ into the device"}));
    EXPECT_EQ(pending_configuration().switches[0], c.switches[0]);
    EXPECT_EQ(title(), "*Zevrin Mini");
    EXPECT_TRUE(mhid_written.empty());

    // Show what the device holds.
    reset_window_state();
    EXPECT_FALSE(open_file(file("anna.zevrin")).shown);
    box_arrives(1, box, "_Show what the device holds");
    EXPECT_EQ(pending_configuration().switches[0], box.switches[0]);
    EXPECT_EQ(title(), "Zevrin Mini");

    // Write: the file's rows go into the box.
    reset_window_state();
    EXPECT_FALSE(open_file(file("anna.zevrin")).shown);
    const std::vector<seen_dialog> written =
        box_arrives(1, box, std::vector<std::string>{"_Write ‘anna.zevrin’ into the device", "_Close"});
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[1].text, "Configuration successfully written into the device.");
    EXPECT_FALSE(mhid_written.empty());
    EXPECT_EQ(switch_action[0], c.switches[0]);
}

// The same box plugged in again, still holding what it held, keeps the changes made for it,
// marked unwritten, without a question; a box holding something else asks.
TEST_F(Files, AReplugOfTheSameBoxKeepsTheChanges)
{
    connect_idle(0);
    document_open = true;
    const configuration box = record_configuration();
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(radiobutton_joy[0]), TRUE);
    const action_record edited = pending_configuration().switches[0];
    ASSERT_NE(edited, box.switches[0]);
    device_connected = 0;
    config_valid = 0;
    update_main_window();
    EXPECT_FALSE(box_arrives(0, box, "").shown);
    EXPECT_EQ(pending_configuration().switches[0], edited);
    EXPECT_EQ(title(), "*Zevrin");

    configuration other = box;
    other.switches[3] = {kind_mouse_button, 2, 0, 0};
    device_connected = 0;
    config_valid = 0;
    const seen_dialog d = box_arrives(0, other, "_Show what the device holds");
    EXPECT_EQ(d.text, "The connected Zevrin holds another configuration than the window, whose changes have not "
                      "been written into it.");
    EXPECT_EQ(pending_configuration().switches[0], box.switches[0]);
    EXPECT_EQ(title(), "Zevrin");
}

// Opening a file while the rows hold unwritten changes asks first; Cancel keeps the rows, and
// Write then sends them.
TEST_F(Files, OpeningAFileOverUnwrittenChangesAsksAndCancelKeepsThem)
{
    std::string error;
    ASSERT_TRUE(save_config_file_contents(file("other.zevrin").c_str(), {1, record_configuration()}, error));
    connect_idle(1);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(radiobutton_joy[1]), TRUE);
    const action_record edited = pending_configuration().switches[1];
    ASSERT_NE(edited, switch_action[1]);
    const seen_dialog d = answer_message_dialog(
        [&] {
            open_configuration_file(file("other.zevrin").c_str());
            pump_until([] { return false; }, 300);
        },
        "_Cancel");
    EXPECT_EQ(d.text, "The changes in the window have not been written into the device. Opening “other.zevrin” "
                      "discards them.");
    EXPECT_EQ(pending_configuration().switches[1], edited);
    EXPECT_EQ(title(), "*Zevrin Mini");
    answer_message_dialog([] {
        button_send_clicked_cb(nullptr, nullptr);
        pump_until([] { return writing_config == 0 && !mhid_written.empty(); });
        pump_until([] { return false; }, 200);
    });
    EXPECT_EQ(switch_action[1], edited);
    EXPECT_EQ(box_configuration.switches[1], edited);
}
