// The configurator's benchmarks, measured side by side in one run, printed as one table.
//
//   zevrin_bench BUILD_DIR SOURCE_DIR [ROUNDS]
//   zevrin_bench --rescan [ROUNDS]      (the rescan cost alone; no X server needed)
//
// Needs an X server (DISPLAY; bench/run.sh starts one) and the umockdev preload
// (LD_PRELOAD=libumockdev-preload.so.0). Everything is measured from outside the programs:
// - start-up: from just before the process is started to the first damage (a drawing) of one of
//   its top-level windows, seen through the X DAMAGE extension; the configurator against
//   bench/minimal_gtk, which loads the same interface files and does nothing else;
// - peak memory: VmHWM of both, one second after their first frame;
// - plug-to-ready: a virtual Zevrin plugged in (umockdev, answered by a played device) to the
//   main window's last frame before it goes quiet, which shows the rows; against the moment the
//   device has answered the read's last request;
// - write: Write pressed in the window (its mnemonic, Alt+W, sent through the XTEST extension);
//   from the write's first report at the device to the first frame of the message that follows
//   the read-back; against the device's 500 ms after the end of write;
// - the switch test: a keyboard report of a virtual Zevrin's keyboard interface (the test
//   entered with Control+T) to the main window's first frame after it, which shows the row lit;
//   against one frame (16 ms);
// - the command line: `zevrin --export` and `zevrin --import` of the same virtual Zevrin, wall
//   time from start to exit; against `zevrin --version` and the device's 500 ms;
// - idle cost: with the device connected and read, context switches of every thread of the
//   program (/proc/PID/task/*/status) and its system calls (strace -f -c) over 10 s;
// - rescan cost: one rescan as the watcher makes it on a device arrival or removal (every
//   registration scanned) with 100 other hidraw devices present, in this process, against
//   hidapi's hid_enumerate over the same virtual devices. The watcher is the module's own; only
//   its hot-plug notices come from the harness, which so knows when the rescan is over.
// The programs run from a working directory of the harness's own, beside a link to the source's
// data and with a link to the build's catalogues, as from a build directory in the source tree.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xdamage.h>
#include <glib.h>
#include <hidapi.h>
#include <libudev.h>

#include "hid/hid_platform.h"
#include "hid/mhid.h"
#include "tests/fault/played_zevrin.h"
#include "tests/hid/emulated_device.h"

extern char **environ;

namespace {

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point t0)
{
    return std::chrono::duration<double, std::milli>(clock_type::now() - t0).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    if (v.empty())
        return NAN;
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

std::string temp_dir(const char *what)
{
    std::string pattern = std::string("zevrin-bench-") + what + "-XXXXXX";
    gchar *d = g_dir_make_tmp(pattern.c_str(), nullptr);
    std::string s = d;
    g_free(d);
    return s;
}

void remove_dir(const std::string &dir)
{
    const std::string rm = "rm -rf '" + dir + "'";
    if (system(rm.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", dir.c_str());
}

// The environment of a measured program: a private HOME and XDG directories, no accessibility
// bus, GSettings in memory, and the umockdev preload only when `mock_dir` is given.
std::vector<std::string> child_env(const std::string &home, const std::string &mock_dir)
{
    std::vector<std::string> env;
    for (char **e = environ; *e; e++) {
        std::string v = *e;
        for (const char *drop : {"LD_PRELOAD=", "UMOCKDEV_DIR=", "HOME=", "XDG_CONFIG_HOME=",
                                 "XDG_DATA_HOME=", "XDG_CACHE_HOME=", "XDG_STATE_HOME=", "XDG_RUNTIME_DIR="})
            if (v.rfind(drop, 0) == 0)
                v.clear();
        if (!v.empty())
            env.push_back(v);
    }
    for (const char *dir : {"config", "data", "cache", "state", "runtime"})
        g_mkdir_with_parents((home + "/" + dir).c_str(), 0700);
    env.push_back("HOME=" + home);
    env.push_back("XDG_CONFIG_HOME=" + home + "/config");
    env.push_back("XDG_DATA_HOME=" + home + "/data");
    env.push_back("XDG_CACHE_HOME=" + home + "/cache");
    env.push_back("XDG_STATE_HOME=" + home + "/state");
    env.push_back("XDG_RUNTIME_DIR=" + home + "/runtime");
    env.push_back("NO_AT_BRIDGE=1");
    env.push_back("GSETTINGS_BACKEND=memory");
    if (!mock_dir.empty()) {
        env.push_back("LD_PRELOAD=libumockdev-preload.so.0");
        env.push_back("UMOCKDEV_DIR=" + mock_dir);
    }
    return env;
}

pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env, const std::string &cwd,
            bool quiet = false)
{
    std::vector<char *> a, e;
    for (const auto &s : argv)
        a.push_back(const_cast<char *>(s.c_str()));
    a.push_back(nullptr);
    for (const auto &s : env)
        e.push_back(const_cast<char *>(s.c_str()));
    e.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0)
            _exit(126);
        if (quiet) {
            const int null = open("/dev/null", O_WRONLY);
            if (null < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0)
                _exit(126);
        }
        execve(a[0], a.data(), e.data());
        _exit(127);
    }
    return pid;
}

void stop(pid_t pid)
{
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
}

long status_field(pid_t pid, const char *task, const char *field)
{
    std::string path = "/proc/" + std::to_string(pid) + (task ? std::string("/task/") + task : std::string()) + "/status";
    std::ifstream in(path);
    std::string line;
    const size_t n = strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':')
            return atol(line.c_str() + n + 1);
    return -1;
}

// Input-only windows cannot be watched for drawing, and a window can be gone before we look at
// it: such requests fail, and that is all.
int ignore_x_error(Display *, XErrorEvent *)
{
    return 0;
}

// The X side: top-level windows of the programs as they are created, drawn and renamed.
struct x_watch {
    Display *dpy = nullptr;
    int damage_event = 0;
    std::map<Window, Damage> damage_of;  // the windows watched since their creation
    Atom net_wm_name = None;
    Atom utf8 = None;

    bool open()
    {
        dpy = XOpenDisplay(nullptr);
        XSetErrorHandler(ignore_x_error);
        int damage_error = 0;
        if (!dpy || !XDamageQueryExtension(dpy, &damage_event, &damage_error))
            return false;
        net_wm_name = XInternAtom(dpy, "_NET_WM_NAME", False);
        utf8 = XInternAtom(dpy, "UTF8_STRING", False);
        XSelectInput(dpy, DefaultRootWindow(dpy), SubstructureNotifyMask);
        XSync(dpy, False);
        return true;
    }

    // Drops whatever is queued from earlier programs.
    void flush()
    {
        XSync(dpy, False);
        while (XPending(dpy)) {
            XEvent ev;
            XNextEvent(dpy, &ev);
        }
    }

    std::string title(Window w)
    {
        Atom type;
        int format;
        unsigned long n, after;
        unsigned char *data = nullptr;
        std::string s;
        if (XGetWindowProperty(dpy, w, net_wm_name, 0, 1024, False, utf8, &type, &format, &n, &after, &data) == Success &&
            data) {
            s.assign(reinterpret_cast<char *>(data), n);
            XFree(data);
        }
        return s;
    }

    // Waits for the next event up to `limit_ms`; false on time-out.
    bool next(XEvent *ev, int limit_ms)
    {
        auto t0 = clock_type::now();
        while (!XPending(dpy)) {
            int left = limit_ms - static_cast<int>(ms_since(t0));
            if (left <= 0)
                return false;
            pollfd p = {ConnectionNumber(dpy), POLLIN, 0};
            poll(&p, 1, left);
        }
        XNextEvent(dpy, ev);
        return true;
    }

    // Until a top-level window created since the last flush is drawn for the first time; that
    // window, or None on time-out.
    Window first_frame(int limit_ms)
    {
        XEvent ev;
        auto t0 = clock_type::now();
        while (ms_since(t0) < limit_ms && next(&ev, limit_ms)) {
            if (ev.type == CreateNotify && ev.xcreatewindow.parent == DefaultRootWindow(dpy)) {
                Window w = ev.xcreatewindow.window;
                damage_of[w] = XDamageCreate(dpy, w, XDamageReportNonEmpty);
                XSelectInput(dpy, w, PropertyChangeMask | StructureNotifyMask);
                XSync(dpy, False);
            } else if (ev.type == damage_event + XDamageNotify) {
                return reinterpret_cast<XDamageNotifyEvent *>(&ev)->drawable;
            }
        }
        return None;
    }

    struct size {
        int width = 0, height = 0;
        bool operator==(const size &) const = default;
    };

    size size_of(Window w)
    {
        XWindowAttributes a;
        if (!XGetWindowAttributes(dpy, w, &a))
            return {};
        return {a.width, a.height};
    }

    // Makes the next drawing into `w` report again.
    bool rearm(Window w)
    {
        auto damage = damage_of.find(w);
        if (damage == damage_of.end())
            return false;
        XDamageSubtract(dpy, damage->second, None, None);
        return true;
    }

    // From a plug at `t0`: until the title of `w` reads `title`, then until `w` has drawn nothing
    // for `pause_ms`. The time of the title (the device connected, its read begun) goes into
    // `connected_ms`; returns the time of the last frame drawn after it (the read has ended and
    // the rows show: the program draws nothing more until something happens), or NAN on time-out.
    double shown_after_plug(Window w, const std::string &title_wanted, clock_type::time_point t0, int pause_ms,
                            int limit_ms, double *connected_ms)
    {
        *connected_ms = NAN;
        if (!rearm(w))
            return NAN;
        double last_frame_ms = NAN;
        if (title(w) == title_wanted)
            *connected_ms = last_frame_ms = ms_since(t0);
        XEvent ev;
        while (ms_since(t0) < limit_ms) {
            const double quiet_from = std::isnan(last_frame_ms) ? ms_since(t0) : last_frame_ms;
            const int wait_ms = std::isnan(*connected_ms) ? limit_ms : pause_ms - static_cast<int>(ms_since(t0) - quiet_from);
            if (!std::isnan(*connected_ms) && wait_ms <= 0)
                return last_frame_ms;
            if (!next(&ev, std::max(wait_ms, 1)))
                continue;
            if (ev.type == PropertyNotify && ev.xproperty.window == w && ev.xproperty.atom == net_wm_name &&
                std::isnan(*connected_ms) && title(w) == title_wanted) {
                *connected_ms = last_frame_ms = ms_since(t0);
            } else if (ev.type == damage_event + XDamageNotify &&
                       reinterpret_cast<XDamageNotifyEvent *>(&ev)->drawable == w) {
                rearm(w);
                if (!std::isnan(*connected_ms))
                    last_frame_ms = ms_since(t0);
            }
        }
        return NAN;
    }

    // Until a top-level window created from now on is drawn for the first time; that window, or
    // None on time-out. Drawing in the windows that were there before does not count.
    Window new_window_frame(int limit_ms)
    {
        XEvent ev;
        std::map<Window, bool> created;
        auto t0 = clock_type::now();
        while (ms_since(t0) < limit_ms && next(&ev, limit_ms - static_cast<int>(ms_since(t0)))) {
            if (ev.type == CreateNotify && ev.xcreatewindow.parent == DefaultRootWindow(dpy)) {
                Window w = ev.xcreatewindow.window;
                damage_of[w] = XDamageCreate(dpy, w, XDamageReportNonEmpty);
                XSelectInput(dpy, w, PropertyChangeMask | StructureNotifyMask);
                XSync(dpy, False);
                created[w] = true;
            } else if (ev.type == damage_event + XDamageNotify) {
                Window w = reinterpret_cast<XDamageNotifyEvent *>(&ev)->drawable;
                if (created.count(w))
                    return w;
                rearm(w);
            }
        }
        return None;
    }

    // Presses `key` with `modifier` (Alt for a mnemonic, Control for a shortcut) in `w`, as a
    // person would: the keyboard goes to `w` and the key events come from the XTEST extension. A
    // button pressed so is clicked when the key is let go (or 250 ms after the press, when the
    // toolkit sees no release), as with the mouse: returns when the key has been let go.
    clock_type::time_point press_with(Window w, KeySym modifier, KeySym key)
    {
        XSetInputFocus(dpy, w, RevertToPointerRoot, CurrentTime);
        const KeyCode mod = XKeysymToKeycode(dpy, modifier), k = XKeysymToKeycode(dpy, key);
        XTestFakeKeyEvent(dpy, mod, True, CurrentTime);
        XTestFakeKeyEvent(dpy, k, True, CurrentTime);
        XSync(dpy, False);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        XTestFakeKeyEvent(dpy, k, False, CurrentTime);
        XSync(dpy, False);
        const auto released = clock_type::now();
        XTestFakeKeyEvent(dpy, mod, False, CurrentTime);
        XFlush(dpy);
        return released;
    }

    // Until `w` has drawn nothing for `quiet_ms`, then armed: the next drawing into it reports.
    void quiet(Window w, int quiet_ms)
    {
        XEvent ev;
        rearm(w);
        while (next(&ev, quiet_ms))
            if (ev.type == damage_event + XDamageNotify)
                rearm(w);
        XSync(dpy, False);
    }

    // From `t0`: the time to the next drawing into `w` (armed by quiet()), or NAN on time-out.
    double next_frame(Window w, clock_type::time_point t0, int limit_ms)
    {
        XEvent ev;
        while (ms_since(t0) < limit_ms && next(&ev, limit_ms - static_cast<int>(ms_since(t0))))
            if (ev.type == damage_event + XDamageNotify && reinterpret_cast<XDamageNotifyEvent *>(&ev)->drawable == w)
                return ms_since(t0);
        return NAN;
    }

    // Closes `w` as a window manager's close button does (WM_DELETE_WINDOW), and waits until it
    // is gone.
    bool close(Window w, int limit_ms)
    {
        XEvent msg{};
        msg.xclient.type = ClientMessage;
        msg.xclient.window = w;
        msg.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
        msg.xclient.format = 32;
        msg.xclient.data.l[0] = static_cast<long>(XInternAtom(dpy, "WM_DELETE_WINDOW", False));
        msg.xclient.data.l[1] = CurrentTime;
        XSendEvent(dpy, w, False, NoEventMask, &msg);
        XFlush(dpy);
        XEvent ev;
        auto t0 = clock_type::now();
        while (ms_since(t0) < limit_ms && next(&ev, limit_ms - static_cast<int>(ms_since(t0))))
            if ((ev.type == DestroyNotify && ev.xdestroywindow.window == w) ||
                (ev.type == UnmapNotify && ev.xunmap.window == w))
                return true;
        return false;
    }

    // Until nothing has changed the size of `w` for `quiet_ms`; its size then.
    size settled_size(Window w, int quiet_ms)
    {
        XEvent ev;
        while (next(&ev, quiet_ms)) {
        }
        return size_of(w);
    }

    // Until the title of `w` reads `want`.
    bool title_becomes(Window w, const std::string &want, int limit_ms)
    {
        XEvent ev;
        auto t0 = clock_type::now();
        if (title(w) == want)
            return true;
        while (ms_since(t0) < limit_ms && next(&ev, limit_ms)) {
            if (ev.type == PropertyNotify && ev.xproperty.window == w && ev.xproperty.atom == net_wm_name &&
                title(w) == want)
                return true;
        }
        return false;
    }
};

struct startup_result {
    double first_frame_ms = NAN;
    long peak_kb = -1;
};

startup_result measure_startup(x_watch &x, const std::vector<std::string> &argv, const std::string &cwd)
{
    startup_result r;
    std::string home = temp_dir("home");
    auto env = child_env(home, "");
    x.flush();
    auto t0 = clock_type::now();
    pid_t pid = spawn(argv, env, cwd);
    if (x.first_frame(20000) != None)
        r.first_frame_ms = ms_since(t0);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    r.peak_kb = status_field(pid, nullptr, "VmHWM");
    stop(pid);
    remove_dir(home);
    return r;
}

// Per thread (by tid): name and voluntary + involuntary context switches.
std::map<std::string, std::pair<std::string, long>> switches(pid_t pid)
{
    std::map<std::string, std::pair<std::string, long>> out;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(dir.c_str());
    while (dirent *e = d ? readdir(d) : nullptr) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream comm(dir + "/" + e->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        long n = status_field(pid, e->d_name, "voluntary_ctxt_switches") +
                 status_field(pid, e->d_name, "nonvoluntary_ctxt_switches");
        out[e->d_name] = {name, n};
    }
    if (d)
        closedir(d);
    return out;
}

struct plug_result {
    std::vector<double> ready_ms;
    std::vector<double> connected_ms;  // to the title naming the model: connected, read begun
    std::vector<double> settings_request_ms;  // to the read's last request reaching the device
    long idle_switches = -1;
    std::string idle_detail;
    long idle_syscalls = -1;
    std::string syscall_detail;
    std::string sizes;
    // Write in the window, to the message after the read-back; and how many of the writes were
    // read back (the device was asked for its configuration again after the end of write).
    std::vector<double> write_ms;
    // From the key let go: to the write's first report, its end and the read-back's last
    // request at the device. The write itself is timed from its first report.
    std::vector<double> first_report_ms;
    std::vector<double> end_of_write_ms;
    std::vector<double> message_ms;
    std::vector<double> read_back_request_ms;
    int writes_read_back = 0;
};

// Longer than the gaps between the frames of a read or of a change of the window's size.
constexpr int ready_pause_ms = 300;

// Whether the device was asked for its settings after an end of write: the write was read back.
bool read_back(played_zevrin &z)
{
    std::lock_guard lock(z.mutex);
    bool ended = false;
    for (const report9 &r : z.received) {
        ended |= r[1] == 0x08;
        if (ended && r[1] == 0x09 && r[2] == 0x01)
            return true;
    }
    return false;
}

// Presses Write in the window `w` (connected to `z`, its configuration read) `rounds` times; the
// time to the first frame of the message that follows, which is closed before the next round.
void measure_write(x_watch &x, Window w, played_zevrin &z, int rounds, plug_result &r)
{
    for (int i = 0; i < rounds; i++) {
        x.settled_size(w, ready_pause_ms);
        x.flush();
        {
            std::lock_guard lock(z.mutex);
            z.received.clear();
        }
        const auto t0 = x.press_with(w, XK_Alt_L, XK_w);
        // The write's first report and its end, as the device sees them (the X events wait
        // meanwhile; they are taken with their times below).
        double first_report = NAN;
        for (bool ended = false; !ended && ms_since(t0) < 5000;) {
            {
                std::lock_guard lock(z.mutex);
                for (const report9 &rep : z.received)
                    ended |= rep[1] == 0x08;
                if (std::isnan(first_report) && !z.received.empty())
                    first_report = ms_since(t0);
            }
            if (ended)
                r.end_of_write_ms.push_back(ms_since(t0));
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const Window message = x.new_window_frame(20000);
        if (message == None || std::isnan(first_report)) {
            fprintf(stderr, "write: no message came after Write\n");
            return;
        }
        r.first_report_ms.push_back(first_report);
        r.write_ms.push_back(ms_since(t0) - first_report);
        r.message_ms.push_back(ms_since(t0));
        {
            std::lock_guard lock(z.mutex);
            r.read_back_request_ms.push_back(
                std::chrono::duration<double, std::milli>(z.settings_request_at - t0).count());
        }
        r.writes_read_back += read_back(z) ? 1 : 0;
        if (!x.close(message, 20000)) {
            fprintf(stderr, "write: the message did not close\n");
            return;
        }
    }
}

plug_result measure_plug(x_watch &x, const std::string &build, const std::string &work, int rounds)
{
    plug_result r;
    UMockdevTestbed *testbed = emulated_testbed_new();
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    std::string mock_dir = root;
    g_free(root);
    std::string home = temp_dir("home");
    auto env = child_env(home, mock_dir);
    x.flush();
    pid_t pid = spawn({build + "/zevrin"}, env, work);
    Window w = x.first_frame(20000);
    if (w == None || !x.title_becomes(w, "Zevrin (disconnected)", 20000)) {
        fprintf(stderr, "plug-to-ready: the program's window did not come up\n");
        stop(pid);
        emulated_testbed_free(testbed);
        return r;
    }
    // The program's hot-plug monitor exists once the preload has made its event socket.
    for (int i = 0; i < 2000; i++) {
        bool found = false;
        if (DIR *d = opendir(mock_dir.c_str())) {
            while (dirent *e = readdir(d))
                found |= strncmp(e->d_name, "event", 5) == 0;
            closedir(d);
        }
        if (found)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // The window's title names the model as soon as the device is connected, while the read is
    // still running; the configuration rows appear only when the read has ended, in the frame
    // drawn after the read's final wait. A first, unmeasured plug shows the window's sizes.
    x_watch::size reading_size, ready_size;
    {
        auto *z = new played_zevrin(testbed, zevrin_description());
        z->start();
        x.title_becomes(w, "Zevrin", 20000);
        reading_size = x.size_of(w);
        ready_size = x.settled_size(w, 1500);
        delete z;
        x.title_becomes(w, "Zevrin (disconnected)", 20000);
        x.settled_size(w, 300);
    }
    r.sizes = std::to_string(reading_size.width) + "x" + std::to_string(reading_size.height) + " while reading, " +
              std::to_string(ready_size.width) + "x" + std::to_string(ready_size.height) + " when shown";
    for (int i = 0; i < rounds; i++) {
        auto t0 = clock_type::now();
        auto *z = new played_zevrin(testbed, zevrin_description());
        z->start();
        double connected = NAN;
        const double ready = x.shown_after_plug(w, "Zevrin", t0, ready_pause_ms, 20000, &connected);
        if (!std::isnan(connected))
            r.connected_ms.push_back(connected);
        if (!std::isnan(ready)) {
            r.ready_ms.push_back(ready);
            // The played device answers at once: its answer to the last request is the moment
            // the read has all it needs.
            std::lock_guard lock(z->mutex);
            r.settings_request_ms.push_back(
                std::chrono::duration<double, std::milli>(z->settings_request_at - t0).count());
        }
        if (i + 1 < rounds) {
            delete z;
            x.title_becomes(w, "Zevrin (disconnected)", 20000);
            x.settled_size(w, 300);
            continue;
        }
        // Idle: connected, read, nothing happening.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::string strace_out = home + "/strace.txt";
        // BENCH_STRACE_LOG=FILE: a timed log of every call instead of the summary, to see what
        // woke the program up.
        const char *log = g_getenv("BENCH_STRACE_LOG");
        if (log != nullptr)
            strace_out = log;
        std::vector<std::string> strace_argv = {"/usr/bin/strace", "-f", log ? "-tt" : "-c", "-o", strace_out,
                                                "-p", std::to_string(pid)};
        std::vector<std::string> strace_env;
        for (char **e = environ; *e; e++)
            if (strncmp(*e, "LD_PRELOAD=", 11) != 0)
                strace_env.push_back(*e);
        pid_t tracer = spawn(strace_argv, strace_env, "/");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // attached to every thread
        auto before = switches(pid);
        std::this_thread::sleep_for(std::chrono::seconds(10));
        auto after = switches(pid);
        kill(tracer, SIGINT);
        waitpid(tracer, nullptr, 0);
        r.idle_switches = 0;
        std::map<std::string, long> per_name;
        for (const auto &[tid, v] : after) {
            auto b = before.find(tid);
            long delta = v.second - (b == before.end() ? 0 : b->second.second);
            r.idle_switches += delta;
            per_name[v.first] += delta;
        }
        for (const auto &[name, n] : per_name)
            r.idle_detail += (r.idle_detail.empty() ? "" : ", ") + name + " " + std::to_string(n);
        std::ifstream in(strace_out);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream words(line);
            std::vector<std::string> f;
            for (std::string s; words >> s;)
                f.push_back(s);
            if (f.size() >= 5 && f.back() == "total")
                r.idle_syscalls = atol(f[3].c_str());
            else if (f.size() >= 5 && isdigit(static_cast<unsigned char>(f[0][0])) && f.back() != "total")
                r.syscall_detail += (r.syscall_detail.empty() ? "" : ", ") + f.back() + " " + f[3];
        }
        if (r.idle_syscalls < 0)
            r.idle_syscalls = 0;  // strace prints no table when nothing was called
        // Write, once idle has been measured.
        measure_write(x, w, *z, rounds, r);
        delete z;
    }
    stop(pid);
    emulated_testbed_free(testbed);
    remove_dir(home);
    return r;
}

struct test_result {
    // From a keyboard report written to the box's keyboard interface to the first frame of the
    // main window after it (the row lit, or no longer lit), and to the last frame of that change.
    std::vector<double> lit_ms, lit_last_ms, unlit_ms;
    int missed = 0;  // reports after which the window drew nothing
};

// The window's switch test on a virtual Zevrin with its keyboard, mouse and joystick
// interfaces: the test entered with its shortcut (Control+T), then switch 1 (the letter A, as
// the played device holds it) pressed and released `rounds` times by keyboard reports.
test_result measure_switch_test(x_watch &x, const std::string &build, const std::string &work, int rounds)
{
    test_result r;
    UMockdevTestbed *testbed = emulated_testbed_new();
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    std::string home = temp_dir("home");
    auto env = child_env(home, root);
    g_free(root);
    x.flush();
    pid_t pid = spawn({build + "/zevrin"}, env, work);
    Window w = x.first_frame(20000);
    emulated_composite *box = nullptr;
    std::unique_ptr<played_zevrin> z;
    if (w != None && x.title_becomes(w, "Zevrin (disconnected)", 20000) && emulated_testbed_wait_for_listener(testbed)) {
        box = emulated_composite_plug(testbed, zevrin_composite_description());
        z = std::make_unique<played_zevrin>(emulated_composite_interface(box, 0));
        z->start();
    }
    if (z == nullptr || !x.title_becomes(w, "Zevrin", 20000)) {
        fprintf(stderr, "switch test: the box was not connected\n");
    } else {
        x.settled_size(w, 1000);
        x.press_with(w, XK_Control_L, XK_t);
        emulated_device *keyboard = emulated_composite_interface(box, 1);
        const unsigned char press[8] = {0, 0, 0x04, 0, 0, 0, 0, 0}, release[8] = {};
        for (int i = 0; i < rounds; i++) {
            x.quiet(w, ready_pause_ms);
            auto t0 = clock_type::now();
            emulated_device_send(keyboard, press, sizeof press);
            const double lit = x.next_frame(w, t0, 2000);
            if (std::isnan(lit)) {
                r.missed++;
                continue;
            }
            r.lit_ms.push_back(lit);
            // The rest of the change: every frame until the window has drawn nothing for 100 ms.
            double last = lit;
            x.rearm(w);
            for (double later; !std::isnan(later = x.next_frame(w, t0, static_cast<int>(last) + 100)); last = later)
                x.rearm(w);
            r.lit_last_ms.push_back(last);
            x.quiet(w, ready_pause_ms);
            t0 = clock_type::now();
            emulated_device_send(keyboard, release, sizeof release);
            const double unlit = x.next_frame(w, t0, 2000);
            if (std::isnan(unlit))
                r.missed++;
            else
                r.unlit_ms.push_back(unlit);
        }
    }
    z.reset();
    if (box != nullptr)
        emulated_composite_unplug(box);
    stop(pid);
    emulated_testbed_free(testbed);
    remove_dir(home);
    return r;
}

struct cli_result {
    std::vector<double> version_ms, export_ms, import_ms;
    int failed = 0;  // runs that did not exit with status 0
};

// One run of the program with `args` to its end; its wall time, or NAN when it did not exit with
// status 0.
double timed_run(const std::string &build, const std::string &work, const std::vector<std::string> &args,
                 const std::vector<std::string> &env)
{
    std::vector<std::string> argv = {build + "/zevrin"};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto t0 = clock_type::now();
    const pid_t pid = spawn(argv, env, work, true);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return NAN;
    const double ms = ms_since(t0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return ms;
    fprintf(stderr, "zevrin %s: exit status %d\n", args.front().c_str(), WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return NAN;
}

// The command line against one virtual Zevrin, no window running: `--version` (the program's
// start and end alone), `--export` and `--import` of what was exported, in turn.
cli_result measure_cli(const std::string &build, const std::string &work, int rounds)
{
    cli_result r;
    UMockdevTestbed *testbed = emulated_testbed_new();
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    std::string mock_dir = root;
    g_free(root);
    std::string home = temp_dir("home");
    auto env = child_env(home, mock_dir);
    auto *z = new played_zevrin(testbed, zevrin_description());
    z->start();
    const std::string file = home + "/box.zevrin";
    auto add = [&r](std::vector<double> &to, double ms) {
        if (std::isnan(ms))
            r.failed++;
        else
            to.push_back(ms);
    };
    add(r.export_ms, timed_run(build, work, {"--export", file}, env));  // warm the caches
    r.export_ms.clear();
    r.failed = 0;
    for (int i = 0; i < rounds; i++) {
        add(r.version_ms, timed_run(build, work, {"--version"}, env));
        add(r.export_ms, timed_run(build, work, {"--export", file}, env));
        add(r.import_ms, timed_run(build, work, {"--import", file}, env));
    }
    delete z;
    emulated_testbed_free(testbed);
    remove_dir(home);
    return r;
}

// The emulated hid devices carry their properties in the udev database only; the kernel also
// shows them in the device's "uevent" file, which is what hidapi reads. Gives every hid device of
// the testbed that file, so that hidapi lists the same devices as the kernel would let it.
void add_uevent_files(UMockdevTestbed *testbed)
{
    udev *u = udev_new();
    udev_enumerate *e = udev_enumerate_new(u);
    udev_enumerate_add_match_subsystem(e, "hidraw");
    udev_enumerate_scan_devices(e);
    udev_list_entry *entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
        udev_device *raw = udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
        udev_device *hid = raw ? udev_device_get_parent_with_subsystem_devtype(raw, "hid", nullptr) : nullptr;
        if (hid != nullptr) {
            auto prop = [hid](const char *name) {
                const char *v = udev_device_get_property_value(hid, name);
                return std::string(v ? v : "");
            };
            std::string text = "DRIVER=hid-generic\nHID_ID=" + prop("HID_ID") + "\nHID_NAME=" + prop("HID_NAME") +
                               "\nHID_PHYS=usb-0000:00:14.0-1/input0\nHID_UNIQ=\n";
            umockdev_testbed_set_attribute(testbed, udev_device_get_syspath(hid), "uevent", text.c_str());
        }
        if (raw)
            udev_device_unref(raw);
    }
    udev_enumerate_unref(e);
    udev_unref(u);
}

void no_connected(void *, int) {}
void no_report(void *, int, unsigned char *, int) {}

// The watcher's rescan, set off by hand: the real Linux layer, except that the hot-plug notices
// come from a pipe of the harness's own. One byte written is one arrival; the watcher has
// finished with it when it finds no further notice waiting.
namespace trigger {

std::mutex mutex;
std::condition_variable changed;
int pipe_fds[2] = {-1, -1};
int sent = 0;
int done = 0;

hid_monitor *monitor_new()
{
    if (pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return nullptr;
    return reinterpret_cast<hid_monitor *>(pipe_fds);
}

int monitor_fd(hid_monitor *)
{
    return pipe_fds[0];
}

hid_monitor_event monitor_next_event(hid_monitor *)
{
    bool none;
    {
        // Under the mutex: a byte is written under it too, so "none" is never taken from before a
        // byte that is already counted as sent.
        std::lock_guard lock(mutex);
        char byte;
        none = read(pipe_fds[0], &byte, 1) != 1;
        if (none)
            done = sent;
    }
    if (none)
        changed.notify_all();
    return none ? hid_monitor_none : hid_monitor_rescan;
}

void monitor_free(hid_monitor *)
{
    close(pipe_fds[0]);
    close(pipe_fds[1]);
}

hid_platform layer()
{
    hid_platform p = *hid_linux_platform();
    p.monitor_new = monitor_new;
    p.monitor_fd = monitor_fd;
    p.monitor_next_event = monitor_next_event;
    p.monitor_free = monitor_free;
    return p;
}
const hid_platform platform = layer();

// One arrival; returns once the watcher has rescanned every registration for it.
bool rescan()
{
    std::unique_lock lock(mutex);
    sent++;
    if (write(pipe_fds[1], "x", 1) != 1)
        return false;
    return changed.wait_for(lock, std::chrono::seconds(60), [] { return done == sent; });
}

}  // namespace trigger

struct rescan_result {
    double ours_ms = NAN;        // one rescan: every registration scanned, as on a device event
    double ours_list_ms = NAN;   // one listing of every present HID interface, descriptors read
    double hidapi_ms = NAN;
    size_t listed = 0;
    size_t hidapi_listed = 0;
};

rescan_result measure_rescan(int others, int rounds)
{
    rescan_result r;
    UMockdevTestbed *testbed = emulated_testbed_new();
    std::vector<emulated_device *> nodes;
    for (int i = 0; i < others; i++)
        nodes.push_back(emulated_device_plug(testbed, mouse_description()));
    nodes.push_back(emulated_device_plug(testbed, zevrin_description()));
    add_uevent_files(testbed);

    mhid_use_platform(&trigger::platform);
    mhid_init();
    int zevrin = mhid_add_device(0xEE50, 0x0102, 0xFF00, 9, 9);
    int mini = mhid_add_device(0xEE50, 0x0103, 0xFF00, 9, 9);
    // Binds the Zevrin; the watcher's rescans find it bound and keep it.
    mhid_set_callbacks(zevrin, no_connected, nullptr, no_connected, nullptr, no_report, nullptr);
    mhid_set_callbacks(mini, no_connected, nullptr, no_connected, nullptr, no_report, nullptr);
    hid_init();
    std::vector<double> ours, list, theirs;
    for (int i = 0; i < rounds; i++) {
        auto t0 = clock_type::now();
        if (!trigger::rescan()) {
            fprintf(stderr, "the watcher did not rescan\n");
            break;
        }
        ours.push_back(ms_since(t0));
        std::vector<hid_interface_info> present;
        t0 = clock_type::now();
        hid_linux_platform()->enumerate(nullptr, &present);
        list.push_back(ms_since(t0));
        r.listed = present.size();
        t0 = clock_type::now();
        hid_device_info *all = hid_enumerate(0, 0);
        theirs.push_back(ms_since(t0));
        r.hidapi_listed = 0;
        for (hid_device_info *d = all; d; d = d->next)
            r.hidapi_listed++;
        hid_free_enumeration(all);
    }
    hid_exit();
    mhid_terminate();
    mhid_use_platform(nullptr);
    for (emulated_device *d : nodes)
        emulated_device_unplug(d);
    emulated_testbed_free(testbed);
    r.ours_ms = median(ours);
    r.ours_list_ms = median(list);
    r.hidapi_ms = median(theirs);
    return r;
}

std::string fmt(const char *f, double v)
{
    char buf[64];
    snprintf(buf, sizeof buf, f, v);
    return buf;
}

void print_rescan(const rescan_result &rescan)
{
    printf("rescan: one listing alone %.2f ms (%zu interfaces), hidapi listed %zu\n", rescan.ours_list_ms,
           rescan.listed, rescan.hidapi_listed);
}

}  // namespace

int main(int argc, char **argv)
{
    // The rescan alone needs neither an X server nor the programs: a quick look at the HID module.
    if (argc >= 2 && strcmp(argv[1], "--rescan") == 0) {
        const int rounds = argc > 2 ? atoi(argv[2]) : 20;
        rescan_result rescan = measure_rescan(100, rounds);
        printf("rescan, 100 other hidraw devices (median of %d): %.2f ms, hid_enumerate %.2f ms, %.2fx\n", rounds,
               rescan.ours_ms, rescan.hidapi_ms, rescan.ours_ms / rescan.hidapi_ms);
        print_rescan(rescan);
        return 0;
    }
    if (argc < 3) {
        fprintf(stderr, "usage: %s BUILD_DIR SOURCE_DIR [ROUNDS]\n       %s --rescan [ROUNDS]\n", argv[0], argv[0]);
        return 2;
    }
    const std::string build = argv[1];
    const std::string source = argv[2];
    const int rounds = argc > 3 ? atoi(argv[3]) : 10;
    // The program looks for its data at ../data from its working directory, and for its
    // catalogues in ./locale: a directory of ours gives it both, wherever the build directory is.
    const std::string run_dir = temp_dir("run");
    const std::string work = run_dir + "/work";
    if (mkdir(work.c_str(), 0700) != 0 || symlink((source + "/data").c_str(), (run_dir + "/data").c_str()) != 0 ||
        symlink((build + "/locale").c_str(), (work + "/locale").c_str()) != 0) {
        fprintf(stderr, "could not make the working directory in %s\n", run_dir.c_str());
        return 1;
    }
    x_watch x;
    if (!x.open()) {
        fprintf(stderr, "no X display with the DAMAGE extension\n");
        return 1;
    }

    // Start-up and memory: the two programs in turn, so that both meet the same machine load.
    std::vector<double> ours_start, ref_start, ours_mem, ref_mem;
    const std::vector<std::string> ours_cmd = {build + "/zevrin"};
    const std::vector<std::string> ref_cmd = {build + "/bench/minimal_gtk", source + "/data"};
    measure_startup(x, ours_cmd, work);  // warm the caches for both
    measure_startup(x, ref_cmd, work);
    for (int i = 0; i < rounds; i++) {
        startup_result a = measure_startup(x, ours_cmd, work);
        startup_result b = measure_startup(x, ref_cmd, work);
        ours_start.push_back(a.first_frame_ms);
        ref_start.push_back(b.first_frame_ms);
        ours_mem.push_back(static_cast<double>(a.peak_kb) / 1024.0);
        ref_mem.push_back(static_cast<double>(b.peak_kb) / 1024.0);
    }
    plug_result plug = measure_plug(x, build, work, rounds);
    test_result test = measure_switch_test(x, build, work, rounds);
    cli_result cli = measure_cli(build, work, rounds);
    rescan_result rescan = measure_rescan(100, rounds * 2);
    remove_dir(run_dir);

    const double s_ours = median(ours_start), s_ref = median(ref_start);
    const double m_ours = median(ours_mem), m_ref = median(ref_mem);
    const double ready = median(plug.ready_ms);
    const double replied = median(plug.settings_request_ms);
    const double written = median(plug.write_ms);
    const double lit = median(test.lit_ms);
    const double version = median(cli.version_ms), exported = median(cli.export_ms), imported = median(cli.import_ms);
    auto yes = [](bool b) { return b ? "yes" : "NO"; };

    printf("%-44s %14s %26s %9s %12s %4s\n", "measure", "zevrin", "reference", "ratio", "aim", "met");
    printf("%-44s %14s %26s %9s %12s %4s\n", "--------------------------------------------", "--------------",
           "--------------------------", "---------", "------------", "----");
    printf("%-44s %14s %26s %9s %12s %4s\n", "start-up to first frame (median)", fmt("%.0f ms", s_ours).c_str(),
           fmt("%.0f ms minimal GTK", s_ref).c_str(), fmt("%.2fx", s_ours / s_ref).c_str(), "<= 1.30x",
           yes(s_ours / s_ref <= 1.3));
    printf("%-44s %14s %26s %9s %12s %4s\n", "plug to configuration shown (median)", fmt("%.0f ms", ready).c_str(),
           fmt("%.0f ms device's replies in", replied).c_str(), fmt("%+.0f ms", ready - replied).c_str(), "<= 60 ms",
           yes(ready <= 60));
    printf("%-44s %14s %26s %9s %12s %4s\n", "write in the window to the verified message", fmt("%.0f ms", written).c_str(),
           "500 ms device after writing", fmt("%+.0f ms", written - 500).c_str(), "<= 600 ms", yes(written <= 600));
    printf("%-44s %14s %26s %9s %12s %4s\n", "switch test: report to the row lit (median)", fmt("%.1f ms", lit).c_str(),
           "one frame, 16 ms", fmt("%+.1f ms", lit - 16).c_str(), "<= 16 ms", yes(lit <= 16));
    printf("%-44s %14ld %26s %9s %12s %4s\n", "idle wake-ups, 10 s, all threads", plug.idle_switches, "0", "-", "none",
           yes(plug.idle_switches == 0));
    printf("%-44s %14ld %26s %9s %12s %4s\n", "idle system calls, 10 s, all threads", plug.idle_syscalls, "0", "-",
           "none", yes(plug.idle_syscalls == 0));
    printf("%-44s %14s %26s %9s %12s %4s\n", "rescan, 100 other hidraw devices (median)",
           fmt("%.2f ms", rescan.ours_ms).c_str(), fmt("%.2f ms hid_enumerate", rescan.hidapi_ms).c_str(),
           fmt("%.2fx", rescan.ours_ms / rescan.hidapi_ms).c_str(), "<= 1.00x",
           yes(rescan.ours_ms <= rescan.hidapi_ms));
    printf("%-44s %14s %26s %9s %12s %4s\n", "peak memory, VmHWM (median)", fmt("%.1f MB", m_ours).c_str(),
           fmt("%.1f MB minimal GTK", m_ref).c_str(), fmt("%.2fx", m_ours / m_ref).c_str(), "<= 1.15x",
           yes(m_ours / m_ref <= 1.15));
    printf("%-44s %14s %26s %9s %12s %4s\n", "command line: --export of a Zevrin (median)",
           fmt("%.0f ms", exported).c_str(), fmt("%.0f ms zevrin --version", version).c_str(),
           fmt("%+.0f ms", exported - version).c_str(), "<= 100 ms", yes(exported <= 100));
    printf("%-44s %14s %26s %9s %12s %4s\n", "command line: --import of a Zevrin (median)",
           fmt("%.0f ms", imported).c_str(), "500 ms device after writing", fmt("%+.0f ms", imported - 500).c_str(),
           "<= 700 ms", yes(imported <= 700));
    printf("\n");
    printf("rounds: %d; plug-to-ready rounds measured: %zu; writes measured: %zu, read back: %d; command-line runs "
           "that failed: %d\n",
           rounds, plug.ready_ms.size(), plug.write_ms.size(), plug.writes_read_back, cli.failed);
    printf("idle wake-ups by thread: %s\n", plug.idle_detail.c_str());
    printf("idle system calls: %s\n", plug.syscall_detail.empty() ? "none" : plug.syscall_detail.c_str());
    printf("plug-to-ready in steps (medians): connected (title names the model) %.0f ms, last read request at the "
           "device %.0f ms, shown %.0f ms\n",
           median(plug.connected_ms), median(plug.settings_request_ms), ready);
    printf("write in steps (medians, from Alt+W let go): first report at the device %.0f ms (the toolkit clicks a "
           "button pressed from the keyboard 250 ms after the press), end of write %.0f ms, the read-back's last "
           "request %.0f ms, message shown %.0f ms\n",
           median(plug.first_report_ms), median(plug.end_of_write_ms), median(plug.read_back_request_ms),
           median(plug.message_ms));
    printf("switch test in steps (medians, from the report written): first frame %.1f ms, last frame of the change "
           "%.1f ms; released, first frame %.1f ms; reports after which nothing was drawn: %d\n",
           lit, median(test.lit_last_ms), median(test.unlit_ms), test.missed);
    printf("main window: %s\n", plug.sizes.c_str());
    print_rescan(rescan);
    return 0;
}
