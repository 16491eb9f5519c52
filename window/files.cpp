// Configuration files in the window: File › Open configuration…, Save configuration as… and
// Print…, and the file given to the program (`zevrin FILE`, or handed over by a later start).
// A file opened fills the rows; nothing reaches the box until Write. Without a box the file is
// shown for its own model, and can be changed, saved and printed.
#include <glib/gi18n.h>

#include "app/hub.h"
#include "app/paths.h"
#include "device/config_file.h"
#include "device/config_page.h"
#include "device/describe.h"
#include "device/protocol.h"
#include "window/widget_ops.h"
#include "window/window.h"

namespace {

// A file given to the program waits here until a box's configuration has been read.
std::string waiting_file;
guint waiting_file_source = 0;
// The name of the file that the window's configuration was last opened from or saved in
// (without ".zevrin"), which the print dialog offers as the name on the sheet.
std::string sheet_name;

// Says why the file commands cannot be used yet; false when they can. Open needs no rows
// (`need_rows` false): only a box that is being read, or whose read failed, holds it back.
bool refused_for_now(bool need_rows)
{
    if (device_ready() || (!device_connected && (!need_rows || document_without_box)))
        return false;
    dialog_info("Zevrin",
                !device_connected ? _("Please connect a Zevrin device first: configuration files are for the device "
                                      "that is connected.")
                                  : _("Configuration files can be used once the configuration of the device has "
                                      "been read."),
                as_window(window_main));
    return true;
}

std::string display_name(const char *path)
{
    return take_string(g_filename_display_basename(path));
}

void open_now(const char *path)
{
    config_file_contents file;
    std::string error;
    if (!load_config_file_contents(path, file, error)) {
        dialog_info("Zevrin", error.c_str(), as_window(window_main));
        return;
    }
    const std::string name = display_name(path);
    const std::string question = printf_string(_("The changes in the window have not been written into the "
                                                 "device. Opening “%s” discards them."),
                                               name.c_str());
    if (!may_replace_changes(question.c_str()))
        return;
    // The box may have come or gone while the question was open.
    if (device_connected && !device_ready())
        return;
    document_name = name;
    document_open = true;
    sheet_name = sheet_name_of_file(path);
    if (!device_connected) {
        // Without a box the file is shown for its own model, as it is.
        document_model = file.model;
        document_without_box = true;
        set_record(file.config);
        update_main_window();
        document_baseline = pending_configuration();
        update_main_window();
        return;
    }
    const int n = std::min(model_n_switches[file.model], model_n_switches[connected_device_model]);
    set_record(with_switches_and_settings(pending_configuration(), file.config, n));
    update_main_window();

    std::string message = printf_string(_("The configuration of “%s” is shown. Click 'Write' to send it to the "
                                           "device."),
                                         name.c_str());
    const std::string note = other_model_note(name, file.model);
    if (!note.empty())
        message += "\n\n" + note;
    dialog_info("Zevrin", message.c_str(), as_window(window_main));
}

// File › New configuration without a box: the defaults, for `model`. With a box it is the
// defaults of that box, as Set defaults shows them.
void new_configuration(int model)
{
    if (device_connected) {
        menuitem_set_defaults_activate_cb(nullptr, nullptr);
        return;
    }
    if (!may_replace_changes(_("The changes in the window have not been written into the device. A new "
                               "configuration discards them.")) ||
        device_connected)
        return;
    document_model = model;
    document_open = true;
    document_without_box = true;
    document_name.clear();
    sheet_name.clear();
    set_defaults();
    update_main_window();
    document_baseline = pending_configuration();
    update_main_window();
}

gboolean open_waiting_file_cb(gpointer)
{
    waiting_file_source = 0;
    if (waiting_file.empty() || (device_connected && !device_ready()))
        return G_SOURCE_REMOVE;
    const std::string path = std::move(waiting_file);
    waiting_file.clear();
    open_now(path.c_str());
    return G_SOURCE_REMOVE;
}

// The file chooser, in the profiles folder, showing configuration files.
GtkFileChooserNative *file_chooser(const char *title, GtkFileChooserAction action, const char *accept)
{
    GtkFileChooserNative *chooser =
        gtk_file_chooser_native_new(title, as_window(window_main), action, accept, _("_Cancel"));
    GtkFileChooser *files = GTK_FILE_CHOOSER(chooser);
    gchar *profiles = get_config_file("profiles");
    gtk_file_chooser_set_current_folder(files, profiles);
    g_free(profiles);
    // The extension in any case: a file copied from another system may be "ANNA.ZEVRIN".
    GtkFileFilter *filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, _("Zevrin configurations (*.zevrin)"));
    gtk_file_filter_add_pattern(filter, "*.[zZ][eE][vV][rR][iI][nN]");
    gtk_file_filter_add_mime_type(filter, "application/x-zevrin-configuration");
    gtk_file_chooser_add_filter(files, filter);
    GtkFileFilter *all = gtk_file_filter_new();
    gtk_file_filter_set_name(all, _("All files"));
    gtk_file_filter_add_pattern(all, "*");
    gtk_file_chooser_add_filter(files, all);
    gtk_file_chooser_set_filter(files, filter);
    return chooser;
}

// The path chosen, or "" when the chooser was cancelled.
std::string run_file_chooser(GtkFileChooserNative *chooser)
{
    std::string path;
    if (gtk_native_dialog_run(GTK_NATIVE_DIALOG(chooser)) == GTK_RESPONSE_ACCEPT)
        path = take_string(gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser)));
    g_object_unref(chooser);
    return path;
}

// One print: what is printed, the name on the sheet, and the entry in the print dialog where
// the user may change that name.
struct print_job {
    const config_file_contents &contents;
    std::string title;
    GtkWidget *entry;
};

void draw_page_cb(GtkPrintOperation *, GtkPrintContext *context, gint, gpointer data)
{
    const print_job *job = static_cast<print_job *>(data);
    draw_config_page(gtk_print_context_get_cairo_context(context), gtk_print_context_get_width(context),
                     gtk_print_context_get_height(context), job->contents, job->title);
}

// The print dialog's own tab: the name on the sheet.
GObject *create_custom_widget_cb(GtkPrintOperation *, gpointer data)
{
    print_job *job = static_cast<print_job *>(data);
    GtkWidget *grid = gtk_grid_new();
    gtk_container_set_border_width(GTK_CONTAINER(grid), 12);
    gtk_grid_set_column_spacing(GTK_GRID(grid), 12);
    GtkWidget *label = gtk_label_new_with_mnemonic(_("_Name on the sheet:"));
    job->entry = gtk_entry_new();
    gtk_buildable_set_name(GTK_BUILDABLE(job->entry), "entry_sheet_name");
    gtk_entry_set_text(GTK_ENTRY(job->entry), job->title.c_str());
    gtk_entry_set_activates_default(GTK_ENTRY(job->entry), TRUE);
    gtk_widget_set_hexpand(job->entry, TRUE);
    gtk_label_set_mnemonic_widget(GTK_LABEL(label), job->entry);
    gtk_grid_attach(GTK_GRID(grid), label, 0, 0, 1, 1);
    gtk_grid_attach(GTK_GRID(grid), job->entry, 1, 0, 1, 1);
    gtk_widget_show_all(grid);
    return G_OBJECT(grid);
}

void custom_widget_apply_cb(GtkPrintOperation *, GtkWidget *, gpointer data)
{
    print_job *job = static_cast<print_job *>(data);
    if (job->entry != nullptr)
        job->title = take_string(g_strstrip(g_strdup(gtk_entry_get_text(GTK_ENTRY(job->entry)))));
    job->entry = nullptr;
}

}  // namespace

int document_model = 0;
bool document_open = false;
bool document_without_box = false;
std::string document_name;
configuration document_baseline = {};

int rows_model()
{
    return device_connected ? connected_device_model : document_model;
}

bool rows_shown()
{
    return device_ready() || (!device_connected && document_without_box);
}

// A file for the other model fills the rows that both models have; the message says which
// switches it did not fill or which of its own it left out.
std::string other_model_note(const std::string &name, int file_model)
{
    const int n_file = model_n_switches[file_model];
    const int n_box = model_n_switches[connected_device_model];
    if (n_file < n_box)
        return printf_string(_("The file “%s” is for a %s: switches %d to %d were not in it and keep their "
                               "actions."),
                             name.c_str(), model_name[file_model], n_file + 1, n_box);
    if (n_file > n_box)
        return printf_string(_("The file “%s” is for a %s: its switches %d to %d were left out, as the %s has "
                               "only %d switches."),
                             name.c_str(), model_name[file_model], n_box + 1, n_file,
                             model_name[connected_device_model], n_box);
    return "";
}

config_file_contents window_contents()
{
    return {rows_model(), pending_configuration()};
}

void open_configuration_file(const char *path)
{
    if (path == nullptr || *path == '\0')
        return;
    waiting_file = path;
    open_waiting_configuration_file();
}

void open_waiting_configuration_file()
{
    // Opened from the main loop, so that its messages do not run inside a refresh. Without a
    // box, after the notices already waiting: a box found by the first scan at start-up is
    // read first, and the file then opens for it.
    if (!waiting_file.empty() && waiting_file_source == 0) {
        if (device_ready())
            waiting_file_source = g_idle_add(open_waiting_file_cb, nullptr);
        else if (!device_connected)
            waiting_file_source = g_idle_add_full(G_PRIORITY_LOW, open_waiting_file_cb, nullptr, nullptr);
    }
}

bool save_configuration_file(const char *path, const config_file_contents &contents)
{
    std::string error;
    if (save_config_file_contents(path, contents, error)) {
        sheet_name = sheet_name_of_file(path);
        // Without a box the file is the document now: named after it, with nothing unsaved.
        if (!device_connected && document_without_box) {
            document_name = display_name(path);
            document_baseline = contents.config;
            update_main_window();
        }
        return true;
    }
    dialog_info("Zevrin", error.c_str(), as_window(window_main));
    return false;
}

void menuitem_new_zevrin_activate_cb(GtkMenuItem *, gpointer)
{
    new_configuration(0);
}

void menuitem_new_zevrin_mini_activate_cb(GtkMenuItem *, gpointer)
{
    new_configuration(1);
}

void menuitem_open_activate_cb(GtkMenuItem *, gpointer)
{
    if (refused_for_now(false))
        return;
    const std::string path =
        run_file_chooser(file_chooser(_("Open configuration"), GTK_FILE_CHOOSER_ACTION_OPEN, _("_Open")));
    // The box may have gone while the chooser was open.
    if (!path.empty() && !refused_for_now(false))
        open_now(path.c_str());
}

void menuitem_save_as_activate_cb(GtkMenuItem *, gpointer)
{
    if (refused_for_now(true))
        return;
    GtkFileChooserNative *chooser = file_chooser(_("Save configuration"), GTK_FILE_CHOOSER_ACTION_SAVE, _("_Save"));
    gtk_file_chooser_set_do_overwrite_confirmation(GTK_FILE_CHOOSER(chooser), TRUE);
    const std::string name = std::string(model_name[rows_model()]) + ".zevrin";
    gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), name.c_str());
    // What is saved is what the window showed when the user chose Save.
    const config_file_contents contents = window_contents();
    std::string path = run_file_chooser(chooser);
    if (path.empty())
        return;
    // A name typed without an extension gets the one that the desktop knows these files by.
    const std::string base = take_string(g_path_get_basename(path.c_str()));
    if (base.find('.') == std::string::npos && !g_file_test((path + ".zevrin").c_str(), G_FILE_TEST_EXISTS))
        path += ".zevrin";
    save_configuration_file(path.c_str(), contents);
}

void print_configuration(const config_file_contents &contents, const char *pdf_path)
{
    GtkPrintOperation *operation = gtk_print_operation_new();
    gtk_print_operation_set_n_pages(operation, 1);
    gtk_print_operation_set_unit(operation, GTK_UNIT_POINTS);
    gtk_print_operation_set_job_name(operation, _("Zevrin configuration"));
    if (pdf_path != nullptr)
        gtk_print_operation_set_export_filename(operation, pdf_path);
    // The operation runs to its end before this returns, so it may draw from `job`.
    print_job job{contents, sheet_name, nullptr};
    g_signal_connect(operation, "draw-page", G_CALLBACK(draw_page_cb), &job);
    gtk_print_operation_set_custom_tab_label(operation, _("Name on the sheet"));
    g_signal_connect(operation, "create-custom-widget", G_CALLBACK(create_custom_widget_cb), &job);
    g_signal_connect(operation, "custom-widget-apply", G_CALLBACK(custom_widget_apply_cb), &job);
    GError *error = nullptr;
    const GtkPrintOperationResult result = gtk_print_operation_run(
        operation, pdf_path != nullptr ? GTK_PRINT_OPERATION_ACTION_EXPORT : GTK_PRINT_OPERATION_ACTION_PRINT_DIALOG,
        as_window(window_main), &error);
    if (result == GTK_PRINT_OPERATION_RESULT_ERROR) {
        const std::string message = printf_string(_("The page could not be printed: %s"), error->message);
        g_error_free(error);
        dialog_info("Zevrin", message.c_str(), as_window(window_main));
    }
    g_object_unref(operation);
}

void menuitem_print_activate_cb(GtkMenuItem *, gpointer)
{
    if (!refused_for_now(true))
        print_configuration(window_contents(), nullptr);
}
