// The window's switch test: a mode in which each switch's row lights up while the switch is
// held, and says how many times it was pressed, how long the last press lasted and what the
// computer received. The box's input interfaces are read by hid_input_reader, whose thread
// hands every report over to the main loop; the configuration interface's generic event
// notices come through the protocol's listener, which the mode takes over while it runs and
// gives back when it ends. Nothing is written to the box and the rows are not changed: the
// test maps what arrives back to the switches with what the box holds (box_configuration).
#include <array>
#include <memory>
#include <string>
#include <vector>

#include <gdk/gdkkeysyms.h>
#include <glib/gi18n.h>

#include "device/config.h"
#include "device/describe.h"
#include "device/protocol.h"
#include "device/switch_test.h"
#include "hid/hid_inputs.h"
#include "hid/mhid_linux.h"
#include "app/hub.h"
#include "window/widget_ops.h"
#include "window/window.h"

namespace {

// The mode's own widgets, made here: the toggle beside Read and Write, its menu item, the
// status line beside them and a label at the end of each row.
GtkWidget *toggle_test = nullptr;
GtkWidget *menuitem_test = nullptr;
GtkWidget *label_test_status = nullptr;
switch_widgets label_test = {};
// What the mode turns off, besides the rows.
GtkWidget *menuitem_open = nullptr;
GtkWidget *menuitem_set_defaults = nullptr;

struct test_mode {
    bool active = false;
    std::unique_ptr<switch_test> test;
    hid_input_reader reader;
    guint tick_id = 0;
    // Counts the tests: a report on its way from a test that has ended is dropped.
    unsigned generation = 0;
    // What each switch gave the computer last.
    std::array<received_input, max_switches> last_input = {};
    protocol_listener listener = {};
};
test_mode mode;
// Set while the toggle and the menu item are set to the mode, so that doing so is no command.
bool syncing = false;

// The look of a held row comes from the style sheets (box.switch-held), but is drawn under the
// row by hand: giving the row itself that class would restyle every widget in it (about 10 ms
// on each press and release, most of a frame), where drawing it costs a redraw.
const char *const held_class = "switch-held";
const char *const test_tooltip = N_("Press the switches one by one and see which row lights up and what the computer "
                                    "receives. Nothing is written to the device.");

struct handed_report {
    unsigned generation;
    size_t index;
    std::vector<unsigned char> data;
};

int64_t now_ms()
{
    return g_get_monotonic_time() / 1000;
}

// Said in the status line, and to a screen reader at once.
void announce(const std::string &text)
{
    label_set_text(label_test_status, text.c_str());
    if (label_test_status == nullptr)
        return;
    AtkObject *accessible = gtk_widget_get_accessible(label_test_status);
    if (accessible != nullptr && g_signal_lookup("announcement", G_OBJECT_TYPE(accessible)) != 0)
        g_signal_emit_by_name(accessible, "announcement", text.c_str());
}

std::string row_text(int s)
{
    const switch_counter &c = mode.test->counter(s);
    if (c.presses == 0)
        return _("Not pressed yet");
    const std::string input = describe_input(mode.last_input[static_cast<size_t>(s)]);
    const auto n = static_cast<unsigned long>(c.presses);
    if (c.held || c.last_duration_ms < 0)
        // TRANSLATORS: %s is what the computer received ("Space", "Left click"), %d how many
        // times the switch has been pressed during the test.
        return printf_string(ngettext("%s: held, pressed %d time", "%s: held, pressed %d times", n), input.c_str(),
                             c.presses);
    // TRANSLATORS: %s is what the computer received, %d how many times the switch has been
    // pressed, %.1f how many seconds the last press lasted.
    return printf_string(ngettext("%s: pressed %d time, the last for %.1f s", "%s: pressed %d times, the last for %.1f s",
                                  n),
                         input.c_str(), c.presses, static_cast<double>(c.last_duration_ms) / 1000.0);
}

bool row_held(size_t s)
{
    return mode.active && mode.test != nullptr && mode.test->counter(static_cast<int>(s)).held;
}

// A style context of its own with the row's place in the window and the held class: its
// background, shadows and frame are what a held row gets.
GtkStyleContext *held_style(GtkWidget *row)
{
    static GtkStyleContext *style = nullptr;
    if (style == nullptr) {
        GtkWidgetPath *path = gtk_widget_path_copy(gtk_widget_get_path(row));
        gtk_widget_path_iter_add_class(path, -1, held_class);
        style = gtk_style_context_new();
        gtk_style_context_set_screen(style, gtk_widget_get_screen(row));
        gtk_style_context_set_path(style, path);
        gtk_widget_path_unref(path);
    }
    return style;
}

// Runs before the row draws its own background and its children.
gboolean row_draw_cb(GtkWidget *row, cairo_t *cr, gpointer index)
{
    if (row_held(GPOINTER_TO_SIZE(index))) {
        GtkStyleContext *style = held_style(row);
        const int width = gtk_widget_get_allocated_width(row), height = gtk_widget_get_allocated_height(row);
        gtk_render_background(style, cr, 0, 0, width, height);
        gtk_render_frame(style, cr, 0, 0, width, height);
    }
    return FALSE;
}

void show_events(const std::vector<switch_event> &events)
{
    for (const switch_event &e : events) {
        if (e.switches.empty()) {
            if (e.pressed)
                // TRANSLATORS: %s is what the computer received, which no switch's action explains.
                announce(printf_string(_("Not from a switch: %s"), describe_input(e.input).c_str()));
            continue;
        }
        for (int number : e.switches) {
            const int s = number - 1;
            mode.last_input[static_cast<size_t>(s)] = e.input;
            if (GtkWidget *row = box_sw[static_cast<size_t>(s)])
                gtk_widget_queue_draw(row);
            label_set_text(label_test[static_cast<size_t>(s)], row_text(s).c_str());
        }
        const std::string numbers = switch_numbers_text(e.switches);
        const auto n = static_cast<unsigned long>(e.switches.size());
        std::string said = e.pressed
                               // TRANSLATORS: %s is a switch number, or several ("6,7").
                               ? printf_string(ngettext("Switch %s pressed", "Switches %s pressed", n), numbers.c_str())
                               : printf_string(ngettext("Switch %s released", "Switches %s released", n),
                                               numbers.c_str());
        if (n > 1)
            said += " " + std::string(_("(their actions are the same: they cannot be told apart)"));
        announce(said);
    }
}

void schedule_tick();

gboolean tick_cb(gpointer)
{
    mode.tick_id = 0;
    if (mode.active) {
        show_events(mode.test->tick(now_ms()));
        schedule_tick();
    }
    return G_SOURCE_REMOVE;
}

// A timeout for when tick() has something to do; none while nothing waits for time.
void schedule_tick()
{
    g_clear_handle_id(&mode.tick_id, g_source_remove);
    const int64_t deadline = mode.test->next_deadline();
    if (deadline >= 0)
        mode.tick_id = g_timeout_add(static_cast<guint>(std::max<int64_t>(0, deadline - now_ms())), tick_cb, nullptr);
}

gboolean report_cb(gpointer data)
{
    std::unique_ptr<handed_report> r(static_cast<handed_report *>(data));
    if (mode.active && r->generation == mode.generation) {
        show_events(mode.test->report(r->index, r->data.data(), r->data.size(), now_ms()));
        schedule_tick();
    }
    return G_SOURCE_REMOVE;
}

void test_generic_event(int number, bool released)
{
    if (mode.active) {
        show_events(mode.test->generic_event(number, released, now_ms()));
        schedule_tick();
    }
    if (window_protocol_listener.generic_event != nullptr)
        window_protocol_listener.generic_event(number, released);
}

// The box in use changed (it left, or another one was taken): the test ends first, and the
// window shows the new state as always.
void test_box_changed()
{
    leave_switch_test();
    if (window_protocol_listener.box_changed != nullptr)
        window_protocol_listener.box_changed();
}

void sync_toggles()
{
    syncing = true;
    set_active(toggle_test, mode.active);
    if (GTK_IS_CHECK_MENU_ITEM(menuitem_test))
        gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(menuitem_test), mode.active);
    syncing = false;
}

void toggle_test_toggled_cb(GtkWidget *widget, gpointer)
{
    if (syncing)
        return;
    const bool wanted = GTK_IS_TOGGLE_BUTTON(widget) ? is_active(widget)
                                                     : gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(widget));
    if (wanted)
        enter_switch_test();
    else
        leave_switch_test();
}

gboolean test_key_press_cb(GtkWidget *, GdkEventKey *event, gpointer)
{
    if (!mode.active || event->keyval != GDK_KEY_Escape)
        return FALSE;
    leave_switch_test();
    if (GTK_IS_WIDGET(toggle_test) && gtk_widget_is_visible(toggle_test))
        gtk_widget_grab_focus(toggle_test);
    return TRUE;
}

}  // namespace

bool switch_test_running()
{
    return mode.active;
}

void setup_switch_test_mode(GtkBuilder *builder)
{
    menuitem_open = GTK_WIDGET(gtk_builder_get_object(builder, "menuitem_open"));
    menuitem_set_defaults = GTK_WIDGET(gtk_builder_get_object(builder, "menuitem_set_defaults"));
    if (GTK_IS_BOX(box_toolbar)) {
        toggle_test = gtk_toggle_button_new_with_mnemonic(_("_Test switches"));
        gtk_buildable_set_name(GTK_BUILDABLE(toggle_test), "togglebutton_test");
        gtk_widget_set_tooltip_text(toggle_test, _(test_tooltip));
        gtk_widget_set_size_request(toggle_test, 110, -1);
        gtk_box_pack_start(GTK_BOX(box_toolbar), toggle_test, FALSE, TRUE, 0);
        g_signal_connect(toggle_test, "toggled", G_CALLBACK(toggle_test_toggled_cb), nullptr);
        gtk_widget_show(toggle_test);
        label_test_status = gtk_label_new("");
        gtk_label_set_xalign(GTK_LABEL(label_test_status), 0.0);
        gtk_label_set_line_wrap(GTK_LABEL(label_test_status), TRUE);
        gtk_box_pack_start(GTK_BOX(box_toolbar), label_test_status, TRUE, TRUE, 0);
    }
    GtkWidget *menu = GTK_WIDGET(gtk_builder_get_object(builder, "menu_file"));
    if (GTK_IS_MENU_SHELL(menu) && GTK_IS_WIDGET(menuitem_set_defaults)) {
        menuitem_test = gtk_check_menu_item_new_with_mnemonic(_("_Test switches"));
        gtk_buildable_set_name(GTK_BUILDABLE(menuitem_test), "checkmenuitem_test");
        gtk_widget_set_tooltip_text(menuitem_test, _(test_tooltip));
        GList *items = gtk_container_get_children(GTK_CONTAINER(menu));
        const int position = g_list_index(items, menuitem_set_defaults) + 1;
        g_list_free(items);
        gtk_menu_shell_insert(GTK_MENU_SHELL(menu), menuitem_test, position);
        g_signal_connect(menuitem_test, "toggled", G_CALLBACK(toggle_test_toggled_cb), nullptr);
        if (GtkWindow *window = as_window(window_main)) {
            GtkAccelGroup *accelerators = gtk_accel_group_new();
            gtk_window_add_accel_group(window, accelerators);
            gtk_widget_add_accelerator(menuitem_test, "activate", accelerators, GDK_KEY_t, GDK_CONTROL_MASK,
                                       GTK_ACCEL_VISIBLE);
            g_object_unref(accelerators);
        }
        gtk_widget_show(menuitem_test);
    }
    for (size_t i = 0; i < max_switches; i++) {
        if (!GTK_IS_BOX(box_sw[i]))
            continue;
        label_test[i] = gtk_label_new("");
        gtk_label_set_xalign(GTK_LABEL(label_test[i]), 1.0);
        gtk_box_pack_end(GTK_BOX(box_sw[i]), label_test[i], FALSE, TRUE, 0);
        g_signal_connect(box_sw[i], "draw", G_CALLBACK(row_draw_cb), GSIZE_TO_POINTER(i));
    }
    if (window_main != nullptr)
        g_signal_connect(window_main, "key-press-event", G_CALLBACK(test_key_press_cb), nullptr);
}

void update_switch_test_mode()
{
    const bool on = mode.active;
    for (size_t i = 0; i < max_switches; i++) {
        if (!GTK_IS_CONTAINER(box_sw[i]))
            continue;
        GList *children = gtk_container_get_children(GTK_CONTAINER(box_sw[i]));
        for (GList *l = children; l != nullptr; l = l->next)
            if (l->data != label_test[i])
                gtk_widget_set_sensitive(GTK_WIDGET(l->data), !on);
        g_list_free(children);
        show_if(label_test[i], on);
    }
    set_sensitive(combobox_mouse_speed, !on);
    set_sensitive(combobox_joy_displacement, !on);
    show_if(button_send, !on);
    show_if(button_read, !on);
    show_if(button_defaults, !on);
    set_sensitive(menuitem_open, !on);
    set_sensitive(menuitem_set_defaults, !on);
    show_if(label_test_status, on);
    const bool can_test = on || device_ready();
    set_sensitive(toggle_test, can_test);
    set_sensitive(menuitem_test, can_test);
    sync_toggles();
}

void enter_switch_test()
{
    if (mode.active || !device_ready()) {
        sync_toggles();
        return;
    }
    const bool unwritten = config_changed();
    mode.test = std::make_unique<switch_test>(box_configuration, model_n_switches[connected_device_model]);
    mode.last_input = {};
    const std::vector<hid_input_node> inputs = hid_sibling_inputs(mhid_bound_node(connected_device_id_in).c_str());
    for (const hid_input_node &node : inputs)
        mode.test->add_interface(node.descriptor);
    const unsigned generation = ++mode.generation;
    std::string error;
    if (!inputs.empty() &&
        !mode.reader.start(
            inputs,
            [generation](size_t index, const unsigned char *data, size_t length) {
                // Ahead of the redraw, so that the row is lit in the next frame.
                g_idle_add_full(G_PRIORITY_DEFAULT, report_cb, new handed_report{generation, index, {data, data + length}},
                                nullptr);
            },
            // A node that goes is the box leaving, which the conversation tells.
            [](size_t) {}, &error)) {
        sync_toggles();
        dialog_info("Zevrin",
                    (std::string(_("The switches cannot be tested: the device's keyboard, mouse and joystick cannot "
                                   "be read.")) +
                     "\n\n" + error)
                        .c_str(),
                    as_window(window_main));
        return;
    }
    mode.active = true;
    mode.listener = window_protocol_listener;
    mode.listener.generic_event = test_generic_event;
    mode.listener.box_changed = test_box_changed;
    set_protocol_listener(&mode.listener);
    for (size_t i = 0; i < max_switches; i++)
        label_set_text(label_test[i], _("Not pressed yet"));
    std::string status = _("Press each switch: its row lights up while it is held. Escape ends the test.");
    if (unwritten)
        status = std::string(_("The rows hold changes that have not been written: the test uses what the device "
                               "holds.")) +
                 " " + status;
    if (inputs.empty())
        status += " " + std::string(_("No keyboard, mouse or joystick interface of this device was found: only its "
                                      "generic events can be shown."));
    announce(status);
    update_switch_test_mode();
}

void leave_switch_test()
{
    if (!mode.active) {
        sync_toggles();
        return;
    }
    mode.reader.stop();
    mode.active = false;
    mode.generation++;
    g_clear_handle_id(&mode.tick_id, g_source_remove);
    set_protocol_listener(&window_protocol_listener);
    for (GtkWidget *row : box_sw)
        if (row != nullptr)
            gtk_widget_queue_draw(row);
    update_switch_test_mode();
    update_main_window();
}
