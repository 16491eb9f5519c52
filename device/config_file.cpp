#include "device/config_file.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <glib/gi18n.h>
#include <glib/gstdio.h>

#include "device/describe.h"
#include "device/file_replace.h"

namespace {

constexpr const char *group_configuration = "Configuration";
constexpr const char *switch_keys[] = {"Kind", "Code", "Modifiers", "AutoRelease"};
// Larger files are refused, and read no further: a configuration takes about a kilobyte.
constexpr size_t largest_file = 1024 * 1024;

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

// ASCII lower case, for names compared without regard to case.
std::string folded(const std::string &text)
{
    return take_string(g_ascii_strdown(text.c_str(), gssize(text.size())));
}

std::string trimmed(const std::string &text)
{
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The file's groups and settings as written, each with its line; names are looked up without
// regard to case. A setting given twice counts as its last line, a group given twice as one.
struct setting_line {
    std::string value;
    int line;
};
struct group_lines {
    std::string name;
    int line;
    std::map<std::string, setting_line> settings;
};

// What a line-by-line reading of the text gives: the groups, or the first line that is wrong
// and what is wrong with it.
struct text_reading {
    std::map<std::string, group_lines> groups;
    int bad_line = 0;
    std::string problem;
};

// Lines end in LF or CR LF.
text_reading read_lines(const std::string &text)
{
    text_reading r;
    group_lines *current = nullptr;
    size_t start = 0;
    for (int number = 1; start < text.size() && r.bad_line == 0; number++) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = trimmed(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == '#')
            continue;
        auto wrong = [&](std::string problem) {
            r.bad_line = number;
            r.problem = std::move(problem);
        };
        if (line[0] == '[') {
            const size_t close = line.find(']');
            if (close == std::string::npos) {
                wrong(printf_string(_("“%s” has no closing “]”"), shown(line).c_str()));
                continue;
            }
            const std::string name = trimmed(line.substr(1, close - 1));
            if (name.empty() || !trimmed(line.substr(close + 1)).empty()) {
                // TRANSLATORS: the names in “” such as [Switch 1], Code=4 and [Configuration] are
                // written in the file as they are: do not translate them.
                wrong(printf_string(_("“%s” is not a group heading: a heading is a name between “[” and “]”, as "
                                      "in “[Switch 1]”"),
                                    shown(line).c_str()));
                continue;
            }
            current = &r.groups[folded(name)];
            if (current->name.empty())
                *current = {name, number, {}};
            continue;
        }
        const size_t equals = line.find('=');
        const std::string key = equals == std::string::npos ? "" : trimmed(line.substr(0, equals));
        if (key.empty())
            // TRANSLATORS: the names in “” such as [Switch 1], Code=4 and [Configuration] are
            // written in the file as they are: do not translate them.
            wrong(printf_string(_("“%s” is not a setting: a setting is a name, “=” and a value, as in “Code=4”"),
                                shown(line).c_str()));
        else if (current == nullptr)
            // TRANSLATORS: the names in “” such as [Switch 1], Code=4 and [Configuration] are
            // written in the file as they are: do not translate them.
            wrong(printf_string(_("“%s” comes before the first group heading, such as “[Configuration]”"),
                                shown(line).c_str()));
        else
            current->settings[folded(key)] = {trimmed(line.substr(equals + 1)), number};
    }
    return r;
}

// Whether the text has a [Configuration] heading, well written or not: without one it is some
// other file, and is refused as such rather than for its first line.
bool mentions_configuration(const std::string &text)
{
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = trimmed(text.substr(start, end - start));
        start = end + 1;
        if (!line.empty() && line[0] == '[') {
            line.erase(0, 1);
            if (!line.empty() && line.back() == ']')
                line.pop_back();
            if (folded(trimmed(line)) == "configuration")
                return true;
        }
    }
    return false;
}

// Reads one file: each check sets the message of the first problem and says false.
struct reader {
    const text_reading &file;
    std::string display_name;
    std::string error;

    bool fail(std::string message)
    {
        error = std::move(message);
        return false;
    }

    bool fail_at(int line, const std::string &problem)
    {
        // TRANSLATORS: %s is the file's name, %d the number of the line, and the last %s what is
        // wrong there, for example: “Code” must be a number from 0 to 255, not “banana”.
        return fail(printf_string(_("In the file “%s”, line %d: %s."), display_name.c_str(), line, problem.c_str()));
    }

    const group_lines *group(const char *name) const
    {
        const auto found = file.groups.find(folded(name));
        return found == file.groups.end() ? nullptr : &found->second;
    }

    // The text of a value and its line, or a message that it is missing.
    bool value(const group_lines &g, const char *key, std::string &text, int &line)
    {
        const auto found = g.settings.find(folded(key));
        if (found == g.settings.end())
            return fail_at(g.line, printf_string(_("the group [%s] has no “%s” setting"), shown(g.name).c_str(), key));
        text = found->second.value;
        line = found->second.line;
        return true;
    }

    // `n` bytes separated by semicolons; a byte may be written as a negative signed byte.
    bool bytes(const group_lines &g, const char *key, int *out, size_t n)
    {
        std::string text;
        int line = 0;
        if (!value(g, key, text, line))
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
                return fail_at(line, printf_string(_("“%s” must be a number from 0 to 255, not “%s”"), key,
                                                   shown(text).c_str()));
            return fail_at(line, printf_string(_("“%s” must be %d numbers from 0 to 255 separated by semicolons, "
                                                 "not “%s”"),
                                               key, int(n), shown(text).c_str()));
        }
        for (size_t i = 0; i < n; i++)
            out[i] = low_byte(values[i]);
        return true;
    }

    bool format(const group_lines &g)
    {
        std::string text;
        int line = 0;
        if (!value(g, "Format", text, line))
            return false;
        gint64 number = 0;
        if (!g_ascii_string_to_signed(text.c_str(), 10, 1, G_MAXINT, &number, nullptr))
            // TRANSLATORS: Format is the name of a setting in the file: do not translate it.
            return fail_at(line, printf_string(_("“Format” must be a whole number such as 1, not “%s”"),
                                               shown(text).c_str()));
        if (number > config_file_format)
            return fail_at(line, printf_string(_("the file was saved in format %d by a newer version of the "
                                                 "configurator; this version reads only format %d"),
                                               int(number), config_file_format));
        return true;
    }

    bool model(const group_lines &g, int &model_index)
    {
        std::string text;
        int line = 0;
        if (!value(g, "Model", text, line))
            return false;
        for (int m = 0; m < n_models; m++)
            if (g_ascii_strcasecmp(text.c_str(), model_name[m]) == 0 ||
                g_ascii_strcasecmp(text.c_str(), model_id[m]) == 0) {
                model_index = m;
                return true;
            }
        // TRANSLATORS: the first %s is the model that the file names, the others are the
        // models' names, which are not translated.
        return fail_at(line, printf_string(_("“%s” is not a model that this version knows; it knows “%s” and "
                                             "“%s”"),
                                           shown(text).c_str(), model_name[0], model_name[1]));
    }

    bool read(config_file_contents &c)
    {
        const group_lines *settings = group(group_configuration);
        if (settings == nullptr)
            return fail(not_configuration(display_name));
        if (!format(*settings) || !model(*settings, c.model))
            return false;
        if (!bytes(*settings, "MouseSpeed", c.config.mouse_speed.data(), 3) ||
            !bytes(*settings, "MouseStretch", c.config.mouse_stretch.data(), 2) ||
            !bytes(*settings, "JoystickDisplacement", &c.config.joy_displacement, 1))
            return false;
        c.config.switches = default_switch_action;
        for (int s = 0; s < model_n_switches[c.model]; s++) {
            const group_lines *g = group(switch_group(s).c_str());
            if (g == nullptr)
                return fail(
                    printf_string(_("The file “%s” has no settings for switch %d."), display_name.c_str(), s + 1));
            action_record &a = c.config.switches[s];
            int32_t *fields[] = {&a.kind, &a.code, &a.modifiers, &a.auto_release};
            for (size_t k = 0; k < std::size(switch_keys); k++)
                if (!bytes(*g, switch_keys[k], fields[k], 1))
                    return false;
        }
        return true;
    }
};

// Reads at most `limit` bytes of the regular file that `path` names. The file is opened
// without waiting (a pipe put in its place must not hold the window) and checked as opened,
// so that what is checked is what is read.
enum class read_result { ok, failed, not_a_file, too_large };
read_result read_bounded(const char *path, size_t limit, std::string &text, int &error_number)
{
    const int fd = g_open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0);
    if (fd < 0) {
        error_number = errno;
        return read_result::failed;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return read_result::not_a_file;
    }
    read_result result = read_result::ok;
    char chunk[16384];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error_number = errno;
            result = read_result::failed;
            break;
        }
        if (n == 0)
            break;
        text.append(chunk, size_t(n));
        if (text.size() > limit) {
            result = read_result::too_large;
            break;
        }
    }
    close(fd);
    return result;
}

}  // namespace

bool load_config_file_contents(const char *path, config_file_contents &out, std::string &error)
{
    const std::string display_name = take_string(g_filename_display_name(path));
    std::string text;
    int error_number = 0;
    switch (read_bounded(path, largest_file, text, error_number)) {
    case read_result::ok:
        break;
    case read_result::failed:
        error = printf_string(_("The file “%s” could not be read: %s"), display_name.c_str(),
                              g_strerror(error_number));
        return false;
    case read_result::not_a_file:
    case read_result::too_large:
        // Only a regular file of about the size of a configuration is read: a device could give
        // data without end.
        error = not_configuration(display_name);
        return false;
    }
    // Editors on Windows begin a UTF-8 file with a byte-order mark.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);
    // A zero byte is in no text file; and a file without a [Configuration] heading is not one of
    // ours, however its lines look.
    if (text.find('\0') != std::string::npos || !mentions_configuration(text)) {
        error = not_configuration(display_name);
        return false;
    }
    const text_reading lines = read_lines(text);
    reader r{lines, display_name, {}};
    config_file_contents c{};
    if (lines.bad_line != 0 ? r.fail_at(lines.bad_line, lines.problem) : r.read(c)) {
        out = c;
        return true;
    }
    error = r.error;
    return false;
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
    std::string reason;
    if (replace_file_contents(path, config_file_text(in), reason))
        return true;
    const std::string display_name = take_string(g_filename_display_name(path));
    error = printf_string(_("The configuration could not be saved in “%s”: %s"), display_name.c_str(),
                          reason.c_str());
    return false;
}
