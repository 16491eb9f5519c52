// The real program end to end: the built zevrin runs as a process of its own on an X server of
// its own, with umockdev virtual Zevrin and Zevrin Mini devices that this test plays, and is
// seen and worked through the accessibility bus as a screen reader would (atspi_driver.py).
//
// Run it as: xvfb-wrap.sh dbus-run-session -- test_program ZEVRIN ATSPI_DRIVER PYTHON
// The test process makes the umockdev testbed and plugs the devices; the program runs under
// umockdev's preload library with UMOCKDEV_DIR pointing at that testbed, so its libudev and
// hidraw code is the real one. Every wait polls with a deadline; nothing is timed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <glib.h>

#include "tests/hid/emulated_device.h"
#include "tests/scratch_dir.h"

namespace fs = std::filesystem;

namespace {

std::string zevrin_path;
std::string atspi_driver_path;
std::string python_path;

// Long enough for a loaded machine running the suite two tests at a time; only a broken
// program ever waits this long.
constexpr auto deadline = std::chrono::seconds(30);

using bytes = std::vector<unsigned char>;

std::string hex(const bytes &b)
{
    std::string s;
    char buf[4];
    for (size_t i = 0; i < b.size(); i++) {
        snprintf(buf, sizeof buf, i ? " %02X" : "%02X", b[i]);
        s += buf;
    }
    return s;
}

// One switch as the device holds it.
struct switch_config {
    unsigned char kind, code, modifiers, auto_release;
};
// Mouse speed (3), mouse stretch (2), joystick displacement.
using settings_config = std::array<unsigned char, 6>;

// What a screen reader sees of one object.
struct ui_object {
    std::string role, name;
    bool showing = false;
    bool checked = false;
    bool enabled = false;
    std::string selected; // of a combo box
    std::string description;
};

// What a screen reader sees of the program's windows at one moment.
struct ui_snapshot {
    std::vector<std::pair<std::string, std::string>> windows; // role, name
    std::vector<ui_object> objects;
    std::string text; // as the driver printed it, for failure messages

    const ui_object *find(const std::string &role, const std::string &name) const
    {
        for (const ui_object &o : objects)
            if (o.role == role && o.name == name)
                return &o;
        return nullptr;
    }
    bool showing(const std::string &role, const std::string &name) const
    {
        const ui_object *o = find(role, name);
        return o != nullptr && o->showing;
    }
    bool checked(const std::string &role, const std::string &name) const
    {
        const ui_object *o = find(role, name);
        return o != nullptr && o->checked;
    }
    bool enabled(const std::string &role, const std::string &name) const
    {
        const ui_object *o = find(role, name);
        return o != nullptr && o->enabled;
    }
    std::string selected(const std::string &combo) const
    {
        const ui_object *o = find("combo box", combo);
        return o != nullptr ? o->selected : "<no combo box " + combo + ">";
    }
    bool has_window(const std::string &name) const
    {
        for (const auto &w : windows)
            if (w.second == name)
                return true;
        return false;
    }
    std::string main_title() const
    {
        for (const auto &w : windows)
            if (w.first == "frame")
                return w.second;
        return "";
    }
};

ui_snapshot parse_snapshot(const std::string &text)
{
    ui_snapshot s;
    s.text = text;
    gchar **lines = g_strsplit(text.c_str(), "\n", -1);
    for (gchar **l = lines; *l; l++) {
        gchar **f = g_strsplit(*l, "\t", -1);
        const guint n = g_strv_length(f);
        if (n >= 3 && strcmp(f[0], "window") == 0) {
            s.windows.emplace_back(f[1], f[2]);
        } else if (n >= 4) {
            ui_object o;
            o.role = f[0];
            o.name = f[1];
            o.showing = strchr(f[2], 's') != nullptr;
            o.checked = strchr(f[2], 'c') != nullptr;
            o.enabled = strchr(f[2], 'e') != nullptr;
            o.selected = f[3];
            if (n >= 5)
                o.description = f[4];
            s.objects.push_back(std::move(o));
        }
        g_strfreev(f);
    }
    g_strfreev(lines);
    return s;
}

// How a row shows one switch: the page radio button that is checked, the list on that page
// and its selected entry, the auto-release check box, and on the keyboard page the modifiers.
struct row_view {
    const char *page;  // "mouse", "keyboard", "joystick", "generic event"
    const char *entry; // the selected entry of the page's list
    bool auto_release;
    bool control = false, shift = false, alt = false;
};

const char *list_of_page(const std::string &page)
{
    if (page == "mouse")
        return "mouse action";
    if (page == "keyboard")
        return "key";
    if (page == "joystick")
        return "joystick action";
    return "event";
}

std::string sw(int n, const char *what)
{
    return "Switch " + std::to_string(n) + what;
}

// Empty when switch n shows `view`; else what differs.
std::string row_differences(const ui_snapshot &ui, int n, const row_view &view)
{
    std::string diff;
    auto expect = [&](bool ok, const std::string &what) {
        if (!ok)
            diff += "switch " + std::to_string(n) + ": " + what + "; ";
    };
    expect(ui.showing("icon", sw(n, "")), "row not shown");
    expect(ui.checked("radio button", sw(n, ": ") + view.page), std::string("page not ") + view.page);
    const std::string list = sw(n, " ") + list_of_page(view.page);
    expect(ui.showing("combo box", list), list + " not shown");
    expect(ui.selected(list) == view.entry, list + " shows " + ui.selected(list));
    expect(ui.checked("check box", sw(n, ": auto-release")) == view.auto_release,
           "auto-release not " + std::to_string(view.auto_release));
    if (std::string(view.page) == "keyboard") {
        expect(ui.checked("check box", sw(n, ": Control")) == view.control, "Control");
        expect(ui.checked("check box", sw(n, ": Shift")) == view.shift, "Shift");
        expect(ui.checked("check box", sw(n, ": Alt")) == view.alt, "Alt");
    }
    return diff;
}

// The rows of a completely read box, `model` the window's title (with its mark of changes).
bool ready(const ui_snapshot &ui, const std::string &model)
{
    return ui.main_title() == model && ui.showing("push button", "Write") &&
           ui.enabled("push button", "Write");
}

bool disconnected(const ui_snapshot &ui)
{
    return ui.main_title() == "Zevrin (disconnected)" &&
           ui.showing("label", "Please connect a Zevrin device to the computer") &&
           !ui.showing("push button", "Write");
}

// A read request as the program sends it: 00 09 00 i for a switch, 00 09 01 for the settings.
bytes read_switch_request(int i)
{
    return {0, 0x09, 0x00, static_cast<unsigned char>(i), 0, 0, 0, 0, 0};
}
const bytes read_settings_request = {0, 0x09, 0x01, 0, 0, 0, 0, 0, 0};

// A window as the X server shows it (ImageMagick's import, as a PPM file).
struct picture {
    int width = 0, height = 0;
    std::string rgb; // 3 bytes a pixel, row by row

    std::array<int, 3> at(int x, int y) const
    {
        if (x < 0 || y < 0 || x >= width || y >= height)
            return {-1, -1, -1};
        const size_t i = (static_cast<size_t>(y) * width + x) * 3;
        return {static_cast<unsigned char>(rgb[i]), static_cast<unsigned char>(rgb[i + 1]),
                static_cast<unsigned char>(rgb[i + 2])};
    }
    // The colour most pixels of the rectangle have: a button's background.
    std::array<int, 3> most_common(int x, int y, int w, int h) const
    {
        std::map<std::array<int, 3>, int> count;
        for (int j = y; j < y + h; j++)
            for (int i = x; i < x + w; i++)
                count[at(i, j)]++;
        std::array<int, 3> best = {-1, -1, -1};
        int n = 0;
        for (const auto &[c, k] : count)
            if (k > n)
                n = k, best = c;
        return best;
    }
};

bool parse_ppm(const std::string &data, picture *p)
{
    std::istringstream in(data);
    std::string magic;
    int maximum = 0;
    in >> magic >> p->width >> p->height >> maximum;
    if (magic != "P6" || maximum != 255 || p->width <= 0 || p->height <= 0)
        return false;
    in.get(); // the one blank after the header
    p->rgb = data.substr(static_cast<size_t>(in.tellg()));
    return p->rgb.size() >= static_cast<size_t>(p->width) * p->height * 3;
}

// Contrast ratio of two colours as the accessibility guidelines define it.
double contrast(const std::array<int, 3> &a, const std::array<int, 3> &b)
{
    auto luminance = [](const std::array<int, 3> &c) {
        auto lin = [](int v) {
            const double s = v / 255.0;
            return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * lin(c[0]) + 0.7152 * lin(c[1]) + 0.0722 * lin(c[2]);
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

struct box {
    int x = 0, y = 0, width = 0, height = 0;
};

// The focus ring of a button, from a picture of it without the focus and one with: along its
// middle line from the left, and down its left part from the top, the first pixels that change
// with the focus by 3:1 or more (a fainter change, such as the default look's grey behind a
// focused button, is not the ring).
struct ring_measure {
    int width = 0;              // the narrower of the two
    double against_inside = 99; // the ring against the pixel just inside it
};

ring_measure measure_ring(const picture &without, const picture &with, const box &b)
{
    ring_measure m;
    m.width = 1 << 20;
    auto ring_at = [&](int x, int y) { return contrast(without.at(x, y), with.at(x, y)) >= 3.0; };
    auto walk = [&](int x, int y, int dx, int dy, int steps) {
        int i = 0;
        while (i < steps && !ring_at(x + i * dx, y + i * dy))
            i++;
        int run = 0;
        while (i + run < steps && ring_at(x + (i + run) * dx, y + (i + run) * dy))
            run++;
        if (i + run < steps && run > 0) {
            const auto last = with.at(x + (i + run - 1) * dx, y + (i + run - 1) * dy);
            m.against_inside = std::min(m.against_inside, contrast(last, with.at(x + (i + run) * dx, y + (i + run) * dy)));
        }
        m.width = std::min(m.width, run);
    };
    walk(b.x, b.y + b.height / 2, 1, 0, b.width / 3);
    walk(b.x + b.width / 6, b.y, 0, 1, b.height / 2);
    return m;
}

class Program : public testing::Test {
protected:
    void SetUp() override
    {
        const char *source_root = g_getenv("ZEVRIN_SOURCE_ROOT");
        ASSERT_NE(source_root, nullptr);
        ASSERT_NE(g_getenv("DBUS_SESSION_BUS_ADDRESS"), nullptr)
            << "run under dbus-run-session: the program and the driver meet on its bus";
        root = scratch::make_dir("zevrin-e2e");
        ASSERT_FALSE(root.empty());
        work = root + "/work"; // the program finds its data at ../data from here
        const std::string home = root + "/home";
        const std::string runtime = root + "/run";
        for (const std::string &d : {work, home, runtime})
            ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
        fs::create_directory_symlink(fs::path(source_root) / "data", root + "/data");

        testbed = emulated_testbed_new();
        gchar *testbed_root = umockdev_testbed_get_root_dir(testbed);
        testbed_dir = testbed_root;
        g_free(testbed_root);

        env = g_get_environ();
        env = g_environ_setenv(env, "HOME", home.c_str(), TRUE);
        env = g_environ_setenv(env, "XDG_CONFIG_HOME", (home + "/.config").c_str(), TRUE);
        env = g_environ_setenv(env, "XDG_CACHE_HOME", (home + "/.cache").c_str(), TRUE);
        env = g_environ_setenv(env, "XDG_DATA_HOME", (home + "/.local/share").c_str(), TRUE);
        env = g_environ_setenv(env, "XDG_RUNTIME_DIR", runtime.c_str(), TRUE);
        env = g_environ_setenv(env, "LANGUAGE", "en", TRUE);
        env = g_environ_setenv(env, "LANG", "C.UTF-8", TRUE);
        env = g_environ_unsetenv(env, "LC_ALL");
        env = g_environ_unsetenv(env, "LC_MESSAGES");
        // The program must register on the accessibility bus.
        env = g_environ_unsetenv(env, "NO_AT_BRIDGE");
        env = g_environ_unsetenv(env, "ZEVRIN_DEMO");
        // This process runs under umockdev's preload (the testbed's events go out through a libudev
        // that must see the testbed); the program gets it back in start(), the helpers never.
        env = g_environ_unsetenv(env, "LD_PRELOAD");
        env = g_environ_unsetenv(env, "UMOCKDEV_DIR");
    }

    void TearDown() override
    {
        for (GPid pid : started) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        for (emulated_device *d : plugged)
            emulated_device_unplug(d);
        if (testbed != nullptr)
            emulated_testbed_free(testbed);
        if (HasFailure()) {
            for (const char *name : {"/zevrin.out", "/zevrin.err"}) {
                gchar *text = nullptr;
                if (g_file_get_contents((root + name).c_str(), &text, nullptr, nullptr) && *text)
                    fprintf(stderr, "--- the program's %s:\n%s\n", name + 1, text);
                g_free(text);
            }
        }
        g_strfreev(env);
        // The program is gone (killed above): nothing writes here any more.
        scratch::remove_dir(root);
    }

    // Starts the program; with `umockdev` under the preload library over this test's testbed.
    // `extra` sets (or, with a null value, unsets) more variables for it. With `unprivileged`, a
    // test run as root starts it without root's right to open any file, so that a node closed to
    // the user is closed to it. `arguments` follow the program's name.
    GPid start(bool umockdev = true, const char *demo = nullptr,
               const std::vector<std::pair<const char *, const char *>> &extra = {},
               bool unprivileged = false, const std::vector<std::string> &arguments = {})
    {
        gchar **child_env = g_strdupv(env);
        for (const auto &[name, value] : extra)
            child_env = value != nullptr ? g_environ_setenv(child_env, name, value, TRUE)
                                         : g_environ_unsetenv(child_env, name);
        if (umockdev) {
            child_env = g_environ_setenv(child_env, "UMOCKDEV_DIR", testbed_dir.c_str(), TRUE);
            child_env = g_environ_setenv(child_env, "LD_PRELOAD", "libumockdev-preload.so.0", TRUE);
        }
        if (demo != nullptr)
            child_env = g_environ_setenv(child_env, "ZEVRIN_DEMO", demo, TRUE);
        const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
        const int out = open((root + "/zevrin.out").c_str(), flags, 0600);
        const int err = open((root + "/zevrin.err").c_str(), flags, 0600);
        std::vector<std::string> args = {zevrin_path};
        args.insert(args.end(), arguments.begin(), arguments.end());
        if (unprivileged && geteuid() == 0)
            args.insert(args.begin(), {"setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"});
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        GPid pid = 0;
        GError *error = nullptr;
        const auto spawn_flags = GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_SEARCH_PATH);
        if (!g_spawn_async_with_fds(work.c_str(), argv.data(), child_env, spawn_flags, nullptr, nullptr, &pid,
                                    -1, out, err, &error)) {
            ADD_FAILURE() << error->message;
            g_error_free(error);
            pid = 0;
        } else {
            started.push_back(pid);
        }
        close(out);
        close(err);
        g_strfreev(child_env);
        program = pid;
        return pid;
    }

    bool running(GPid pid)
    {
        return pid != 0 && waitpid(pid, nullptr, WNOHANG) == 0;
    }

    int wait_exit(GPid pid)
    {
        int status = 0;
        waitpid(pid, &status, 0);
        std::erase(started, pid);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // Waits until the program listens for device arrivals (its udev monitor made the testbed's
    // event socket); an arrival before that would go unheard, as it would on a real system
    // before the program starts.
    bool wait_for_monitor()
    {
        if (emulated_testbed_wait_for_listener(testbed))
            return true;
        ADD_FAILURE() << "the program never started listening for devices";
        return false;
    }

    emulated_device *plug(const emulated_description &d, bool initialised = true)
    {
        emulated_device *dev = emulated_device_plug(testbed, d, initialised);
        plugged.push_back(dev);
        return dev;
    }

    void unplug(emulated_device *dev)
    {
        std::erase(plugged, dev);
        emulated_device_unplug(dev);
    }

    // The next report the program wrote to the device.
    void receive(emulated_device *dev, bytes *report)
    {
        report->assign(9, 0);
        ASSERT_TRUE(emulated_device_receive(dev, report->data(), report->size()))
            << "no report reached the device";
    }

    // The next reports the program writes to the device are exactly `expected`.
    void expect_reports(emulated_device *dev, const std::vector<bytes> &expected)
    {
        for (size_t i = 0; i < expected.size(); i++) {
            bytes got;
            ASSERT_NO_FATAL_FAILURE(receive(dev, &got)) << "report " << i + 1;
            ASSERT_EQ(hex(got), hex(expected[i])) << "report " << i + 1;
        }
    }

    // Plays the device through one configuration read: each request must be the next one of the
    // read (switches 0 to n-1, then the settings), and is answered as the device answers it.
    void serve_read(emulated_device *dev, const std::vector<switch_config> &switches,
                    const settings_config &settings)
    {
        bytes request;
        for (size_t i = 0; i < switches.size(); i++) {
            ASSERT_NO_FATAL_FAILURE(receive(dev, &request));
            ASSERT_EQ(hex(request), hex(read_switch_request(static_cast<int>(i))));
            const switch_config &s = switches[i];
            const unsigned char reply[8] = {
                0x09, 0, static_cast<unsigned char>(i), s.kind, s.code, s.modifiers, s.auto_release, 0};
            emulated_device_send(dev, reply, sizeof reply);
        }
        ASSERT_NO_FATAL_FAILURE(receive(dev, &request));
        ASSERT_EQ(hex(request), hex(read_settings_request));
        const unsigned char reply[8] = {0x0A,        0,           settings[0], settings[1],
                                        settings[2], settings[3], settings[4], settings[5]};
        emulated_device_send(dev, reply, sizeof reply);
    }

    // The reports of a write are exactly `written`; then the box is read back, and gives back
    // what they carried (with `change` applied first, as a box that did not take it all).
    void serve_write(emulated_device *dev, const std::vector<bytes> &written,
                     const std::function<void(std::vector<switch_config> &, settings_config &)> &change = {})
    {
        ASSERT_NO_FATAL_FAILURE(expect_reports(dev, written));
        std::vector<switch_config> switches;
        settings_config settings{};
        for (const bytes &r : written) {
            if (r[1] == 0x04)
                switches.push_back({r[3], r[4], r[5], r[6]});
            else if (r[1] == 0x07)
                std::copy(r.begin() + 2, r.begin() + 8, settings.begin());
        }
        if (change)
            change(switches, settings);
        ASSERT_NO_FATAL_FAILURE(serve_read(dev, switches, settings));
    }

    // Runs a helper program (found in PATH) with the test's environment, without the preload;
    // its exit status, standard output into `out`.
    int run(std::vector<std::string> args, std::string *out = nullptr)
    {
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        gchar *text = nullptr;
        gchar *errors = nullptr;
        int status = -1;
        GError *error = nullptr;
        if (!g_spawn_sync(nullptr, argv.data(), env, G_SPAWN_SEARCH_PATH, nullptr, nullptr, &text, &errors,
                          &status, &error)) {
            ADD_FAILURE() << error->message;
            g_error_free(error);
            return -1;
        }
        if (out != nullptr)
            *out = text ? text : "";
        last_errors = errors ? errors : "";
        g_free(text);
        g_free(errors);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Runs the AT-SPI driver.
    int driver(std::vector<std::string> args, std::string *out = nullptr)
    {
        args.insert(args.begin(), {python_path, atspi_driver_path});
        return run(std::move(args), out);
    }

    // Runs a driver command on the program: COMMAND PID ARGS...
    int driver_for_program(std::vector<std::string> args, std::string *out)
    {
        args.insert(args.begin() + 1, std::to_string(program));
        return driver(std::move(args), out);
    }

    // The X window of a process that is on the screen now, or "".
    std::string visible_window(GPid pid)
    {
        std::string out;
        run({"xdotool", "search", "--onlyvisible", "--pid", std::to_string(pid)}, &out);
        return out.substr(0, out.find('\n'));
    }

    ui_snapshot ui()
    {
        std::string text;
        driver({"dump", std::to_string(program)}, &text);
        return parse_snapshot(text);
    }

    // Waits until what the program shows satisfies `ok`; fails with `what` and the last view.
    bool wait_ui(const std::function<bool(const ui_snapshot &)> &ok, const std::string &what)
    {
        const auto end = std::chrono::steady_clock::now() + deadline;
        ui_snapshot last;
        while (std::chrono::steady_clock::now() < end) {
            last = ui();
            if (ok(last))
                return true;
            if (!running(program)) {
                ADD_FAILURE() << "the program ended while waiting for: " << what;
                return false;
            }
        }
        ADD_FAILURE() << "never seen: " << what << "\nthe windows showed:\n" << last.text;
        return false;
    }

    // Waits until the rows of switches 1 to n show `rows`.
    bool wait_rows(const std::vector<row_view> &rows, const std::string &model)
    {
        std::string diff;
        const bool ok = wait_ui(
            [&](const ui_snapshot &ui) {
                if (!ready(ui, model))
                    return false;
                diff.clear();
                for (size_t i = 0; i < rows.size(); i++)
                    diff += row_differences(ui, static_cast<int>(i + 1), rows[i]);
                return diff.empty();
            },
            model + " ready with its rows as read");
        if (!ok)
            ADD_FAILURE() << diff;
        return ok;
    }

    // Works a widget as a user would; retried while the program has not shown it yet.
    bool act(std::vector<std::string> args)
    {
        args.insert(args.begin() + 1, std::to_string(program));
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (std::chrono::steady_clock::now() < end) {
            if (driver(args) == 0)
                return true;
        }
        std::string all;
        for (const std::string &a : args)
            all += a + " ";
        ADD_FAILURE() << "could not " << all << ": " << last_errors;
        return false;
    }

    bool select(const std::string &combo, const std::string &entry)
    {
        return act({"select", combo, entry});
    }
    bool click(const std::string &role, const std::string &name)
    {
        return act({"do", role, name});
    }

    // The message dialog with `text` comes up; then it is closed with its Close button.
    bool expect_message_and_close(const std::string &text)
    {
        return wait_ui([&](const ui_snapshot &ui) { return ui.showing("label", text); },
                       "the message \"" + text + "\"") &&
               click("push button", "Close") &&
               wait_ui([&](const ui_snapshot &ui) { return ui.find("label", text) == nullptr; },
                       "the message closed");
    }

    // A picture of the X window `window`, once two in a row are the same (the toolkit animates
    // some changes of state).
    bool steady_picture(const std::string &window, picture *p)
    {
        const std::string file = root + "/window.ppm";
        std::string before;
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (std::chrono::steady_clock::now() < end) {
            if (run({"import", "-window", window, "-depth", "8", "ppm:" + file}) != 0) {
                ADD_FAILURE() << "import: " << last_errors;
                return false;
            }
            gchar *data = nullptr;
            gsize size = 0;
            if (!g_file_get_contents(file.c_str(), &data, &size, nullptr))
                return false;
            std::string now(data, size);
            g_free(data);
            if (now == before) {
                if (parse_ppm(now, p))
                    return true;
                ADD_FAILURE() << "not an 8-bit PPM picture: " << now.substr(0, 20);
                return false;
            }
            before = std::move(now);
        }
        ADD_FAILURE() << "the window never stopped changing";
        return false;
    }

    // Where the object is in its window.
    box extents(const std::string &role, const std::string &name)
    {
        std::string out;
        box b;
        if (driver_for_program({"extents", role, name}, &out) != 0 ||
            sscanf(out.c_str(), "%d %d %d %d", &b.x, &b.y, &b.width, &b.height) != 4)
            ADD_FAILURE() << "no extents of " << role << " " << name << ": " << last_errors;
        return b;
    }

    // The object of the program that has the keyboard focus ("ROLE:NAME", "-" for none), once
    // its main window has the focus again, as a window manager gives it back when a window on
    // top of it closes.
    std::string focus_after_focusing(const std::string &window)
    {
        run({"xdotool", "windowfocus", "--sync", window});
        std::string out;
        driver_for_program({"focus"}, &out);
        return out.substr(0, out.find('\n'));
    }

    // Waits until the object named `want` has the focus in the main window.
    bool wait_focus(const std::string &window, const std::string &want)
    {
        const auto end = std::chrono::steady_clock::now() + deadline;
        std::string now;
        while (std::chrono::steady_clock::now() < end)
            if ((now = focus_after_focusing(window)) == want)
                return true;
        ADD_FAILURE() << "the focus is on " << now << ", not on " << want;
        return false;
    }

    std::string root, work, testbed_dir;
    gchar **env = nullptr;
    UMockdevTestbed *testbed = nullptr;
    std::vector<emulated_device *> plugged;
    std::vector<GPid> started;
    GPid program = 0;
    std::string last_errors;
};

// A Zevrin configuration with every kind of action, and how the window shows it.
const std::vector<switch_config> zevrin_config = {
    {0, 1, 0, 1},    // right click, auto-release
    {3, 8, 0, 0},    // mouse down
    {1, 0x04, 3, 1}, // Control+Shift+A
    {1, 0x2C, 4, 0}, // Alt+Space
    {2, 7, 0, 1},    // joystick button 8
    {4, 2, 0, 0},    // joystick left
    {5, 3, 0, 0},    // generic event 3
    {0, 3, 0, 0},    // drag and drop
};
const std::vector<row_view> zevrin_rows = {
    {"mouse", "Right click", true},
    {"mouse", "Move down", false},
    {"keyboard", "A", true, true, true, false},
    {"keyboard", "Space", false, false, false, true},
    {"joystick", "Button 8", true},
    {"joystick", "Move left", false},
    {"generic event", "Event 3", false},
    {"mouse", "Drag/Drop", false},
};
// The mouse numbers of "Constant (fast)", stretch 150 (a byte above 127) and a displacement of
// 64, shown as "50%".
const settings_config zevrin_settings = {12, 12, 12, 40, 150, 64};

const std::vector<switch_config> mini_config = {
    {2, 3, 0, 1},    // joystick button 4
    {1, 0x28, 2, 1}, // Shift+Return
};
const std::vector<row_view> mini_rows = {
    {"joystick", "Button 4", true},
    {"keyboard", "Return", true, false, true, false},
};
const settings_config mini_settings = {7, 18, 18, 40, 150, 115};

const char *const multiple_devices_text =
    "There seems to be more than one Zevrin device connected. Please disconnect all devices "
    "except the one you want to configure.";

// As the driver shows it: a line break as the two characters \n.
std::string permission_text(const emulated_device *dev)
{
    return std::string("A Zevrin device was found at ") + emulated_device_node(dev) +
           ", but you have no permission to use it.\\n\\nTo allow it, install the program, or "
           "copy its udev rule 70-zevrin.rules into /etc/udev/rules.d. Then run \"sudo udevadm "
           "trigger\": the device becomes usable without unplugging it.";
}

TEST_F(Program, ZevrinPluggedInBeforeStartIsReadAndShown)
{
    emulated_device *zevrin = plug(zevrin_description());
    start();
    ASSERT_NO_FATAL_FAILURE(serve_read(zevrin, zevrin_config, zevrin_settings));
    ASSERT_TRUE(wait_rows(zevrin_rows, "Zevrin"));
    const ui_snapshot shown = ui();
    EXPECT_EQ(shown.selected("Joystick displacement"), "50%");
    EXPECT_EQ(shown.selected("Mouse speed"), "Constant (fast)");
    EXPECT_TRUE(shown.showing("icon", "Switch 8"));
    // The generic page is shown for switch 7, its radio button only with developer options.
    EXPECT_FALSE(shown.showing("radio button", "Switch 7: generic event"));
    EXPECT_FALSE(shown.showing("label", "Reading configuration..."));
}

TEST_F(Program, MiniPluggedInAfterStartIsReadAndShownThenWrittenFromTheRows)
{
    start();
    ASSERT_TRUE(wait_ui(disconnected, "the no-device state"));
    ASSERT_TRUE(wait_for_monitor());
    emulated_device *mini = plug(zevrin_mini_description());
    ASSERT_NO_FATAL_FAILURE(serve_read(mini, mini_config, mini_settings));
    ASSERT_TRUE(wait_rows(mini_rows, "Zevrin Mini"));
    const ui_snapshot shown = ui();
    EXPECT_FALSE(shown.showing("icon", "Switch 3"));
    EXPECT_EQ(shown.selected("Joystick displacement"), "90%");
    EXPECT_EQ(shown.selected("Mouse speed"), "Accelerate");

    // Switch 1 becomes the mouse's "Move left"; its auto-release box, hidden for a movement,
    // keeps the flag read from the device.
    ASSERT_TRUE(click("radio button", "Switch 1: mouse"));
    ASSERT_TRUE(select("Switch 1 mouse action", "Move left"));
    ASSERT_TRUE(click("push button", "Write"));
    const std::vector<bytes> expected = {
        {0, 0x04, 0, 3, 2, 0, 1, 0, 0},
        {0, 0x04, 1, 1, 0x28, 2, 1, 0, 0},
        {0, 0x07, 7, 18, 18, 40, 150, 115, 0}, // the settings as read
        {0, 0x08, 0, 0, 0, 0, 0, 0, 0},
    };
    ASSERT_NO_FATAL_FAILURE(serve_write(mini, expected));
    ASSERT_TRUE(expect_message_and_close("Configuration successfully written into the device."));
    // A movement has no auto-release: its box shows unticked, though the row kept it (written 1).
    ASSERT_TRUE(wait_rows({{"mouse", "Move left", false}, mini_rows[1]}, "Zevrin Mini"));
}

TEST_F(Program, RowsChangedThroughTheWidgetsReachTheZevrinByteForByte)
{
    emulated_device *zevrin = plug(zevrin_description());
    start();
    ASSERT_NO_FATAL_FAILURE(serve_read(zevrin, zevrin_config, zevrin_settings));
    ASSERT_TRUE(wait_rows(zevrin_rows, "Zevrin"));

    // Switch 2 becomes Control+B; the settings lists take other entries.
    ASSERT_TRUE(click("radio button", "Switch 2: keyboard"));
    ASSERT_TRUE(select("Switch 2 key", "B"));
    ASSERT_TRUE(click("check box", "Switch 2: Control"));
    ASSERT_TRUE(select("Mouse speed", "Constant (slow)"));
    ASSERT_TRUE(select("Joystick displacement", "100%"));
    ASSERT_TRUE(wait_ui(
        [](const ui_snapshot &ui) {
            return ui.selected("Switch 2 key") == "B" && ui.checked("check box", "Switch 2: Control") &&
                   ui.selected("Mouse speed") == "Constant (slow)" &&
                   ui.selected("Joystick displacement") == "100%";
        },
        "the edits in the rows"));
    ASSERT_TRUE(click("push button", "Write"));

    const std::vector<bytes> expected = {
        {0, 0x04, 0, 0, 1, 0, 1, 0, 0},      {0, 0x04, 1, 1, 0x05, 1, 0, 0, 0},
        {0, 0x04, 2, 1, 0x04, 3, 1, 0, 0},   {0, 0x04, 3, 1, 0x2C, 4, 0, 0, 0},
        {0, 0x04, 4, 2, 7, 0, 1, 0, 0},      {0, 0x04, 5, 4, 2, 0, 0, 0, 0},
        {0, 0x04, 6, 5, 3, 0, 0, 0, 0},      {0, 0x04, 7, 0, 3, 0, 0, 0, 0},
        {0, 0x07, 5, 5, 5, 40, 150, 127, 0}, {0, 0x08, 0, 0, 0, 0, 0, 0, 0},
    };
    // The box gives back switch 2 as it was and another displacement: it did not take the
    // write. The window says which, keeps the rows marked unwritten, and writes again.
    ASSERT_NO_FATAL_FAILURE(serve_write(zevrin, expected, [](std::vector<switch_config> &sw, settings_config &st) {
        sw[1] = {3, 8, 0, 0};
        st[5] = 93;
    }));
    // (The driver writes a line break in a name as \n.)
    const std::string differs = "The device did not take the configuration: what it holds now differs from what was "
                                "written.\\n\\nSwitch 2 differs. The mouse speed or the joystick displacement differs.";
    ASSERT_TRUE(wait_ui(
        [&](const ui_snapshot &ui) {
            return std::any_of(ui.objects.begin(), ui.objects.end(), [&](const ui_object &o) {
                return o.role == "label" && o.name.rfind(differs, 0) == 0;
            });
        },
        "the message that the box did not take it"));
    EXPECT_EQ(ui().main_title(), "*Zevrin");
    ASSERT_TRUE(click("push button", "Write again"));
    ASSERT_NO_FATAL_FAILURE(serve_write(zevrin, expected));
    ASSERT_TRUE(expect_message_and_close("Configuration successfully written into the device."));
    ASSERT_TRUE(wait_ui([](const ui_snapshot &ui) { return ui.main_title() == "Zevrin"; }, "the title unmarked"));

    // Read asks the device again, and the rows show its answer.
    ASSERT_TRUE(click("push button", "Read"));
    std::vector<switch_config> after = zevrin_config;
    after[1] = {1, 0x05, 1, 0};
    ASSERT_NO_FATAL_FAILURE(serve_read(zevrin, after, {5, 5, 5, 40, 150, 127}));
    std::vector<row_view> rows = zevrin_rows;
    rows[1] = {"keyboard", "B", false, true, false, false};
    ASSERT_TRUE(wait_rows(rows, "Zevrin"));
}

TEST_F(Program, UnplugShowsTheNoDeviceStateAndReplugReadsAgain)
{
    start();
    ASSERT_TRUE(wait_for_monitor());
    emulated_device *zevrin = plug(zevrin_description());
    ASSERT_NO_FATAL_FAILURE(serve_read(zevrin, zevrin_config, zevrin_settings));
    ASSERT_TRUE(wait_rows(zevrin_rows, "Zevrin"));

    unplug(zevrin);
    ASSERT_TRUE(wait_ui(disconnected, "the no-device state after unplugging"));

    zevrin = plug(zevrin_description());
    std::vector<switch_config> defaults = {{0, 0, 0, 1}, {0, 1, 0, 1}, {0, 2, 0, 1}, {0, 3, 0, 1},
                                           {3, 4, 0, 1}, {3, 8, 0, 1}, {3, 1, 0, 1}, {3, 2, 0, 1}};
    ASSERT_NO_FATAL_FAILURE(serve_read(zevrin, defaults, {5, 18, 7, 40, 150, 115}));
    // The actions without auto-release show their greyed-out box unticked, whatever the box holds.
    ASSERT_TRUE(wait_rows({{"mouse", "Left click", true},
                           {"mouse", "Right click", true},
                           {"mouse", "Double click", false},
                           {"mouse", "Drag/Drop", false},
                           {"mouse", "Move up", false},
                           {"mouse", "Move down", false},
                           {"mouse", "Move right", false},
                           {"mouse", "Move left", false}},
                          "Zevrin"));
}

// How many labels have a text that starts with `prefix`; with `showing`, only those showing (a
// row scrolled out of view is not).
size_t labels_starting(const ui_snapshot &ui, const std::string &prefix, bool showing = false)
{
    size_t n = 0;
    for (const ui_object &o : ui.objects)
        if (o.role == "label" && (o.showing || !showing) && o.enabled && o.name.rfind(prefix, 0) == 0)
            n++;
    return n;
}

// The switch test on a box with its keyboard, mouse and joystick interfaces: entered with the
// button beside Write, each press lights its row with what the computer received and how often,
// two switches with the same action together, a report no switch explains said so; the same
// button gives the rows back as they were, and the box leaving ends a test with the no-device
// state. In a high-contrast theme, where a held row keeps the theme's colours: its bar, on the
// screen, stands out from the row let go.
TEST_F(Program, TestingTheSwitchesShowsEachPressInItsRowAndLeavingGivesTheRowsBack)
{
    emulated_composite *composite = emulated_composite_plug(testbed, zevrin_composite_description());
    emulated_device *config = emulated_composite_interface(composite, 0);
    emulated_device *keyboard = emulated_composite_interface(composite, 1);
    emulated_device *mouse = emulated_composite_interface(composite, 2);
    // 1 Space, 2 left click, 3 to 5 the mouse, 6 and 7 Control+A, 8 joystick button 5.
    const std::vector<switch_config> switches = {{1, 0x2C, 0, 0}, {0, 0, 0, 0}, {3, 4, 0, 0}, {3, 8, 0, 0},
                                                 {3, 1, 0, 0},    {1, 4, 1, 0}, {1, 4, 1, 0}, {2, 4, 0, 0}};
    start(true, nullptr, {{"GTK_THEME", "HighContrastInverse"}});
    ASSERT_NO_FATAL_FAILURE(serve_read(config, switches, zevrin_settings));
    ASSERT_TRUE(wait_ui([](const ui_snapshot &ui) { return ready(ui, "Zevrin"); }, "the rows as read"));
    ASSERT_TRUE(click("toggle button", "Test switches"));
    ASSERT_TRUE(wait_ui(
        [](const ui_snapshot &ui) {
            return labels_starting(ui, "Not pressed yet") == 8 && !ui.showing("push button", "Write") &&
                   !ui.enabled("combo box", "Switch 1 key") && ui.checked("toggle button", "Test switches");
        },
        "the test running, the rows not editable"));

    auto press = [&](emulated_device *node, const bytes &report, const std::string &row, const std::string &said) {
        emulated_device_send(node, report.data(), report.size());
        return wait_ui([&](const ui_snapshot &ui) { return labels_starting(ui, row) > 0 && ui.showing("label", said); },
                       row + " and " + said);
    };
    ASSERT_TRUE(press(keyboard, {0, 0, 0x2C, 0, 0, 0, 0, 0}, "Space: held, pressed 1 time", "Switch 1 pressed"));
    const std::string window = visible_window(program);
    const box held_label = extents("label", "Space: held, pressed 1 time");
    picture held, let_go;
    ASSERT_TRUE(steady_picture(window, &held));
    ASSERT_TRUE(press(keyboard, {0, 0, 0, 0, 0, 0, 0, 0}, "Space: pressed 1 time, the last for ", "Switch 1 released"));
    ASSERT_TRUE(steady_picture(window, &let_go));
    // The columns before the row's label that change by 3:1 or more over the label's height.
    int bar = 0;
    for (int x = 0; x < held_label.x; x++) {
        bool column = held_label.height > 0;
        for (int y = held_label.y; column && y < held_label.y + held_label.height; y++)
            column = contrast(held.at(x, y), let_go.at(x, y)) >= 3.0;
        bar += column ? 1 : 0;
    }
    EXPECT_GE(bar, 6);
    ASSERT_TRUE(press(keyboard, {0, 0, 0x2C, 0, 0, 0, 0, 0}, "Space: held, pressed 2 times", "Switch 1 pressed"));
    ASSERT_TRUE(press(keyboard, {0, 0, 0, 0, 0, 0, 0, 0}, "Space: pressed 2 times, the last for ", "Switch 1 released"));
    ASSERT_TRUE(press(keyboard, {1, 0, 0x04, 0, 0, 0, 0, 0}, "Control+A: held, pressed 1 time",
                      "Switches 6,7 pressed (their actions are the same: they cannot be told apart)"));
    EXPECT_EQ(labels_starting(ui(), "Control+A: held, pressed 1 time"), 2u);
    ASSERT_TRUE(press(keyboard, {0, 0, 0, 0, 0, 0, 0, 0}, "Control+A: pressed 1 time",
                      "Switches 6,7 released (their actions are the same: they cannot be told apart)"));
    ASSERT_TRUE(press(keyboard, {0, 0, 0x05, 0, 0, 0, 0, 0}, "Not from a switch: ", "Not from a switch: B"));
    ASSERT_TRUE(press(keyboard, {0, 0, 0, 0, 0, 0, 0, 0}, "Not from a switch: ", "Not from a switch: B"));
    ASSERT_TRUE(press(mouse, {1, 0, 0, 0}, "Left click: held, pressed 1 time", "Switch 2 pressed"));
    ASSERT_TRUE(press(mouse, {0, 0, 0, 0}, "Left click: pressed 1 time", "Switch 2 released"));
    // A movement: held while its reports come, released once they stop.
    ASSERT_TRUE(press(mouse, {0, 0, 0xF6, 0}, "Move up: ", "Switch 3 released"));
    // Nothing was written to the box.
    EXPECT_EQ(emulated_device_unread(config), 0u);

    // The same button gives the rows back, editable, with Write.
    ASSERT_TRUE(click("toggle button", "Test switches"));
    ASSERT_TRUE(wait_ui(
        [](const ui_snapshot &ui) {
            return ready(ui, "Zevrin") && ui.enabled("combo box", "Switch 1 key") &&
                   labels_starting(ui, "Space: ", true) == 0 && labels_starting(ui, "Not pressed yet", true) == 0 &&
                   !ui.checked("toggle button", "Test switches");
        },
        "the rows given back"));
    ASSERT_TRUE(wait_rows({{"keyboard", "Space", false}}, "Zevrin"));

    // Once more with a change not written: the test says it goes by what the box holds; and
    // the box leaves during the test.
    ASSERT_TRUE(select("Switch 2 mouse action", "Right click"));
    ASSERT_TRUE(click("toggle button", "Test switches"));
    ASSERT_TRUE(wait_ui(
        [](const ui_snapshot &ui) {
            return labels_starting(ui, "Not pressed yet") == 8 &&
                   labels_starting(ui, "The rows hold changes that have not been written: the test uses what the "
                                       "device holds.", true) == 1;
        },
        "the test running again, going by what the box holds"));
    emulated_composite_unplug(composite);
    ASSERT_TRUE(wait_ui(disconnected, "the no-device state after unplugging during a test"));
}

TEST_F(Program, SecondDeviceBringsTheMessageAndTheFirstStaysInUse)
{
    emulated_device *zevrin = plug(zevrin_description());
    start();
    ASSERT_NO_FATAL_FAILURE(serve_read(zevrin, zevrin_config, zevrin_settings));
    ASSERT_TRUE(wait_rows(zevrin_rows, "Zevrin"));

    emulated_device *mini = plug(zevrin_mini_description());
    ASSERT_TRUE(expect_message_and_close(multiple_devices_text));
    unplug(mini);
    // Still the Zevrin: Read asks it, not the Mini, and its rows come back.
    ASSERT_TRUE(wait_rows(zevrin_rows, "Zevrin"));
    ASSERT_TRUE(click("push button", "Read"));
    ASSERT_NO_FATAL_FAILURE(serve_read(zevrin, zevrin_config, zevrin_settings));
    ASSERT_TRUE(wait_rows(zevrin_rows, "Zevrin"));
}

TEST_F(Program, BothModelsAtStartTakeTheZevrinAndTheOtherIsTakenWhenTheOneInUseLeaves)
{
    emulated_device *mini = plug(zevrin_mini_description());
    emulated_device *zevrin = plug(zevrin_description());
    start();
    ASSERT_NO_FATAL_FAILURE(serve_read(zevrin, zevrin_config, zevrin_settings));
    ASSERT_TRUE(expect_message_and_close(multiple_devices_text));
    ASSERT_TRUE(wait_rows(zevrin_rows, "Zevrin"));
    EXPECT_EQ(emulated_device_unread(mini), 0u); // the refused Mini was sent nothing

    // The Zevrin leaves: the Mini, still plugged in, is read and shown.
    unplug(zevrin);
    ASSERT_NO_FATAL_FAILURE(serve_read(mini, mini_config, mini_settings));
    ASSERT_TRUE(wait_rows(mini_rows, "Zevrin Mini"));

    // And the other way round: a Zevrin comes, is refused, and is read once the Mini leaves.
    zevrin = plug(zevrin_description());
    ASSERT_TRUE(expect_message_and_close(multiple_devices_text));
    unplug(mini);
    ASSERT_NO_FATAL_FAILURE(serve_read(zevrin, zevrin_config, zevrin_settings));
    ASSERT_TRUE(wait_rows(zevrin_rows, "Zevrin"));
}

TEST_F(Program, ASecondZevrinBringsTheMessageGetsNothingAndIsTakenWhenTheFirstLeaves)
{
    emulated_device *first = plug(zevrin_description());
    start();
    ASSERT_NO_FATAL_FAILURE(serve_read(first, zevrin_config, zevrin_settings));
    ASSERT_TRUE(wait_rows(zevrin_rows, "Zevrin"));

    emulated_device *second = plug(zevrin_description());
    ASSERT_TRUE(expect_message_and_close(multiple_devices_text));
    // Read asks the first one; the second one hears nothing.
    ASSERT_TRUE(click("push button", "Read"));
    ASSERT_NO_FATAL_FAILURE(serve_read(first, zevrin_config, zevrin_settings));
    ASSERT_TRUE(wait_rows(zevrin_rows, "Zevrin"));
    EXPECT_EQ(emulated_device_unread(second), 0u);

    unplug(first);
    std::vector<switch_config> other = zevrin_config;
    other[0] = {2, 0, 0, 1}; // joystick button 1
    ASSERT_NO_FATAL_FAILURE(serve_read(second, other, zevrin_settings));
    std::vector<row_view> rows = zevrin_rows;
    rows[0] = {"joystick", "Button 1", true};
    ASSERT_TRUE(wait_rows(rows, "Zevrin"));
}

TEST_F(Program, ABoxIsTakenUpWhenUdevIsDoneAndARuleAppliedLaterNeedsNoReplug)
{
    start(true, nullptr, {}, true);
    ASSERT_TRUE(wait_ui(disconnected, "the no-device state"));
    ASSERT_TRUE(wait_for_monitor());
    // The kernel has made the Zevrin's node, closed to the user; udev is not done with it yet.
    emulated_device *zevrin = plug(zevrin_description(), false);
    ASSERT_EQ(chmod(emulated_device_pty_path(zevrin), 0), 0);
    // A Mini arrives meanwhile: the rescan for it passes the Zevrin over, with no message.
    emulated_device *mini = plug(zevrin_mini_description());
    ASSERT_NO_FATAL_FAILURE(serve_read(mini, mini_config, mini_settings));
    ASSERT_TRUE(wait_rows(mini_rows, "Zevrin Mini"));
    EXPECT_EQ(ui().find("label", permission_text(zevrin)), nullptr);
    unplug(mini);
    ASSERT_TRUE(wait_ui(disconnected, "the no-device state after the Mini left"));

    // udev is done, and there is no rule for the box: the program says what to do.
    emulated_device_initialise(zevrin);
    ASSERT_TRUE(expect_message_and_close(permission_text(zevrin)));
    // The rule is installed and `udevadm trigger` applies it: the Zevrin is read as it is.
    ASSERT_EQ(chmod(emulated_device_pty_path(zevrin), 0600), 0);
    emulated_device_change(zevrin);
    ASSERT_NO_FATAL_FAILURE(serve_read(zevrin, zevrin_config, zevrin_settings));
    ASSERT_TRUE(wait_rows(zevrin_rows, "Zevrin"));
}

TEST_F(Program, ABoxWhoseNodeFailsIsDroppedThoughItIsStillListed)
{
    emulated_device *zevrin = plug(zevrin_description());
    start();
    ASSERT_NO_FATAL_FAILURE(serve_read(zevrin, zevrin_config, zevrin_settings));
    ASSERT_TRUE(wait_rows(zevrin_rows, "Zevrin"));
    emulated_device_hang_up(zevrin);
    ASSERT_TRUE(wait_ui(disconnected, "the no-device state after the node failed"));
}

TEST_F(Program, SecondStartPresentsTheFirstWindowAndEnds)
{
    emulated_device *zevrin = plug(zevrin_description());
    const GPid first = start();
    ASSERT_NO_FATAL_FAILURE(serve_read(zevrin, zevrin_config, zevrin_settings));
    ASSERT_TRUE(wait_rows(zevrin_rows, "Zevrin"));

    // Take the window off the screen; the second start must bring it back.
    const std::string window = visible_window(first);
    ASSERT_FALSE(window.empty());
    ASSERT_EQ(run({"xdotool", "windowunmap", "--sync", window}), 0);
    ASSERT_EQ(visible_window(first), "");

    const GPid second = start();
    EXPECT_EQ(wait_exit(second), 0);
    program = first;
    EXPECT_TRUE(running(first));
    // Back on the screen, still showing the device as it was.
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (visible_window(first) != window && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(visible_window(first), window);
    ASSERT_TRUE(wait_rows(zevrin_rows, "Zevrin"));
}

// A configuration file for a Zevrin Mini: Move left, Control+Space, "Constant (slow)", "25%".
const char *const pupil_file =
    "[Configuration]\nFormat=1\nModel=Zevrin Mini\nMouseSpeed=5;5;5\nMouseStretch=40;150\n"
    "JoystickDisplacement=32\n[Switch 1]\nKind=3\nCode=2\nModifiers=0\nAutoRelease=1\n"
    "[Switch 2]\nKind=1\nCode=44\nModifiers=1\nAutoRelease=0\n";
const std::vector<row_view> pupil_rows = {
    {"mouse", "Move left", false}, // AutoRelease=1 kept, the greyed-out box unticked
    {"keyboard", "Space", false, true, false, false},
};
const char *const pupil_shown =
    "The configuration of “pupil.zevrin” is shown. Click 'Write' to send it to the device.";

// `zevrin FILE` with a window already running: the file, named relative to where the second
// start runs, opens in that window, which marks it as changed; Write sends it to the box.
TEST_F(Program, AFileGivenToASecondStartOpensInTheRunningWindowAndWriteSendsIt)
{
    emulated_device *mini = plug(zevrin_mini_description());
    const GPid first = start();
    ASSERT_NO_FATAL_FAILURE(serve_read(mini, mini_config, mini_settings));
    ASSERT_TRUE(wait_rows(mini_rows, "Zevrin Mini"));
    ASSERT_TRUE(g_file_set_contents((work + "/pupil.zevrin").c_str(), pupil_file, -1, nullptr));

    const GPid second = start(true, nullptr, {}, false, {"pupil.zevrin"});
    EXPECT_EQ(wait_exit(second), 0);
    program = first;
    ASSERT_TRUE(expect_message_and_close(pupil_shown));
    ASSERT_TRUE(wait_rows(pupil_rows, "*Zevrin Mini"));
    EXPECT_EQ(ui().selected("Mouse speed"), "Constant (slow)");
    EXPECT_EQ(ui().selected("Joystick displacement"), "25%");

    ASSERT_TRUE(click("push button", "Write"));
    ASSERT_NO_FATAL_FAILURE(serve_write(mini, {
                                                  {0, 0x04, 0, 3, 2, 0, 1, 0, 0},
                                                  {0, 0x04, 1, 1, 0x2C, 1, 0, 0, 0},
                                                  {0, 0x07, 5, 5, 5, 40, 150, 32, 0},
                                                  {0, 0x08, 0, 0, 0, 0, 0, 0, 0},
                                              }));
    ASSERT_TRUE(expect_message_and_close("Configuration successfully written into the device."));
    ASSERT_TRUE(wait_rows(pupil_rows, "Zevrin Mini"));
}

// `zevrin FILE` as the first start: the file opens once the box has been read.
TEST_F(Program, AFileGivenAtStartOpensOnceTheBoxIsRead)
{
    emulated_device *mini = plug(zevrin_mini_description());
    ASSERT_TRUE(g_file_set_contents((work + "/pupil.zevrin").c_str(), pupil_file, -1, nullptr));
    start(true, nullptr, {}, false, {"pupil.zevrin"});
    ASSERT_NO_FATAL_FAILURE(serve_read(mini, mini_config, mini_settings));
    ASSERT_TRUE(expect_message_and_close(pupil_shown));
    ASSERT_TRUE(wait_rows(pupil_rows, "*Zevrin Mini"));
}

// `zevrin FILE` with no box: the file is shown for its model, Write unavailable; a box plugged
// in then is read, and the window asks which to keep; showing the box's rows replaces the file's.
TEST_F(Program, AFileGivenWithNoBoxIsShownAndABoxArrivingAsksWhichToKeep)
{
    ASSERT_TRUE(g_file_set_contents((work + "/pupil.zevrin").c_str(), pupil_file, -1, nullptr));
    start(true, nullptr, {}, false, {"pupil.zevrin"});
    ASSERT_TRUE(wait_ui(
        [&](const ui_snapshot &ui) {
            return ui.main_title() == "pupil.zevrin — Zevrin Mini (no device connected)" &&
                   ui.showing("combo box", "Switch 1 mouse action") && !ui.enabled("push button", "Write");
        },
        "the file shown with no box"));
    ASSERT_TRUE(wait_for_monitor());
    emulated_device *mini = plug(zevrin_mini_description());
    ASSERT_NO_FATAL_FAILURE(serve_read(mini, mini_config, mini_settings));
    const std::string question =
        "The connected Zevrin Mini holds another configuration than “pupil.zevrin”, which the window shows.";
    ASSERT_TRUE(wait_ui([&](const ui_snapshot &ui) { return ui.showing("label", question); }, "the question"));
    ASSERT_TRUE(click("push button", "Show what the device holds"));
    ASSERT_TRUE(wait_rows(mini_rows, "Zevrin Mini"));
}

// Box A is read and unplugged; box B answers only the settings request. Nothing of A is shown
// for B and nothing can be written into it, until a read of B is complete.
TEST_F(Program, BoxThatSendsOnlyItsSettingsAfterAnotherShowsNoRowsAndTakesNoWrite)
{
    start();
    ASSERT_TRUE(wait_for_monitor());
    emulated_device *a = plug(zevrin_description());
    const std::vector<switch_config> control_space(8, switch_config{1, 0x2C, 1, 0});
    ASSERT_NO_FATAL_FAILURE(serve_read(a, control_space, zevrin_settings));
    ASSERT_TRUE(wait_rows(std::vector<row_view>(8, {"keyboard", "Space", false, true}), "Zevrin"));
    unplug(a);
    ASSERT_TRUE(wait_ui(disconnected, "the no-device state after unplugging A"));

    emulated_device *b = plug(zevrin_description());
    bytes request;
    for (int i = 0; i < 8; i++) {
        ASSERT_NO_FATAL_FAILURE(receive(b, &request));
        ASSERT_EQ(hex(request), hex(read_switch_request(i)));
    }
    ASSERT_NO_FATAL_FAILURE(receive(b, &request));
    ASSERT_EQ(hex(request), hex(read_settings_request));
    const unsigned char settings_reply[8] = {0x0A, 0, 5, 18, 7, 40, 150, 115};
    emulated_device_send(b, settings_reply, sizeof settings_reply);
    const std::string no_configuration = "The device did not send its configuration. Please check the "
                                         "connection and read the configuration again.";
    ASSERT_TRUE(wait_ui(
        [&](const ui_snapshot &ui) {
            return ui.has_window("Zevrin") && ui.showing("push button", "Close") &&
                   ui.showing("label", no_configuration);
        },
        "the message that B sent no configuration"));
    ASSERT_TRUE(click("push button", "Close"));
    const ui_snapshot after = ui();
    EXPECT_EQ(after.main_title(), "Zevrin");
    EXPECT_TRUE(after.showing("label", no_configuration));
    EXPECT_FALSE(after.showing("icon", "Switch 1"));
    EXPECT_FALSE(after.showing("combo box", "Switch 1 key"));
    EXPECT_FALSE(after.enabled("push button", "Write"));
    EXPECT_TRUE(after.enabled("push button", "Read"));

    // Write does nothing; Read asks B again, and the next report B gets is that read's first.
    click("push button", "Write");
    ASSERT_TRUE(click("push button", "Read"));
    ASSERT_NO_FATAL_FAILURE(serve_read(b, zevrin_config, zevrin_settings));
    ASSERT_TRUE(wait_rows(zevrin_rows, "Zevrin"));
}

// "Restart now" after a change of language starts the program again, in that language.
TEST_F(Program, RestartNowStartsTheProgramAgainInTheChosenLanguage)
{
    // The catalogues, where a program started in its build directory finds them.
    const char *build_root = g_getenv("ZEVRIN_BUILD_ROOT");
    ASSERT_NE(build_root, nullptr);
    fs::create_directory_symlink(fs::path(build_root) / "locale", work + "/locale");
    start();
    ASSERT_TRUE(wait_ui(disconnected, "the no-device state"));
    ASSERT_TRUE(click("radio menu item", "Français"));
    ASSERT_TRUE(wait_ui(
        [](const ui_snapshot &ui) {
            return ui.showing("label", "You need to restart the application to apply this change");
        },
        "the restart message"));
    ASSERT_TRUE(click("push button", "Restart now"));
    ASSERT_TRUE(wait_ui([](const ui_snapshot &ui) { return ui.main_title() == "Zevrin (déconnecté)"; },
                        "the window again, in French"));
    EXPECT_TRUE(running(program));
}

TEST_F(Program, DemoDeviceIsReadAndKeepsWhatIsWritten)
{
    start(false, "mini");
    ASSERT_TRUE(
        wait_rows({{"mouse", "Left click", true}, {"keyboard", "Space", true}}, "Zevrin Mini (demo)"));
    ASSERT_TRUE(click("radio button", "Switch 1: joystick"));
    ASSERT_TRUE(select("Switch 1 joystick action", "Button 3"));
    ASSERT_TRUE(click("push button", "Write"));
    ASSERT_TRUE(expect_message_and_close("Configuration successfully written into the device."));

    // Defaults in the window, which differ from what the device holds; then Read, which asks
    // first: the rows show what the demo device kept.
    ASSERT_TRUE(click("menu item", "Set defaults"));
    ASSERT_TRUE(
        expect_message_and_close("Default configuration is shown. Click 'Write' to send it to the device."));
    ASSERT_TRUE(
        wait_rows({{"mouse", "Left click", true}, {"mouse", "Right click", true}}, "*Zevrin Mini (demo)"));
    ASSERT_TRUE(click("push button", "Read"));
    const std::string question = "The changes in the window have not been written into the device. "
                                 "Reading the configuration from the device discards them.";
    ASSERT_TRUE(wait_ui([&](const ui_snapshot &ui) { return ui.showing("label", question); }, question));
    ASSERT_TRUE(click("push button", "Discard"));
    ASSERT_TRUE(
        wait_rows({{"joystick", "Button 3", true}, {"keyboard", "Space", true}}, "Zevrin Mini (demo)"));
}

TEST_F(Program, DemoZevrinShowsItsEightSwitches)
{
    start(false, "zevrin");
    ASSERT_TRUE(wait_rows({{"mouse", "Left click", true},
                           {"mouse", "Right click", true},
                           {"mouse", "Double click", false},
                           {"keyboard", "Space", true},
                           {"keyboard", "Return", true, true, false, false},
                           {"joystick", "Button 1", true},
                           {"mouse", "Move up", false},
                           {"joystick", "Move left", false}},
                          "Zevrin (demo)"));
    EXPECT_EQ(ui().selected("Joystick displacement"), "75%");
}

// On a Wayland desktop the program runs as on X11 (here a headless weston of the test's own,
// with no X server in the program's reach) and is worked the same way.
TEST_F(Program, RunsUnderWaylandAsUnderX11)
{
    const std::string runtime = root + "/run";
    const std::string socket = "zevrin-test-wayland";
    std::vector<char *> argv = {const_cast<char *>("weston"),
                                const_cast<char *>("--backend=headless-backend.so"),
                                const_cast<char *>("--idle-time=0"), nullptr};
    const std::string socket_arg = "--socket=" + socket;
    argv.insert(argv.end() - 1, const_cast<char *>(socket_arg.c_str()));
    const int log = open((root + "/weston.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    GPid weston = 0;
    GError *error = nullptr;
    ASSERT_TRUE(g_spawn_async_with_fds(
        nullptr, argv.data(), env, static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD),
        nullptr, nullptr, &weston, -1, log, log, &error))
        << error->message;
    close(log);
    started.push_back(weston);
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!fs::exists(runtime + "/" + socket) && running(weston) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(fs::exists(runtime + "/" + socket)) << "weston did not start";

    start(false, "mini",
          {{"WAYLAND_DISPLAY", socket.c_str()}, {"GDK_BACKEND", "wayland"}, {"DISPLAY", nullptr}});
    ASSERT_TRUE(
        wait_rows({{"mouse", "Left click", true}, {"keyboard", "Space", true}}, "Zevrin Mini (demo)"));
    ASSERT_TRUE(click("radio button", "Switch 1: joystick"));
    ASSERT_TRUE(click("push button", "Write"));
    // The windows draw their own title bars here, each with a button named Close, so the message
    // is only looked at.
    const std::string written = "Configuration successfully written into the device.";
    ASSERT_TRUE(wait_ui([&](const ui_snapshot &ui) { return ui.showing("label", written); },
                        "the message \"" + written + "\""));
    ASSERT_TRUE(
        wait_rows({{"joystick", "Button 1", true}, {"keyboard", "Space", true}}, "Zevrin Mini (demo)"));
}

// The controls of the demo Zevrin's window in reading order, as the focus must visit them:
// each row's page buttons, its list ("-": a combo box's inner button has no accessible object
// of its own), the keyboard page's capture button and modifiers, the auto-release box where the
// action has one (greyed out, it takes no focus); then both settings lists and the buttons.
// With `any_name`, each control stands as "ROLE:*" (whatever the language), and with
// `generic` a row has its fourth page button.
std::vector<std::string> demo_zevrin_tab_order(bool any_name = false, bool generic = false)
{
    const bool keyboard[] = {false, false, false, true, true, false, false, false};
    const bool auto_release[] = {true, true, false, true, true, true, false, false};
    std::vector<std::string> order;
    auto add = [&](const std::string &role, const std::string &name) {
        order.push_back(role + ":" + (any_name ? "*" : name));
    };
    for (int n = 1; n <= 8; n++) {
        for (const char *page : {"mouse", "keyboard", "joystick", "generic event"})
            if (page[0] != 'g' || generic)
                add("radio button", sw(n, ": ") + page);
        order.push_back("-");
        if (keyboard[n - 1]) {
            add("push button", sw(n, ": choose the key by pressing it"));
            for (const char *modifier : {"Control", "Shift", "Alt"})
                add("check box", sw(n, ": ") + modifier);
        }
        if (auto_release[n - 1])
            add("check box", sw(n, ": auto-release"));
    }
    order.insert(order.end(), {"-", "-"});
    add("push button", "Undo changes");
    add("toggle button", "Test switches");
    for (const char *button : {"Read", "Write"})
        add("push button", button);
    return order;
}

TEST_F(Program, TabAndShiftTabVisitEveryControlInReadingOrderAndWrapAround)
{
    start(false, "zevrin");
    ASSERT_TRUE(
        wait_ui([](const ui_snapshot &ui) { return ready(ui, "Zevrin (demo)"); }, "the demo Zevrin ready"));
    const std::string window = visible_window(program);
    ASSERT_EQ(run({"xdotool", "windowfocus", "--sync", window}), 0);
    // The desktop finds the launcher and icon of the window by this name.
    std::string wm_class;
    run({"xprop", "-id", window, "WM_CLASS"}, &wm_class);
    EXPECT_EQ(wm_class, "WM_CLASS(STRING) = \"io.github.morvak.Zevrin\", \"io.github.morvak.Zevrin\"\n");
    // Forward from the start, once round and back to the first control; then the other way.
    const std::vector<std::string> order = demo_zevrin_tab_order();
    std::vector<std::string> args = {"keys", "Tab"};
    args.insert(args.end(), order.begin(), order.end());
    args.push_back(order.front());
    std::string out;
    EXPECT_EQ(driver_for_program(args, &out), 0) << out;
    args = {"keys", "shift+Tab"};
    args.insert(args.end(), order.rbegin(), order.rend());
    EXPECT_EQ(driver_for_program(args, &out), 0) << out;
}

// In both high-contrast themes and in the default look, as the screen shows them: a row's
// chosen kind stands out from the others, and the focus ring, on a chosen kind and on another,
// is at least two pixels wide, each changing by 3:1 or more with the focus, and stands out
// 3:1 from what is inside it.
TEST_F(Program, HighContrastShowsTheChosenKindAndTheFocusRingOnTheScreen)
{
    for (const char *theme : {"HighContrast", "HighContrastInverse", static_cast<const char *>(nullptr)}) {
        SCOPED_TRACE(theme != nullptr ? theme : "the default look");
        start(false, "mini", {{"GTK_THEME", theme}});
        ASSERT_TRUE(wait_ui([](const ui_snapshot &ui) { return ready(ui, "Zevrin Mini (demo)"); },
                            "the demo Zevrin Mini ready"));
        const std::string window = visible_window(program);
        ASSERT_EQ(run({"xdotool", "windowfocus", "--sync", window}), 0);
        ASSERT_EQ(run({"xdotool", "mousemove", "--sync", "0", "0"}), 0); // nothing under the pointer
        const std::string mouse = "Switch 1: mouse", keyboard = "Switch 1: keyboard";
        std::string out;
        picture on_mouse, on_keyboard;
        ASSERT_EQ(driver_for_program({"keys", "Tab", "radio button:" + mouse}, &out), 0) << out;
        ASSERT_TRUE(steady_picture(window, &on_mouse));
        ASSERT_EQ(driver_for_program({"keys", "Tab", "radio button:" + keyboard}, &out), 0) << out;
        ASSERT_TRUE(steady_picture(window, &on_keyboard));
        const box chosen = extents("radio button", mouse), other = extents("radio button", keyboard);
        ASSERT_GT(chosen.width, 20);
        const auto chosen_colour = on_keyboard.most_common(chosen.x, chosen.y, chosen.width, chosen.height);
        const auto other_colour = on_mouse.most_common(other.x, other.y, other.width, other.height);
        EXPECT_GE(contrast(chosen_colour, other_colour), 3.0);
        for (const bool on_chosen : {false, true}) {
            SCOPED_TRACE(on_chosen ? "the ring on the chosen kind" : "the ring on another kind");
            const ring_measure ring = on_chosen ? measure_ring(on_keyboard, on_mouse, chosen)
                                                : measure_ring(on_mouse, on_keyboard, other);
            EXPECT_GE(ring.width, 2);
            EXPECT_GE(ring.against_inside, 3.0);
        }
        kill(program, SIGTERM);
        wait_exit(program);
    }
}

// From the keyboard alone: Write, its message closed, and the focus is on Write again; Read,
// its question answered, and once the rows are read again the focus is on Read.
TEST_F(Program, TheFocusComesBackToWriteAndReadAfterTheirMessages)
{
    start(false, "mini");
    ASSERT_TRUE(wait_ui([](const ui_snapshot &ui) { return ready(ui, "Zevrin Mini (demo)"); },
                        "the demo Zevrin Mini ready"));
    const std::string window = visible_window(program);
    ASSERT_EQ(run({"xdotool", "windowfocus", "--sync", window}), 0);
    std::string out;
    ASSERT_EQ(driver_for_program({"keys", "shift+Tab", "push button:Write"}, &out), 0) << out;
    ASSERT_EQ(run({"xdotool", "key", "--clearmodifiers", "space"}), 0);
    ASSERT_TRUE(expect_message_and_close("Configuration successfully written into the device."));
    EXPECT_TRUE(wait_focus(window, "push button:Write"));

    ASSERT_TRUE(select("Switch 1 mouse action", "Right click"));
    ASSERT_TRUE(wait_ui([](const ui_snapshot &ui) { return ready(ui, "*Zevrin Mini (demo)"); }, "the change"));
    ASSERT_EQ(driver_for_program({"keys", "shift+Tab", "push button:Read"}, &out), 0) << out;
    ASSERT_EQ(run({"xdotool", "key", "--clearmodifiers", "space"}), 0);
    const std::string question = "The changes in the window have not been written into the device. "
                                 "Reading the configuration from the device discards them.";
    ASSERT_TRUE(wait_ui([&](const ui_snapshot &ui) { return ui.showing("label", question); }, question));
    ASSERT_TRUE(click("push button", "Discard"));
    ASSERT_TRUE(
        wait_rows({{"mouse", "Left click", true}, {"keyboard", "Space", true}}, "Zevrin Mini (demo)"));
    EXPECT_TRUE(wait_focus(window, "push button:Read"));
}

// The key capture from the keyboard alone: Tab in it is shown as the key, not taken, and Escape
// then leaves; Escape twice leaves too. The switch stays as it was, nothing is marked as
// changed, and the focus is back on the capture button.
TEST_F(Program, TheKeyCaptureIsLeftWithTheKeyboardAloneChangingNothing)
{
    start(false, "mini");
    ASSERT_TRUE(wait_ui([](const ui_snapshot &ui) { return ready(ui, "Zevrin Mini (demo)"); },
                        "the demo Zevrin Mini ready"));
    const std::string window = visible_window(program);
    ASSERT_EQ(run({"xdotool", "windowfocus", "--sync", window}), 0);
    const std::string capture = "push button:" + sw(2, ": choose the key by pressing it");
    std::string out;
    ASSERT_EQ(driver_for_program({"keys", "Tab", "radio button:Switch 1: mouse", "radio button:Switch 1: keyboard",
                                  "radio button:Switch 1: joystick", "-", "check box:Switch 1: auto-release",
                                  "radio button:Switch 2: mouse", "radio button:Switch 2: keyboard",
                                  "radio button:Switch 2: joystick", "-", capture},
                                 &out),
              0)
        << out;
    auto shown = [](const std::string &key) {
        return "Key: " + key + ". Press Return or “Use this key” to take it, another key to change it, or Escape to "
                               "leave the switch as it was.";
    };
    for (const std::vector<const char *> &keys :
         {std::vector<const char *>{"Tab", "Escape"}, std::vector<const char *>{"Escape", "Escape"}}) {
        SCOPED_TRACE(std::string(keys[0]) + ", " + keys[1]);
        ASSERT_EQ(run({"xdotool", "key", "--clearmodifiers", "Return"}), 0);
        ASSERT_TRUE(wait_ui([](const ui_snapshot &ui) { return ui.has_window("Switch 2"); }, "the capture dialog"));
        // A window manager gives the new window the focus.
        std::string dialog;
        run({"xdotool", "search", "--onlyvisible", "--name", "^Switch 2$"}, &dialog);
        ASSERT_EQ(run({"xdotool", "windowfocus", "--sync", dialog.substr(0, dialog.find('\n'))}), 0);
        ASSERT_EQ(run({"xdotool", "key", "--clearmodifiers", keys[0]}), 0);
        const std::string key = shown(std::string(keys[0]) == "Tab" ? "Tab" : "Esc");
        ASSERT_TRUE(wait_ui([&](const ui_snapshot &ui) { return ui.showing("label", key); }, key));
        ASSERT_EQ(run({"xdotool", "key", "--clearmodifiers", keys[1]}), 0);
        ASSERT_TRUE(wait_ui([](const ui_snapshot &ui) { return !ui.has_window("Switch 2"); }, "the dialog closed"));
        EXPECT_TRUE(
            wait_rows({{"mouse", "Left click", true}, {"keyboard", "Space", true}}, "Zevrin Mini (demo)"));
        EXPECT_TRUE(wait_focus(window, capture));
    }
}

// A small laptop screen, in every language, and in French (the longest texts) with the
// developer options on (a fourth page button in every row): the keyboard reaches every
// control, and each one is on the screen and scrolled into view when it has the focus.
class SmallScreen : public Program {};

TEST_F(SmallScreen, EveryControlIsReachableAndOnTheScreenAt1024x600InEveryLanguage)
{
    std::string geometry;
    ASSERT_EQ(run({"xdotool", "getdisplaygeometry"}, &geometry), 0);
    ASSERT_EQ(geometry, "1024 600\n") << "run this test on a 1024x600 screen";
    fs::create_directories(root + "/home/.config/zevrin");
    // From the build directory the program finds its catalogues in ./locale.
    fs::create_directory_symlink(fs::path(g_getenv("ZEVRIN_BUILD_ROOT")) / "locale", work + "/locale");
    struct language {
        const char *code, *write;
        bool dev_options;
    };
    for (const language &l : {language{"fr", "Écrire", true},
                              {"en", "Write", false},
                              {"es", "Escribir", false},
                              {"it", "Scrivi", false},
                              {"pt", "Escrever", false},
                              {"ca", "Escriu", false},
                              {"eu", "Idatzi", false}}) {
        SCOPED_TRACE(std::string(l.code) + (l.dev_options ? " with developer options" : ""));
        const std::string config = std::string("[language]\nlang=") + l.code +
                                   "\n[dev_options]\nshow_dev_options=" + (l.dev_options ? "true" : "false") +
                                   "\n";
        ASSERT_TRUE(
            g_file_set_contents((root + "/home/.config/zevrin/config").c_str(), config.c_str(), -1, nullptr));
        start(false, "zevrin");
        ASSERT_TRUE(wait_ui([&](const ui_snapshot &ui) { return ui.showing("push button", l.write); },
                            std::string("the demo Zevrin ready, in ") + l.code));
        // A screen reader is told what each control on the screen does: its tooltip.
        int described = 0;
        for (const ui_object &o : ui().objects) {
            if (o.showing && (o.role == "push button" || o.role == "radio button" || o.role == "check box" ||
                              o.role == "combo box")) {
                EXPECT_NE(o.description, "") << o.role << " " << o.name;
                described++;
            }
        }
        // At least three page buttons and a list in each row in view (six at least, some of them
        // on two lines), the two setting lists and the three command buttons.
        EXPECT_GE(described, 6 * 4 + 5);
        // As the window opens, before anything scrolls: every control that shows lies inside the
        // screen and the window, with no sideways scrolling to bring it into view.
        std::string layout;
        ASSERT_EQ(driver_for_program({"layout"}, &layout), 0) << layout;
        std::map<std::string, int> left_edge;
        int window_left = -1, window_right = -1;
        std::istringstream layout_lines(layout);
        for (std::string line; std::getline(layout_lines, line);) {
            const size_t name_end = line.find('\t', line.find('\t') + 1);
            int x = -1, y = -1, width = 0, height = 0;
            if (name_end == std::string::npos ||
                sscanf(line.c_str() + name_end, "%d %d %d %d", &x, &y, &width, &height) != 4)
                continue;
            const std::string control = line.substr(0, name_end);
            if (control.rfind("frame\t", 0) == 0) {
                window_left = x;
                window_right = x + width;
            }
            if (control.rfind("push button\t", 0) != 0 && control.rfind("radio button\t", 0) != 0 &&
                control.rfind("check box\t", 0) != 0 && control.rfind("combo box\t", 0) != 0)
                continue;
            EXPECT_TRUE(x >= 0 && x + width <= 1024) << line << ": outside the screen";
            EXPECT_TRUE(x >= window_left && x + width <= window_right)
                << line << ": outside the window (" << window_left << " to " << window_right << ")";
            left_edge[control] = x;
        }
        // The rows in view, two at least, the two setting lists and the three buttons.
        EXPECT_GE(left_edge.size(), 2u * 5 + 5) << layout;
        ASSERT_EQ(run({"xdotool", "windowfocus", "--sync", visible_window(program)}), 0);
        const std::vector<std::string> order = demo_zevrin_tab_order(true, l.dev_options);
        std::vector<std::string> args = {"keys", "Tab"};
        args.insert(args.end(), order.begin(), order.end());
        std::string out;
        ASSERT_EQ(driver_for_program(args, &out), 0) << out;
        // One line a step: ROLE, NAME, X Y WIDTH HEIGHT, shown or hidden; "-" for a list.
        std::istringstream lines(out);
        std::string line;
        int controls = 0;
        while (std::getline(lines, line)) {
            int x = -1, y = -1, width = 0, height = 0;
            char shown[8] = "";
            const size_t fields = line.find('\t', line.find('\t') + 1);
            if (line == "-" || fields == std::string::npos)
                continue;
            controls++;
            EXPECT_EQ(sscanf(line.c_str() + fields, "%d %d %d %d %7s", &x, &y, &width, &height, shown), 5);
            EXPECT_TRUE(x >= 0 && y >= 0 && x + width <= 1024 && y + height <= 600) << line;
            EXPECT_STREQ(shown, "shown") << line << ": has the focus but is scrolled out of view";
            // Taking the focus scrolls only up or down: the switch numbers stay in view.
            const auto opened_at = left_edge.find(line.substr(0, line.find('\t', line.find('\t') + 1)));
            if (opened_at != left_edge.end()) {
                EXPECT_EQ(x, opened_at->second) << line << ": the rows scrolled sideways";
            }
        }
        EXPECT_EQ(controls, static_cast<int>(order.size()) - 10); // all but the 10 lists
        EXPECT_NE(out.find(std::string("push button\t") + l.write + "\t"), std::string::npos);
        kill(program, SIGTERM);
        wait_exit(program);
    }
}

} // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc < 4) {
        fprintf(stderr, "usage: %s ZEVRIN ATSPI_DRIVER PYTHON\n", argv[0]);
        return 2;
    }
    zevrin_path = fs::absolute(argv[1]); // the program runs from another directory
    atspi_driver_path = fs::absolute(argv[2]);
    python_path = argv[3];
    return RUN_ALL_TESTS();
}
