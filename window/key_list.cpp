// Type-ahead in the key lists. A combo box shows its entries in a menu that has no type-ahead
// of its own, and with 78 keys the arrow keys are a long way to one of them. Typing a
// character in an open key list moves to the next entry whose name starts with it; typing it
// again moves on to the next such entry, round to the first. The highlighted entry is chosen
// as any other: Return or a click selects it, Escape leaves the list as it was.
#include "window/window.h"

#include <algorithm>

namespace {

// The first character of entry `row`'s name, upper-cased; 0 for none.
gunichar entry_initial(GtkTreeModel *model, int row)
{
    GtkTreeIter iter;
    if (!gtk_tree_model_iter_nth_child(model, &iter, nullptr, row))
        return 0;
    gchar *name = nullptr;
    gtk_tree_model_get(model, &iter, 0, &name, -1);  // the text column of a text combo box
    const gunichar initial = name != nullptr && *name ? g_unichar_toupper(g_utf8_get_char(name)) : 0;
    g_free(name);
    return initial;
}

}  // namespace

gboolean menu_keyb_event_cb(GtkWidget *menu, GdkEvent *event, gpointer)
{
    // Shortcuts and the keys that move in or close the menu are the menu's own.
    if (event->type != GDK_KEY_PRESS || (event->key.state & (GDK_CONTROL_MASK | GDK_MOD1_MASK)) != 0)
        return FALSE;
    const gunichar typed = g_unichar_toupper(gdk_keyval_to_unicode(event->key.keyval));
    if (typed == 0 || !g_unichar_isgraph(typed))
        return FALSE;
    GtkWidget *combo = gtk_menu_get_attach_widget(GTK_MENU(menu));
    GtkTreeModel *model = GTK_IS_COMBO_BOX(combo) ? gtk_combo_box_get_model(GTK_COMBO_BOX(combo)) : nullptr;
    if (model == nullptr)
        return FALSE;

    // The menu holds one item per entry, in the entries' order.
    GList *items = gtk_container_get_children(GTK_CONTAINER(menu));
    const int n = std::min(int(g_list_length(items)), gtk_tree_model_iter_n_children(model, nullptr));
    GtkWidget *selected = gtk_menu_shell_get_selected_item(GTK_MENU_SHELL(menu));
    const int current = selected != nullptr ? g_list_index(items, selected) : -1;
    bool found = false;
    for (int step = 1; step <= n && !found; step++) {
        const int row = (current + step + n) % n;
        if (entry_initial(model, row) == typed) {
            gtk_menu_shell_select_item(GTK_MENU_SHELL(menu), GTK_WIDGET(g_list_nth_data(items, guint(row))));
            found = true;
        }
    }
    g_list_free(items);
    return found;
}

// The combo box makes its menu itself and may make it anew (on a change of theme), so the menu
// gets the handler when it opens, once. It takes the menu's "event", which comes before
// "key-press-event": the combo box's own key handler on its menu takes every key press.
void combobox_keyb_popup_shown_cb(GObject *combo, GParamSpec *, gpointer)
{
    for (GList *l = gtk_menu_get_for_attach_widget(GTK_WIDGET(combo)); l != nullptr; l = l->next) {
        if (g_signal_handler_find(l->data, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                  reinterpret_cast<gpointer>(menu_keyb_event_cb), nullptr) == 0)
            g_signal_connect(l->data, "event", G_CALLBACK(menu_keyb_event_cb), nullptr);
    }
}
