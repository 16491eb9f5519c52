// The language chosen at start-up on the real window, and the two menu handlers on the real
// menu items. One process starts like the program does for a user whose LANGUAGE is "es"
// and who has no settings file yet (both are read once per process, so they are set up in
// main before anything else), then the cases work on that window.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <glib/gstdio.h>
#include <gtk/gtk.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/paths.h"
#include "app/settings.h"
#include "settings_test.h"
#include "window/window.h"

using namespace settings_test;

namespace {

std::string config_path;

struct seen_dialog {
    std::string title, text;
    GtkWindow *parent = nullptr;
};
std::vector<seen_dialog> dialogs;

// Closes a message dialog from a timeout once it is on screen, recording what it said; the
// handler under test runs it modally and only returns after that.
gboolean close_dialog_cb(gpointer data)
{
    GtkWidget *dialog = GTK_WIDGET(data);
    seen_dialog seen;
    const char *title = gtk_window_get_title(GTK_WINDOW(dialog));
    seen.title = title ? title : "";
    gchar *text = nullptr;
    g_object_get(dialog, "text", &text, nullptr);
    seen.text = text ? text : "";
    g_free(text);
    seen.parent = gtk_window_get_transient_for(GTK_WINDOW(dialog));
    dialogs.push_back(seen);
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_CLOSE);
    g_object_unref(dialog);
    return G_SOURCE_REMOVE;
}

gboolean dialog_mapped_hook(GSignalInvocationHint *, guint, const GValue *params, gpointer)
{
    GObject *widget = G_OBJECT(g_value_get_object(&params[0]));
    if (GTK_IS_MESSAGE_DIALOG(widget))
        g_timeout_add(10, close_dialog_cb, g_object_ref(widget));
    return TRUE;
}

void flush_events()
{
    while (gtk_events_pending())
        gtk_main_iteration_do(FALSE);
}

std::string label_of(GtkWidget *widget)
{
    if (GTK_IS_MENU_ITEM(widget))
        return gtk_menu_item_get_label(GTK_MENU_ITEM(widget));
    if (GTK_IS_LABEL(widget))
        return gtk_label_get_text(GTK_LABEL(widget));
    if (GTK_IS_BUTTON(widget))
        return gtk_button_get_label(GTK_BUTTON(widget));
    return "";
}

std::string combo_entry(GtkWidget *combo, int index)
{
    GtkTreeModel *model = gtk_combo_box_get_model(GTK_COMBO_BOX(combo));
    GtkTreeIter iter;
    if (!gtk_tree_model_iter_nth_child(model, &iter, nullptr, index))
        return "";
    gchar *text = nullptr;
    gtk_tree_model_get(model, &iter, 0, &text, -1);
    std::string s = text ? text : "";
    g_free(text);
    return s;
}

TEST(StartWithLanguageEs, SpanishIsChosenAndSaved)
{
    EXPECT_EQ(current_language, 1);
    auto s = read_settings(config_path);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->lang, "es");
}

TEST(StartWithLanguageEs, WindowTextsAreSpanish)
{
    ASSERT_TRUE(GTK_IS_WINDOW(window_main));
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(window_main)), "Zevrin (desconectado)");
    EXPECT_EQ(label_of(label_message), "Conecte un dispositivo Zevrin al ordenador");
    EXPECT_EQ(label_of(label_version), "Versión 2.0.1");
    EXPECT_EQ(label_of(radiomenuitem_lang[1]), "Español");  // language names stay as they are
    EXPECT_EQ(label_of(checkmenuitem_dev_options), "Opciones de _desarrollador");
    EXPECT_EQ(label_of(radiobutton_keyb[0]), "Teclado");
    EXPECT_EQ(label_of(checkbutton_auto_release[7]), "Liberación automática");
    // Lists are filled through gettext when the window is built.
    EXPECT_EQ(combo_entry(combobox_mouse[0], 0), "Clic izquierdo");
    EXPECT_EQ(combo_entry(combobox_joy[7], 0), "Botón 1");
    EXPECT_EQ(combo_entry(combobox_gen[3], 7), "Evento 8");
    EXPECT_EQ(combo_entry(combobox_mouse_speed, 3), "Acelerar y frenar");
    // Key names that come from the catalogue, not from the keyboard layout.
    bool found_return = false;
    for (int i = 0; i < 78; i++)
        found_return = found_return || combo_entry(combobox_keyb[0], i) == "Intro";
    EXPECT_TRUE(found_return);
}

TEST(LanguageMenu, ChoosingTheCurrentLanguageDoesNothing)
{
    auto before = identity(config_path);
    const std::string lang_before = std::getenv("LANG");
    const int current = current_language;
    dialogs.clear();

    GtkWidget *item = radiomenuitem_lang[current];
    ASSERT_TRUE(gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(item)));
    gtk_menu_item_activate(GTK_MENU_ITEM(item));
    radiomenuitem_lang_activate_cb(GTK_MENU_ITEM(item), GINT_TO_POINTER(current));
    flush_events();

    EXPECT_EQ(current_language, current);
    EXPECT_EQ(identity(config_path), before);
    EXPECT_EQ(std::getenv("LANG"), lang_before);
    EXPECT_TRUE(dialogs.empty());
}

TEST(LanguageMenu, AnInactiveItemDoesNothing)
{
    const int current = current_language;
    const int other = (current + 3) % n_languages;
    auto before = identity(config_path);
    dialogs.clear();
    ASSERT_FALSE(gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(radiomenuitem_lang[other])));
    radiomenuitem_lang_activate_cb(GTK_MENU_ITEM(radiomenuitem_lang[other]), GINT_TO_POINTER(other));
    EXPECT_EQ(current_language, current);
    EXPECT_EQ(identity(config_path), before);
    EXPECT_TRUE(dialogs.empty());
}

TEST(LanguageMenu, ChoosingAnotherSavesItSetsLangAndAsksForARestartInTheCurrentLanguage)
{
    dialogs.clear();
    const int french = 2;
    ASSERT_NE(current_language, french);
    gtk_menu_item_activate(GTK_MENU_ITEM(radiomenuitem_lang[french]));  // as a click does
    flush_events();

    EXPECT_EQ(current_language, french);
    auto s = read_settings(config_path);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->lang, "fr");
    EXPECT_STREQ(std::getenv("LANG"), "fr");
    EXPECT_STREQ(std::getenv("LANGUAGE"), "es");
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].title, "Idioma");
    EXPECT_EQ(dialogs[0].text, "Debe reiniciar la aplicación para aplicar este cambio");
    EXPECT_EQ(dialogs[0].parent, GTK_WINDOW(window_main));
    // The running window keeps its language.
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(window_main)), "Zevrin (desconectado)");
}

TEST(DeveloperOptionsMenu, ToggleSavesAtOnceAndRefreshesTheWindow)
{
    auto *item = GTK_CHECK_MENU_ITEM(checkmenuitem_dev_options);
    ASSERT_FALSE(gtk_check_menu_item_get_active(item));
    EXPECT_FALSE(gtk_widget_get_visible(radiobutton_gen[0]));

    gtk_check_menu_item_set_active(item, TRUE);
    EXPECT_TRUE(show_dev_options);
    EXPECT_EQ(read_settings(config_path)->show_dev_options, true);
    EXPECT_TRUE(gtk_widget_get_visible(radiobutton_gen[0]));
    EXPECT_EQ(read_settings(config_path)->lang, language_code[current_language]);

    gtk_check_menu_item_set_active(item, FALSE);
    EXPECT_FALSE(show_dev_options);
    EXPECT_EQ(read_settings(config_path)->show_dev_options, false);
    EXPECT_FALSE(gtk_widget_get_visible(radiobutton_gen[0]));
}

// --- The settings file, written from the menu ------------------------------------------------

std::string tmp_root()
{
    return config_path.substr(0, config_path.size() - std::string("/config/zevrin/config").size());
}

void toggle_dev_options()
{
    auto *item = GTK_CHECK_MENU_ITEM(checkmenuitem_dev_options);
    gtk_check_menu_item_set_active(item, !gtk_check_menu_item_get_active(item));
    flush_events();
}

TEST(SettingsFileFromTheMenu, AFileThatCouldNotBeReadIsMovedAsideAndTheUserTold)
{
    const std::string broken = "[language]\nlang=fr\n\x01\x02 not a line of settings\n";
    write_file(config_path, broken);
    load_config_file();  // as a start with that file does
    EXPECT_EQ(read_file(config_path), broken);

    dialogs.clear();
    toggle_dev_options();
    ASSERT_EQ(dialogs.size(), 1u);
    const std::string aside = config_path + ".broken";
    EXPECT_NE(dialogs[0].text.find(aside), std::string::npos) << dialogs[0].text;
    EXPECT_EQ(read_file(aside), broken);
    auto s = read_settings(config_path);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->show_dev_options, show_dev_options);

    dialogs.clear();
    toggle_dev_options();
    EXPECT_TRUE(dialogs.empty());
    EXPECT_EQ(read_settings(config_path)->show_dev_options, show_dev_options);
    std::filesystem::remove(aside);
}

// A choice that cannot be stored is said so, in words; the restart message would claim
// otherwise, so it does not come.
TEST(SettingsFileFromTheMenu, AFailedSaveIsShownAndNoRestartIsOffered)
{
    const std::string kept = tmp_root() + "/kept-config";
    std::filesystem::rename(config_path, kept);
    std::filesystem::create_symlink(tmp_root() + "/no-such-folder/config", config_path);

    dialogs.clear();
    const int italian = 3;
    ASSERT_NE(current_language, italian);
    gtk_menu_item_activate(GTK_MENU_ITEM(radiomenuitem_lang[italian]));
    flush_events();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_NE(dialogs[0].text.find("no-such-folder"), std::string::npos) << dialogs[0].text;
    EXPECT_NE(dialogs[0].text, "Debe reiniciar la aplicación para aplicar este cambio");

    dialogs.clear();
    toggle_dev_options();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_NE(dialogs[0].text.find("no-such-folder"), std::string::npos) << dialogs[0].text;
    toggle_dev_options();

    std::filesystem::remove(config_path);
    std::filesystem::rename(kept, config_path);
}

}  // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    temp_dir tmp;
    g_mkdir_with_parents((tmp / "home").c_str(), 0700);
    g_setenv("HOME", (tmp / "home").c_str(), TRUE);
    g_setenv("XDG_CONFIG_HOME", (tmp / "config").c_str(), TRUE);
    g_setenv("XDG_RUNTIME_DIR", tmp.path.c_str(), TRUE);
    g_unsetenv("LC_ALL");
    g_unsetenv("LC_MESSAGES");
    g_setenv("LANG", "C.UTF-8", TRUE);
    g_setenv("LANGUAGE", "es", TRUE);
    // The program run from its build directory: data in ../data/, catalogues in locale/.
    if (chdir(build_root().c_str()) != 0)
        return 1;

    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "cannot open the display; run under tests/xvfb-wrap.sh\n");
        return 1;
    }
    g_signal_add_emission_hook(g_signal_lookup("map", GTK_TYPE_WIDGET), 0, dialog_mapped_hook, nullptr, nullptr);
    find_data_dir();
    find_config_dir();
    load_config_file();
    config_path = tmp / "config/zevrin/config";
    load_main_window();
    show_main_window();
    update_main_window();
    flush_events();

    return RUN_ALL_TESTS();
}
