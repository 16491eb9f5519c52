// The state display: one full refresh projects the connection state, the transfer progress and
// the configuration record onto the main window. It writes widget state only; the record is
// taken back from the widgets by the Write command alone. What it keeps is what the rows were
// last set from (so that a refresh sets them anew only when the record was replaced, and an
// untouched row can be told from an edited one) and the work of measuring the hidden rows
// ahead of time, below.
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
#include "device/keys.h"
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

// An action that its page's list has no entry for (a kind or code of some other version of
// the box, say) shows this entry, added to that row's list for as long as it does. Write keeps
// the action as it is until the user picks another.
const char *other_action_text()
{
    return _("Other action (kept as it is)");
}

// Makes the list end with one entry past the `n` entries of its table, showing `text`, or with
// none when `text` is null. An extra entry that goes while selected leaves entry 0 selected.
void set_extra_entry(GtkWidget *combo, int n, const char *text)
{
    if (!GTK_IS_COMBO_BOX_TEXT(combo))
        return;
    GtkComboBoxText *list = GTK_COMBO_BOX_TEXT(combo);
    GtkTreeModel *model = gtk_combo_box_get_model(GTK_COMBO_BOX(combo));
    const bool present = gtk_tree_model_iter_n_children(model, nullptr) > n;
    if (present) {
        gchar *shown_text = nullptr;
        GtkTreeIter iter;
        if (gtk_tree_model_iter_nth_child(model, &iter, nullptr, n))
            gtk_tree_model_get(model, &iter, 0, &shown_text, -1);
        const bool same = text != nullptr && g_strcmp0(shown_text, text) == 0;
        g_free(shown_text);
        if (same)
            return;
        if (combo_active(combo) == n)
            combo_set_active(combo, 0);
        gtk_combo_box_text_remove(list, n);
    }
    if (text != nullptr)
        gtk_combo_box_text_append_text(list, text);
}

// The key lists share one store, so a row that needs the extra entry gets a copy of it with
// that entry at the end, and goes back to the shared store when it no longer does.
void set_key_list_other(int s, bool other)
{
    GtkWidget *combo = combobox_keyb[s];
    if (!GTK_IS_COMBO_BOX(combo) || key_list_store == nullptr)
        return;
    GtkTreeModel *model = gtk_combo_box_get_model(GTK_COMBO_BOX(combo));
    if ((model != key_list_store) == other)
        return;
    if (!other) {
        gtk_combo_box_set_model(GTK_COMBO_BOX(combo), key_list_store);
        return;
    }
    const int columns = gtk_tree_model_get_n_columns(key_list_store);
    std::vector<GType> types;
    for (int c = 0; c < columns; c++)
        types.push_back(gtk_tree_model_get_column_type(key_list_store, c));
    GtkListStore *own = gtk_list_store_newv(columns, types.data());
    GtkTreeIter from, to;
    for (gboolean more = gtk_tree_model_get_iter_first(key_list_store, &from); more;
         more = gtk_tree_model_iter_next(key_list_store, &from)) {
        gchar *name = nullptr;
        gtk_tree_model_get(key_list_store, &from, 0, &name, -1);
        gtk_list_store_insert_with_values(own, &to, -1, 0, name, -1);
        g_free(name);
    }
    gtk_list_store_insert_with_values(own, &to, -1, 0, other_action_text(), -1);
    gtk_combo_box_set_model(GTK_COMBO_BOX(combo), GTK_TREE_MODEL(own));
    g_object_unref(own);
}

// Selects row s's widgets for the record e: list entry, modifiers, radio button, page boxes,
// then the auto-release check button. Each list of the row holds its extra entry exactly when
// it shows e and has no entry for it; an unknown kind shows on the mouse page.
void show_switch(int s, const action_record &e)
{
    int page = page_mouse;
    int entry = -1;
    // Kinds are compared unsigned so that a negative kind counts as unknown.
    switch (static_cast<uint32_t>(e.kind)) {
    case kind_mouse_button:
    case kind_mouse_movement:
        entry = find_combo_action(mouse_combo_actions, e.kind, e.code);
        break;
    case kind_keyboard_key:
        page = page_keyboard;
        entry = key_list_entry(e.code);
        break;
    case kind_joystick_button:
    case kind_joystick_movement:
        page = page_joystick;
        entry = find_combo_action(joy_combo_actions, e.kind, e.code);
        break;
    case kind_generic_event:
        page = page_generic;
        entry = find_combo_action(gen_combo_actions, e.kind, e.code);
        break;
    default:
        break;
    }
    const bool other = entry < 0;
    const char *other_text = other_action_text();
    constexpr int n_mouse = static_cast<int>(mouse_combo_actions.size());
    constexpr int n_joy = static_cast<int>(joy_combo_actions.size());
    constexpr int n_gen = static_cast<int>(gen_combo_actions.size());
    set_extra_entry(combobox_mouse[s], n_mouse, page == page_mouse && other ? other_text : nullptr);
    set_extra_entry(combobox_joy[s], n_joy, page == page_joystick && other ? other_text : nullptr);
    set_extra_entry(combobox_gen[s], n_gen, page == page_generic && other ? other_text : nullptr);
    set_key_list_other(s, page == page_keyboard && other);

    // The extra entry is the one past the table's.
    switch (page) {
    case page_keyboard:
        combo_set_active(combobox_keyb[s], other ? n_keybd_hid_codes : entry);
        set_active(checkbutton_control[s], (e.modifiers & 1) != 0);
        set_active(checkbutton_shift[s], (e.modifiers & 2) != 0);
        set_active(checkbutton_alt[s], (e.modifiers & 4) != 0);
        set_active(radiobutton_keyb[s], true);
        break;
    case page_joystick:
        combo_set_active(combobox_joy[s], other ? n_joy : entry);
        set_active(radiobutton_joy[s], true);
        break;
    case page_generic:
        combo_set_active(combobox_gen[s], other ? n_gen : entry);
        set_active(radiobutton_gen[s], true);
        break;
    default:
        combo_set_active(combobox_mouse[s], other ? n_mouse : entry);
        set_active(radiobutton_mouse[s], true);
        break;
    }
    show_page_box(s, page);
    show_auto_release(s, e.auto_release != 0);
}

// The mouse speed list shows the preset of the record's numbers; numbers of no preset show an
// extra entry that keeps them. The displacement list likewise, its extra entry naming the
// percentage.
void show_settings()
{
    const int preset = mouse_speed_preset_entry(mouse_speed, mouse_stretch);
    const int n_speeds = static_cast<int>(mouse_combo_speeds.size());
    if (preset >= 0)
        combo_set_active(combobox_mouse_speed, preset);
    set_extra_entry(combobox_mouse_speed, n_speeds, preset >= 0 ? nullptr : _("As set in the device"));
    if (preset < 0)
        combo_set_active(combobox_mouse_speed, n_speeds);

    const int entry = joy_displacement_entry(joy_displacement);
    const int n_displacements = static_cast<int>(joy_combo_displacements.size());
    if (entry >= 0)
        combo_set_active(combobox_joy_displacement, entry);
    // TRANSLATORS: a joystick displacement between the listed ones, as a percentage (79%).
    gchar *percent = entry >= 0 ? nullptr : g_strdup_printf(_("%d%%"), joy_displacement_percent(joy_displacement));
    set_extra_entry(combobox_joy_displacement, n_displacements, percent);
    g_free(percent);
    if (entry < 0)
        combo_set_active(combobox_joy_displacement, n_displacements);
}

// What the rows and the setting lists were last set from, and what reading them back gave
// right after: a row or list that still reads back the same has not been touched.
struct shown_record {
    unsigned generation = 0;  // config_generation never is 0
    std::array<action_record, max_switches> actions = {};
    std::array<action_record, max_switches> read_back = {};
    configuration settings = {};
    int mouse_speed_entry = -1;
    int joy_displacement_entry = -1;
};
shown_record shown;

// Set while a refresh selects rows: the handlers that this runs would otherwise work out the
// mark of changes from half-set rows.
bool refreshing = false;

bool same_settings(const configuration &a, const configuration &b)
{
    return a.mouse_speed == b.mouse_speed && a.mouse_stretch == b.mouse_stretch &&
           a.joy_displacement == b.joy_displacement;
}

// Sets the rows and lists from the record where it was replaced or differs from what they were
// set from; the rest keep the user's choices.
void show_record()
{
    const bool replaced = shown.generation != config_generation;
    for (int i = 0; i < max_switches; i++) {
        if (!replaced && switch_action[i] == shown.actions[i])
            continue;
        show_switch(i, switch_action[i]);
        shown.actions[i] = switch_action[i];
        shown.read_back[i] = read_switch_row(i);
    }
    const configuration record = record_configuration();
    if (replaced || !same_settings(record, shown.settings)) {
        show_settings();
        shown.settings = record;
        shown.mouse_speed_entry = combo_active(combobox_mouse_speed);
        shown.joy_displacement_entry = combo_active(combobox_joy_displacement);
    }
    shown.generation = config_generation;
}

void set_title()
{
    GtkWindow *window = as_window(window_main);
    if (window == nullptr)
        return;
    if (!device_connected && document_without_box) {
        const char *mark = config_changed() ? "*" : "";
        gchar *title =
            document_name.empty()
                // TRANSLATORS: the window title with no device connected; %s is the model name
                // (Zevrin or Zevrin Mini) of the configuration shown.
                ? g_strdup_printf(_("%s (no device connected)"), model_name[document_model])
                // TRANSLATORS: the window title with no device connected: the file's name, then
                // the model name (Zevrin or Zevrin Mini) of the configuration shown.
                : g_strdup_printf(_("%s — %s (no device connected)"), document_name.c_str(),
                                  model_name[document_model]);
        gchar *marked = g_strconcat(mark, title, nullptr);
        gtk_window_set_title(window, marked);
        g_free(marked);
        g_free(title);
        return;
    }
    if (!device_connected) {
        gtk_window_set_title(window, _("Zevrin (disconnected)"));
        return;
    }
    gchar *name = device_is_demo
                      // TRANSLATORS: the window title with the built-in simulated device; %s is
                      // the model name (Zevrin or Zevrin Mini).
                      ? g_strdup_printf(_("%s (demo)"), model_name[connected_device_model])
                      : g_strdup(model_name[connected_device_model]);
    // The usual mark of a document with unsaved changes.
    gchar *title = g_strdup_printf("%s%s", config_changed() ? "*" : "", name);
    gtk_window_set_title(window, title);
    g_free(title);
    g_free(name);
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

// The control that had the focus when a refresh hid it (the rows or the toolbar, for a
// transfer); the refresh that shows them again gives it back.
GtkWidget *focus_while_hidden = nullptr;

bool inside(GtkWidget *widget, GtkWidget *container)
{
    return GTK_IS_WIDGET(container) && (widget == container || gtk_widget_is_ancestor(widget, container));
}

void hold_focus_hidden_by(bool config_shown, bool toolbar_shown)
{
    GtkWindow *window = as_window(window_main);
    GtkWidget *focus = window != nullptr ? gtk_window_get_focus(window) : nullptr;
    if (focus == nullptr || focus_while_hidden != nullptr)
        return;
    if ((!config_shown && inside(focus, box_config)) || (!toolbar_shown && inside(focus, box_toolbar)))
        focus_while_hidden = GTK_WIDGET(g_object_ref(focus));
}

// Once the toolbar shows again; a control that stays hidden (a row of a read that failed, a
// page that the record no longer shows) is let go.
void give_back_focus_hidden(bool toolbar_shown)
{
    if (focus_while_hidden == nullptr || !toolbar_shown)
        return;
    GtkWidget *held = focus_while_hidden;
    focus_while_hidden = nullptr;
    give_back_focus(held);
}

// A control of a row that the refresh hid (a page that the new record does not show, as after
// Set defaults) leaves the focus in its row, on the row's chosen page button.
void keep_focus_in_row(GtkWidget *before)
{
    GtkWindow *window = as_window(window_main);
    if (before == nullptr || window == nullptr || gtk_window_get_focus(window) != nullptr)
        return;
    for (int s = 0; s < max_switches; s++) {
        if (!inside(before, box_sw[s]) || !gtk_widget_is_visible(box_sw[s]))
            continue;
        GtkWidget *page = get_page(s) == page_keyboard   ? radiobutton_keyb[s]
                          : get_page(s) == page_joystick ? radiobutton_joy[s]
                          : get_page(s) == page_generic  ? radiobutton_gen[s]
                                                         : radiobutton_mouse[s];
        if (GTK_IS_WIDGET(page) && gtk_widget_is_visible(page))
            gtk_widget_grab_focus(page);
        return;
    }
}

}  // namespace

GtkWidget *hold_focus(GtkWindow *window)
{
    GtkWidget *focus = GTK_IS_WINDOW(window) ? gtk_window_get_focus(window) : nullptr;
    return focus != nullptr ? GTK_WIDGET(g_object_ref(focus)) : nullptr;
}

void give_back_focus(GtkWidget *held)
{
    if (held == nullptr)
        return;
    // A destroyed control has no window any more; a hidden or greyed-out one cannot take it.
    GtkWidget *top = gtk_widget_get_toplevel(held);
    if (top != held && GTK_IS_WINDOW(top) && gtk_widget_is_visible(held) && gtk_widget_is_sensitive(held) &&
        gtk_widget_get_can_focus(held))
        gtk_widget_grab_focus(held);
    g_object_unref(held);
}

void set_model_images()
{
    if (!device_connected && document_without_box) {
        image_set_from_data_file(image_connected_model, "/images/models/%s_hl_small.png", model_id[document_model]);
        if (GTK_IS_WIDGET(image_connected_model))
            atk_object_set_name(gtk_widget_get_accessible(image_connected_model), model_name[document_model]);
        label_set_text(label_connected_model, model_name[document_model]);
    }
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

bool row_untouched(int s)
{
    return s >= 0 && s < max_switches && read_switch_row(s) == shown.read_back[s];
}

bool mouse_speed_untouched()
{
    return combo_active(combobox_mouse_speed) == shown.mouse_speed_entry;
}

bool joy_displacement_untouched()
{
    return combo_active(combobox_joy_displacement) == shown.joy_displacement_entry;
}

void update_changed_mark()
{
    if (!refreshing)
        set_title();
}

void update_main_window()
{
    const bool connected = device_connected != 0;
    const bool busy = reading_config != 0 || writing_config != 0;
    const bool idle = connected && !busy;
    // The rows show the connected box's configuration, completely read, or without a box a
    // file or the defaults.
    const bool box_ready = idle && config_valid;
    const bool without_box = !connected && document_without_box;
    const bool ready = box_ready || without_box;
    const int n = model_n_switches[rows_model()];

    GtkWidget *focus_before = hold_focus(as_window(window_main));
    hold_focus_hidden_by(ready, idle);
    show_if(box_config, ready);
    // After a failed read the toolbar stays, for Read; Write and Undo changes wait for a
    // complete one. Without a box they are there, unavailable, and Write says why.
    show_if(box_toolbar, idle || without_box);
    set_sensitive(button_send, box_ready);
    set_sensitive(button_defaults, box_ready);
    set_sensitive(button_read, idle);
    if (GTK_IS_WIDGET(button_send)) {
        // The button's own tooltip, from the interface file, comes back with a box.
        // Kept on the button itself, as its window built it (in the window's language).
        constexpr const char *own_tooltip = "zevrin-own-tooltip";
        if (g_object_get_data(G_OBJECT(button_send), own_tooltip) == nullptr)
            g_object_set_data_full(G_OBJECT(button_send), own_tooltip, gtk_widget_get_tooltip_text(button_send), g_free);
        const char *send_tooltip = static_cast<const char *>(g_object_get_data(G_OBJECT(button_send), own_tooltip));
        gtk_widget_set_tooltip_text(button_send, without_box ? write_needs_box_text() : send_tooltip);
    }
    show_if(label_message, !ready);
    show_if(box_models, !ready);

    if (!connected)
        label_set_text(label_message, _("Please connect a Zevrin device to the computer"));
    else if (reading_config)
        label_set_text(label_message, _("Reading configuration..."));
    else if (writing_config)
        label_set_text(label_message, _("Writing configuration..."));
    else
        label_set_text(label_message, _("The device did not send its configuration. Please check the connection "
                                        "and read the configuration again."));

    set_model_images();

    // Idle, the bar would only be announced to screen reader users as an empty progress.
    show_if(progressbar, connected && busy);
    if (GTK_IS_PROGRESS_BAR(progressbar)) {
        gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progressbar),
                                      connected && busy ? reading_writing_config_fraction : 0.0);
        gtk_widget_set_size_request(progressbar,
                                    connected && n <= 4 ? progress_width_small : progress_width_large, -1);
    }

    refreshing = true;
    for (int i = 0; i < max_switches; i++) {
        show_if(box_sw[i], i < n);
        show_if(separator_sw[i], i < n - 1);
        show_if(radiobutton_gen[i], show_dev_options);
    }
    show_record();
    refreshing = false;
    give_back_focus_hidden(idle);
    keep_focus_in_row(focus_before);
    if (focus_before != nullptr)
        g_object_unref(focus_before);

    // Last, once the rows are set: the title marks changes that the rows hold.
    set_title();
    if (window_main != nullptr)
        gtk_widget_queue_draw(window_main);

    measure_rows_in_advance(connected && busy);
    open_waiting_configuration_file();
    update_switch_test_mode();
}

void show_main_window()
{
    if (GtkWindow *window = as_window(window_main)) {
        if (!gtk_widget_get_mapped(window_main))
            fit_main_window();
        gtk_window_present(window);
    }
}
