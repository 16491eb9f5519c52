// The device event hub: the window's side of the conversation with a box. Everything here runs
// on the GUI thread.
#include "app/hub.h"

#include <string>

#include <glib/gi18n.h>

#include "device/config.h"
#include "device/protocol.h"
#include "window/window.h"

bool device_is_demo = false;

std::string permission_message(const char *node)
{
    gchar *message = g_strdup_printf(
        // TRANSLATORS: %s is the device file, for example /dev/hidraw3. 70-zevrin.rules is a
        // file name and /etc/udev/rules.d a folder: keep both as they are.
        _("A Zevrin device was found at %s, but you have no permission to use it.\n\n"
          "To allow it, install the program, or copy its udev rule 70-zevrin.rules into "
          "/etc/udev/rules.d. Then run \"sudo udevadm trigger\": the device becomes usable "
          "without unplugging it."),
        node);
    std::string text = message;
    g_free(message);
    return text;
}

namespace {

gboolean access_denied_cb(gpointer user_data)
{
    dialog_info("Zevrin", permission_message(static_cast<const char *>(user_data)).c_str(),
                GTK_WINDOW(window_main), "trouble-permission");
    return FALSE;
}

}  // namespace

void hub_box_changed()
{
    g_idle_add(update_main_window_cb, nullptr);
}

// The messages run from the main loop of their own, not inside the notice that brought them.
void hub_another_box()
{
    g_idle_add(multiple_devices_cb, nullptr);
}

void hub_access_denied(const char *node)
{
    g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, access_denied_cb, g_strdup(node), g_free);
}

void hub_generic_event(int number, bool released)
{
    g_print("Generic event: %02X %s\n", static_cast<unsigned>(number), released ? "release" : "press");
}

void msingle_instance_cb()
{
    show_main_window();
}

void register_devices()
{
    conversation_begin();
}

gboolean update_main_window_cb(gpointer)
{
    update_main_window();
    return FALSE;
}

gboolean multiple_devices_cb(gpointer)
{
    dialog_info("Zevrin",
                _("There seems to be more than one Zevrin device connected. Please disconnect all "
                  "devices except the one you want to configure."),
                GTK_WINDOW(window_main), "trouble-two-boxes");
    return FALSE;
}

void dialog_info(const char *title, const char *message, GtkWindow *parent, const char *help_page)
{
    GtkWidget *dialog = gtk_message_dialog_new(parent, GTK_DIALOG_DESTROY_WITH_PARENT,
                                               GTK_MESSAGE_INFO, GTK_BUTTONS_NONE, "%s", message);
    gtk_window_set_title(GTK_WINDOW(dialog), title);
    if (help_page != nullptr)
        gtk_dialog_add_button(GTK_DIALOG(dialog), _("_Help"), GTK_RESPONSE_HELP);
    gtk_dialog_add_button(GTK_DIALOG(dialog), _("_Close"), GTK_RESPONSE_CLOSE);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_CLOSE);
    GtkWidget *focus = hold_focus(parent);
    // A nested main loop: device notices and a running read go on while the dialog is open.
    // Help opens the manual's page on the problem and leaves the message open beside it.
    while (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_HELP)
        show_user_manual(help_page);
    gtk_widget_destroy(dialog);
    give_back_focus(focus);
}
