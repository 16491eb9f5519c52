// The command line's switch test. The conversation reads the box first (its configuration says
// which switch does what); then the box's input interfaces are read by hid_input_reader, whose
// thread hands each report over to the main loop, and the configuration interface's generic
// event notices come through the listener. Every press and release goes out as one line of
// switch_event_line, flushed at once, so that a pipe sees it as it happens.
#include "cli/switch_test_run.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <glib.h>
#include <glib-unix.h>
#include <glib/gi18n.h>

#include "cli/boxes.h"
#include "cli/command_line.h"
#include "cli/output.h"
#include "device/config.h"
#include "device/conversation.h"
#include "device/describe.h"
#include "device/protocol.h"
#include "device/switch_test.h"
#include "hid/hid_inputs.h"
#include "hid/mhid.h"

namespace {

struct test_run {
    box chosen;
    bool taken = false;
    bool testing = false;
    int status = status_success;
    GMainLoop *loop = nullptr;
    std::unique_ptr<switch_test> test;
    hid_input_reader reader;
    guint tick_id = 0;
};
test_run run;

// A report of an input interface on its way from the reader thread to the main loop.
struct handed_report {
    size_t index;
    std::vector<unsigned char> data;
};

int64_t now_ms()
{
    return g_get_monotonic_time() / 1000;
}

void print_events(const std::vector<switch_event> &events)
{
    for (const switch_event &e : events) {
        const std::string line = switch_event_line(e);
        if (!line.empty())
            fputs(line.c_str(), stdout);
    }
    fflush(stdout);
}

void schedule_tick();

gboolean tick_cb(gpointer)
{
    run.tick_id = 0;
    if (run.testing) {
        print_events(run.test->tick(now_ms()));
        schedule_tick();
    }
    return G_SOURCE_REMOVE;
}

// A timeout for the moment tick() has something to do, none while nothing waits for time.
void schedule_tick()
{
    g_clear_handle_id(&run.tick_id, g_source_remove);
    const int64_t deadline = run.test->next_deadline();
    if (deadline >= 0)
        run.tick_id = g_timeout_add(static_cast<guint>(std::max<int64_t>(0, deadline - now_ms())), tick_cb, nullptr);
}

void finish(int status, const std::string &message)
{
    end_progress();
    if (run.testing) {
        run.reader.stop();
        print_events(run.test->release_all(now_ms()));
        run.testing = false;
    }
    g_clear_handle_id(&run.tick_id, g_source_remove);
    if (!message.empty())
        say(message);
    run.status = status;
    g_main_loop_quit(run.loop);
}

gboolean report_cb(gpointer data)
{
    std::unique_ptr<handed_report> r(static_cast<handed_report *>(data));
    // Reports still on their way when the test ended are dropped.
    if (run.testing) {
        print_events(run.test->report(r->index, r->data.data(), r->data.size(), now_ms()));
        schedule_tick();
    }
    return G_SOURCE_REMOVE;
}

void start_test()
{
    const int n = model_n_switches[connected_device_model];
    run.test = std::make_unique<switch_test>(box_configuration, n);
    const std::vector<hid_input_node> inputs = hid_sibling_inputs(run.chosen.node.c_str());
    for (const hid_input_node &node : inputs)
        run.test->add_interface(node.descriptor);
    std::string error;
    const bool started = inputs.empty() ||
                         run.reader.start(
                             inputs,
                             [](size_t index, const unsigned char *data, size_t length) {
                                 g_idle_add(report_cb, new handed_report{index, {data, data + length}});
                             },
                             // A node that goes is the box leaving, which the conversation tells.
                             [](size_t) {}, &error);
    if (!started) {
        finish(status_no_permission, error);
        return;
    }
    run.testing = true;
    say(printf_string(_("Testing the switches of the %s at %s: press them one at a time. Ctrl+C ends "
                        "the test."),
                      model_name[static_cast<size_t>(connected_device_model)], run.chosen.node.c_str()));
    if (inputs.empty())
        say(_("No keyboard, mouse or joystick interface of this device was found: only its generic "
              "events can be shown."));
}

void read_done(bool complete)
{
    if (run.testing)
        return;
    if (!complete) {
        finish(status_no_answer, no_answer_message());
        return;
    }
    start_test();
}

void generic_event(int number, bool released)
{
    if (!run.testing)
        return;
    print_events(run.test->generic_event(number, released, now_ms()));
    schedule_tick();
}

void box_changed()
{
    if (device_connected && !run.taken) {
        run.taken = true;
        return;
    }
    if (device_connected || !run.taken)
        return;
    if (run.testing)
        finish(status_success, _("The device was unplugged: the test has ended."));
    else
        finish(status_no_answer, no_answer_message());
}

const protocol_listener test_listener = {
    .progress = show_progress,
    .read_done = read_done,
    .write_done = nullptr,
    .generic_event = generic_event,
    .box_changed = box_changed,
    .another_box = nullptr,
    .access_denied = nullptr,
};

// After the registrations' first scans: the box chosen was not taken (a window took it
// meanwhile, or it left).
gboolean check_taken_cb(gpointer)
{
    if (run.taken)
        return G_SOURCE_REMOVE;
    std::string message;
    const int status = status_of_box_not_taken(run.chosen, message);
    finish(status, message);
    return G_SOURCE_REMOVE;
}

// Ctrl+C and SIGTERM end the test as asked: success.
gboolean stop_cb(gpointer)
{
    finish(status_success, "");
    return G_SOURCE_CONTINUE;
}

}  // namespace

int switch_test_command(const options &o)
{
    const int status = choose_box(o.device, run.chosen);
    if (status != status_success)
        return status;

    run.loop = g_main_loop_new(nullptr, FALSE);
    const guint sigint = g_unix_signal_add(SIGINT, stop_cb, nullptr);
    const guint sigterm = g_unix_signal_add(SIGTERM, stop_cb, nullptr);
    set_protocol_listener(&test_listener);
    mhid_init();
    conversation_begin(run.chosen.node.c_str());
    g_idle_add(check_taken_cb, nullptr);
    g_main_loop_run(run.loop);
    run.reader.stop();
    g_source_remove(sigint);
    g_source_remove(sigterm);
    conversation_end();
    g_main_loop_unref(run.loop);
    return run.status;
}
