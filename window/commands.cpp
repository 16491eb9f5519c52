// The commands of the main window's buttons and menus. The builder connects these by name.
#include <glib/gi18n.h>

#include "app/hub.h"
#include "app/paths.h"
#include "app/theme.h"
#include "build_config.h"
#include "device/config.h"
#include "device/config_file.h"
#include "device/conversation.h"
#include "device/describe.h"
#include "device/protocol.h"
#include "window/widget_ops.h"
#include "window/window.h"

bool quit_after_write = false;
bool restart_after_write = false;
bool restart_requested = false;

namespace {

// A question in its own modal message, run to its end: its buttons in order (the first one the
// default, as Escape and closing it are, unless `escape` names another answer), and a Help
// button for `help_page` when not null. Device notices go on meanwhile (a nested main loop), so
// callers look at the state again.
int ask(const char *message, const std::vector<std::pair<const char *, int>> &buttons,
        GtkMessageType type = GTK_MESSAGE_QUESTION, const char *help_page = nullptr, int escape = GTK_RESPONSE_NONE)
{
    const int first = escape != GTK_RESPONSE_NONE ? escape : buttons.front().second;
    GtkWidget *dialog = gtk_message_dialog_new(as_window(window_main),
                                               GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                                               type, GTK_BUTTONS_NONE, "%s", message);
    gtk_window_set_title(GTK_WINDOW(dialog), "Zevrin");
    if (help_page != nullptr)
        gtk_dialog_add_button(GTK_DIALOG(dialog), _("_Help"), GTK_RESPONSE_HELP);
    for (const auto &[label, response] : buttons)
        gtk_dialog_add_button(GTK_DIALOG(dialog), label, response);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), buttons.front().second);
    GtkWidget *focus = hold_focus(as_window(window_main));
    int response;
    while ((response = gtk_dialog_run(GTK_DIALOG(dialog))) == GTK_RESPONSE_HELP)
        show_user_manual(help_page);
    gtk_widget_destroy(dialog);
    give_back_focus(focus);
    // Escape and closing the message are the first button's answer.
    return response == GTK_RESPONSE_DELETE_EVENT || response == GTK_RESPONSE_NONE ? first : response;
}

// What the window does with the protocol's reports: it refreshes at every step, and says how
// a read that did not complete or a write ended.
void protocol_progress(bool, double)
{
    update_main_window();
}

enum { response_write = 1, response_discard = 2, response_write_back = 3, response_keep = 4 };

// The rows that a box arriving found in the window, not written into it: kept until a read
// of that box is complete, and then shown again or given up as the user decides.
struct held_rows {
    bool active = false;
    configuration config = {};
    int model = 0;
    std::string name;
    // Rows read from a box and then changed, and what that box held: the same box plugged in
    // again, still holding that, keeps the changes without a question.
    bool from_box = false;
    configuration last_box = {};
};
held_rows held;
unsigned boxes_seen = 0;

// A box taken into use while the rows hold something that it may not hold: they are kept
// before its read replaces the record.
void window_box_changed()
{
    if (boxes_taken != boxes_seen) {
        boxes_seen = boxes_taken;
        if (device_connected && document_open && !held.active) {
            const configuration rows = pending_configuration();
            const bool from_box = !document_without_box;
            if (!from_box || !same_configuration(rows, box_configuration, model_n_switches[document_model]))
                held = {true, rows, document_model, document_name, from_box, box_configuration};
        }
        // The rows hide while the box is read; they are no longer a document without a box.
        document_without_box = false;
    }
    hub_box_changed();
}

std::string escape_mnemonic(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '_')
            out += '_';
        out += c;
    }
    return out;
}

void write_window_configuration();

// The read of a box that arrived while the rows held something else has completed: the rows
// show again what they held, and unless the box holds that too, or it is the same box back
// with the changes made for it, the user chooses between the rows and the box.
void settle_held_rows()
{
    const held_rows rows = std::move(held);
    held = {};
    const int n_box = model_n_switches[connected_device_model];
    const int n = std::min(n_box, model_n_switches[rows.model]);
    const configuration kept = with_switches_and_settings(box_configuration, rows.config, n);
    if (same_configuration(kept, box_configuration, n_box))
        return;
    set_record(kept);
    update_main_window();
    if (rows.from_box && rows.model == connected_device_model && same_configuration(rows.last_box, box_configuration, n_box))
        return;
    std::string message =
        rows.name.empty()
            // TRANSLATORS: %s is a model name (Zevrin or Zevrin Mini).
            ? printf_string(_("The connected %s holds another configuration than the window, whose changes have not "
                              "been written into it."),
                            model_name[connected_device_model])
            // TRANSLATORS: %s is a model name (Zevrin or Zevrin Mini), then a file name.
            : printf_string(_("The connected %s holds another configuration than “%s”, which the window shows."),
                            model_name[connected_device_model], rows.name.c_str());
    const std::string note = rows.name.empty() ? "" : other_model_note(rows.name, rows.model);
    if (!note.empty())
        message += "\n\n" + note;
    const std::string write_label =
        rows.name.empty() ? std::string(_("_Write the window's configuration into the device"))
                          // TRANSLATORS: a button; %s is a file name.
                          : printf_string(_("_Write ‘%s’ into the device"), escape_mnemonic(rows.name).c_str());
    // Escape keeps the rows in the window, unwritten: nothing is replaced and nothing written.
    const int response = ask(message.c_str(),
                             {{_("_Show what the device holds"), response_discard}, {write_label.c_str(), response_write}},
                             GTK_MESSAGE_QUESTION, nullptr, response_keep);
    if (!device_ready())
        return;
    if (response == response_discard) {
        document_name.clear();
        set_record(box_configuration);
        update_main_window();
    } else if (response == response_write) {
        write_window_configuration();
    }
}

// Sends the configuration kept in `previous_file` into the box, as the box held it before a
// write that did not finish; a file that cannot be read says why.
void write_back(const std::string &previous_file)
{
    config_file_contents previous;
    std::string error;
    if (!load_config_file_contents(previous_file.c_str(), previous, error) ||
        previous.model != connected_device_model) {
        dialog_info("Zevrin", error.empty() ? previous_file.c_str() : error.c_str(), GTK_WINDOW(window_main));
        return;
    }
    set_record(previous.config);
    update_main_window();
    write_config();
}

// A box whose last write did not finish: asks whether to write back what it held before.
void offer_write_back_after_unfinished_write()
{
    const std::string previous_file = unfinished_write_previous_file();
    if (previous_file.empty())
        return;
    const std::string message = printf_string(
        // TRANSLATORS: %s is a model name (Zevrin or Zevrin Mini), then a file name.
        _("The last write into this %s did not finish: it may hold part of one configuration and part of "
          "another.\n\nWhat it held before that write is kept in %s."),
        model_name[connected_device_model], take_string(g_filename_display_name(previous_file.c_str())).c_str());
    const int response = ask(message.c_str(),
                             {{_("_Keep what it holds"), GTK_RESPONSE_CANCEL},
                              {_("_Write back the previous configuration"), response_write_back}});
    if (response == response_write_back && device_ready())
        write_back(previous_file);
    else if (device_connected)
        forget_unfinished_write();
}

void protocol_read_done(bool complete)
{
    if (complete) {
        document_model = connected_device_model;
        document_open = true;
        document_without_box = false;
        if (!held.active)
            document_name.clear();
    }
    // A box whose last write did not finish has its own question, about writing back what it
    // held before: that one is asked, over the box's rows, as for any box.
    if (complete && held.active && !unfinished_write_previous_file().empty())
        held = {};
    if (complete && held.active) {
        settle_held_rows();
        update_main_window();
        offer_write_back_after_unfinished_write();
        return;
    }
    update_main_window();
    // Without a device the window shows the no-device state, which says enough.
    if (!complete && device_connected)
        dialog_info("Zevrin",
                    _("The device did not send its configuration. Please check the connection "
                      "and read the configuration again."),
                    GTK_WINDOW(window_main), "trouble-no-answer");
    if (complete)
        offer_write_back_after_unfinished_write();
}

// "2, 5 and 7": the switches that `outcome` found different.
std::string differing_switches(const write_outcome &outcome, int *count)
{
    std::vector<std::string> numbers;
    for (int s = 0; s < model_n_switches[connected_device_model]; s++)
        if (outcome.switch_differs[static_cast<size_t>(s)])
            numbers.push_back(std::to_string(s + 1));
    *count = static_cast<int>(numbers.size());
    std::string text;
    for (size_t i = 0; i < numbers.size(); i++) {
        if (i == 0)
            text = numbers[i];
        else if (i + 1 < numbers.size())
            // TRANSLATORS: between the numbers of a list of switches, "2, 5 and 7".
            text += _(", ") + numbers[i];
        else
            // TRANSLATORS: the end of a list of switch numbers, "2, 5 and 7" or "5 and 7".
            text = printf_string(_("%s and %s"), text.c_str(), numbers[i].c_str());
    }
    return text;
}

std::string write_result_message(const write_outcome &outcome)
{
    std::string message;
    switch (outcome.result) {
    case write_result::verified:
        return _("Configuration successfully written into the device.");
    case write_result::differs: {
        message = _("The device did not take the configuration: what it holds now differs from what was written.");
        int count = 0;
        const std::string switches = differing_switches(outcome, &count);
        if (count > 0)
            // TRANSLATORS: %s is a list of switch numbers, for example "2, 5 and 7".
            message += "\n\n" + printf_string(ngettext("Switch %s differs.", "Switches %s differ.",
                                                         static_cast<unsigned long>(count)),
                                                switches.c_str());
        if (outcome.settings_differ)
            message += std::string(count > 0 ? " " : "\n\n") +
                       _("The mouse speed or the joystick displacement differs.");
        message += "\n\n";
        message += _("The window still shows what you wanted to write. Write it again; if the device still does not "
                     "take it, check the device and its connection.");
        return message;
    }
    case write_result::unchecked:
        return _("The configuration was sent to the device, but the device did not give it back, so the write "
                 "could not be checked. Write it again, or read the device to see what it holds.");
    case write_result::interrupted:
        message = _("Writing stopped before the end: the device may now hold part of the new configuration and part "
                    "of the old one.");
        if (!outcome.previous_file.empty())
            // TRANSLATORS: %s is the name of a file.
            message += "\n\n" + printf_string(_("What it held before is kept in %s."),
                                                take_string(g_filename_display_name(outcome.previous_file.c_str()))
                                                    .c_str());
        message += "\n\n";
        message += device_ready() ? _("Write the previous configuration back, or write the new one again.")
                                  : _("Please check that the device is connected. When it is back, the previous "
                                      "configuration can be written back.");
        return message;
    }
    return message;
}

void protocol_write_done(const write_outcome &outcome)
{
    const bool verified = outcome.result == write_result::verified;
    if (verified && quit_after_write) {
        quit_program(restart_after_write);
        return;
    }
    quit_after_write = false;
    update_main_window();
    const std::string message = write_result_message(outcome);
    if (verified) {
        dialog_info("Zevrin", message.c_str(), GTK_WINDOW(window_main));
        return;
    }
    // A write that did not end well: the rows keep what was meant, marked unwritten.
    std::vector<std::pair<const char *, int>> buttons = {{_("_Close"), GTK_RESPONSE_CLOSE}};
    if (device_ready()) {
        if (outcome.result == write_result::interrupted && !outcome.previous_file.empty())
            buttons.push_back({_("_Write back the previous configuration"), response_write_back});
        buttons.push_back({_("Write _again"), response_write});
    }
    const int response = ask(message.c_str(), buttons, GTK_MESSAGE_WARNING, "trouble-no-answer");
    if (response == response_write && device_ready())
        button_send_clicked_cb(nullptr, nullptr);
    else if (response == response_write_back && device_ready())
        write_back(outcome.previous_file);
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

// The manual's page `page` as a web page on this computer, for a desktop with no help viewer:
// DATA_DIR/help-html/LANG/PAGE.html as installed, else help/html/LANG/PAGE.html of the build
// directory, from which a run from the build tree starts. In the window's language (LANGUAGE, as
// the settings set it at the start), else in English (C). A file:// address, or null.
gchar *local_manual_page_uri(const char *page)
{
    gchar *installed = get_data_file("help-html");
    const char *const roots[] = {installed, "help/html"};
    gchar **languages = g_strsplit(g_getenv("LANGUAGE") != nullptr ? g_getenv("LANGUAGE") : "", ":", 2);
    const char *const wanted[] = {languages[0], "C"};
    gchar *file_name = g_strconcat(page, ".html", nullptr);
    gchar *uri = nullptr;
    for (const char *root : roots) {
        for (const char *language : wanted) {
            if (uri != nullptr || language == nullptr || *language == '\0')
                continue;
            gchar *path = g_build_filename(root, language, file_name, nullptr);
            if (g_file_test(path, G_FILE_TEST_IS_REGULAR)) {
                GFile *file = g_file_new_for_path(path);  // made absolute from the current directory
                uri = g_file_get_uri(file);
                g_object_unref(file);
            }
            g_free(path);
        }
    }
    g_free(file_name);
    g_strfreev(languages);
    g_free(installed);
    return uri;
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

// Asks what becomes of the changes that have not been written: Discard or Cancel, and Write
// first when `offer_write`. Anything but a button (Escape, closing the question) is Cancel.
int ask_about_changes(const char *question, bool offer_write)
{
    std::vector<std::pair<const char *, int>> buttons = {{_("_Cancel"), GTK_RESPONSE_CANCEL},
                                                         {_("_Discard"), response_discard}};
    if (offer_write)
        buttons.push_back({_("_Write"), response_write});
    return ask(question, buttons, GTK_MESSAGE_QUESTION);
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
// else the manual's web pages on this computer in the browser, else the web manual, else a
// message with the web address.
void show_user_manual(const char *page)
{
    gchar *help_uri = page != nullptr ? g_strconcat("help:zevrin/", page, nullptr) : g_strdup("help:zevrin");
    // A help viewer asked for a manual that is not installed shows only an error page: the
    // pages in the browser are better then.
    bool opened = user_manual_installed() && open_uri(help_uri);
    if (!opened) {
        gchar *local_uri = local_manual_page_uri(page != nullptr ? page : "index");
        opened = local_uri != nullptr && open_uri(local_uri);
        g_free(local_uri);
    }
    opened = opened || open_uri(USER_MANUAL_URI);
    g_free(help_uri);
    if (!opened)
        show_user_manual_address();
}

configuration pending_configuration()
{
    configuration c = record_configuration();
    // Switches past the model's count keep what they hold; they are neither shown nor sent.
    const int n = model_n_switches[device_ready() ? connected_device_model : document_model];
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
    if (device_ready())
        return !same_configuration(pending_configuration(), box_configuration,
                                   model_n_switches[connected_device_model]);
    // Without a box: the changes to a file or the defaults, or those made for the box that left.
    if (device_connected || !document_open)
        return false;
    return !same_configuration(pending_configuration(), document_without_box ? document_baseline : box_configuration,
                               model_n_switches[document_model]);
}

void forget_window_document()
{
    held = {};
    boxes_seen = boxes_taken;
    document_model = 0;
    document_open = false;
    document_without_box = false;
    document_name.clear();
    document_baseline = {};
}

bool may_replace_changes(const char *question)
{
    return !config_changed() || ask_about_changes(question, false) == response_discard;
}

const char *write_needs_box_text()
{
    return _("Connect a Zevrin device to write this configuration into it.");
}

// Write: send what the window holds. Without a box (its accelerator still works) it says why
// it cannot.
void button_send_clicked_cb(GtkButton *, gpointer)
{
    if (device_ready())
        write_window_configuration();
    else if (!device_connected && document_without_box)
        dialog_info("Zevrin", write_needs_box_text(), as_window(window_main));
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
                                              device_ready());
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

const protocol_listener window_protocol_listener = {
    .progress = protocol_progress,
    .read_done = protocol_read_done,
    .write_done = protocol_write_done,
    .generic_event = hub_generic_event,
    .box_changed = window_box_changed,
    .another_box = hub_another_box,
    .access_denied = hub_access_denied,
};
