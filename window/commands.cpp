// The commands of the main window's buttons and menus. The builder connects these by name.
#include <glib/gi18n.h>

#include "app/hub.h"
#include "app/theme.h"
#include "build_config.h"
#include "device/config.h"
#include "device/protocol.h"
#include "window/widget_ops.h"
#include "window/window.h"

bool quit_after_write = false;
bool restart_after_write = false;
bool restart_requested = false;

namespace {

// What the window does with the protocol's reports: it refreshes at every step, and says how
// a read that did not complete or a write ended.
void protocol_progress(bool, double)
{
    update_main_window();
}

void protocol_read_done(bool complete)
{
    update_main_window();
    // Without a device the window shows the no-device state, which says enough.
    if (!complete && device_connected)
        dialog_info("Zevrin",
                    _("The device did not send its configuration. Please check the connection "
                      "and read the configuration again."),
                    GTK_WINDOW(window_main), "trouble-no-answer");
}

void protocol_write_done(bool all_sent)
{
    // After a failed write the window keeps showing its changes as unwritten.
    if (all_sent && quit_after_write) {
        quit_program(restart_after_write);
        return;
    }
    quit_after_write = false;
    update_main_window();
    GtkWindow *parent = GTK_WINDOW(window_main);
    if (all_sent)
        dialog_info("Zevrin", _("Configuration successfully written into the device."), parent);
    else
        dialog_info("Zevrin",
                    _("The configuration could not be written into the device. Please check "
                      "that the device is connected and write the configuration again."),
                    parent, "trouble-no-answer");
}

// The toolbar that holds Write and Read is hidden unless a device is connected and idle, but a
// keyboard accelerator or an accessibility tool can still activate a hidden button: the
// transfer commands check for themselves.
bool device_idle()
{
    return device_connected && !reading_config && !writing_config;
}

// The manual installed with the program, where desktop help viewers look for it:
// DATADIR/help/LANG/zevrin in the user's and the system's data directories. The English pages
// (C) are always installed; a viewer falls back to them for a language it does not find.
bool user_manual_installed()
{
    auto has_manual = [](const gchar *data_dir) {
        gchar *index = g_build_filename(data_dir, "help", "C", "zevrin", "index.page", nullptr);
        const bool found = g_file_test(index, G_FILE_TEST_IS_REGULAR);
        g_free(index);
        return found;
    };
    if (has_manual(g_get_user_data_dir()))
        return true;
    for (const gchar *const *dir = g_get_system_data_dirs(); *dir != nullptr; dir++)
        if (has_manual(*dir))
            return true;
    return false;
}

// Hands `uri` to the desktop's handler of its scheme; false when there is none or it cannot be
// started. gtk_show_uri_on_window cannot tell: given a parent window, GTK 3 launches the handler
// asynchronously and returns true whatever happens. GIO's own call waits for the launch and
// reports a scheme that nothing handles (G_IO_ERROR_NOT_SUPPORTED) or a failed start; given
// the window's display it starts the handler there, as GTK does (in a sandbox it asks the
// desktop portal instead).
bool open_uri(const char *uri)
{
    GdkDisplay *display = GTK_IS_WIDGET(window_main) ? gtk_widget_get_display(window_main) : gdk_display_get_default();
    GdkAppLaunchContext *context = gdk_display_get_app_launch_context(display);
    gdk_app_launch_context_set_timestamp(context, gtk_get_current_event_time());
    // The viewer or browser is the user's: it gets the user's theme, not the one we chose for
    // ourselves.
    give_back_user_theme(G_APP_LAUNCH_CONTEXT(context));
    GError *error = nullptr;
    const bool opened = g_app_info_launch_default_for_uri(uri, G_APP_LAUNCH_CONTEXT(context), &error);
    if (!opened) {
        g_debug("Cannot open %s: %s", uri, error->message);
        g_error_free(error);
    }
    g_object_unref(context);
    return opened;
}

// The last resort: the web address, in a message whose text can be selected and copied, for
// reading the manual on another computer or a phone.
void show_user_manual_address()
{
    gchar *message = g_strdup_printf(
        // TRANSLATORS: %s is the web address of the user manual.
        _("No help viewer or web browser could open the user manual on this computer. It can be "
          "read on any computer or phone with internet access, at this address:\n\n%s"),
        USER_MANUAL_URI);
    GtkWidget *dialog = gtk_message_dialog_new(as_window(window_main), GTK_DIALOG_DESTROY_WITH_PARENT,
                                               GTK_MESSAGE_INFO, GTK_BUTTONS_CLOSE, "%s", message);
    g_free(message);
    gtk_window_set_title(GTK_WINDOW(dialog), "Zevrin");
    GList *labels = gtk_container_get_children(
        GTK_CONTAINER(gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog))));
    for (GList *l = labels; l != nullptr; l = l->next)
        if (GTK_IS_LABEL(l->data))
            gtk_label_set_selectable(GTK_LABEL(l->data), TRUE);
    g_list_free(labels);
    // A selectable label would take the focus and show its whole text selected.
    gtk_widget_grab_focus(gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_CLOSE));
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
}

enum { response_write = 1, response_discard = 2 };

// Asks what becomes of the changes that have not been written: Discard or Cancel, and Write
// first when `offer_write`. Anything but a button (Escape, closing the question) is Cancel.
int ask_about_changes(const char *question, bool offer_write)
{
    GtkWidget *dialog = gtk_message_dialog_new(as_window(window_main),
                                               GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                                               GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE, "%s", question);
    gtk_window_set_title(GTK_WINDOW(dialog), "Zevrin");
    gtk_dialog_add_button(GTK_DIALOG(dialog), _("_Cancel"), GTK_RESPONSE_CANCEL);
    gtk_dialog_add_button(GTK_DIALOG(dialog), _("_Discard"), response_discard);
    if (offer_write)
        gtk_dialog_add_button(GTK_DIALOG(dialog), _("_Write"), response_write);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
    GtkWidget *focus = hold_focus(as_window(window_main));
    // A nested main loop: device notices go on meanwhile, so callers look at the state again.
    const int response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    give_back_focus(focus);
    return response;
}

// Read and Undo changes: the rows are replaced by what the device holds, after asking when
// that discards changes.
void read_again()
{
    if (config_changed() &&
        ask_about_changes(_("The changes in the window have not been written into the device. Reading the "
                            "configuration from the device discards them."),
                          false) != response_discard)
        return;
    if (device_idle())
        read_config();
}

void write_window_configuration()
{
    set_record(pending_configuration());
    write_config();
}

}  // namespace

// Idle, with the box's configuration completely read: what Write needs.
bool device_ready()
{
    return device_idle() && config_valid;
}

// Opens the manual at `page` (a page id of help/C; null for the start page): the installed
// manual in a help viewer when the program's manual is installed and a viewer can be started,
// else the web manual in a browser, else a message with the web address.
void show_user_manual(const char *page)
{
    gchar *help_uri = page != nullptr ? g_strconcat("help:zevrin/", page, nullptr) : g_strdup("help:zevrin");
    // A help viewer asked for a manual that is not installed shows only an error page: the web
    // manual is better then.
    const bool opened = (user_manual_installed() && open_uri(help_uri)) || open_uri(USER_MANUAL_URI);
    g_free(help_uri);
    if (!opened)
        show_user_manual_address();
}

configuration pending_configuration()
{
    configuration c = record_configuration();
    // Switches past the model's count keep what they hold; they are neither shown nor sent.
    const int n = model_n_switches[connected_device_model];
    for (int s = 0; s < n; s++)
        if (!row_untouched(s))
            c.switches[s] = read_switch_row(s);
    // An untouched list keeps the numbers as they are (also those of no preset); a chosen
    // preset gives all five. The extra entry past the presets changes nothing.
    if (!mouse_speed_untouched())
        apply_mouse_speed_preset(c, combo_active(combobox_mouse_speed));
    if (!joy_displacement_untouched())
        apply_joy_displacement_preset(c, combo_active(combobox_joy_displacement));
    return c;
}

bool config_changed()
{
    if (!device_ready())
        return false;
    return !same_configuration(pending_configuration(), box_configuration, model_n_switches[connected_device_model]);
}

// Write: send what the window holds.
void button_send_clicked_cb(GtkButton *, gpointer)
{
    if (device_ready())
        write_window_configuration();
}

void button_read_clicked_cb(GtkButton *, gpointer)
{
    if (device_idle())
        read_again();
}

// Undo changes reads the device's configuration again, like Read; the defaults themselves are
// loaded by the Set defaults menu command.
void button_defaults_clicked_cb(GtkButton *, gpointer)
{
    if (device_ready())
        read_again();
}

// Shows the defaults without sending them: they reach the device only with Write. They are
// shown for a box whose configuration has been read, as the window shows nothing else.
void menuitem_set_defaults_activate_cb(GtkMenuItem *, gpointer)
{
    const char *message = _("Default configuration is shown. Click 'Write' to send it to the device.");
    if (!device_connected) {
        message = _("Please connect a Zevrin device first: the default configuration is shown for the device "
                    "that is connected.");
    } else if (!device_ready()) {
        message = _("The default configuration can be shown once the configuration of the device has been read.");
    } else {
        set_defaults();
        update_main_window();
    }
    dialog_info("Zevrin", message, as_window(window_main));
}

void menuitem_user_manual_activate_cb(GtkMenuItem *, gpointer)
{
    show_user_manual(nullptr);
}

// The about window is built once and hidden on close, so this is the same window every time.
void menuitem_about_activate_cb(GtkMenuItem *, gpointer)
{
    if (GtkWindow *window = as_window(window_about))
        gtk_window_present(window);
}

void quit_program(bool restart)
{
    restart_requested = restart;
    if (gtk_main_level() == 0)
        return;
    // The window goes at once; hiding it ends the main loop (its "hide" handler).
    if (GTK_IS_WIDGET(window_main) && gtk_widget_get_visible(window_main))
        gtk_widget_hide(window_main);
    else
        gtk_main_quit();
}

void request_quit(bool restart)
{
    const int response =
        !config_changed() ? response_discard
                          : ask_about_changes(_("The changes in the window have not been written into the device. "
                                                "Write them before the program ends?"),
                                              true);
    if (response == response_discard) {
        quit_program(restart);
    } else if (response == response_write && device_ready()) {
        // The program ends when the write has reached the device; a failed one says so and
        // the program stays.
        quit_after_write = true;
        restart_after_write = restart;
        write_window_configuration();
    }
}

void menuitem_quit_activate_cb(GtkMenuItem *, gpointer)
{
    request_quit(false);
}

// Closing the window is Quit, which hides it when the program ends.
gboolean window_main_delete_event_cb(GtkWidget *, GdkEvent *, gpointer)
{
    request_quit(false);
    return TRUE;
}

const protocol_listener window_protocol_listener = {protocol_progress, protocol_read_done,
                                                    protocol_write_done};
