// The command line: the options read, then the one command run.
#include "cli/command_line.h"

#include <clocale>
#include <cstring>

#include <glib.h>
#include <glib/gi18n.h>

#include "app/paths.h"
#include "app/settings.h"
#include "build_config.h"
#include "cli/boxes.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/switch_test_run.h"
#include "cli/transfers.h"
#include "hid/hid_demo.h"
#include "hid/hid_platform.h"
#include "hid/mhid.h"

bool is_command_line(int argc, char **argv)
{
    int files = 0;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--") == 0)
            return files + (argc - i - 1) > 1;
        bool takes_value = false;
        if (is_toolkit_option(argv[i], &takes_value)) {
            i += takes_value ? 1 : 0;
            continue;
        }
        // Ours, or an option that nobody knows, or a second file: the command line says what
        // is wrong, and no window opens.
        if (argv[i][0] == '-' || ++files > 1)
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
    load_config_file(false);

    options o;
    std::string problem;
    if (!parse_options(argc, argv, o, problem))
        return usage_error(problem);

    // ZEVRIN_DEMO=zevrin|mini: the built-in simulated device, as for the window.
    const char *demo = g_getenv("ZEVRIN_DEMO");
    const int demo_model = demo != nullptr ? hid_demo_model(demo) : -1;
    mhid_use_platform(demo_model >= 0 ? hid_demo_platform(demo_model) : hid_linux_platform());

    switch (o.what) {
    case command::list:
        return list_command();
    case command::export_file:
    case command::import_file:
        return box_command(o);
    case command::print_file:
        return print_command(o);
    case command::test_switches:
        return switch_test_command(o);
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
