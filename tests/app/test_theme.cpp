// The look: the theme the program asks for, the environment of the programs it starts, and our
// style sheet over the real Materia-light theme (chosen page button, focus ring).
#include <gtest/gtest.h>

#include <gtk/gtk.h>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>

#include "app/paths.h"
#include "app/theme.h"
#include "tests/scratch_dir.h"

namespace {

std::string scratch_root;

void desktop_high_contrast(bool on)
{
    GSettings *settings = g_settings_new("org.gnome.desktop.a11y.interface");
    g_settings_set_boolean(settings, "high-contrast", on);
    g_object_unref(settings);
}

// The environment that a program we start gets, as it writes it out.
std::string child_environment(const std::string &name)
{
    const std::string file = scratch_root + "/" + name;
    const std::string command = "sh -c 'env > " + file + ".tmp && mv " + file + ".tmp " + file + "'";
    GAppInfo *program = g_app_info_create_from_commandline(command.c_str(), "env", G_APP_INFO_CREATE_NONE, nullptr);
    GAppLaunchContext *context = g_app_launch_context_new();
    give_back_user_theme(context);
    EXPECT_TRUE(g_app_info_launch(program, nullptr, context, nullptr));
    g_object_unref(context);
    g_object_unref(program);
    gchar *text = nullptr;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!g_file_get_contents(file.c_str(), &text, nullptr, nullptr) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::string env = text != nullptr ? "\n" + std::string(text) : "";
    g_free(text);
    return env;
}

// Set for us, from the user's GTK_THEME and GNOME's accessibility setting; the programs we
// start get the user's own GTK_THEME, or none.
TEST(Theme, OursUnlessHighContrastIsAskedForAndNeverForTheProgramsWeStart)
{
    struct want {
        const char *user;
        bool desktop;
        const char *ours, *child;
    };
    for (const want &w : {want{nullptr, false, "Materia-light", nullptr}, want{"Adwaita:dark", false, "Materia-light", "Adwaita:dark"},
                          want{"HighContrastInverse", false, "HighContrastInverse", "HighContrastInverse"},
                          want{nullptr, true, "HighContrast", nullptr}, want{"Adwaita", true, "HighContrast", "Adwaita"}}) {
        desktop_high_contrast(w.desktop);
        if (w.user != nullptr)
            g_setenv("GTK_THEME", w.user, TRUE);
        else
            g_unsetenv("GTK_THEME");
        set_theme();
        EXPECT_STREQ(g_getenv("GTK_THEME"), w.ours) << (w.user ? w.user : "-") << w.desktop;
        EXPECT_EQ(high_contrast_theme, std::string(w.ours) != "Materia-light");
        const std::string env = child_environment(std::string("env-") + w.ours + (w.user ? w.user : ""));
        ASSERT_NE(env.find("\nPATH="), std::string::npos) << "the child wrote no environment";
        const size_t theme = env.find("\nGTK_THEME=");
        if (w.child == nullptr)
            EXPECT_EQ(theme, std::string::npos) << env.substr(theme, 40);
        else
            EXPECT_NE(env.find(std::string("\nGTK_THEME=") + w.child + "\n"), std::string::npos);
    }
    desktop_high_contrast(false);
}

// Contrast ratio of two colours as the accessibility guidelines define it.
double contrast(const GdkRGBA &a, const GdkRGBA &b)
{
    auto luminance = [](const GdkRGBA &c) {
        auto lin = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * lin(c.red) + 0.7152 * lin(c.green) + 0.0722 * lin(c.blue);
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// A style colour of the widget in its present state, as it shows over `under`.
GdkRGBA colour(GtkWidget *widget, const char *property, const GdkRGBA &under = {1, 1, 1, 1})
{
    GtkStyleContext *style = gtk_widget_get_style_context(widget);
    GdkRGBA *c = nullptr;
    gtk_style_context_get(style, gtk_style_context_get_state(style), property, &c, nullptr);
    const double a = c->alpha;
    const GdkRGBA shown = {a * c->red + (1 - a) * under.red, a * c->green + (1 - a) * under.green,
                           a * c->blue + (1 - a) * under.blue, 1};
    gdk_rgba_free(c);
    return shown;
}

// Linked page buttons as in the rows, the first chosen, and a plain button, in the default look
// and in both high-contrast themes (each with the sheet that the program loads over it).
TEST(StyleSheet, ChosenPageButtonAndFocusRingStandOut)
{
    struct look {
        const char *theme;
        bool high_contrast;
        double chosen_text, chosen_surroundings;  // contrasts asked for beyond the 3:1 of all
    };
    for (const look &l : {look{"Materia-light", false, 4.5, 4.5}, look{"HighContrast", true, 4.5, 3.0},
                          look{"HighContrastInverse", true, 4.5, 3.0}}) {
        SCOPED_TRACE(l.theme);
        // GTK_THEME wins over the setting; setting the name only makes the toolkit read it again.
        g_setenv("GTK_THEME", l.theme, TRUE);
        g_object_set(gtk_settings_get_default(), "gtk-theme-name", l.theme, nullptr);
        high_contrast_theme = l.high_contrast;
        load_style_sheet();
        GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        GtkWidget *pages = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
        gtk_style_context_add_class(gtk_widget_get_style_context(pages), GTK_STYLE_CLASS_LINKED);
        GtkWidget *mouse = gtk_radio_button_new_with_label(nullptr, "Mouse");
        GtkWidget *keyboard = gtk_radio_button_new_with_label_from_widget(GTK_RADIO_BUTTON(mouse), "Keyboard");
        GtkWidget *write = gtk_button_new_with_label("Write");
        for (GtkWidget *button : {mouse, keyboard, write}) {
            if (button != write)
                gtk_toggle_button_set_mode(GTK_TOGGLE_BUTTON(button), FALSE);
            gtk_container_add(GTK_CONTAINER(pages), button);
        }
        gtk_container_add(GTK_CONTAINER(window), pages);
        gtk_widget_show_all(window);

        const GdkRGBA surroundings = colour(window, "background-color");
        const GdkRGBA chosen = colour(mouse, "background-color", surroundings);
        EXPECT_GE(contrast(colour(gtk_bin_get_child(GTK_BIN(mouse)), "color", chosen), chosen), l.chosen_text);
        EXPECT_GE(contrast(chosen, surroundings), l.chosen_surroundings);
        EXPECT_GE(contrast(colour(keyboard, "background-color", surroundings), chosen), 3.0);
        // The focus ring: solid, two pixels, standing out from what is around it.
        for (GtkWidget *button : {write, mouse}) {
            gtk_widget_grab_focus(button);
            GtkStyleContext *style = gtk_widget_get_style_context(button);
            gtk_style_context_set_state(
                style, static_cast<GtkStateFlags>(gtk_style_context_get_state(style) | GTK_STATE_FLAG_FOCUSED));
            int ring_style = GTK_BORDER_STYLE_NONE, ring_width = 0;
            gtk_style_context_get(style, gtk_style_context_get_state(style), "outline-style", &ring_style,
                                  "outline-width", &ring_width, nullptr);
            EXPECT_EQ(ring_style, GTK_BORDER_STYLE_SOLID);
            EXPECT_GE(ring_width, 2);
            EXPECT_GE(contrast(colour(button, "outline-color", surroundings), button == mouse ? chosen : surroundings),
                      3.0);
        }
        gtk_widget_destroy(window);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    scratch_root = scratch::make_dir("zevrin-theme");
    // GNOME's accessibility schema for this process alone: the machine may not have it.
    const std::string schemas = scratch_root + "/schemas";
    g_mkdir_with_parents(schemas.c_str(), 0700);
    g_file_set_contents((schemas + "/a11y.gschema.xml").c_str(),
                        "<schemalist><schema id='org.gnome.desktop.a11y.interface' path='/org/gnome/desktop/a11y/interface/'>"
                        "<key name='high-contrast' type='b'><default>false</default></key></schema></schemalist>",
                        -1, nullptr);
    int status = 1;
    const std::string compile = "glib-compile-schemas " + schemas;
    if (!g_spawn_command_line_sync(compile.c_str(), nullptr, nullptr, &status, nullptr) || status != 0)
        return 1;
    g_setenv("GSETTINGS_SCHEMA_DIR", schemas.c_str(), TRUE);
    g_setenv("GSETTINGS_BACKEND", "memory", TRUE);
    data_dir = g_build_filename(g_getenv("ZEVRIN_SOURCE_ROOT"), "data", nullptr);  // the style sheet
    g_setenv("GTK_THEME", "Materia-light", TRUE);
    gtk_init(&argc, &argv);
    // The theme animates every change of state; the colours are read at their end.
    g_object_set(gtk_settings_get_default(), "gtk-enable-animations", FALSE, nullptr);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
