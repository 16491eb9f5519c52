#include "settings_test.h"

#include <cstdlib>
#include <fstream>
#include <glib.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>

#include "tests/scratch_dir.h"

namespace settings_test {

temp_dir::temp_dir() : path(scratch::make_dir("zevrin-settings"))
{
    if (path.empty())
        throw std::runtime_error("cannot create a temporary directory");
}

temp_dir::~temp_dir()
{
    // Also gives back the permissions tests take away, so that everything can be removed.
    scratch::remove_dir(path);
}

static std::string env_or_die(const char *name)
{
    const char *v = std::getenv(name);
    if (!v)
        throw std::runtime_error(std::string(name) + " is not set (run the tests through meson test)");
    return v;
}

std::string build_root() { return env_or_die("ZEVRIN_BUILD_ROOT"); }
std::string source_root() { return env_or_die("ZEVRIN_SOURCE_ROOT"); }
std::string probe_path() { return build_root() + "/tests/settings/settings_probe"; }

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::optional<settings_file> read_settings(const std::string &path)
{
    // A FIFO or a device left where the file should be would hang the test or read forever.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return std::nullopt;
    GKeyFile *kf = g_key_file_new();
    std::optional<settings_file> result;
    if (g_key_file_load_from_file(kf, path.c_str(), G_KEY_FILE_NONE, nullptr)) {
        settings_file s;
        gsize n = 0;
        gchar **groups = g_key_file_get_groups(kf, &n);
        for (gsize i = 0; i < n; i++) {
            s.groups.emplace_back(groups[i]);
            gsize n_keys = 0;
            g_strfreev(g_key_file_get_keys(kf, groups[i], &n_keys, nullptr));
            s.n_keys += n_keys;
        }
        g_strfreev(groups);
        if (gchar *lang = g_key_file_get_string(kf, "language", "lang", nullptr)) {
            s.lang = lang;
            g_free(lang);
        }
        GError *error = nullptr;
        gboolean dev = g_key_file_get_boolean(kf, "dev_options", "show_dev_options", &error);
        if (!error)
            s.show_dev_options = dev;
        g_clear_error(&error);
        result = s;
    }
    g_key_file_free(kf);
    return result;
}

std::optional<file_identity> identity(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return std::nullopt;
    return file_identity{static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino)};
}

static int count(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        n++;
    return n;
}

probe_result run_probe(const std::vector<std::string> &env, const std::string &cwd, const std::string &exe)
{
    std::string program = exe.empty() ? probe_path() : exe;
    std::vector<std::string> full_env = env;
    // Keep the sanitizer settings of the test run, nothing else of its environment.
    for (const char *name : {"PATH", "ASAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"})
        if (const char *v = std::getenv(name))
            full_env.push_back(std::string(name) + "=" + v);

    std::vector<char *> argv = {program.data(), nullptr};
    std::vector<char *> envp;
    for (auto &e : full_env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    probe_result r;
    gchar *out = nullptr, *err = nullptr;
    gint wait_status = 0;
    GError *error = nullptr;
    if (!g_spawn_sync(cwd.c_str(), argv.data(), envp.data(), G_SPAWN_DEFAULT, nullptr, nullptr, &out, &err,
                      &wait_status, &error)) {
        r.output = error->message;
        g_error_free(error);
        return r;
    }
    r.exit_status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            r.value[line.substr(0, eq)] = line.substr(eq + 1);
    }
    r.output = std::string(out) + err;
    r.config_messages = count(r.output, "Config file: ");
    g_free(out);
    g_free(err);
    return r;
}

}  // namespace settings_test
