// Fuzz target: the configuration file loader on a file holding the fuzzed bytes. A file it takes
// holds only bytes and a known model, and saves as a file that loads as the same; a file it
// refuses has a message, shown text, and leaves the contents alone. No display is needed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <glib.h>
#include <glib/gstdio.h>

#include "device/config_file.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

std::string dir;
std::string file;
std::string copy;

void remove_dir()
{
    g_unlink(file.c_str());
    g_unlink(copy.c_str());
    g_rmdir(dir.c_str());
}

void setup()
{
    dir = make_fuzz_dir(remove_dir);
    file = dir + "/fuzzed.zevrin";
    copy = dir + "/saved.zevrin";
}

bool only_bytes(const config_file_contents &c)
{
    auto byte = [](int v) { return v >= 0 && v <= 255; };
    for (const action_record &a : c.config.switches)
        if (!byte(a.kind) || !byte(a.code) || !byte(a.modifiers) || !byte(a.auto_release))
            return false;
    for (int v : c.config.mouse_speed)
        if (!byte(v))
            return false;
    for (int v : c.config.mouse_stretch)
        if (!byte(v))
            return false;
    return byte(c.config.joy_displacement) && c.model >= 0 && c.model < n_models;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    [[maybe_unused]] static const bool ready = (setup(), true);
    if (!g_file_set_contents(file.c_str(), reinterpret_cast<const gchar *>(data), static_cast<gssize>(size), nullptr))
        abort();
    config_file_contents c{-1, {}};
    std::string error;
    if (!load_config_file_contents(file.c_str(), c, error)) {
        if (error.empty() || !g_utf8_validate(error.c_str(), -1, nullptr) || c.model != -1)
            abort();
        return 0;
    }
    if (!only_bytes(c))
        abort();
    config_file_contents again{-1, {}};
    if (!save_config_file_contents(copy.c_str(), c, error) || !load_config_file_contents(copy.c_str(), again, error))
        abort();
    if (again.model != c.model || again.config.switches != c.config.switches ||
        again.config.mouse_speed != c.config.mouse_speed || again.config.mouse_stretch != c.config.mouse_stretch ||
        again.config.joy_displacement != c.config.joy_displacement)
        abort();
    return 0;
}
