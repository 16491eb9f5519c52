// Keyboard use of the main window beyond what the toolkit does by itself.
#include <gtk/gtk.h>

#include "window/window.h"

// A closed list of GTK 3 takes the arrow keys as a new choice, so a keyboard user passing
// through the window changes a switch's action without seeing the list. Here the arrows open
// a closed list instead, and the keys that jump through a list (Page Up, Page Down, Home, End)
// wait until it is open; an open list has the keyboard to itself and never comes here.
// Alt+Up and Alt+Down keep the toolkit's meaning (open and close the list).
gboolean window_main_key_press_event_cb(GtkWidget *window, GdkEventKey *event, gpointer)
{
    if ((event->state & GDK_MOD1_MASK) != 0 || !GTK_IS_WINDOW(window))
        return FALSE;
    GtkWidget *focus = gtk_window_get_focus(GTK_WINDOW(window));
    GtkWidget *list = focus != nullptr ? gtk_widget_get_ancestor(focus, GTK_TYPE_COMBO_BOX) : nullptr;
    if (list == nullptr)
        return FALSE;
    switch (event->keyval) {
    case GDK_KEY_Up:
    case GDK_KEY_KP_Up:
    case GDK_KEY_Down:
    case GDK_KEY_KP_Down:
        gtk_combo_box_popup(GTK_COMBO_BOX(list));
        return TRUE;
    case GDK_KEY_Page_Up:
    case GDK_KEY_KP_Page_Up:
    case GDK_KEY_Page_Down:
    case GDK_KEY_KP_Page_Down:
    case GDK_KEY_Home:
    case GDK_KEY_KP_Home:
    case GDK_KEY_End:
    case GDK_KEY_KP_End:
        return TRUE;
    default:
        return FALSE;
    }
}
