// The commands of the main window's buttons and menus. The builder connects these by name.
#include <glib/gi18n.h>

#include "app/hub.h"
#include "build_config.h"
#include "device/config.h"
#include "device/protocol.h"
#include "window/widget_ops.h"
#include "window/window.h"

bool quit_after_write = false;
bool restart_after_write = false;
bool restart_requested = false;

namespace {

// The toolbar that holds Write and Read is hidden unless a device is connected and idle, but a
// keyboard accelerator or an accessibility tool can still activate a hidden button: the
// transfer commands check for themselves.
bool device_idle()
{
    return device_connected && !reading_config && !writing_config;
}

// Idle, with the box's configuration completely read: what Write needs.
bool device_ready()
{
    return device_idle() && config_valid;
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
    // A nested main loop: device notices go on meanwhile, so callers look at the state again.
    const int response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
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
    // Without a browser nothing can be shown, and nothing is.
    gtk_show_uri_on_window(as_window(window_main), USER_MANUAL_URI, GDK_CURRENT_TIME, nullptr);
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
