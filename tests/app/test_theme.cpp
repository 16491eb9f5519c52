// The look: which theme the program asks for, the environment of the programs it starts, and
// what our style sheet does to the default look (contrast of the chosen page button, the focus
// ring), measured on real widgets under the real Materia-light theme.
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

TEST(Theme, DefaultUnlessTheDesktopOrTheUserAsksForHighContrast)
{
    EXPECT_STREQ(choose_theme(nullptr, false), "Materia-light");
    EXPECT_STREQ(choose_theme("Adwaita:dark", false), "Materia-light");
    EXPECT_STREQ(choose_theme(nullptr, true), "HighContrast");
    EXPECT_STREQ(choose_theme("Adwaita", true), "HighContrast");
    EXPECT_STREQ(choose_theme("HighContrast", false), "HighContrast");
    EXPECT_STREQ(choose_theme("HighContrastInverse", false), "HighContrastInverse");
    EXPECT_STREQ(choose_theme("HighContrastInverse", true), "HighContrastInverse");
}

// GNOME's accessibility switch, through GSettings (the memory backend of the tests, with the
// schema that main() installs for this process).
TEST(Theme, TheDesktopSettingIsRead)
{
    GSettings *settings = g_settings_new("org.gnome.desktop.a11y.interface");
    g_settings_set_boolean(settings, "high-contrast", TRUE);
    EXPECT_TRUE(desktop_asks_high_contrast());
    g_settings_set_boolean(settings, "high-contrast", FALSE);
    EXPECT_FALSE(desktop_asks_high_contrast());
    g_object_unref(settings);
}

// The environment that a program we start gets, as it writes it out.
std::string child_environment(const char *name)
{
    const std::string file = scratch_root + "/" + name;
    gchar *command = g_strdup_printf("sh -c 'env > %s.tmp && mv %s.tmp %s'", file.c_str(), file.c_str(), file.c_str());
    GAppInfo *program = g_app_info_create_from_commandline(command, "env", G_APP_INFO_CREATE_NONE, nullptr);
    g_free(command);
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

TEST(Theme, OurThemeIsSetForUsAndNotForTheProgramsWeStart)
{
    GSettings *settings = g_settings_new("org.gnome.desktop.a11y.interface");
    g_settings_set_boolean(settings, "high-contrast", FALSE);

    g_unsetenv("GTK_THEME");
    set_theme();
    EXPECT_STREQ(g_getenv("GTK_THEME"), "Materia-light");
    EXPECT_FALSE(high_contrast_theme);
    std::string env = child_environment("no-theme");
    ASSERT_NE(env.find("\nPATH="), std::string::npos) << "the child wrote no environment";
    EXPECT_EQ(env.find("\nGTK_THEME="), std::string::npos);

    g_setenv("GTK_THEME", "Adwaita:dark", TRUE);
    set_theme();
    EXPECT_STREQ(g_getenv("GTK_THEME"), "Materia-light");
    EXPECT_NE(child_environment("own-theme").find("\nGTK_THEME=Adwaita:dark\n"), std::string::npos);

    g_setenv("GTK_THEME", "HighContrastInverse", TRUE);
    set_theme();
    EXPECT_STREQ(g_getenv("GTK_THEME"), "HighContrastInverse");
    EXPECT_TRUE(high_contrast_theme);

    g_unsetenv("GTK_THEME");
    g_settings_set_boolean(settings, "high-contrast", TRUE);
    set_theme();
    EXPECT_STREQ(g_getenv("GTK_THEME"), "HighContrast");
    EXPECT_TRUE(high_contrast_theme);
    g_settings_set_boolean(settings, "high-contrast", FALSE);
    g_object_unref(settings);
}

// Relative luminance and contrast ratio of opaque colours, as the accessibility guidelines
// define them.
double luminance(const GdkRGBA &c)
{
    auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.red) + 0.7152 * channel(c.green) + 0.0722 * channel(c.blue);
}

double contrast(const GdkRGBA &a, const GdkRGBA &b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// A widget's background as it shows over `under` (its own colour may be translucent).
GdkRGBA background(GtkWidget *widget, const GdkRGBA &under = {1, 1, 1, 1})
{
    GtkStyleContext *style = gtk_widget_get_style_context(widget);
    GdkRGBA *color = nullptr;
    gtk_style_context_get(style, gtk_style_context_get_state(style), "background-color", &color, nullptr);
    const double a = color->alpha;
    const GdkRGBA shown = {a * color->red + (1 - a) * under.red, a * color->green + (1 - a) * under.green,
                           a * color->blue + (1 - a) * under.blue, 1};
    gdk_rgba_free(color);
    return shown;
}

GdkRGBA foreground(GtkWidget *widget)
{
    GtkStyleContext *style = gtk_widget_get_style_context(widget);
    GdkRGBA color;
    gtk_style_context_get_color(style, gtk_style_context_get_state(style), &color);
    return color;
}

// A window like the main window's rows: linked page buttons, the first one chosen.
TEST(StyleSheet, ChosenPageButtonAndFocusRingStandOut)
{
    high_contrast_theme = false;
    load_style_sheet();

    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget *pages = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    gtk_style_context_add_class(gtk_widget_get_style_context(pages), GTK_STYLE_CLASS_LINKED);
    GtkWidget *mouse = gtk_radio_button_new_with_label(nullptr, "Mouse");
    GtkWidget *keyboard = gtk_radio_button_new_with_label_from_widget(GTK_RADIO_BUTTON(mouse), "Keyboard");
    GtkWidget *write = gtk_button_new_with_label("Write");
    for (GtkWidget *button : {mouse, keyboard}) {
        gtk_toggle_button_set_mode(GTK_TOGGLE_BUTTON(button), FALSE);
        gtk_container_add(GTK_CONTAINER(pages), button);
    }
    gtk_container_add(GTK_CONTAINER(pages), write);
    gtk_container_add(GTK_CONTAINER(window), pages);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(mouse), TRUE);
    gtk_widget_show_all(window);

    const GdkRGBA surroundings = background(window);
    const GdkRGBA chosen = background(mouse, surroundings);
    const GdkRGBA text = foreground(gtk_bin_get_child(GTK_BIN(mouse)));
    EXPECT_GE(contrast(text, chosen), 4.5);
    EXPECT_GE(contrast(chosen, surroundings), 4.5);
    // The button that is not chosen looks plainly different from the chosen one.
    EXPECT_GE(contrast(background(keyboard, surroundings), chosen), 4.5);

    // Focus ring: a solid line of two pixels at least, in a colour that stands out from the
    // window, on a plain button and on the chosen page button.
    for (GtkWidget *button : {write, mouse}) {
        gtk_widget_grab_focus(button);
        GtkStyleContext *style = gtk_widget_get_style_context(button);
        const GtkStateFlags state = static_cast<GtkStateFlags>(gtk_style_context_get_state(style) | GTK_STATE_FLAG_FOCUSED);
        int ring_style = GTK_BORDER_STYLE_NONE, ring_width = 0;
        GdkRGBA *ring = nullptr;
        gtk_style_context_get(style, state, "outline-style", &ring_style, "outline-width", &ring_width,
                              "outline-color", &ring, nullptr);
        EXPECT_EQ(ring_style, GTK_BORDER_STYLE_SOLID);
        EXPECT_GE(ring_width, 2);
        ASSERT_NE(ring, nullptr);
        EXPECT_DOUBLE_EQ(ring->alpha, 1.0);
        EXPECT_GE(contrast(*ring, button == mouse ? chosen : surroundings), 3.0);
        gdk_rgba_free(ring);
    }
    gtk_widget_destroy(window);
}

}  // namespace

int main(int argc, char **argv)
{
    scratch_root = scratch::make_dir("zevrin-theme");
    // GNOME's accessibility schema for this process alone: the machine may not have it.
    const std::string schemas = scratch_root + "/schemas";
    g_mkdir_with_parents(schemas.c_str(), 0700);
    g_file_set_contents((schemas + "/org.gnome.desktop.a11y.interface.gschema.xml").c_str(),
                        "<schemalist><schema id='org.gnome.desktop.a11y.interface' "
                        "path='/org/gnome/desktop/a11y/interface/'><key name='high-contrast' type='b'>"
                        "<default>false</default></key></schema></schemalist>",
                        -1, nullptr);
    gchar *compile = g_strdup_printf("glib-compile-schemas %s", schemas.c_str());
    int status = 1;
    g_spawn_command_line_sync(compile, nullptr, nullptr, &status, nullptr);
    g_free(compile);
    if (status != 0) {
        fprintf(stderr, "glib-compile-schemas failed\n");
        return 1;
    }
    g_setenv("GSETTINGS_SCHEMA_DIR", schemas.c_str(), TRUE);
    g_setenv("GSETTINGS_BACKEND", "memory", TRUE);
    // The style sheet as the program finds it, in the source tree's data folder.
    data_dir = g_build_filename(g_getenv("ZEVRIN_SOURCE_ROOT"), "data", nullptr);
    g_setenv("GTK_THEME", "Materia-light", TRUE);
    gtk_init(&argc, &argv);
    // The theme animates every change of state; the colours are read at their end.
    g_object_set(gtk_settings_get_default(), "gtk-enable-animations", FALSE, nullptr);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
