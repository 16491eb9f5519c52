#include "app/paths.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

gchar *data_dir = nullptr;
gchar *config_dir = nullptr;

// The installation prefix of the running executable: the directory above the one that holds
// it when that one is named "bin" (PREFIX/bin/zevrin), else the executable's own directory.
// /proc/self/exe names the file that was really executed, whatever the current directory,
// argv[0] or symbolic links on the way. Null when it cannot be read (no /proc).
static gchar *installation_prefix()
{
    gchar *exe = g_file_read_link("/proc/self/exe", nullptr);
    if (!exe)
        return nullptr;
    gchar *exe_dir = g_path_get_dirname(exe);
    gchar *exe_dir_name = g_path_get_basename(exe_dir);
    gchar *prefix = strcmp(exe_dir_name, "bin") == 0 ? g_path_get_dirname(exe_dir) : g_strdup(exe_dir);
    g_free(exe_dir_name);
    g_free(exe_dir);
    g_free(exe);
    return prefix;
}

void find_data_dir()
{
    gchar *prefix = installation_prefix();
    gchar *candidate = prefix ? g_build_filename(prefix, "share", "zevrin", nullptr) : nullptr;
    // Only a directory counts: a stray file named "zevrin" must not hide the fallback.
    if (candidate && g_file_test(candidate, G_FILE_TEST_IS_DIR)) {
        data_dir = candidate;
    } else {
        g_free(candidate);
        // Not installed: a run from the build directory finds the data in the source tree.
        data_dir = g_strdup("../data/");
    }
    g_free(prefix);
}

void find_config_dir()
{
    config_dir = g_build_filename(g_get_user_config_dir(), "zevrin", nullptr);
    gchar *profiles = g_build_filename(config_dir, "profiles", nullptr);
    // Creates config_dir on the way. A failure shows later only as a settings file that
    // cannot be written, which the settings code tolerates.
    if (!g_file_test(profiles, G_FILE_TEST_IS_DIR))
        g_mkdir_with_parents(profiles, 0777);
    g_free(profiles);
}

gchar *get_data_file(const char *name)
{
    if (!data_dir)
        find_data_dir();
    return g_build_filename(data_dir, name, nullptr);
}

gchar *get_config_file(const char *name)
{
    if (!config_dir)
        find_config_dir();
    return g_build_filename(config_dir, name, nullptr);
}

// setenv copies name and value into storage of its own, so no length can overflow anything
// here, and gettext, GLib and GTK read the new value through getenv. setenv is not safe
// against a getenv running at the same moment on another thread; every call is made on the
// GUI thread, the first ones before the HID threads exist, and a later call for a variable
// that is already set only swaps one pointer in the environment array.
void set_env_var(const char *name, const char *value)
{
    if (!name || !*name || strchr(name, '=') || !value)
        return;
    g_setenv(name, value, TRUE);
}

void restart_program(const std::vector<std::string> &arguments, gchar **environment)
{
    std::vector<char *> argv;
    for (const std::string &a : arguments)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    // The running program's own file, however it was started (through PATH, a relative name).
    // Every descriptor the program opens is closed on exec.
    execve("/proc/self/exe", argv.data(), environment);
    g_printerr("zevrin: could not start again: %s\n", g_strerror(errno));
}
