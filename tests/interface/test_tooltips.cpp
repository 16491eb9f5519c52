// Every control of the windows says what it does in a tooltip, in the user's language, and a
// screen reader is told the same text as the control's description. The windows are built from
// the real interface files with the real catalogues, once in each of the seven languages, the
// way the program starts for a user whose settings file names that language.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtk/gtk.h>
#include <unistd.h>

#include "app/paths.h"
#include "app/settings.h"
#include "settings_test.h"
#include "window/window.h"

using namespace settings_test;

namespace {

struct control_texts {
    std::string tooltip, description;
};
using window_texts = std::map<std::string, control_texts>;  // by widget id

bool is_control(GtkWidget *w)
{
    return (GTK_IS_BUTTON(w) || GTK_IS_COMBO_BOX(w) || GTK_IS_MENU_ITEM(w)) && !GTK_IS_SEPARATOR_MENU_ITEM(w);
}

// Every control below `root`, menus included, by its id.
void collect_controls(GtkWidget *root, window_texts &texts)
{
    if (root == nullptr)
        return;
    if (is_control(root)) {
        gchar *tooltip = gtk_widget_get_tooltip_text(root);
        const char *description = atk_object_get_description(gtk_widget_get_accessible(root));
        texts[gtk_buildable_get_name(GTK_BUILDABLE(root))] = {tooltip ? tooltip : "", description ? description : ""};
        g_free(tooltip);
    }
    if (GTK_IS_MENU_ITEM(root))
        collect_controls(gtk_menu_item_get_submenu(GTK_MENU_ITEM(root)), texts);
    if (GTK_IS_CONTAINER(root) && !GTK_IS_COMBO_BOX(root)) {
        GList *children = gtk_container_get_children(GTK_CONTAINER(root));
        for (GList *l = children; l != nullptr; l = l->next)
            collect_controls(GTK_WIDGET(l->data), texts);
        g_list_free(children);
    }
}

// Starts as the program does for a user whose settings name `language`: the settings file is
// read, the catalogue and the language are set up, the windows are built.
window_texts built_in(int language)
{
    current_language = language;
    update_config_file();
    load_config_file();
    EXPECT_EQ(current_language, language);
    load_main_window();
    window_texts texts;
    collect_controls(window_main, texts);
    collect_controls(window_about, texts);
    return texts;
}

// The interactive widgets of the window catalogue, and the other commands of the window.
std::vector<std::string> interactive_ids()
{
    std::vector<std::string> ids = {"checkmenuitem_dev_options", "combobox_mouse_speed", "combobox_joy_displacement",
                                    "button_read", "button_send", "button_defaults", "menuitem_set_defaults",
                                    "menuitem_user_manual", "menuitem_open", "menuitem_save_as", "menuitem_print",
                                    "togglebutton_test", "checkmenuitem_test"};
    for (const char *code : language_code)
        ids.push_back(std::string("radiomenuitem_lang_") + code);
    for (int n = 1; n <= max_switches; n++)
        for (const char *kind : {"radiobutton_mouse_", "radiobutton_keyb_", "radiobutton_joy_", "radiobutton_gen_",
                                 "combobox_mouse_", "combobox_keyb_", "combobox_joy_", "combobox_gen_", "button_keyb_",
                                 "checkbutton_auto_release_", "checkbutton_control_", "checkbutton_shift_",
                                 "checkbutton_alt_"})
            ids.push_back(kind + std::to_string(n));
    return ids;
}

// Controls whose label says all: the menus themselves, Quit, About and the about window's Close.
const std::set<std::string> plain_controls = {"menuitem_file",   "menuitem_options", "menuitem_language",
                                              "menuitem_help",   "menuitem_quit",    "menuitem_about",
                                              "button_about_close"};

TEST(Tooltips, EveryControlExplainsItselfInEachLanguageAndScreenReadersAreToldTheSame)
{
    const window_texts english = built_in(0);
    for (const std::string &id : interactive_ids()) {
        ASSERT_EQ(english.count(id), 1u) << id << " is not among the window's controls";
        EXPECT_NE(english.at(id).tooltip, "") << id;
    }
    for (const auto &[id, texts] : english)
        if (!plain_controls.count(id)) {
            EXPECT_NE(texts.tooltip, "") << id << " has no tooltip";
        }

    for (int language = 0; language < n_languages; language++) {
        SCOPED_TRACE(language_code[language]);
        const window_texts texts = language == 0 ? english : built_in(language);
        ASSERT_EQ(texts.size(), english.size());
        for (const auto &[id, in_english] : english) {
            const control_texts &shown = texts.at(id);
            EXPECT_EQ(shown.description, shown.tooltip) << id;
            // Every text has its own words in every language.
            if (language != 0 && !in_english.tooltip.empty()) {
                EXPECT_NE(shown.tooltip, in_english.tooltip) << id << " is not translated";
            }
        }
    }
}

// The tooltips are in the language of the rest of the window: the French window explains
// auto-release in French.
TEST(Tooltips, FollowTheLanguageOfTheWindow)
{
    const window_texts french = built_in(2);
    EXPECT_EQ(gtk_button_get_label(GTK_BUTTON(checkbutton_auto_release[0])), std::string("Relâchement automatique"));
    const std::string &tooltip = french.at("checkbutton_auto_release_1").tooltip;
    EXPECT_EQ(tooltip.rfind("Activé", 0), 0u) << tooltip;
    EXPECT_NE(tooltip.find("contacteur"), std::string::npos) << tooltip;
}

}  // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    temp_dir tmp;
    g_setenv("HOME", tmp.path.c_str(), TRUE);
    g_setenv("XDG_CONFIG_HOME", (tmp / "config").c_str(), TRUE);
    g_setenv("XDG_RUNTIME_DIR", tmp.path.c_str(), TRUE);
    g_unsetenv("LC_ALL");
    g_unsetenv("LC_MESSAGES");
    g_setenv("LANG", "C.UTF-8", TRUE);
    // From the build directory the catalogues are found in locale/.
    if (chdir(build_root().c_str()) != 0)
        return 1;
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "cannot open the display; run under tests/xvfb-wrap.sh\n");
        return 1;
    }
    data_dir = g_strdup((source_root() + "/data").c_str());
    find_config_dir();
    return RUN_ALL_TESTS();
}
