// The command line's options. Those that take a value take it as the next argument or after
// "=" (long options only).
#include "cli/options.h"

#include <cstring>

#include <glib.h>
#include <glib/gi18n.h>

#include "device/describe.h"

namespace {

struct option_name {
    const char *name;
    const char *short_name;  // or null
    command what;            // none for the options that go with a command
    std::string options::*value;
};
const option_name option_names[] = {
    {"--list", nullptr, command::list, nullptr},
    {"--export", nullptr, command::export_file, &options::file},
    {"--import", nullptr, command::import_file, &options::file},
    {"--print", nullptr, command::print_file, &options::file},
    {"--test", nullptr, command::test_switches, nullptr},
    {"--help", "-h", command::help, nullptr},
    {"--version", "-V", command::version, nullptr},
    {"--device", nullptr, command::none, &options::device},
    {"--output", nullptr, command::none, &options::output},
    {"--title", nullptr, command::none, &options::title},
};

// The toolkit's own options (gtk_init takes them out of the arguments); the first ones take
// their value as the next argument unless it follows "=".
const char *const toolkit_options_with_value[] = {"--display",      "--class",      "--name",      "--gdk-debug",
                                                  "--gdk-no-debug", "--gtk-module", "--gtk-debug", "--gtk-no-debug"};
const char *const toolkit_flags[] = {"--g-fatal-warnings", "--sync"};

// The option that `arg` is ("--export", "--export=FILE" or "-h"), or null; `inline_value` then
// points at the text after "=", or is null.
const option_name *find_option(const char *arg, const char **inline_value)
{
    *inline_value = nullptr;
    for (const option_name &o : option_names) {
        if (o.short_name != nullptr && strcmp(arg, o.short_name) == 0)
            return &o;
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

}  // namespace

bool is_option(const char *arg)
{
    const char *value = nullptr;
    return find_option(arg, &value) != nullptr;
}

bool is_toolkit_option(const char *arg, bool *takes_value)
{
    *takes_value = false;
    for (const char *option : toolkit_flags)
        if (strcmp(arg, option) == 0)
            return true;
    for (const char *option : toolkit_options_with_value) {
        const size_t n = strlen(option);
        if (strncmp(arg, option, n) == 0 && (arg[n] == '\0' || arg[n] == '=')) {
            *takes_value = arg[n] == '\0';
            return true;
        }
    }
    return false;
}

bool parse_options(int argc, char **argv, options &o, std::string &problem)
{
    for (int i = 1; i < argc; i++) {
        const char *inline_value = nullptr;
        const option_name *opt = find_option(argv[i], &inline_value);
        if (opt == nullptr) {
            problem = argv[i][0] == '-'
                          // TRANSLATORS: %s is what was typed on the command line.
                          ? printf_string(_("Unknown option: %s"), argv[i])
                          // TRANSLATORS: %s is what was typed on the command line.
                          : printf_string(_("Unexpected argument: %s"), argv[i]);
            return false;
        }
        if (opt->what != command::none) {
            if (o.what != command::none) {
                problem = _("Give one command at a time: --list, --export, --import, --print, "
                            "--test, --help or --version.");
                return false;
            }
            o.what = opt->what;
        }
        if (opt->value == nullptr)
            continue;
        const char *value = inline_value;
        // "--export --device N" lacks its file: an option is never taken for a value.
        if (value == nullptr && i + 1 < argc && !is_option(argv[i + 1]))
            value = argv[++i];
        if (value == nullptr || *value == '\0') {
            // TRANSLATORS: %s is an option, such as --export.
            problem = printf_string(_("%s needs a value."), opt->name);
            return false;
        }
        o.*(opt->value) = value;
    }
    const bool talks_to_box = o.what == command::export_file || o.what == command::import_file ||
                              o.what == command::test_switches;
    if (o.what == command::none) {
        problem = _("--device, --output and --title go with a command.");
        return false;
    }
    if (!o.device.empty() && !talks_to_box) {
        problem = _("--device goes with --export, --import and --test only.");
        return false;
    }
    if ((!o.output.empty() || !o.title.empty()) && o.what != command::print_file) {
        problem = _("--output and --title go with --print only.");
        return false;
    }
    return true;
}

void print_help()
{
    // TRANSLATORS: the words after "zevrin" that begin with "-" are options, and FILE, NODE,
    // MODEL, STATE, PDF, NAME, SWITCHES and ACTION stand for what is typed or printed in their
    // place; keep the options, the state words ready, no-permission and busy, the words pressed
    // and released, and the layout as they are.
    g_print("%s", _("Usage:\n"
                    "  zevrin                       open the configurator window\n"
                    "  zevrin FILE                  open the window with the configuration in\n"
                    "                               FILE (a .zevrin file), with or without a\n"
                    "                               device\n"
                    "  zevrin --list                the devices plugged in, one a line:\n"
                    "                               NODE, MODEL and STATE separated by tabs;\n"
                    "                               STATE is ready, no-permission, or busy\n"
                    "                               (the window or another run is using it)\n"
                    "  zevrin --export FILE [--device NODE]\n"
                    "                               read the device's configuration into FILE\n"
                    "  zevrin --import FILE [--device NODE]\n"
                    "                               write FILE into the device, then read it\n"
                    "                               back and compare\n"
                    "  zevrin --print FILE [--output PDF] [--title NAME]\n"
                    "                               the printed page of FILE, as a PDF\n"
                    "  zevrin --test [--device NODE]\n"
                    "                               test the switches: one line per press and\n"
                    "                               per release, SWITCHES, pressed or released,\n"
                    "                               and ACTION separated by tabs, until Ctrl+C\n"
                    "                               or the device leaves\n"
                    "  zevrin -h, --help            this help\n"
                    "  zevrin -V, --version         the version\n"
                    "\n"
                    "Exit status:\n"
                    "  0  success\n"
                    "  1  bad usage, or another failure (a file that cannot be written)\n"
                    "  2  no device is connected (or none at NODE)\n"
                    "  3  more than one device is connected: choose one with --device\n"
                    "  4  no permission to use the device\n"
                    "  5  the device did not answer, went away, or a write did not finish\n"
                    "  6  the file is invalid, or for the other model\n"
                    "  7  the write could not be verified: the device read back differs\n"
                    "  8  the device is in use by the configurator window or another run\n"));
}
