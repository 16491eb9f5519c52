// The entry point: brings the program up in a fixed order, runs the main loop, shuts down.
#include <string>
#include <vector>

#include <gtk/gtk.h>

#include "app/hub.h"
#include "app/instance.h"
#include "app/paths.h"
#include "app/settings.h"
#include "app/theme.h"
#include "cli/command_line.h"
#include "hid/hid_demo.h"
#include "hid/hid_platform.h"
#include "hid/mhid.h"
#include "single/msingle.h"
#include "window/window.h"

int main(int argc, char **argv)
{
    // The command line needs no window and no display, and a running window does not stop it:
    // its options are taken before anything else.
    if (is_command_line(argc, argv))
        return run_command_line(argc, argv);

    // Before anything else: a second start only brings the running window to the front,
    // handing it the launcher's startup notice, without which the desktop may not let it come.
    // A file to open goes to the running window too.
    const startup_notice notice = take_startup_notice();
    const std::string file = file_argument(argc, argv);
    std::vector<msingle_item> items = startup_notice_items(notice);
    if (!file.empty())
        items.push_back(open_file_item(file));
    const msingle_result guard = msingle_init_with_items("Morvak.Zevrin.Single", items, msingle_items_cb);
    if (guard == msingle_unanswered) {
        // The file, or the start itself, went nowhere: a launcher or a script must hear of it.
        report_unanswered_instance();
        return 1;
    }
    if (guard != msingle_holding)
        return 0;

    // A restart starts the program again as it was started: with the arguments it was given
    // (before gtk_init takes its own out of argv) and the environment it found (before the
    // language and the theme are set in it).
    const std::vector<std::string> arguments(argv, argv + argc);
    gchar **environment = g_get_environ();

    // The desktop matches our windows to our launcher and icon by this name: it is the X11
    // WM_CLASS and the Wayland app id, and the desktop file is named after it.
    g_set_prgname(application_id);
    // Set before the toolkit starts so that GTK takes it up: our own light theme unless the
    // desktop asks for high contrast.
    set_theme();
    gtk_init(&argc, &argv);
    gdk_set_program_class(application_id);  // else the class is the name with a capital "I"

    find_data_dir();
    find_config_dir();
    load_style_sheet();

    gchar *icon = get_data_file("/icons/zevrin.ico");
    gtk_window_set_default_icon_from_file(icon, nullptr);  // without it the toolkit's icon stays
    g_free(icon);

    // The language is chosen before the window is built, since its texts are translated then.
    load_config_file();
    load_main_window();
    if (window_main == nullptr) {
        // Without its interface files the program would run on with no window, out of the
        // user's reach: say what is missing and stop instead.
        gchar *file = get_data_file("interface/main.glade");
        g_printerr("zevrin: the main window could not be built from %s; please reinstall the program\n", file);
        g_free(file);
        msingle_terminate();
        g_strfreev(environment);
        return 1;
    }
    use_startup_notice(GTK_WINDOW(window_main), notice);
    show_main_window();
    update_main_window();
    // Opened once the box's configuration has been read.
    open_configuration_file(file.c_str());

    // ZEVRIN_DEMO=zevrin|mini: a built-in simulated device stands in for the hardware.
    device_is_demo = hid_demo_use_from_environment();
    // A command-line run refused a box that the window holds says who holds it.
    hid_linux_hold_as_window(true);
    mhid_init();
    register_devices();

    gtk_main();

    // Notices stop, the HID threads end and the nodes close before the guard goes.
    mhid_terminate();
    msingle_terminate();
    if (restart_requested)
        restart_program(arguments, environment);
    g_strfreev(environment);
    return 0;
}
