// The main window's size. The window is resizable and the switch rows scroll, so it works on any
// screen; it opens large enough for its largest content (all eight rows, with the widest page
// of each, or the no-device pictures) where the screen's work area allows, and keeps that size
// whatever it shows later: reading, writing and showing the rows do not make it jump.
//
// A row is one line where the window is wide enough for it, else two: the kind of action above
// the action and its auto-release. Long translations and a small screen then need no sideways
// scrolling, which would hide the switch numbers.
#include <gtk/gtk.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "window/widget_ops.h"
#include "window/window.h"

namespace {

// Room left on the work area for the window manager's frame and title bar, which the window's
// own size does not count.
constexpr int frame_allowance_width = 16;
constexpr int frame_allowance_height = 48;

// The room between the two lines of a row on two lines, and between its parts on one.
constexpr int spacing_two_lines = 6;
constexpr int spacing_one_line = 12;

// The width of the rows' area at its last allocation, 0 before the first.
int rows_area_width = 0;
guint relayout_source = 0;

// Row i's box of controls (box_row_N, beside the switch's number), or null.
GtkWidget *row_controls(int i)
{
    if (!GTK_IS_CONTAINER(box_sw[i]))
        return nullptr;
    char name[32];
    snprintf(name, sizeof name, "box_row_%d", i + 1);
    GtkWidget *found = nullptr;
    GList *children = gtk_container_get_children(GTK_CONTAINER(box_sw[i]));
    for (GList *l = children; l != nullptr && found == nullptr; l = l->next) {
        const char *id = gtk_buildable_get_name(GTK_BUILDABLE(l->data));
        if (id != nullptr && strcmp(id, name) == 0 && GTK_IS_ORIENTABLE(l->data))
            found = GTK_WIDGET(l->data);
    }
    g_list_free(children);
    return found;
}

// The natural width of the shown children of `box` side by side, `spacing` apart; a row's box
// of controls that stands on two lines counts as it would on one.
int width_side_by_side(GtkWidget *box, int spacing)
{
    int width = 0, shown = 0;
    GList *children = gtk_container_get_children(GTK_CONTAINER(box));
    for (GList *l = children; l != nullptr; l = l->next) {
        if (!gtk_widget_get_visible(GTK_WIDGET(l->data)))
            continue;
        int natural = 0;
        if (GTK_IS_BOX(l->data) &&
            gtk_orientable_get_orientation(GTK_ORIENTABLE(l->data)) == GTK_ORIENTATION_VERTICAL)
            natural = width_side_by_side(GTK_WIDGET(l->data), spacing_one_line);
        else
            gtk_widget_get_preferred_width(GTK_WIDGET(l->data), nullptr, &natural);
        width += natural;
        shown++;
    }
    g_list_free(children);
    return width + std::max(shown - 1, 0) * spacing;
}

// Whether row i, as it shows now, fits on one line in a rows' area `area_width` wide.
bool row_fits_on_one_line(int i, int area_width)
{
    GtkWidget *rows = gtk_widget_get_parent(box_sw[i]);
    if (!GTK_IS_BOX(box_sw[i]) || rows == nullptr)
        return true;
    const int margins = gtk_widget_get_margin_start(rows) + gtk_widget_get_margin_end(rows);
    return margins + width_side_by_side(box_sw[i], gtk_box_get_spacing(GTK_BOX(box_sw[i]))) <= area_width;
}

void set_row_on_two_lines(int i, bool two)
{
    GtkWidget *row = row_controls(i);
    if (row == nullptr)
        return;
    gtk_orientable_set_orientation(GTK_ORIENTABLE(row), two ? GTK_ORIENTATION_VERTICAL : GTK_ORIENTATION_HORIZONTAL);
    gtk_box_set_spacing(GTK_BOX(row), two ? spacing_two_lines : spacing_one_line);
}

bool row_on_two_lines(int i)
{
    GtkWidget *row = row_controls(i);
    return row != nullptr && gtk_orientable_get_orientation(GTK_ORIENTABLE(row)) == GTK_ORIENTATION_VERTICAL;
}

// Each row on one line where it fits in `area_width`, else on two. True when one changed.
bool lay_out_rows(int area_width, bool change)
{
    bool changed = false;
    for (int i = 0; i < max_switches; i++) {
        if (row_controls(i) == nullptr)
            continue;
        const bool two = !row_fits_on_one_line(i, area_width);
        if (two != row_on_two_lines(i)) {
            changed = true;
            if (change)
                set_row_on_two_lines(i, two);
        }
    }
    return changed;
}

gboolean relayout_rows_cb(gpointer)
{
    relayout_source = 0;
    lay_out_rows(rows_area_width, true);
    return G_SOURCE_REMOVE;
}

// The rows' area was allocated (the window was resized, a row changed its page): each row goes
// onto two lines when one no longer fits, and back onto one when it does. Turning a row during
// the allocation would lay the window out again inside it, so that waits for the main loop.
void viewport_size_allocate_cb(GtkWidget *, GdkRectangle *allocation, gpointer)
{
    rows_area_width = allocation->width;
    if (relayout_source == 0 && lay_out_rows(rows_area_width, false))
        relayout_source = g_idle_add(relayout_rows_cb, nullptr);
}

// Widgets shown or hidden for a measurement, with what they showed before.
class visibility_change {
public:
    void set(GtkWidget *widget, bool shown)
    {
        if (!GTK_IS_WIDGET(widget))
            return;
        saved_.emplace_back(widget, gtk_widget_get_visible(widget));
        gtk_widget_set_visible(widget, shown);
    }
    ~visibility_change()
    {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
            gtk_widget_set_visible(it->first, it->second);
    }

private:
    std::vector<std::pair<GtkWidget *, bool>> saved_;
};

// The window's natural size with the editor of all eight rows shown, each on its keyboard page
// (the widest). The rows are alike, so one row is measured and counted eight times: measuring
// them all would hold up the window's first frame by the whole editor's layout.
// Also gives the width of the box of rows alone.
GtkRequisition rows_shown_size(int *rows_width = nullptr)
{
    visibility_change change;
    change.set(label_message, false);
    change.set(box_models, false);
    change.set(box_config, true);
    change.set(box_toolbar, true);
    for (int i = 0; i < max_switches; i++) {
        change.set(box_sw[i], i == 0);
        change.set(separator_sw[i], i == 0);  // measured while shown: a hidden one counts 0
    }
    change.set(box_mouse[0], false);
    change.set(box_keyb[0], true);
    change.set(box_joy[0], false);
    change.set(box_gen[0], false);
    GtkRequisition natural{};
    gtk_widget_get_preferred_size(window_main, nullptr, &natural);
    if (rows_width != nullptr && GTK_IS_WIDGET(box_sw[0]))
        gtk_widget_get_preferred_width(gtk_widget_get_parent(box_sw[0]), nullptr, rows_width);
    int row = 0, separator = 0;
    if (GTK_IS_WIDGET(box_sw[0]))
        gtk_widget_get_preferred_height(box_sw[0], nullptr, &row);
    if (GTK_IS_WIDGET(separator_sw[0]))
        gtk_widget_get_preferred_height(separator_sw[0], nullptr, &separator);
    // The first row and its divider are measured; seven rows more and six dividers.
    natural.height += (max_switches - 1) * row + (max_switches - 2) * separator;
    return natural;
}

// The window's natural size while it waits for a device or a transfer: message, both model
// pictures and the progress bar.
GtkRequisition waiting_size()
{
    visibility_change change;
    change.set(box_config, false);
    change.set(box_toolbar, false);
    change.set(label_message, true);
    change.set(box_models, true);
    change.set(progressbar, true);
    for (GtkWidget *box : box_model)
        change.set(box, true);
    GtkRequisition natural{};
    gtk_widget_get_preferred_size(window_main, nullptr, &natural);
    return natural;
}

GdkRectangle work_area(GtkWidget *window)
{
    GdkDisplay *display = gtk_widget_get_display(window);
    GdkMonitor *monitor = nullptr;
    if (GdkWindow *gdk_window = gtk_widget_get_window(window))
        monitor = gdk_display_get_monitor_at_window(display, gdk_window);
    if (monitor == nullptr)
        monitor = gdk_display_get_primary_monitor(display);
    if (monitor == nullptr)
        monitor = gdk_display_get_monitor(display, 0);
    GdkRectangle area{0, 0, G_MAXINT / 2, G_MAXINT / 2};
    if (monitor != nullptr)
        gdk_monitor_get_workarea(monitor, &area);
    return area;
}

}  // namespace

void fit_main_window()
{
    GtkWindow *window = as_window(window_main);
    if (window == nullptr)
        return;
    const GdkRectangle area = work_area(window_main);
    for (int i = 0; i < max_switches; i++)
        set_row_on_two_lines(i, false);
    int rows_width = 0;
    GtkRequisition rows = rows_shown_size(&rows_width);
    const GtkRequisition waiting = waiting_size();
    // Too wide for the screen on one line: measured again on two.
    const bool two_lines = rows.width > area.width - frame_allowance_width;
    if (two_lines) {
        for (int i = 0; i < max_switches; i++)
            set_row_on_two_lines(i, true);
        rows = rows_shown_size();
    }
    static bool following_width = false;
    if (!following_width && GTK_IS_WIDGET(box_sw[0])) {
        if (GtkWidget *viewport = gtk_widget_get_ancestor(box_sw[0], GTK_TYPE_VIEWPORT)) {
            g_signal_connect(viewport, "size-allocate", G_CALLBACK(viewport_size_allocate_cb), nullptr);
            following_width = true;
        }
    }
    int width = std::max(rows.width, waiting.width);
    int height = std::max(rows.height, waiting.height);
    if (gtk_widget_get_mapped(window_main)) {
        // Only ever grows (for the developer options' extra page button): a size the user chose
        // is kept.
        int current_width = 0, current_height = 0;
        gtk_window_get_size(window, &current_width, &current_height);
        width = std::max(width, current_width);
        height = std::max(height, current_height);
    }
    width = std::min(width, area.width - frame_allowance_width);
    height = std::min(height, area.height - frame_allowance_height);
    // The rows as they will fit, from the first frame on: the rows' area is the window's width
    // less what the window has around the rows.
    if (two_lines)
        lay_out_rows(width - (rows.width - rows_width), true);
    if (gtk_widget_get_mapped(window_main))
        gtk_window_resize(window, width, height);
    else
        gtk_window_set_default_size(window, width, height);
}

void follow_focus_in_rows(GtkWidget *scrolled_window)
{
    if (!GTK_IS_SCROLLED_WINDOW(scrolled_window))
        return;
    // Scrolled window > viewport > the box of rows: the control that takes the focus is
    // scrolled into view, as for the keyboard-only user nothing else would show it.
    GtkWidget *viewport = gtk_bin_get_child(GTK_BIN(scrolled_window));
    GtkWidget *rows = GTK_IS_BIN(viewport) ? gtk_bin_get_child(GTK_BIN(viewport)) : nullptr;
    if (!GTK_IS_CONTAINER(rows))
        return;
    GtkScrolledWindow *scrolled = GTK_SCROLLED_WINDOW(scrolled_window);
    gtk_container_set_focus_vadjustment(GTK_CONTAINER(rows), gtk_scrolled_window_get_vadjustment(scrolled));
    gtk_container_set_focus_hadjustment(GTK_CONTAINER(rows), gtk_scrolled_window_get_hadjustment(scrolled));
}
