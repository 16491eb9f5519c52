// Building the main and about windows from the real interface files in data/: every widget
// the code needs is there with its kind, the named handlers sit on their widgets' signals,
// the lists are filled, the radio groups formed, and the start-up cases for the language and
// the developer options. Also a construction with the files missing, or with one id missing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <glib/gstdio.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include "app/paths.h"
#include "app/settings.h"
#include "build_config.h"
#include "device/config.h"
#include "device/keys.h"
#include "tests/scratch_dir.h"
#include "window/window.h"

namespace {

// ---------------------------------------------------------------------------------------
// Everything logged at warning or critical level, from any domain.

struct log_entry {
    GLogLevelFlags level;
    std::string domain;
    std::string message;
};
std::vector<log_entry> logged;

GLogWriterOutput record_log(GLogLevelFlags level, const GLogField *fields, gsize n_fields, gpointer)
{
    if (level & (G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL)) {
        log_entry e{level, "", ""};
        for (gsize i = 0; i < n_fields; ++i) {
            const char *value = static_cast<const char *>(fields[i].value);
            if (g_strcmp0(fields[i].key, "GLIB_DOMAIN") == 0 && value)
                e.domain = value;
            else if (g_strcmp0(fields[i].key, "MESSAGE") == 0 && value)
                e.message = value;
        }
        logged.push_back(e);
        return G_LOG_WRITER_HANDLED;
    }
    return g_log_writer_default(level, fields, n_fields, nullptr);
}

std::vector<std::string> warnings()
{
    std::vector<std::string> out;
    for (const auto &e : logged)
        if (e.level & G_LOG_LEVEL_WARNING)
            out.push_back(e.domain.empty() ? e.message : e.domain + ": " + e.message);
    return out;
}

// ---------------------------------------------------------------------------------------
// The ids the code asks for, with the class each must have, in the order they are asked for.

struct catalogue_id {
    std::string id;
    GType kind;
};

std::vector<catalogue_id> catalogue()
{
    std::vector<catalogue_id> c;
    auto add = [&](std::string id, GType kind) { c.push_back({std::move(id), kind}); };
    add("window_main", GTK_TYPE_WINDOW);
    add("checkmenuitem_dev_options", GTK_TYPE_CHECK_MENU_ITEM);
    for (const char *code : {"en", "es", "fr", "it", "pt", "ca", "eu"})
        add(std::string("radiomenuitem_lang_") + code, GTK_TYPE_RADIO_MENU_ITEM);
    add("label_message", GTK_TYPE_LABEL);
    add("box_models", GTK_TYPE_WIDGET);
    for (const char *model : {"zevrin", "zevrin_mini"}) {
        add(std::string("box_model_") + model, GTK_TYPE_WIDGET);
        add(std::string("image_model_") + model, GTK_TYPE_IMAGE);
    }
    add("box_config", GTK_TYPE_WIDGET);
    for (int n = 1; n <= 8; ++n) {
        const std::string s = std::to_string(n);
        add("image_symbol_" + s, GTK_TYPE_IMAGE);
        add("radiobutton_mouse_" + s, GTK_TYPE_RADIO_BUTTON);
        add("radiobutton_keyb_" + s, GTK_TYPE_RADIO_BUTTON);
        add("radiobutton_joy_" + s, GTK_TYPE_RADIO_BUTTON);
        add("radiobutton_gen_" + s, GTK_TYPE_RADIO_BUTTON);
        add("box_sw_" + s, GTK_TYPE_WIDGET);
        add("separator_sw_" + s, GTK_TYPE_WIDGET);
        add("box_mouse_" + s, GTK_TYPE_WIDGET);
        add("box_keyb_" + s, GTK_TYPE_WIDGET);
        add("box_joy_" + s, GTK_TYPE_WIDGET);
        add("box_gen_" + s, GTK_TYPE_WIDGET);
        add("combobox_mouse_" + s, GTK_TYPE_COMBO_BOX_TEXT);
        add("combobox_keyb_" + s, GTK_TYPE_COMBO_BOX_TEXT);
        add("button_keyb_" + s, GTK_TYPE_BUTTON);
        add("combobox_joy_" + s, GTK_TYPE_COMBO_BOX_TEXT);
        add("combobox_gen_" + s, GTK_TYPE_COMBO_BOX_TEXT);
        add("checkbutton_auto_release_" + s, GTK_TYPE_CHECK_BUTTON);
        add("checkbutton_control_" + s, GTK_TYPE_CHECK_BUTTON);
        add("checkbutton_shift_" + s, GTK_TYPE_CHECK_BUTTON);
        add("checkbutton_alt_" + s, GTK_TYPE_CHECK_BUTTON);
    }
    add("combobox_mouse_speed", GTK_TYPE_COMBO_BOX_TEXT);
    add("label_joy_displacement", GTK_TYPE_WIDGET);
    add("combobox_joy_displacement", GTK_TYPE_COMBO_BOX_TEXT);
    add("image_connected_model", GTK_TYPE_IMAGE);
    add("label_connected_model", GTK_TYPE_LABEL);
    add("box_toolbar", GTK_TYPE_WIDGET);
    add("progressbar", GTK_TYPE_PROGRESS_BAR);
    add("button_defaults", GTK_TYPE_BUTTON);
    add("button_read", GTK_TYPE_BUTTON);
    add("button_send", GTK_TYPE_BUTTON);
    add("window_about", GTK_TYPE_WINDOW);
    add("label_version", GTK_TYPE_LABEL);
    add("image_zevrin", GTK_TYPE_IMAGE);
    add("image_morvak", GTK_TYPE_IMAGE);
    return c;
}

// ---------------------------------------------------------------------------------------
// Files and directories.

std::string source_data_dir()
{
    const char *root = g_getenv("ZEVRIN_SOURCE_ROOT");
    return std::string(root ? root : "..") + "/data";
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &text)
{
    ASSERT_TRUE(g_file_set_contents(path.c_str(), text.data(), static_cast<gssize>(text.size()), nullptr)) << path;
}

// A data directory of its own for a test, removed afterwards (at the latest when the program
// ends).
struct temp_data_dir {
    std::string path = scratch::make_dir("zevrin-data");
    temp_data_dir() { EXPECT_FALSE(path.empty()) << "cannot make a temporary directory"; }
    ~temp_data_dir()
    {
        scratch::remove_dir(path);
        if (!path.empty() && g_file_test(path.c_str(), G_FILE_TEST_EXISTS))
            ADD_FAILURE() << "could not remove " << path;
    }
    temp_data_dir(const temp_data_dir &) = delete;
    temp_data_dir &operator=(const temp_data_dir &) = delete;
    // Pictures come from the real data directory, so only the interface files differ.
    void link_pictures() const
    {
        for (const char *d : {"images", "icons"})
            ASSERT_EQ(symlink((source_data_dir() + "/" + d).c_str(), (path + "/" + d).c_str()), 0);
    }
};

std::string config_file_path()
{
    gchar *p = get_config_file("/config");
    std::string s = p;
    g_free(p);
    return s;
}

// ---------------------------------------------------------------------------------------
// Widgets.

void pump()
{
    while (gtk_events_pending())
        gtk_main_iteration_do(FALSE);
}

// Finds a widget by its id in a built window, through containers and menus.
GtkWidget *find_in(GtkWidget *root, const char *id)
{
    if (root == nullptr)
        return nullptr;
    if (GTK_IS_BUILDABLE(root) && g_strcmp0(gtk_buildable_get_name(GTK_BUILDABLE(root)), id) == 0)
        return root;
    if (GTK_IS_MENU_ITEM(root))
        if (GtkWidget *found = find_in(gtk_menu_item_get_submenu(GTK_MENU_ITEM(root)), id))
            return found;
    GtkWidget *found = nullptr;
    if (GTK_IS_CONTAINER(root)) {
        GList *children = gtk_container_get_children(GTK_CONTAINER(root));
        for (GList *l = children; l && !found; l = l->next)
            found = find_in(GTK_WIDGET(l->data), id);
        g_list_free(children);
    }
    return found;
}

// Every widget below root (menus included, the insides of combo boxes not).
void for_each_widget(GtkWidget *root, const std::function<void(GtkWidget *)> &fn)
{
    if (root == nullptr)
        return;
    fn(root);
    if (GTK_IS_MENU_ITEM(root))
        for_each_widget(gtk_menu_item_get_submenu(GTK_MENU_ITEM(root)), fn);
    if (GTK_IS_CONTAINER(root) && !GTK_IS_COMBO_BOX(root)) {
        GList *children = gtk_container_get_children(GTK_CONTAINER(root));
        for (GList *l = children; l; l = l->next)
            for_each_widget(GTK_WIDGET(l->data), fn);
        g_list_free(children);
    }
}

int list_size(GtkWidget *combo)
{
    return gtk_tree_model_iter_n_children(gtk_combo_box_get_model(GTK_COMBO_BOX(combo)), nullptr);
}

std::string list_text(GtkWidget *combo, int row)
{
    GtkTreeModel *model = gtk_combo_box_get_model(GTK_COMBO_BOX(combo));
    GtkTreeIter iter;
    if (!gtk_tree_model_iter_nth_child(model, &iter, nullptr, row))
        return "(no row " + std::to_string(row) + ")";
    gchar *text = nullptr;
    gtk_tree_model_get(model, &iter, 0, &text, -1);
    std::string s = text ? text : "";
    g_free(text);
    return s;
}

int active(GtkWidget *combo)
{
    return gtk_combo_box_get_active(GTK_COMBO_BOX(combo));
}

bool is_active(GtkWidget *toggle)
{
    if (GTK_IS_CHECK_MENU_ITEM(toggle))
        return gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(toggle));
    return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(toggle));
}

bool has_handler(gpointer instance, const char *signal, gpointer handler)
{
    guint id = g_signal_lookup(signal, G_OBJECT_TYPE(instance));
    return id != 0 && g_signal_handler_find(instance, static_cast<GSignalMatchType>(G_SIGNAL_MATCH_ID | G_SIGNAL_MATCH_FUNC),
                                            id, 0, nullptr, handler, nullptr) != 0;
}

bool has_handler_with_data(gpointer instance, const char *signal, gpointer handler, int data)
{
    guint id = g_signal_lookup(signal, G_OBJECT_TYPE(instance));
    const auto match = static_cast<GSignalMatchType>(G_SIGNAL_MATCH_ID | G_SIGNAL_MATCH_FUNC | G_SIGNAL_MATCH_DATA);
    return id != 0 && g_signal_handler_find(instance, match, id, 0, nullptr, handler, GINT_TO_POINTER(data)) != 0;
}

// ---------------------------------------------------------------------------------------

class Construction : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_free(data_dir);
        data_dir = g_strdup(source_data_dir().c_str());
        current_language = 0;
        show_dev_options = false;
        g_remove(config_file_path().c_str());
        logged.clear();
    }

    // Builds the windows afresh. Windows of earlier tests stay around (hidden) but every
    // reference now points into the new ones.
    void build()
    {
        load_main_window();
        pump();
    }
};

TEST_F(Construction, RealFilesHoldEveryIdWithItsKind)
{
    GtkBuilder *builder = gtk_builder_new();
    for (const char *file : {"/interface/main.glade", "/interface/about.glade"}) {
        GError *error = nullptr;
        EXPECT_TRUE(gtk_builder_add_from_file(builder, (source_data_dir() + file).c_str(), &error))
            << file << ": " << (error ? error->message : "");
        g_clear_error(&error);
    }
    for (const auto &c : catalogue()) {
        GObject *object = gtk_builder_get_object(builder, c.id.c_str());
        ASSERT_NE(object, nullptr) << c.id;
        EXPECT_TRUE(g_type_is_a(G_OBJECT_TYPE(object), c.kind))
            << c.id << " is a " << G_OBJECT_TYPE_NAME(object) << ", wanted " << g_type_name(c.kind);
    }
    // The page buttons come ungrouped: grouping them is the program's job.
    for (int n = 1; n <= 8; ++n)
        for (const char *page : {"mouse", "keyb", "joy", "gen"}) {
            auto id = std::string("radiobutton_") + page + "_" + std::to_string(n);
            GObject *button = gtk_builder_get_object(builder, id.c_str());
            EXPECT_EQ(g_slist_length(gtk_radio_button_get_group(GTK_RADIO_BUTTON(button))), 1u) << id;
        }
    // The language items, however, are one group in the file.
    GSList *languages = gtk_radio_menu_item_get_group(
        GTK_RADIO_MENU_ITEM(gtk_builder_get_object(builder, "radiomenuitem_lang_en")));
    EXPECT_EQ(g_slist_length(languages), 7u);
    for (const char *code : {"es", "fr", "it", "pt", "ca", "eu"}) {
        auto id = std::string("radiomenuitem_lang_") + code;
        EXPECT_NE(g_slist_find(languages, gtk_builder_get_object(builder, id.c_str())), nullptr) << id;
    }
    g_object_unref(builder);
}

TEST_F(Construction, RealFilesBuildWithoutAnyWarning)
{
    build();
    EXPECT_EQ(warnings(), std::vector<std::string>{});
    for (const auto &e : logged)
        ADD_FAILURE() << "logged: " << e.domain << ": " << e.message;
    ASSERT_NE(window_main, nullptr);
    ASSERT_NE(window_about, nullptr);
    for (int i = 0; i < max_switches; ++i) {
        for (GtkWidget *w : {image_symbol[i], radiobutton_mouse[i], radiobutton_keyb[i], radiobutton_joy[i],
                             radiobutton_gen[i], box_sw[i], separator_sw[i], box_mouse[i], box_keyb[i], box_joy[i],
                             box_gen[i], combobox_mouse[i], combobox_keyb[i], button_keyb[i], combobox_joy[i],
                             combobox_gen[i], checkbutton_auto_release[i], checkbutton_control[i],
                             checkbutton_shift[i], checkbutton_alt[i]})
            EXPECT_NE(w, nullptr) << "switch slot " << i;
        // Slot i holds the widgets numbered i + 1.
        EXPECT_STREQ(gtk_buildable_get_name(GTK_BUILDABLE(combobox_keyb[i])),
                     ("combobox_keyb_" + std::to_string(i + 1)).c_str());
    }
    EXPECT_STREQ(gtk_buildable_get_name(GTK_BUILDABLE(box_model[0])), "box_model_zevrin");
    EXPECT_STREQ(gtk_buildable_get_name(GTK_BUILDABLE(image_model[1])), "image_model_zevrin_mini");
    EXPECT_STREQ(gtk_buildable_get_name(GTK_BUILDABLE(radiomenuitem_lang[6])), "radiomenuitem_lang_eu");
    // Both windows belong to the same run: the about window stands over the main one.
    EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(window_about)), GTK_WINDOW(window_main));
}

TEST_F(Construction, WithoutInterfaceFilesEveryIdIsReportedInOrderAndConstructionEnds)
{
    temp_data_dir empty;
    g_free(data_dir);
    data_dir = g_strdup(empty.path.c_str());
    switch_action.fill(action_record{9, 9, 9, 9});
    mouse_speed_index = 0;

    build();

    std::vector<std::string> expected;
    for (const auto &c : catalogue())
        expected.push_back("Widget not found: " + c.id);
    ASSERT_EQ(expected.size(), 190u);
    EXPECT_EQ(warnings(), expected);
    for (const auto &e : logged) {
        if (e.level & G_LOG_LEVEL_WARNING) {
            EXPECT_EQ(e.domain, "") << e.message;  // the program's own log carries no domain
        }
    }
    EXPECT_EQ(window_main, nullptr);
    EXPECT_EQ(combobox_keyb[7], nullptr);
    EXPECT_EQ(image_morvak, nullptr);
    // The last steps ran: the record holds the defaults.
    for (int i = 0; i < max_switches; ++i) {
        EXPECT_EQ(switch_action[i].kind, default_switch_action[i].kind) << i;
        EXPECT_EQ(switch_action[i].code, default_switch_action[i].code) << i;
        EXPECT_EQ(switch_action[i].auto_release, default_switch_action[i].auto_release) << i;
    }
    EXPECT_EQ(mouse_speed_index, default_mouse_speed_index);
    EXPECT_EQ(joy_displacement, default_joy_displacement);
}

TEST_F(Construction, AFileWithoutOneIdGivesExactlyThatWarningAndAWorkingWindow)
{
    temp_data_dir dir;
    dir.link_pictures();
    ASSERT_EQ(g_mkdir(std::string(dir.path + "/interface").c_str(), 0700), 0);
    std::string main = read_file(source_data_dir() + "/interface/main.glade");
    // Cut out the separator's whole child element.
    const size_t at = main.find("id=\"separator_sw_8\"");
    ASSERT_NE(at, std::string::npos);
    const size_t begin = main.rfind("<child>", at);
    const size_t end = main.find("</child>", at);
    ASSERT_TRUE(begin != std::string::npos && end != std::string::npos);
    main.erase(begin, end + std::string("</child>").size() - begin);
    ASSERT_EQ(main.find("separator_sw_8"), std::string::npos);
    write_file(dir.path + "/interface/main.glade", main);
    write_file(dir.path + "/interface/about.glade", read_file(source_data_dir() + "/interface/about.glade"));
    g_free(data_dir);
    data_dir = g_strdup(dir.path.c_str());

    build();

    EXPECT_EQ(warnings(), std::vector<std::string>{"Widget not found: separator_sw_8"});
    EXPECT_EQ(separator_sw[7], nullptr);
    EXPECT_NE(separator_sw[6], nullptr);
    ASSERT_NE(box_sw[7], nullptr);
    // The rest of the window works: its last row is filled and follows the record.
    EXPECT_EQ(list_size(combobox_keyb[7]), n_keybd_hid_codes);
    switch_action[7] = {kind_joystick_button, 4, 0, 1};
    update_main_window();
    pump();
    EXPECT_TRUE(is_active(radiobutton_joy[7]));
    EXPECT_EQ(active(combobox_joy[7]), 4);
    EXPECT_EQ(warnings(), std::vector<std::string>{"Widget not found: separator_sw_8"});
}

TEST_F(Construction, ListsHoldTheTablesAndSelectAnEntry)
{
    build();
    for (int i = 0; i < max_switches; ++i) {
        ASSERT_EQ(list_size(combobox_mouse[i]), 8) << i;
        ASSERT_EQ(list_size(combobox_keyb[i]), 78) << i;
        ASSERT_EQ(list_size(combobox_joy[i]), 12) << i;
        ASSERT_EQ(list_size(combobox_gen[i]), 8) << i;
        for (int j = 0; j < 8; ++j) {
            EXPECT_EQ(list_text(combobox_mouse[i], j), mouse_combo_actions[j].text);
            EXPECT_EQ(list_text(combobox_gen[i], j), gen_combo_actions[j].text);
        }
        for (int j = 0; j < 12; ++j)
            EXPECT_EQ(list_text(combobox_joy[i], j), joy_combo_actions[j].text);
        for (int j = 0; j < n_keybd_hid_codes; ++j) {
            gchar *name = get_keybd_hid_code_name(keybd_hid_codes[j]);
            EXPECT_EQ(list_text(combobox_keyb[i], j), name) << "key entry " << j;
            g_free(name);
        }
        // The defaults are shown: switch n does mouse action n; the other pages keep the
        // first entry that construction selected.
        EXPECT_EQ(active(combobox_mouse[i]), i);
        EXPECT_EQ(active(combobox_keyb[i]), 0);
        EXPECT_EQ(active(combobox_joy[i]), 0);
        EXPECT_EQ(active(combobox_gen[i]), 0);
        EXPECT_EQ(list_text(combobox_joy[i], 0), "Button 1");
        EXPECT_EQ(list_text(combobox_gen[i], 0), "Event 1");
    }
    ASSERT_EQ(list_size(combobox_mouse_speed), 4);
    ASSERT_EQ(list_size(combobox_joy_displacement), 5);
    EXPECT_EQ(list_text(combobox_mouse_speed, 0), "Constant (slow)");
    EXPECT_EQ(list_text(combobox_joy_displacement, 0), "25%");
    EXPECT_EQ(active(combobox_mouse_speed), default_mouse_speed_index);
    EXPECT_EQ(active(combobox_joy_displacement), joy_displacement_entry(default_joy_displacement));
}

TEST_F(Construction, TheFourPageButtonsOfASwitchAreOneGroupWithMouseActive)
{
    build();
    for (int i = 0; i < max_switches; ++i) {
        GSList *group = gtk_radio_button_get_group(GTK_RADIO_BUTTON(radiobutton_mouse[i]));
        EXPECT_EQ(g_slist_length(group), 4u) << i;
        for (GtkWidget *b : {radiobutton_keyb[i], radiobutton_joy[i], radiobutton_gen[i]}) {
            EXPECT_NE(g_slist_find(group, b), nullptr) << i;
            EXPECT_FALSE(is_active(b)) << i;
        }
        EXPECT_TRUE(is_active(radiobutton_mouse[i])) << i;
        // No group reaches into another row.
        if (i > 0) {
            EXPECT_EQ(g_slist_find(group, radiobutton_keyb[i - 1]), nullptr);
        }
    }
}

TEST_F(Construction, HandlersSitOnTheirWidgetsSignals)
{
    build();
    struct named {
        const char *id;
        const char *signal;
        gpointer handler;
    };
    const named by_name[] = {
        {"button_defaults", "clicked", reinterpret_cast<gpointer>(button_defaults_clicked_cb)},
        {"button_read", "clicked", reinterpret_cast<gpointer>(button_read_clicked_cb)},
        {"button_send", "clicked", reinterpret_cast<gpointer>(button_send_clicked_cb)},
        {"checkmenuitem_dev_options", "toggled", reinterpret_cast<gpointer>(checkmenuitem_dev_options_toggled_cb)},
        {"menuitem_about", "activate", reinterpret_cast<gpointer>(menuitem_about_activate_cb)},
        {"menuitem_quit", "activate", reinterpret_cast<gpointer>(menuitem_quit_activate_cb)},
        {"menuitem_set_defaults", "activate", reinterpret_cast<gpointer>(menuitem_set_defaults_activate_cb)},
        {"menuitem_user_manual", "activate", reinterpret_cast<gpointer>(menuitem_user_manual_activate_cb)},
    };
    for (const auto &h : by_name) {
        GtkWidget *w = find_in(window_main, h.id);
        ASSERT_NE(w, nullptr) << h.id;
        EXPECT_TRUE(has_handler(w, h.signal, h.handler)) << h.id << " " << h.signal;
    }
    // The command buttons sit in the toolbar, which the display hides while busy or disconnected.
    for (const char *id : {"button_defaults", "button_read", "button_send"})
        EXPECT_TRUE(gtk_widget_is_ancestor(find_in(window_main, id), box_toolbar)) << id;

    auto page_cb = reinterpret_cast<gpointer>(radiobutton_page_toggled_cb);
    auto list_cb = reinterpret_cast<gpointer>(combobox_action_changed_cb);
    for (int i = 0; i < max_switches; ++i) {
        EXPECT_TRUE(has_handler_with_data(radiobutton_mouse[i], "toggled", page_cb, i));
        EXPECT_TRUE(has_handler_with_data(radiobutton_keyb[i], "toggled", page_cb, 16 + i));
        EXPECT_TRUE(has_handler_with_data(radiobutton_joy[i], "toggled", page_cb, 32 + i));
        EXPECT_TRUE(has_handler_with_data(radiobutton_gen[i], "toggled", page_cb, 48 + i));
        for (GtkWidget *list : {combobox_mouse[i], combobox_keyb[i], combobox_joy[i], combobox_gen[i]})
            EXPECT_TRUE(has_handler_with_data(list, "changed", list_cb, i));
        EXPECT_TRUE(has_handler_with_data(button_keyb[i], "clicked", reinterpret_cast<gpointer>(button_keyb_clicked_cb), i));
    }
    for (int k = 0; k < n_languages; ++k)
        EXPECT_TRUE(has_handler_with_data(radiomenuitem_lang[k], "activate",
                                          reinterpret_cast<gpointer>(radiomenuitem_lang_activate_cb), k));

    // Closing the window is Quit; every other change the user can make marks unwritten changes.
    const auto delete_cb = reinterpret_cast<gpointer>(window_main_delete_event_cb);
    EXPECT_TRUE(has_handler(window_main, "delete-event", delete_cb));
    auto edited_cb = reinterpret_cast<gpointer>(configuration_edited_cb);
    for (int i = 0; i < max_switches; ++i)
        for (GtkWidget *check :
             {checkbutton_control[i], checkbutton_shift[i], checkbutton_alt[i], checkbutton_auto_release[i]})
            EXPECT_TRUE(has_handler_with_data(check, "toggled", edited_cb, i));
    EXPECT_TRUE(has_handler(combobox_mouse_speed, "changed", edited_cb));
    EXPECT_TRUE(has_handler(combobox_joy_displacement, "changed", edited_cb));
}

TEST_F(Construction, PicturesAndVersionAreShown)
{
    build();
    for (int i = 0; i < max_switches; ++i)
        EXPECT_EQ(gtk_image_get_storage_type(GTK_IMAGE(image_symbol[i])), GTK_IMAGE_PIXBUF) << "symbol " << i + 1;
    for (GtkWidget *image : {image_zevrin, image_morvak, image_model[0], image_model[1]})
        EXPECT_EQ(gtk_image_get_storage_type(GTK_IMAGE(image)), GTK_IMAGE_PIXBUF)
            << gtk_buildable_get_name(GTK_BUILDABLE(image));
    EXPECT_EQ(std::string(gtk_label_get_text(GTK_LABEL(label_version))), std::string("Version ") + VERSION);
}

TEST_F(Construction, EveryPictureFileLoads)
{
    std::vector<std::string> files = {"/images/zevrin_small.png", "/images/morvak.png", "/icons/zevrin.ico"};
    for (int n = 1; n <= 8; ++n)
        files.push_back("/images/symbols/" + std::to_string(n) + ".png");
    for (const char *model : {"zevrin", "zevrin_mini"})
        for (const char *suffix : {"", "_hl", "_hl_small"})
            files.push_back(std::string("/images/models/") + model + suffix + ".png");
    for (const char *size : {"16x16", "22x22", "24x24", "32x32", "48x48", "64x64", "128x128", "256x256"})
        files.push_back(std::string("/icons/hicolor/") + size + "/apps/io.github.morvak.Zevrin.png");
    for (const auto &f : files) {
        GError *error = nullptr;
        GdkPixbuf *pixbuf = gdk_pixbuf_new_from_file((source_data_dir() + f).c_str(), &error);
        EXPECT_NE(pixbuf, nullptr) << f << ": " << (error ? error->message : "");
        if (pixbuf) {
            EXPECT_TRUE(gdk_pixbuf_get_has_alpha(pixbuf)) << f << " should be transparent around its shape";
            g_object_unref(pixbuf);
        }
        g_clear_error(&error);
    }
    // The scalable desktop icon is a picture too.
    GdkPixbuf *svg = gdk_pixbuf_new_from_file_at_size(
        (source_data_dir() + "/icons/hicolor/scalable/apps/io.github.morvak.Zevrin.svg").c_str(), 64, 64, nullptr);
    EXPECT_NE(svg, nullptr);
    if (svg)
        g_object_unref(svg);
}

TEST_F(Construction, StoredLanguageIsTheActiveItemWithoutAnyMessage)
{
    current_language = 3;
    build();
    for (int k = 0; k < n_languages; ++k)
        EXPECT_EQ(is_active(radiomenuitem_lang[k]), k == 3) << language_code[k];
    EXPECT_EQ(current_language, 3);
    // No restart message (or any other dialog) came up while marking the item.
    GList *toplevels = gtk_window_list_toplevels();
    for (GList *l = toplevels; l; l = l->next)
        EXPECT_FALSE(GTK_IS_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data)))
            << gtk_window_get_title(GTK_WINDOW(l->data));
    g_list_free(toplevels);
    // Marking the stored language is no change of language: nothing was saved.
    EXPECT_FALSE(g_file_test(config_file_path().c_str(), G_FILE_TEST_EXISTS));
}

TEST_F(Construction, DeveloperOptionsStoredOnAreSavedAndShowTheEventPage)
{
    show_dev_options = true;
    build();
    EXPECT_TRUE(is_active(checkmenuitem_dev_options));
    EXPECT_TRUE(show_dev_options);
    // The item starts off in the file, so switching it on ran its handler: saved once.
    const std::string saved = read_file(config_file_path());
    EXPECT_NE(saved.find("show_dev_options=true"), std::string::npos) << saved;
    for (int i = 0; i < max_switches; ++i)
        EXPECT_TRUE(gtk_widget_get_visible(radiobutton_gen[i])) << i;
}

TEST_F(Construction, DeveloperOptionsStoredOffLeaveTheEventPageHidden)
{
    build();
    EXPECT_FALSE(is_active(checkmenuitem_dev_options));
    EXPECT_FALSE(g_file_test(config_file_path().c_str(), G_FILE_TEST_EXISTS));
    for (int i = 0; i < max_switches; ++i)
        EXPECT_FALSE(gtk_widget_get_visible(radiobutton_gen[i])) << i;
}

TEST_F(Construction, ClosingTheAboutWindowHidesIt)
{
    build();
    GtkWidget *about = window_about;
    g_object_add_weak_pointer(G_OBJECT(about), reinterpret_cast<gpointer *>(&about));
    GtkWidget *close_button = find_in(window_about, "button_about_close");
    ASSERT_NE(close_button, nullptr);

    for (int way = 0; way < 3; ++way) {
        gtk_window_present(GTK_WINDOW(window_about));
        pump();
        ASSERT_TRUE(gtk_widget_get_visible(window_about));
        if (way == 0)
            gtk_window_close(GTK_WINDOW(window_about));  // the window manager's close
        else if (way == 1)
            gtk_button_clicked(GTK_BUTTON(close_button));
        else
            EXPECT_TRUE(gtk_accel_groups_activate(G_OBJECT(window_about), GDK_KEY_Escape, GdkModifierType(0)));
        pump();
        ASSERT_NE(about, nullptr) << "the about window was destroyed";
        EXPECT_FALSE(gtk_widget_get_visible(window_about)) << "way " << way;
    }
    g_object_remove_weak_pointer(G_OBJECT(about), reinterpret_cast<gpointer *>(&about));
}

gboolean close_main_window_cb(gpointer)
{
    gtk_window_close(GTK_WINDOW(window_main));
    return G_SOURCE_REMOVE;
}

gboolean main_loop_stuck_cb(gpointer flag)
{
    *static_cast<bool *>(flag) = true;
    gtk_main_quit();
    return G_SOURCE_REMOVE;
}

TEST_F(Construction, ClosingTheMainWindowEndsTheMainLoopAndKeepsItsWidgets)
{
    build();
    GtkWidget *main_window = window_main;
    g_object_add_weak_pointer(G_OBJECT(main_window), reinterpret_cast<gpointer *>(&main_window));
    gtk_window_present(GTK_WINDOW(window_main));
    pump();

    bool stuck = false;
    g_idle_add(close_main_window_cb, nullptr);
    // Only a safety net, so that a window that does not quit fails instead of hanging.
    guint net = g_timeout_add_seconds(30, main_loop_stuck_cb, &stuck);
    gtk_main();
    EXPECT_FALSE(stuck) << "closing the main window did not end the main loop";
    if (!stuck)
        g_source_remove(net);

    ASSERT_NE(main_window, nullptr) << "the main window was destroyed";
    EXPECT_FALSE(gtk_widget_get_visible(window_main));
    // Whatever refresh is still queued meets live widgets.
    update_main_window();
    pump();
    g_object_remove_weak_pointer(G_OBJECT(main_window), reinterpret_cast<gpointer *>(&main_window));
}

// The people who use these switch interfaces often use a screen reader: every control must
// say what it is, and which switch it belongs to.
TEST_F(Construction, EveryControlHasAnAccessibleNameOfItsOwn)
{
    build();
    for (GtkWidget *window : {window_main, window_about}) {
        std::vector<std::string> names;
        for_each_widget(window, [&](GtkWidget *w) {
            const bool control = GTK_IS_BUTTON(w) || GTK_IS_COMBO_BOX(w) || GTK_IS_MENU_ITEM(w);
            if (!control || GTK_IS_SEPARATOR_MENU_ITEM(w))
                return;
            const char *id = gtk_buildable_get_name(GTK_BUILDABLE(w));
            const char *name = atk_object_get_name(gtk_widget_get_accessible(w));
            EXPECT_TRUE(name != nullptr && *name != '\0') << id << " has no accessible name";
            // A list left unnamed is announced by its selected entry alone.
            if (GTK_IS_COMBO_BOX_TEXT(w) && name) {
                gchar *entry = gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(w));
                EXPECT_STRNE(name, entry) << id;
                g_free(entry);
            }
            if (GTK_IS_COMBO_BOX(w)) {
                // The button inside a list takes the focus; a list that could take it itself
                // would hand it to that button again on every Tab, and the keyboard would stay.
                EXPECT_FALSE(gtk_widget_get_can_focus(w)) << id << " keeps the keyboard on itself";
                names.push_back(name ? name : "");
            } else if (!GTK_IS_MENU_ITEM(w)) {
                EXPECT_TRUE(gtk_widget_get_can_focus(w)) << id << " cannot be reached with the keyboard";
                names.push_back(name ? name : "");
            }
        });
        std::vector<std::string> sorted = names;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end())
            << "two controls share the name " << *std::adjacent_find(sorted.begin(), sorted.end());
    }
    EXPECT_STREQ(atk_object_get_name(gtk_widget_get_accessible(combobox_keyb[2])), "Switch 3 key");
    // The two setting lists are named by their captions, which carry mnemonics.
    for (GtkWidget *list : {combobox_mouse_speed, combobox_joy_displacement}) {
        GList *labels = gtk_widget_list_mnemonic_labels(list);
        ASSERT_NE(labels, nullptr);
        EXPECT_NE(gtk_label_get_mnemonic_keyval(GTK_LABEL(labels->data)), static_cast<guint>(GDK_KEY_VoidSymbol));
        g_list_free(labels);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    // A home and configuration of the test's own, before GLib caches the user directories;
    // removed when the program ends, however it ends.
    const std::string home = scratch::make_dir("zevrin-home");
    if (home.empty()) {
        std::fprintf(stderr, "cannot make a temporary directory\n");
        return 1;
    }
    const std::string config = home + "/config";
    const std::string runtime = home + "/run";
    g_mkdir(config.c_str(), 0700);
    g_mkdir(runtime.c_str(), 0700);
    g_setenv("HOME", home.c_str(), TRUE);
    g_setenv("XDG_CONFIG_HOME", config.c_str(), TRUE);
    g_setenv("XDG_RUNTIME_DIR", runtime.c_str(), TRUE);
    g_setenv("LANGUAGE", "C", TRUE);

    g_log_set_writer_func(record_log, nullptr, nullptr);
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "cannot open the display; run under tests/xvfb-wrap.sh\n");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    find_config_dir();
    return RUN_ALL_TESTS();
}
