// The command line's transfers. A run with a box goes through the conversation with the one box
// chosen (the HID module bound to its node), driven by a plain GLib main loop: the conversation
// reads the box as soon as it has taken it, and reports to the listener here, which goes on
// with the export or the import and decides the exit status.
#include "cli/transfers.h"

#include <string>

#include <glib.h>
#include <glib/gi18n.h>

#include "cli/boxes.h"
#include "cli/command_line.h"
#include "cli/output.h"
#include "device/config.h"
#include "device/config_file.h"
#include "device/config_page.h"
#include "device/conversation.h"
#include "device/describe.h"
#include "device/protocol.h"
#include "hid/mhid.h"

namespace {

struct box_run {
    command what = command::none;
    std::string file;
    box chosen;
    config_file_contents contents{};  // import: the file
    bool taken = false;
    int status = status_success;
    GMainLoop *loop = nullptr;
};
box_run run;

void finish(int status, const std::string &message)
{
    end_progress();
    if (!message.empty())
        say(message);
    run.status = status;
    g_main_loop_quit(run.loop);
}

const char *model_of_box()
{
    return model_name[static_cast<size_t>(connected_device_model)];
}

void read_done(bool complete)
{
    if (!complete) {
        finish(status_no_answer, no_answer_message());
        return;
    }
    if (run.what == command::import_file) {
        // What the box held is known now: it is kept before the file is written over it.
        set_record(with_switches_and_settings(record_configuration(), run.contents.config,
                                              model_n_switches[connected_device_model]));
        write_config();
        return;
    }
    std::string error;
    if (!save_config_file_contents(run.file.c_str(), {connected_device_model, record_configuration()}, error)) {
        finish(status_failure, error);
        return;
    }
    finish(status_success, printf_string(_("The configuration of the %s at %s was saved in %s."), model_of_box(),
                                         run.chosen.node.c_str(), run.file.c_str()));
}

// How to put back what the box held, after a write that did not end well.
std::string restore_hint(const write_outcome &outcome)
{
    if (outcome.previous_file.empty())
        return "";
    gchar *quoted_file = g_shell_quote(outcome.previous_file.c_str());
    gchar *quoted_node = g_shell_quote(run.chosen.node.c_str());
    const std::string hint =
        // TRANSLATORS: the first %s is a file name, the second a command to type.
        "\n" + printf_string(_("What the device held before is kept in %s. To write it back:\n  %s"),
                             outcome.previous_file.c_str(),
                             ("zevrin --import " + std::string(quoted_file) + " --device " + quoted_node).c_str());
    g_free(quoted_file);
    g_free(quoted_node);
    return hint;
}

void write_done(const write_outcome &outcome)
{
    const char *node = run.chosen.node.c_str();
    switch (outcome.result) {
    case write_result::verified:
        finish(status_success, printf_string(_("%s was written into the %s at %s and checked."), run.file.c_str(),
                                             model_of_box(), node));
        return;
    case write_result::differs:
        finish(status_not_verified,
               printf_string(_("The configuration read back from the device at %s differs from %s: "
                               "the write could not be verified."),
                             node, run.file.c_str()) +
                   restore_hint(outcome));
        return;
    case write_result::unchecked:
        finish(status_no_answer,
               printf_string(_("%s was sent to the device at %s, but the device did not give it back, so "
                               "the write could not be checked."),
                             run.file.c_str(), node) +
                   restore_hint(outcome));
        return;
    case write_result::interrupted:
        finish(status_no_answer,
               std::string(_("Writing stopped before the end: the device may now hold part of the new "
                             "configuration and part of the old one.")) +
                   restore_hint(outcome));
        return;
    }
}

void box_changed()
{
    if (device_connected && !run.taken) {
        run.taken = true;
        if (run.what == command::import_file && run.contents.model != connected_device_model)
            finish(status_invalid_file,
                   printf_string(_("%s holds a configuration for a %s, but the device at %s is a %s."),
                                 run.file.c_str(), model_name[static_cast<size_t>(run.contents.model)],
                                 run.chosen.node.c_str(), model_of_box()));
        return;
    }
    // A box that leaves during a write is reported by the end of the write.
    if (!device_connected && run.taken && !writing_config)
        finish(status_no_answer, no_answer_message());
}

const protocol_listener command_line_listener = {
    .progress = show_progress,
    .read_done = read_done,
    .write_done = write_done,
    .generic_event = nullptr,  // standard output is for what was asked, not the box's events
    .box_changed = box_changed,
    .another_box = nullptr,
    .access_denied = nullptr,
};

// After the registrations' first scans: the box chosen was not taken (a window took it
// meanwhile, or it left).
gboolean check_taken_cb(gpointer)
{
    if (run.taken)
        return G_SOURCE_REMOVE;
    std::string message;
    const int status = status_of_box_not_taken(run.chosen, message);
    finish(status, message);
    return G_SOURCE_REMOVE;
}

}  // namespace

int box_command(const options &o)
{
    run.what = o.what;
    run.file = o.file;
    if (o.what == command::import_file) {
        std::string error;
        if (!load_config_file_contents(o.file.c_str(), run.contents, error)) {
            say(error);
            return status_invalid_file;
        }
    }
    const int status = choose_box(o.device, run.chosen);
    if (status != status_success)
        return status;

    run.loop = g_main_loop_new(nullptr, FALSE);
    set_protocol_listener(&command_line_listener);
    mhid_init();
    conversation_begin(run.chosen.node.c_str());
    // Idle sources of one priority run in order: this one after the first scans' notices.
    g_idle_add(check_taken_cb, nullptr);
    g_main_loop_run(run.loop);
    // The nodes close and the hold goes: a window waiting for the box takes it now.
    conversation_end();
    g_main_loop_unref(run.loop);
    return run.status;
}

namespace {

// The PDF beside the file: its .zevrin extension replaced, or .pdf added.
std::string default_pdf_name(const std::string &file)
{
    const std::string extension = ".zevrin";
    if (file.size() > extension.size() &&
        g_ascii_strcasecmp(file.c_str() + file.size() - extension.size(), extension.c_str()) == 0)
        return file.substr(0, file.size() - extension.size()) + ".pdf";
    return file + ".pdf";
}

}  // namespace

int print_command(const options &o)
{
    config_file_contents contents{};
    std::string error;
    if (!load_config_file_contents(o.file.c_str(), contents, error)) {
        say(error);
        return status_invalid_file;
    }
    const std::string pdf = o.output.empty() ? default_pdf_name(o.file) : o.output;
    // The sheet carries the name given, else the file's.
    const std::string title = o.title.empty() ? sheet_name_of_file(o.file.c_str()) : o.title;
    if (!write_config_page_pdf(pdf.c_str(), contents, error, title)) {
        say(error);
        return status_failure;
    }
    say(printf_string(_("The printed page of %s was saved in %s."), o.file.c_str(), pdf.c_str()));
    return status_success;
}
