// The command line. A run that talks to a box goes through the HID module (bound to the one
// node chosen) and the configuration protocol, driven by a plain GLib main loop: the protocol
// reports to the listener here, which prints progress and decides the exit status.
#include "app/command_line.h"

#include <cerrno>
#include <clocale>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include <glib.h>
#include <glib/gi18n.h>

#include "app/hub.h"
#include "app/paths.h"
#include "app/settings.h"
#include "build_config.h"
#include "device/config.h"
#include "device/config_file.h"
#include "device/config_page.h"
#include "device/describe.h"
#include "device/protocol.h"
#include "hid/hid_demo.h"
#include "hid/hid_platform.h"
#include "hid/mhid.h"
#include "hid/mhid_linux.h"

namespace {

enum class command { none, list, export_file, import_file, print_file, help, version };

struct options {
    command what = command::none;
    std::string file;
    std::string device;  // --device NODE
    std::string output;  // --output PDF
};

// The options of the command line; those that take a value take it as the next argument or
// after "=".
struct option_name {
    const char *name;
    command what;       // none for --device and --output
    std::string options::*value;
};
const option_name option_names[] = {
    {"--list", command::list, nullptr},
    {"--export", command::export_file, &options::file},
    {"--import", command::import_file, &options::file},
    {"--print", command::print_file, &options::file},
    {"--help", command::help, nullptr},
    {"--version", command::version, nullptr},
    {"--device", command::none, &options::device},
    {"--output", command::none, &options::output},
};

// The option that `arg` is ("--export" or "--export=FILE"), or null; `inline_value` then points
// at the text after "=", or is null.
const option_name *find_option(const char *arg, const char **inline_value)
{
    for (const option_name &o : option_names) {
        const size_t n = strlen(o.name);
        if (strncmp(arg, o.name, n) != 0)
            continue;
        if (arg[n] == '\0' || (arg[n] == '=' && o.value != nullptr)) {
            *inline_value = arg[n] == '=' ? arg + n + 1 : nullptr;
            return &o;
        }
    }
    return nullptr;
}

void say(const std::string &message)
{
    g_printerr("%s\n", message.c_str());
}

int usage_error(const std::string &problem)
{
    say(problem);
    // TRANSLATORS: keep "zevrin --help" as it is: it is the command to type.
    say(_("Try \"zevrin --help\" for the commands."));
    return status_failure;
}

// Reads the arguments into `o`; a message and false for bad usage.
bool parse(int argc, char **argv, options &o, std::string &problem)
{
    for (int i = 1; i < argc; i++) {
        const char *inline_value = nullptr;
        const option_name *opt = find_option(argv[i], &inline_value);
        if (opt == nullptr) {
            // TRANSLATORS: %s is what was typed on the command line.
            problem = printf_string(_("Unknown option or argument: %s"), argv[i]);
            return false;
        }
        if (opt->what != command::none) {
            if (o.what != command::none) {
                problem = _("Give one command at a time: --list, --export, --import, --print, "
                            "--help or --version.");
                return false;
            }
            o.what = opt->what;
        }
        if (opt->value == nullptr)
            continue;
        const char *value = inline_value;
        const char *unused = nullptr;
        // "--export --device N" lacks its file: an option is never taken for a value.
        if (value == nullptr && i + 1 < argc && find_option(argv[i + 1], &unused) == nullptr)
            value = argv[++i];
        if (value == nullptr || *value == '\0') {
            // TRANSLATORS: %s is an option, such as --export.
            problem = printf_string(_("%s needs a value."), opt->name);
            return false;
        }
        o.*(opt->value) = value;
    }
    const bool talks_to_box = o.what == command::export_file || o.what == command::import_file;
    if (o.what == command::none) {
        problem = _("--device and --output go with a command.");
        return false;
    }
    if (!o.device.empty() && !talks_to_box) {
        problem = _("--device goes with --export and --import only.");
        return false;
    }
    if (!o.output.empty() && o.what != command::print_file) {
        problem = _("--output goes with --print only.");
        return false;
    }
    return true;
}

// ---- Boxes plugged in ----

enum class box_state { ready, no_permission, busy, gone };

struct box {
    std::string node;
    int model;
    box_state state;
};

const hid_platform *platform = nullptr;

// Whether the node can be opened now, and if not why; a box that the window (or another run)
// holds refuses.
box_state probe(const std::string &node)
{
    const int handle = platform->open_node(node.c_str(), true);
    if (handle >= 0) {
        platform->close_node(handle);
        return box_state::ready;
    }
    if (handle == -EACCES || handle == -EPERM)
        return box_state::no_permission;
    if (handle == -EBUSY)
        return box_state::busy;
    return box_state::gone;
}

int model_of_product(uint16_t product)
{
    if (product == product_id_zevrin)
        return 0;
    if (product == product_id_zevrin_mini)
        return 1;
    return -1;
}

// The boxes plugged in now, in the listing's order. False when nothing can be listed.
bool list_boxes(std::vector<box> &boxes)
{
    const std::vector<hid_product> wanted = {{vendor_id, product_id_zevrin},
                                             {vendor_id, product_id_zevrin_mini}};
    std::vector<hid_interface_info> present;
    if (!platform->enumerate(&wanted, &present))
        return false;
    for (const hid_interface_info &info : present) {
        bool configurable = false;
        for (const hid_top_collection &c : info.descriptor.collections)
            configurable = configurable || c.usage_page == usage_page_vendor;
        const int model = model_of_product(info.product_id);
        if (!configurable || model < 0)
            continue;
        const box_state state = probe(info.devnode);
        if (state != box_state::gone)
            boxes.push_back({info.devnode, model, state});
    }
    return true;
}

int list_command()
{
    std::vector<box> boxes;
    if (!list_boxes(boxes)) {
        say(_("The list of devices could not be read."));
        return status_failure;
    }
    for (const box &b : boxes) {
        const char *state = b.state == box_state::ready           ? "ready"
                            : b.state == box_state::no_permission ? "no-permission"
                                                                  : "busy";
        g_print("%s\t%s\t%s\n", b.node.c_str(), model_name[static_cast<size_t>(b.model)], state);
    }
    if (boxes.empty()) {
        say(_("No Zevrin device is connected."));
        return status_no_box;
    }
    return status_success;
}

// What a box that could not be taken is, as a status with its message.
int refusal(const box &b)
{
    switch (b.state) {
    case box_state::no_permission:
        say(permission_message(b.node.c_str()));
        return status_no_permission;
    case box_state::busy:
        say(printf_string(_("The device at %s is in use by the Zevrin configurator window. Close the "
                     "window, or wait until it lets go of the device, and try again."),
                   b.node.c_str()));
        return status_box_busy;
    case box_state::gone:
        // TRANSLATORS: %s is a device file, for example /dev/hidraw3.
        say(printf_string(_("There is no Zevrin device at %s."), b.node.c_str()));
        return status_no_box;
    case box_state::ready:
        break;
    }
    return status_success;
}

// The box to talk to: the one at `node`, else the only one plugged in. A status other than
// success says why there is none.
int choose_box(const std::string &node, box &chosen)
{
    std::vector<box> boxes;
    if (!list_boxes(boxes)) {
        say(_("The list of devices could not be read."));
        return status_failure;
    }
    if (!node.empty()) {
        for (const box &b : boxes) {
            if (b.node == node) {
                chosen = b;
                return refusal(b);
            }
        }
        return refusal({node, 0, box_state::gone});
    }
    if (boxes.empty()) {
        say(_("No Zevrin device is connected."));
        return status_no_box;
    }
    if (boxes.size() > 1) {
        say(_("More than one Zevrin device is connected. Choose one with --device NODE; "
              "\"zevrin --list\" shows them."));
        return status_several_boxes;
    }
    chosen = boxes.front();
    return refusal(chosen);
}

// ---- A run with a box ----

struct box_run {
    command what = command::none;
    std::string file;
    box chosen;
    config_file_contents contents{};  // import: the file
    bool verifying = false;
    bool progress_shown = false;
    int status = status_success;
    GMainLoop *loop = nullptr;
};
box_run run;

void finish(int status, const std::string &message)
{
    if (run.progress_shown) {
        g_printerr("\n");
        run.progress_shown = false;
    }
    if (!message.empty())
        say(message);
    run.status = status;
    g_main_loop_quit(run.loop);
}

std::string no_answer_message()
{
    return _("The device did not answer, or did not send its whole configuration. Check the "
             "connection and try again.");
}

// On a terminal only, on one line that each step overwrites: a script's standard error gets
// the messages alone.
void progress(bool writing, double fraction)
{
    if (!isatty(STDERR_FILENO))
        return;
    const int percent = static_cast<int>(fraction * 100.0 + 0.5);
    // Back to the start of the line, and what a longer word before left there cleared.
    g_printerr("\r%s %3d%%\033[K", writing ? _("Writing…") : _("Reading…"), percent);
    run.progress_shown = true;
}

void read_done(bool complete)
{
    if (!complete) {
        finish(status_no_answer, no_answer_message());
        return;
    }
    const int model = connected_device_model;
    const char *node = run.chosen.node.c_str();
    if (run.verifying) {
        if (!same_configuration(record_configuration(), run.contents.config, model_n_switches[model])) {
            finish(status_not_verified,
                   printf_string(_("The configuration read back from the device at %s differs from %s: "
                            "the write could not be verified."),
                          node, run.file.c_str()));
            return;
        }
        finish(status_success, printf_string(_("%s was written into the %s at %s and checked."),
                                      run.file.c_str(), model_name[static_cast<size_t>(model)], node));
        return;
    }
    std::string error;
    if (!save_config_file_contents(run.file.c_str(), {model, record_configuration()}, error)) {
        finish(status_failure, error);
        return;
    }
    finish(status_success, printf_string(_("The configuration of the %s at %s was saved in %s."),
                                  model_name[static_cast<size_t>(model)], node, run.file.c_str()));
}

void write_done(bool all_sent)
{
    if (!all_sent) {
        finish(status_no_answer,
               _("The configuration could not be written into the device. Please check that the "
                 "device is connected and write the configuration again."));
        return;
    }
    // Only what the box gives back counts.
    run.verifying = true;
    read_config();
}

const protocol_listener command_line_listener = {progress, read_done, write_done};

gboolean connected_notice_cb(gpointer user_data)
{
    const int device = GPOINTER_TO_INT(user_data);
    const int model = device == device_zevrin ? 0 : device == device_zevrin_mini ? 1 : -1;
    if (device_connected || model < 0)
        return FALSE;
    connected_device_model = model;
    connected_device_id_out = device;
    connected_device_id_in = device;
    device_connected = 1;
    if (run.what == command::export_file) {
        read_config();
    } else if (run.contents.model != model) {
        finish(status_invalid_file,
               printf_string(_("%s holds a configuration for a %s, but the device at %s is a %s."),
                      run.file.c_str(), model_name[static_cast<size_t>(run.contents.model)],
                      run.chosen.node.c_str(), model_name[static_cast<size_t>(model)]));
    } else {
        set_record(run.contents.config);
        write_config();
    }
    return FALSE;
}

gboolean disconnected_notice_cb(gpointer user_data)
{
    if (device_connected && GPOINTER_TO_INT(user_data) == connected_device_id_out) {
        device_connected = 0;
        connected_device_id_out = -1;
        finish(status_no_answer, no_answer_message());
    }
    return FALSE;
}

// After the registrations' first scans: the box chosen was not taken (the window took it
// meanwhile, or it left).
gboolean check_taken_cb(gpointer)
{
    if (device_connected)
        return FALSE;
    box b = run.chosen;
    b.state = probe(b.node);
    const int status = refusal(b);
    if (status != status_success)
        finish(status, "");
    else
        finish(status_no_answer, no_answer_message());
    return FALSE;
}

void connected_cb(void *, int device)
{
    g_idle_add(connected_notice_cb, GINT_TO_POINTER(device));
}

void disconnected_cb(void *, int device)
{
    g_idle_add(disconnected_notice_cb, GINT_TO_POINTER(device));
}

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
    int status = choose_box(o.device, run.chosen);
    if (status != status_success)
        return status;

    run.loop = g_main_loop_new(nullptr, FALSE);
    set_protocol_listener(&command_line_listener);
    mhid_bind_only_node(run.chosen.node.c_str());
    mhid_init();
    register_models(connected_cb, disconnected_cb);
    // Idle sources of one priority run in order: this one after the first scans' notices.
    g_idle_add(check_taken_cb, nullptr);
    g_main_loop_run(run.loop);
    // The nodes close and the lock goes: a window waiting for the box takes it now.
    mhid_terminate();
    g_main_loop_unref(run.loop);
    return run.status;
}

// The PDF beside the file: its .zevrin extension replaced, or .pdf added.
std::string default_pdf_name(const std::string &file)
{
    const std::string extension = ".zevrin";
    if (file.size() > extension.size() &&
        g_ascii_strcasecmp(file.c_str() + file.size() - extension.size(), extension.c_str()) == 0)
        return file.substr(0, file.size() - extension.size()) + ".pdf";
    return file + ".pdf";
}

int print_command(const options &o)
{
    config_file_contents contents{};
    std::string error;
    if (!load_config_file_contents(o.file.c_str(), contents, error)) {
        say(error);
        return status_invalid_file;
    }
    const std::string pdf = o.output.empty() ? default_pdf_name(o.file) : o.output;
    if (!write_config_page_pdf(pdf.c_str(), contents, error)) {
        say(error);
        return status_failure;
    }
    say(printf_string(_("The printed page of %s was saved in %s."), o.file.c_str(), pdf.c_str()));
    return status_success;
}

void print_help()
{
    // TRANSLATORS: the words after "zevrin" that begin with "--" are options, and NODE, MODEL,
    // STATE, FILE and PDF stand for what is typed in their place; keep the options, the state
    // words ready, no-permission and busy, and the layout as they are.
    g_print("%s", _("Usage:\n"
                    "  zevrin                       open the configurator window\n"
                    "  zevrin --list                the devices plugged in, one a line:\n"
                    "                               NODE, MODEL and STATE separated by tabs;\n"
                    "                               STATE is ready, no-permission, or busy\n"
                    "                               (the configurator window is using it)\n"
                    "  zevrin --export FILE [--device NODE]\n"
                    "                               read the device's configuration into FILE\n"
                    "  zevrin --import FILE [--device NODE]\n"
                    "                               write FILE into the device, then read it\n"
                    "                               back and compare\n"
                    "  zevrin --print FILE [--output PDF]\n"
                    "                               the printed page of FILE, as a PDF\n"
                    "  zevrin --help, zevrin --version\n"
                    "\n"
                    "Exit status:\n"
                    "  0  success\n"
                    "  1  bad usage, or another failure (a file that cannot be written)\n"
                    "  2  no device is connected (or none at NODE)\n"
                    "  3  more than one device is connected: choose one with --device\n"
                    "  4  no permission to use the device\n"
                    "  5  the device did not answer, or the read was incomplete\n"
                    "  6  the file is invalid, or for the other model\n"
                    "  7  the write could not be verified: the device read back differs\n"
                    "  8  the device is in use by the configurator window\n"));
}

}  // namespace

bool is_command_line(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--") == 0)
            return false;
        const char *value = nullptr;
        if (find_option(argv[i], &value) != nullptr)
            return true;
    }
    return false;
}

int run_command_line(int argc, char **argv)
{
    // The user's locale for the character set of the terminal; then the language that the
    // settings file chooses, as the window would, with no toolkit started.
    setlocale(LC_ALL, "");
    // The settings file's log line ("Config file: ...", a first run) is the window's business:
    // a script's standard error gets our messages alone.
    g_log_set_writer_func(
        [](GLogLevelFlags level, const GLogField *fields, gsize n, gpointer) {
            if ((level & G_LOG_LEVEL_MESSAGE) != 0)
                return G_LOG_WRITER_HANDLED;
            return g_log_writer_default(level, fields, n, nullptr);
        },
        nullptr, nullptr);
    find_data_dir();
    find_config_dir();
    load_config_file();

    options o;
    std::string problem;
    if (!parse(argc, argv, o, problem))
        return usage_error(problem);

    // ZEVRIN_DEMO=zevrin|mini: the built-in simulated device, as for the window.
    const char *demo = g_getenv("ZEVRIN_DEMO");
    const int demo_model = demo != nullptr ? hid_demo_model(demo) : -1;
    platform = demo_model >= 0 ? hid_demo_platform(demo_model) : hid_linux_platform();
    mhid_use_platform(platform);

    switch (o.what) {
    case command::list:
        return list_command();
    case command::export_file:
    case command::import_file:
        return box_command(o);
    case command::print_file:
        return print_command(o);
    case command::help:
        print_help();
        return status_success;
    case command::version:
        g_print("zevrin %s\n", VERSION);
        return status_success;
    case command::none:
        break;
    }
    return status_failure;
}
