// The state display: one full refresh projects the connection state, the transfer progress and
// the configuration record onto the main window. It keeps no state of its own (only the work of
// measuring the hidden rows ahead of time, below) and writes widget state only; the record is
// taken back from the widgets by the Write command alone.
//
// No handler is blocked during a refresh: selecting a list entry or a radio button runs the
// editor's handlers exactly as a user's change would. They only show and hide parts of the row
// from the row's own widgets, so the order below (list before radio button) leaves each row
// consistent when the last handler has run.
#include <glib/gi18n.h>

#include <cstdint>
#include <vector>

#include "app/hub.h"
#include "device/config.h"
#include "device/protocol.h"
#include "window/widget_ops.h"
#include "window/window.h"

namespace {

constexpr int progress_width_small = 530;  // models with at most 4 switches
constexpr int progress_width_large = 740;

template <size_t N>
int find_combo_action(const std::array<combo_action, N> &table, int32_t kind, int32_t code)
{
    for (size_t j = 0; j < N; j++)
        if (table[j].action.kind == kind && table[j].action.code == code)
            return static_cast<int>(j);
    return -1;
}

// Selects row s's widgets for the record e: list entry, modifiers, radio button, page boxes,
// then the auto-release check button.
void show_switch(int s, const action_record &e)
{
    int page = -1;
    // Kinds are compared unsigned so that a negative kind counts as unknown.
    switch (static_cast<uint32_t>(e.kind)) {
    case kind_mouse_button:
    case kind_mouse_movement:
        combo_set_active(combobox_mouse[s], find_combo_action(mouse_combo_actions, e.kind, e.code));
        set_active(radiobutton_mouse[s], true);
        page = page_mouse;
        break;
    case kind_keyboard_key:
        // Entry 0 first, so a code missing from the key list shows the first key.
        combo_set_active(combobox_keyb[s], 0);
        combo_set_active(combobox_keyb[s], key_list_entry(e.code));
        set_active(checkbutton_control[s], (e.modifiers & 1) != 0);
        set_active(checkbutton_shift[s], (e.modifiers & 2) != 0);
        set_active(checkbutton_alt[s], (e.modifiers & 4) != 0);
        set_active(radiobutton_keyb[s], true);
        page = page_keyboard;
        break;
    case kind_joystick_button:
    case kind_joystick_movement:
        combo_set_active(combobox_joy[s], find_combo_action(joy_combo_actions, e.kind, e.code));
        set_active(radiobutton_joy[s], true);
        page = page_joystick;
        break;
    case kind_generic_event:
        combo_set_active(combobox_gen[s], find_combo_action(gen_combo_actions, e.kind, e.code));
        set_active(radiobutton_gen[s], true);
        page = page_generic;
        break;
    default:
        // Unknown kind: the row keeps its page, radio buttons and lists.
        break;
    }
    if (page >= 0)
        show_page_box(s, page);
    set_active(checkbutton_auto_release[s], e.auto_release != 0);
}

// While a read or a write runs the configuration box is hidden, and the refresh that ends the
// transfer shows it: the window cannot take its new size before the toolkit has measured every
// widget of the rows. The GUI thread is idle for most of a transfer (a read ends with a fixed
// wait after the device's last reply), so the rows are measured then, ahead of time. The
// toolkit keeps each widget's size until something in that widget changes, so showing the box
// later only adds up sizes already known. The work runs at the lowest priority in slices of
// about two milliseconds, so a device report or a redraw waiting for the GUI thread is held up
// by one slice at most; it only asks for sizes, which the toolkit would compute anyway.
struct advance_measure {
    std::vector<GtkWidget *> widgets;  // held; children before their parent
    size_t next = 0;
    guint source = 0;
};
advance_measure measure;

constexpr gint64 measure_slice_us = 2000;

void collect_shown(GtkWidget *widget, std::vector<GtkWidget *> &out)
{
    if (GTK_IS_CONTAINER(widget)) {
        GList *children = gtk_container_get_children(GTK_CONTAINER(widget));
        for (GList *l = children; l != nullptr; l = l->next)
            if (gtk_widget_get_visible(GTK_WIDGET(l->data)))
                collect_shown(GTK_WIDGET(l->data), out);
        g_list_free(children);
    }
    out.push_back(GTK_WIDGET(g_object_ref(widget)));
}

void stop_advance_measure()
{
    if (measure.source != 0)
        g_source_remove(measure.source);
    for (GtkWidget *w : measure.widgets)
        g_object_unref(w);
    measure = {};
}

gboolean advance_measure_cb(gpointer)
{
    // The widgets are collected on the first pass, after the refreshes queued before it, so
    // that the rows are taken as the last of them left them.
    if (measure.widgets.empty() && GTK_IS_CONTAINER(box_config) && !gtk_widget_get_visible(box_config)) {
        GList *children = gtk_container_get_children(GTK_CONTAINER(box_config));
        for (GList *l = children; l != nullptr; l = l->next)
            if (gtk_widget_get_visible(GTK_WIDGET(l->data)))
                collect_shown(GTK_WIDGET(l->data), measure.widgets);
        g_list_free(children);
    }
    const gint64 deadline = g_get_monotonic_time() + measure_slice_us;
    while (measure.next < measure.widgets.size()) {
        GtkRequisition natural;
        gtk_widget_get_preferred_size(measure.widgets[measure.next++], nullptr, &natural);
        if (g_get_monotonic_time() >= deadline)
            return G_SOURCE_CONTINUE;
    }
    measure.source = 0;
    stop_advance_measure();
    return G_SOURCE_REMOVE;
}

// Called by every refresh: measures the rows while the box is hidden for a transfer, and stops
// when the box shows or the device is gone.
void measure_rows_in_advance(bool transfer_running)
{
    const bool hidden = GTK_IS_WIDGET(box_config) && !gtk_widget_get_visible(box_config);
    if (!hidden || !transfer_running) {
        stop_advance_measure();
        return;
    }
    if (measure.source == 0)
        measure.source = g_idle_add_full(G_PRIORITY_LOW, advance_measure_cb, nullptr, nullptr);
}

}  // namespace

void set_model_images()
{
    for (int m = 0; m < n_models; m++) {
        const bool connected_model = device_connected && m == connected_device_model;
        show_if(box_model[m], !device_connected || connected_model);
        image_set_from_data_file(image_model[m], "/images/models/%s%s.png", model_id[m], connected_model ? "_hl" : "");
    }
    if (device_connected) {
        image_set_from_data_file(image_connected_model, "/images/models/%s_hl_small.png",
                                 model_id[connected_device_model]);
        if (GTK_IS_WIDGET(image_connected_model))
            atk_object_set_name(gtk_widget_get_accessible(image_connected_model), model_name[connected_device_model]);
        label_set_text(label_connected_model, model_name[connected_device_model]);
    }
}

void update_main_window()
{
    const bool connected = device_connected != 0;
    const bool busy = reading_config != 0 || writing_config != 0;
    const bool ready = connected && !busy;
    const int n = model_n_switches[connected_device_model];

    show_if(box_config, ready);
    show_if(box_toolbar, ready);
    show_if(label_message, !ready);
    show_if(box_models, !ready);

    if (GtkWindow *window = as_window(window_main)) {
        gchar *title = nullptr;
        if (!connected)
            title = g_strdup(_("Zevrin (disconnected)"));
        else if (device_is_demo)
            // TRANSLATORS: the window title with the built-in simulated device; %s is the model
            // name (Zevrin or Zevrin Mini).
            title = g_strdup_printf(_("%s (demo)"), model_name[connected_device_model]);
        else
            title = g_strdup(model_name[connected_device_model]);
        gtk_window_set_title(window, title);
        g_free(title);
        gtk_widget_queue_draw(window_main);
    }

    if (!connected)
        label_set_text(label_message, _("Please connect an Zevrin device to the computer"));
    else if (reading_config)
        label_set_text(label_message, _("Reading configuration..."));
    else
        label_set_text(label_message, _("Writing configuration..."));

    set_model_images();

    // Idle, the bar would only be announced to screen reader users as an empty progress.
    show_if(progressbar, connected && busy);
    if (GTK_IS_PROGRESS_BAR(progressbar)) {
        gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progressbar),
                                      connected && busy ? reading_writing_config_fraction : 0.0);
        gtk_widget_set_size_request(progressbar,
                                    connected && n <= 4 ? progress_width_small : progress_width_large, -1);
    }

    for (int i = 0; i < max_switches; i++) {
        show_if(box_sw[i], i < n);
        show_if(separator_sw[i], i < n - 1);
        show_if(radiobutton_gen[i], show_dev_options);
        show_switch(i, switch_action[i]);
    }

    combo_set_active(combobox_mouse_speed, mouse_speed_index);
    // Below the lowest preset the list keeps what it showed.
    combo_set_active(combobox_joy_displacement, joy_displacement_entry(joy_displacement));

    measure_rows_in_advance(connected && busy);
}

void show_main_window()
{
    if (GtkWindow *window = as_window(window_main)) {
        if (!gtk_widget_get_mapped(window_main))
            fit_main_window();
        gtk_window_present(window);
    }
}
