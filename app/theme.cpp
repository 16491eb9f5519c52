#include "app/theme.h"

#include <gtk/gtk.h>

#include <cstring>

#include "app/paths.h"

bool high_contrast_theme = false;

namespace {

// GTK_THEME as the user's session set it; null when it was unset.
gchar *user_gtk_theme = nullptr;

// "HighContrast", "HighContrastInverse", also with a variant ("HighContrast:dark").
bool is_high_contrast(const char *theme)
{
    return theme != nullptr && g_str_has_prefix(theme, "HighContrast");
}

}  // namespace

const char *choose_theme(const char *user_theme, bool desktop_high_contrast)
{
    if (is_high_contrast(user_theme))
        return user_theme;
    return desktop_high_contrast ? "HighContrast" : default_theme;
}

bool desktop_asks_high_contrast()
{
    constexpr const char *schema_id = "org.gnome.desktop.a11y.interface";
    GSettingsSchemaSource *source = g_settings_schema_source_get_default();
    if (source == nullptr)
        return false;
    GSettingsSchema *schema = g_settings_schema_source_lookup(source, schema_id, TRUE);
    if (schema == nullptr)
        return false;
    bool asks = false;
    if (g_settings_schema_has_key(schema, "high-contrast")) {
        GSettings *settings = g_settings_new_full(schema, nullptr, nullptr);
        asks = g_settings_get_boolean(settings, "high-contrast");
        g_object_unref(settings);
    }
    g_settings_schema_unref(schema);
    return asks;
}

void set_theme()
{
    g_free(user_gtk_theme);
    user_gtk_theme = g_strdup(g_getenv("GTK_THEME"));
    const char *theme = choose_theme(user_gtk_theme, desktop_asks_high_contrast());
    high_contrast_theme = is_high_contrast(theme);
    set_env_var("GTK_THEME", theme);
}

void load_style_sheet()
{
    // Loading again (after a change of theme) replaces the sheet loaded before.
    static GtkCssProvider *loaded = nullptr;
    GdkScreen *screen = gdk_screen_get_default();
    if (screen == nullptr)
        return;
    if (loaded != nullptr) {
        gtk_style_context_remove_provider_for_screen(screen, GTK_STYLE_PROVIDER(loaded));
        g_clear_object(&loaded);
    }
    gchar *file = get_data_file(high_contrast_theme ? "style/high-contrast.css" : "style/zevrin.css");
    GtkCssProvider *provider = gtk_css_provider_new();
    // A missing sheet leaves the theme's own look, which works, only with less contrast.
    if (gtk_css_provider_load_from_path(provider, file, nullptr)) {
        gtk_style_context_add_provider_for_screen(screen, GTK_STYLE_PROVIDER(provider),
                                                  GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
        loaded = provider;
    } else {
        g_object_unref(provider);
    }
    g_free(file);
}

void give_back_user_theme(GAppLaunchContext *context)
{
    if (user_gtk_theme != nullptr)
        g_app_launch_context_setenv(context, "GTK_THEME", user_gtk_theme);
    else
        g_app_launch_context_unsetenv(context, "GTK_THEME");
}
