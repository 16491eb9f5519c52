#include "device/config_file.h"

#include <vector>

#include <glib/gi18n.h>
#include <glib/gstdio.h>

#include "device/describe.h"

namespace {

constexpr const char *group_configuration = "Configuration";
constexpr const char *switch_keys[] = {"Kind", "Code", "Modifiers", "AutoRelease"};
// Larger files are refused before being read: a configuration takes about a kilobyte.
constexpr goffset largest_file = 1024 * 1024;

// A value as a message quotes it: valid UTF-8, and not longer than a line.
std::string shown(const std::string &text)
{
    std::string valid = take_string(g_utf8_make_valid(text.c_str(), gssize(text.size())));
    if (g_utf8_strlen(valid.c_str(), -1) > 40)
        valid = take_string(g_utf8_substring(valid.c_str(), 0, 40)) + "…";
    return valid;
}

std::string not_configuration(const std::string &display_name)
{
    return printf_string(_("The file “%s” is not a Zevrin configuration file."), display_name.c_str());
}

std::string switch_group(int s)
{
    return "Switch " + std::to_string(s + 1);
}

// Comments hold one line each.
std::string one_line(std::string text)
{
    for (char &c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text;
}

std::string number_list(const int *values, size_t n)
{
    std::string text;
    for (size_t i = 0; i < n; i++)
        text += (i ? ";" : "") + std::to_string(low_byte(values[i]));
    return text;
}

// Reads one file: each check sets the message of the first problem and says false.
struct reader {
    GKeyFile *file;
    std::string display_name;
    std::string error;

    bool fail(std::string message)
    {
        error = std::move(message);
        return false;
    }

    // The raw text of a value, or a message that it is missing.
    bool value(const char *group, const char *key, std::string &text)
    {
        gchar *raw = g_key_file_get_value(file, group, key, nullptr);
        if (!raw)
            return fail(
                printf_string(_("The file “%s” has no value “%s” in [%s]."), display_name.c_str(), key, group));
        text = take_string(g_strdup(g_strstrip(raw)));
        g_free(raw);
        return true;
    }

    // `n` bytes separated by semicolons; a byte may be written as a negative signed byte.
    bool bytes(const char *group, const char *key, int *out, size_t n)
    {
        std::string text;
        if (!value(group, key, text))
            return false;
        gchar **parts = g_strsplit(text.c_str(), ";", -1);
        std::vector<int> values;
        bool ok = true;
        for (gchar **part = parts; *part && ok; part++) {
            gchar *stripped = g_strstrip(*part);
            if (!*stripped && !part[1] && part != parts)
                break;  // a list may end with a semicolon
            gint64 number = 0;
            ok = g_ascii_string_to_signed(stripped, 10, -128, 255, &number, nullptr);
            values.push_back(int(number));
        }
        g_strfreev(parts);
        if (!ok || values.size() != n) {
            if (n == 1)
                return fail(printf_string(_("In the file “%s”, the value “%s” in [%s] is “%s”, but it must "
                                            "be a number from 0 to 255."),
                                          display_name.c_str(), key, group, shown(text).c_str()));
            return fail(printf_string(_("In the file “%s”, the value “%s” in [%s] is “%s”, but it must be "
                                        "%d numbers from 0 to 255, separated by semicolons."),
                                      display_name.c_str(), key, group, shown(text).c_str(), int(n)));
        }
        for (size_t i = 0; i < n; i++)
            out[i] = low_byte(values[i]);
        return true;
    }

    bool format()
    {
        if (!g_key_file_has_group(file, group_configuration))
            return fail(not_configuration(display_name));
        std::string text;
        if (!value(group_configuration, "Format", text))
            return false;
        gint64 number = 0;
        if (!g_ascii_string_to_signed(text.c_str(), 10, 1, G_MAXINT, &number, nullptr))
            return fail(not_configuration(display_name));
        if (number > config_file_format)
            return fail(printf_string(_("The file “%s” was saved by a newer version of the configurator, "
                                        "which this version cannot read."),
                                      display_name.c_str()));
        return true;
    }

    bool model(int &model_index)
    {
        std::string text;
        if (!value(group_configuration, "Model", text))
            return false;
        for (int m = 0; m < n_models; m++)
            if (text == model_name[m] || text == model_id[m]) {
                model_index = m;
                return true;
            }
        return fail(printf_string(_("The file “%s” is for a device model that this version does not know: "
                                    "“%s”."),
                                  display_name.c_str(), shown(text).c_str()));
    }

    bool read(config_file_contents &c)
    {
        if (!format() || !model(c.model))
            return false;
        if (!bytes(group_configuration, "MouseSpeed", c.config.mouse_speed.data(), 3) ||
            !bytes(group_configuration, "MouseStretch", c.config.mouse_stretch.data(), 2) ||
            !bytes(group_configuration, "JoystickDisplacement", &c.config.joy_displacement, 1))
            return false;
        c.config.switches = default_switch_action;
        for (int s = 0; s < model_n_switches[c.model]; s++) {
            const std::string group = switch_group(s);
            if (!g_key_file_has_group(file, group.c_str()))
                return fail(
                    printf_string(_("The file “%s” has no settings for switch %d."), display_name.c_str(), s + 1));
            action_record &a = c.config.switches[s];
            int32_t *fields[] = {&a.kind, &a.code, &a.modifiers, &a.auto_release};
            for (size_t k = 0; k < std::size(switch_keys); k++)
                if (!bytes(group.c_str(), switch_keys[k], fields[k], 1))
                    return false;
        }
        return true;
    }
};

}  // namespace

bool load_config_file_contents(const char *path, config_file_contents &out, std::string &error)
{
    const std::string display_name = take_string(g_filename_display_name(path));
    // Only a regular file is read: a device or a pipe could give data without end.
    GStatBuf st;
    if (g_stat(path, &st) == 0 && (!S_ISREG(st.st_mode) || st.st_size > largest_file)) {
        error = not_configuration(display_name);
        return false;
    }
    gchar *data = nullptr;
    gsize length = 0;
    GError *err = nullptr;
    if (!g_file_get_contents(path, &data, &length, &err)) {
        error = printf_string(_("The file “%s” could not be read: %s"), display_name.c_str(), err->message);
        g_error_free(err);
        return false;
    }
    GKeyFile *file = g_key_file_new();
    const bool parsed = length <= gsize(largest_file) &&
                        g_key_file_load_from_data(file, data, length, G_KEY_FILE_NONE, nullptr);
    g_free(data);
    reader r{file, display_name, {}};
    config_file_contents c{};
    bool ok = false;
    if (!parsed)
        r.fail(not_configuration(display_name));
    else
        ok = r.read(c);
    g_key_file_free(file);
    if (!ok) {
        error = r.error;
        return false;
    }
    out = c;
    return true;
}

std::string config_file_text(const config_file_contents &in)
{
    const int model = in.model >= 0 && in.model < n_models ? in.model : 0;
    const configuration &c = in.config;
    std::string text;
    text += "# " + one_line(_("Zevrin configuration")) + "\n";
    text += std::string("[") + group_configuration + "]\n";
    text += "Format=" + std::to_string(config_file_format) + "\n";
    text += std::string("Model=") + model_name[model] + "\n";
    text += "# " + one_line(std::string(_("Mouse speed")) + ": " + describe_mouse_speed(c)) + "\n";
    text += "MouseSpeed=" + number_list(c.mouse_speed.data(), 3) + "\n";
    text += "MouseStretch=" + number_list(c.mouse_stretch.data(), 2) + "\n";
    text += "# " + one_line(std::string(_("Joystick displacement")) + ": " + describe_joy_displacement(c)) + "\n";
    text += "JoystickDisplacement=" + number_list(&c.joy_displacement, 1) + "\n";
    for (int s = 0; s < model_n_switches[model]; s++) {
        const action_record &a = c.switches[s];
        const std::string label = printf_string(_("Switch %d"), s + 1);
        text += "\n# " + one_line(label + ": " + describe_action(a)) + "\n";
        text += "[" + switch_group(s) + "]\n";
        const int32_t fields[] = {a.kind, a.code, a.modifiers, a.auto_release};
        for (size_t k = 0; k < std::size(switch_keys); k++)
            text += std::string(switch_keys[k]) + "=" + number_list(&fields[k], 1) + "\n";
    }
    return text;
}

bool save_config_file_contents(const char *path, const config_file_contents &in, std::string &error)
{
    const std::string text = config_file_text(in);
    GError *err = nullptr;
    if (!g_file_set_contents(path, text.data(), gssize(text.size()), &err)) {
        const std::string display_name = take_string(g_filename_display_name(path));
        error = printf_string(_("The configuration could not be saved in “%s”: %s"), display_name.c_str(),
                              err->message);
        g_error_free(err);
        return false;
    }
    return true;
}
