// One instance on the desktop; see instance.h.
//
// A launcher hands a start its startup notice in the environment. The first start gives it to
// its own window; a later start sends it to the running instance with the single-instance
// signal, whose window is then presented with it. Without it the desktop's focus-stealing
// prevention may keep the window behind the others, and the launcher's busy cursor runs on
// until it gives up.
//
// GTK 3 uses the notice differently on each windowing system:
// - X11: gtk_window_set_startup_id puts the id on the window (_NET_STARTUP_ID), takes the
//   launch time that the id carries ("..._TIME<time>") as the window's user time, which the
//   request to activate the window then gives, and, once the window is mapped, ends the
//   launcher's startup notification ("remove" with the id).
// - Wayland: the window's activation (xdg-activation) takes the token that the display holds,
//   set with gdk_wayland_display_set_startup_notification_id; that activation also ends the
//   launcher's notification. GTK 3 reads no XDG_ACTIVATION_TOKEN of its own (launchers of a
//   Wayland session commonly put the token into DESKTOP_STARTUP_ID as well, which it reads);
//   the token is preferred where both are given.
#include "app/instance.h"

#include "cli/options.h"

#include <clocale>

#include <glib/gi18n.h>
#ifdef GDK_WINDOWING_WAYLAND
#include <gdk/gdkwayland.h>
#endif

#include "app/hub.h"
#include "app/paths.h"
#include "app/settings.h"
#include "window/window.h"

namespace {

constexpr const char *startup_id_key = "startup-id";
constexpr const char *activation_token_key = "activation-token";
constexpr const char *open_file_key = "open-file";

std::string take_variable(const char *name)
{
    const char *value = g_getenv(name);
    std::string taken = value != nullptr && g_utf8_validate(value, -1, nullptr) ? value : "";
    g_unsetenv(name);
    return taken;
}

}  // namespace

startup_notice take_startup_notice()
{
    startup_notice notice;
    notice.startup_id = take_variable("DESKTOP_STARTUP_ID");
    notice.activation_token = take_variable("XDG_ACTIVATION_TOKEN");
    return notice;
}

std::vector<msingle_item> startup_notice_items(const startup_notice &notice)
{
    std::vector<msingle_item> items;
    if (!notice.startup_id.empty())
        items.push_back({startup_id_key, notice.startup_id});
    if (!notice.activation_token.empty())
        items.push_back({activation_token_key, notice.activation_token});
    return items;
}

startup_notice startup_notice_from_items(const std::vector<msingle_item> &items)
{
    startup_notice notice;
    for (const msingle_item &item : items) {
        if (!g_utf8_validate(item.value.c_str(), -1, nullptr))
            continue;
        if (item.key == startup_id_key)
            notice.startup_id = item.value;
        else if (item.key == activation_token_key)
            notice.activation_token = item.value;
    }
    return notice;
}

std::string file_argument(int argc, char **argv)
{
    bool options = true;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (options && g_strcmp0(arg, "--") == 0) {
            options = false;
            continue;
        }
        bool takes_value = false;
        if (options && is_toolkit_option(arg, &takes_value)) {
            i += takes_value ? 1 : 0;
            continue;
        }
        GFile *file = g_file_new_for_commandline_arg(arg);
        gchar *path = g_file_get_path(file);
        g_object_unref(file);
        std::string absolute = path != nullptr ? path : "";
        g_free(path);
        return absolute;
    }
    return "";
}

msingle_item open_file_item(const std::string &path)
{
    return {open_file_key, path};
}

void use_startup_notice(GtkWindow *window, const startup_notice &notice)
{
    if (window == nullptr)
        return;
#ifdef GDK_WINDOWING_WAYLAND
    GdkDisplay *display = gtk_widget_get_display(GTK_WIDGET(window));
    if (GDK_IS_WAYLAND_DISPLAY(display)) {
        const std::string &token =
            notice.activation_token.empty() ? notice.startup_id : notice.activation_token;
        if (!token.empty())
            gdk_wayland_display_set_startup_notification_id(display, token.c_str());
        return;
    }
#endif
    if (!notice.startup_id.empty())
        gtk_window_set_startup_id(window, notice.startup_id.c_str());
}

void msingle_items_cb(const std::vector<msingle_item> &items)
{
    if (window_main != nullptr)
        use_startup_notice(GTK_WINDOW(window_main), startup_notice_from_items(items));
    msingle_instance_cb();
    for (const msingle_item &item : items)
        if (item.key == open_file_key)
            open_configuration_file(item.value.c_str());
}

void report_unanswered_instance()
{
    // The toolkit is not running: the locale, and the language chosen in the settings, are set
    // up here as they would be for the window.
    setlocale(LC_ALL, "");
    find_data_dir();
    find_config_dir();
    load_config_file();
    g_printerr("zevrin: %s\n",
               // TRANSLATORS: printed on standard error when the program is started while
               // another copy of it runs but does not answer (it is busy or stopped).
               _("The Zevrin configurator is already running, but it does not answer, so this "
                 "start does nothing. If its window does not come to the front, close the "
                 "program and start it again."));
}
