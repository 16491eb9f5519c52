// Fuzz target: the settings file loader on a settings file holding the fuzzed bytes. It runs
// without a display: load_config_file reads and may rewrite the file, picks the language and
// sets up the message catalogue and the language environment, and touches no widget.
//
// The files live in a temporary configuration directory made for the run (XDG_CONFIG_HOME),
// never in the user's own.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <glib.h>
#include <glib/gstdio.h>
#include <string>

#include "app/paths.h"
#include "app/settings.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

std::string config_file;
std::string temp_root;

// Messages are dropped; a critical (a failed check) or a warning of the program's own is a
// finding and ends the run like a crash. GLib's own warnings are not: GLib 2.74's key file
// parser warns "GError set over the top of a previous GError" for a value with more than one
// bad escape (lang=\x\), a slip inside GLib that costs nothing but the warning.
GLogWriterOutput check_log(GLogLevelFlags level, const GLogField *fields, gsize n_fields, gpointer data)
{
    const char *domain = nullptr;
    for (gsize i = 0; i < n_fields; i++)
        if (strcmp(fields[i].key, "GLIB_DOMAIN") == 0)
            domain = static_cast<const char *>(fields[i].value);
    const bool glib_warning = (level & G_LOG_LEVEL_WARNING) && domain && strcmp(domain, "GLib") == 0;
    if ((level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING)) && !glib_warning) {
        g_log_writer_standard_streams(level, fields, n_fields, data);
        abort();
    }
    return G_LOG_WRITER_HANDLED;
}

void remove_temp_root()
{
    gchar *path = g_build_filename(temp_root.c_str(), "zevrin", "config", nullptr);
    g_unlink(path);
    g_free(path);
    path = g_build_filename(temp_root.c_str(), "zevrin", "profiles", nullptr);
    g_rmdir(path);
    g_free(path);
    path = g_build_filename(temp_root.c_str(), "zevrin", nullptr);
    g_rmdir(path);
    g_free(path);
    g_rmdir(temp_root.c_str());
}

void setup()
{
    temp_root = make_fuzz_dir(remove_temp_root);
    g_setenv("XDG_CONFIG_HOME", temp_root.c_str(), TRUE);
    g_setenv("HOME", temp_root.c_str(), TRUE);
    // "Config file: ..." for every unreadable input would drown the fuzzer's own output.
    g_log_set_writer_func(check_log, nullptr, nullptr);
    find_data_dir();
    find_config_dir();
    gchar *file = get_config_file("/config");
    config_file = file;
    g_free(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = false;
    if (!ready) {
        setup();
        ready = true;
    }
    if (!g_file_set_contents(config_file.c_str(), reinterpret_cast<const gchar *>(data),
                             static_cast<gssize>(size), nullptr))
        abort();
    current_language = 0;
    show_dev_options = false;
    load_config_file();
    if (current_language < 0 || current_language >= n_languages)
        abort();
    // Whatever the loader left behind (the input, or its own rewrite) loads again and gives the
    // same language when it is the loader's own.
    const int chosen = current_language;
    gchar *text = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(config_file.c_str(), &text, &length, nullptr))
        abort();
    const bool rewritten = length != size || memcmp(text, data, size) != 0;
    g_free(text);
    if (rewritten) {
        current_language = 0;
        load_config_file();
        if (current_language != chosen)
            abort();
    }
    return 0;
}
