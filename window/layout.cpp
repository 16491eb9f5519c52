// The main window's size. The window is resizable and the switch rows scroll, so it works on any
// screen; it opens large enough for its largest content (all eight rows, with the widest page
// of each, or the no-device pictures) where the screen's work area allows, and keeps that size
// whatever it shows later: reading, writing and showing the rows do not make it jump.
#include <gtk/gtk.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "window/widget_ops.h"
#include "window/window.h"

namespace {

// Room left on the work area for the window manager's frame and title bar, which the window's
// own size does not count.
constexpr int frame_allowance_width = 16;
constexpr int frame_allowance_height = 48;

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
GtkRequisition rows_shown_size()
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
    const GtkRequisition rows = rows_shown_size();
    const GtkRequisition waiting = waiting_size();
    const GdkRectangle area = work_area(window_main);
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
