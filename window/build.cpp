// Building the main and about windows from their interface files: widget lookups, the
// lists, the radio groups, the hand-connected handlers, pictures and the version text.
#include "window/window.h"

#include <glib/gi18n.h>

#include "app/paths.h"
#include "build_config.h"
#include "device/keys.h"
#include "window/widget_ops.h"

GtkWidget *window_main, *checkmenuitem_dev_options, *label_message, *box_models, *box_config;
std::array<GtkWidget *, n_languages> radiomenuitem_lang;
model_widgets box_model, image_model;
switch_widgets image_symbol, radiobutton_mouse, radiobutton_keyb, radiobutton_joy, radiobutton_gen, box_sw,
    separator_sw, box_mouse, box_keyb, box_joy, box_gen, combobox_mouse, combobox_keyb, button_keyb,
    combobox_joy, combobox_gen, checkbutton_auto_release, checkbutton_control, checkbutton_shift, checkbutton_alt;
GtkWidget *combobox_mouse_speed, *combobox_joy_displacement, *image_connected_model, *label_connected_model,
    *box_toolbar, *button_defaults, *button_read, *button_send, *progressbar, *window_about, *label_version, *image_zevrin,
    *image_morvak;
GtkTreeModel *key_list_store;

namespace {

// An object of the wrong class counts as missing: the code would use it through operations
// it does not have.
GtkWidget *lookup(GtkBuilder *builder, const char *id, GType kind)
{
    GObject *object = gtk_builder_get_object(builder, id);
    if (object == nullptr || !GTK_IS_WIDGET(object) || !g_type_is_a(G_OBJECT_TYPE(object), kind)) {
        g_warning("Widget not found: %s", id);
        return nullptr;
    }
    return GTK_WIDGET(object);
}

GtkWidget *lookup_numbered(GtkBuilder *builder, const char *pattern, int n, GType kind)
{
    gchar *id = g_strdup_printf(pattern, n);
    GtkWidget *widget = lookup(builder, id, kind);
    g_free(id);
    return widget;
}

GtkWidget *lookup_named(GtkBuilder *builder, const char *pattern, const char *suffix, GType kind)
{
    gchar *id = g_strdup_printf(pattern, suffix);
    GtkWidget *widget = lookup(builder, id, kind);
    g_free(id);
    return widget;
}

void connect(GtkWidget *widget, const char *signal, GCallback handler, int data)
{
    if (widget != nullptr)
        g_signal_connect(widget, signal, handler, GINT_TO_POINTER(data));
}

// Appends the translated texts of a table, each row's field that `text` names, and selects the
// first entry. A missing widget has already been reported by its lookup; it is skipped here,
// as is every other operation on a missing widget.
template <typename Row, size_t N>
void fill_list(GtkWidget *combo, const std::array<Row, N> &table, const char *Row::*text)
{
    if (combo == nullptr)
        return;
    for (const Row &row : table)
        gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(combo), _(row.*text));
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 0);
}

// The eight key lists hold the same 78 names and are never changed after construction, so
// the first one filled keeps the entries and the others show that same list store (the text
// lists all show column 0 of a store of the same layout). Each list still has its own
// selection. key_list_store is the store that holds the entries, null until one has been
// filled; it is held, as a row may show a store of its own for a while.
void fill_key_list(GtkWidget *combo)
{
    if (combo == nullptr)
        return;
    if (key_list_store == nullptr) {
        for (uint8_t code : keybd_hid_codes) {
            gchar *name = get_keybd_hid_code_name(code);
            gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(combo), name);
            g_free(name);
        }
        key_list_store = GTK_TREE_MODEL(g_object_ref(gtk_combo_box_get_model(GTK_COMBO_BOX(combo))));
    } else {
        gtk_combo_box_set_model(GTK_COMBO_BOX(combo), key_list_store);
    }
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 0);
}

// The handlers that the interface files name. They are handed to the builder by name so that
// the executable needs to export nothing. The toolkit functions that the files name for
// closing the windows are listed too, so that connecting never depends on symbol lookup.
void add_named_handlers(GtkBuilder *builder)
{
    struct named_handler {
        const char *name;
        GCallback handler;
    };
    const named_handler handlers[] = {
        {"button_defaults_clicked_cb", G_CALLBACK(button_defaults_clicked_cb)},
        {"button_read_clicked_cb", G_CALLBACK(button_read_clicked_cb)},
        {"button_send_clicked_cb", G_CALLBACK(button_send_clicked_cb)},
        {"checkmenuitem_dev_options_toggled_cb", G_CALLBACK(checkmenuitem_dev_options_toggled_cb)},
        {"menuitem_about_activate_cb", G_CALLBACK(menuitem_about_activate_cb)},
        {"menuitem_quit_activate_cb", G_CALLBACK(menuitem_quit_activate_cb)},
        {"menuitem_set_defaults_activate_cb", G_CALLBACK(menuitem_set_defaults_activate_cb)},
        {"menuitem_user_manual_activate_cb", G_CALLBACK(menuitem_user_manual_activate_cb)},
        {"menuitem_open_activate_cb", G_CALLBACK(menuitem_open_activate_cb)},
        {"menuitem_new_zevrin_activate_cb", G_CALLBACK(menuitem_new_zevrin_activate_cb)},
        {"menuitem_new_zevrin_mini_activate_cb", G_CALLBACK(menuitem_new_zevrin_mini_activate_cb)},
        {"menuitem_save_as_activate_cb", G_CALLBACK(menuitem_save_as_activate_cb)},
        {"menuitem_print_activate_cb", G_CALLBACK(menuitem_print_activate_cb)},
        {"window_main_delete_event_cb", G_CALLBACK(window_main_delete_event_cb)},
        {"gtk_widget_hide_on_delete", G_CALLBACK(gtk_widget_hide_on_delete)},
        {"gtk_widget_hide", G_CALLBACK(gtk_widget_hide)},
        {"gtk_main_quit", G_CALLBACK(gtk_main_quit)},
    };
    for (const auto &h : handlers)
        gtk_builder_add_callback_symbol(builder, h.name, h.handler);
}

void add_interface_file(GtkBuilder *builder, const char *name)
{
    gchar *path = get_data_file(name);
    // A missing or broken file shows as the missing widgets, each with its own warning.
    gtk_builder_add_from_file(builder, path, nullptr);
    g_free(path);
}

}  // namespace

void load_main_window()
{
    set_protocol_listener(&window_protocol_listener);
    // 1. Both interface files into one builder.
    GtkBuilder *builder = gtk_builder_new();
    add_named_handlers(builder);
    add_interface_file(builder, "interface/main.glade");
    add_interface_file(builder, "interface/about.glade");

    // 2. Every widget, in the order of the catalogue.
    window_main = lookup(builder, "window_main", GTK_TYPE_WINDOW);
    checkmenuitem_dev_options = lookup(builder, "checkmenuitem_dev_options", GTK_TYPE_CHECK_MENU_ITEM);
    for (int k = 0; k < n_languages; ++k) {
        radiomenuitem_lang[k] =
            lookup_named(builder, "radiomenuitem_lang_%s", language_code[k], GTK_TYPE_RADIO_MENU_ITEM);
        if (radiomenuitem_lang[k] == nullptr)
            continue;
        // Marked before its handler is connected, so marking does not count as a choice.
        gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(radiomenuitem_lang[k]), k == current_language);
        connect(radiomenuitem_lang[k], "activate", G_CALLBACK(radiomenuitem_lang_activate_cb), k);
    }
    label_message = lookup(builder, "label_message", GTK_TYPE_LABEL);
    box_models = lookup(builder, "box_models", GTK_TYPE_WIDGET);
    for (int m = 0; m < n_models; ++m) {
        box_model[m] = lookup_named(builder, "box_model_%s", model_id[m], GTK_TYPE_WIDGET);
        image_model[m] = lookup_named(builder, "image_model_%s", model_id[m], GTK_TYPE_IMAGE);
    }
    box_config = lookup(builder, "box_config", GTK_TYPE_WIDGET);
    for (int n = 1; n <= max_switches; ++n) {
        const int i = n - 1;
        image_symbol[i] = lookup_numbered(builder, "image_symbol_%d", n, GTK_TYPE_IMAGE);
        radiobutton_mouse[i] = lookup_numbered(builder, "radiobutton_mouse_%d", n, GTK_TYPE_RADIO_BUTTON);
        radiobutton_keyb[i] = lookup_numbered(builder, "radiobutton_keyb_%d", n, GTK_TYPE_RADIO_BUTTON);
        radiobutton_joy[i] = lookup_numbered(builder, "radiobutton_joy_%d", n, GTK_TYPE_RADIO_BUTTON);
        radiobutton_gen[i] = lookup_numbered(builder, "radiobutton_gen_%d", n, GTK_TYPE_RADIO_BUTTON);
        box_sw[i] = lookup_numbered(builder, "box_sw_%d", n, GTK_TYPE_WIDGET);
        separator_sw[i] = lookup_numbered(builder, "separator_sw_%d", n, GTK_TYPE_WIDGET);
        box_mouse[i] = lookup_numbered(builder, "box_mouse_%d", n, GTK_TYPE_WIDGET);
        box_keyb[i] = lookup_numbered(builder, "box_keyb_%d", n, GTK_TYPE_WIDGET);
        box_joy[i] = lookup_numbered(builder, "box_joy_%d", n, GTK_TYPE_WIDGET);
        box_gen[i] = lookup_numbered(builder, "box_gen_%d", n, GTK_TYPE_WIDGET);
        combobox_mouse[i] = lookup_numbered(builder, "combobox_mouse_%d", n, GTK_TYPE_COMBO_BOX_TEXT);
        combobox_keyb[i] = lookup_numbered(builder, "combobox_keyb_%d", n, GTK_TYPE_COMBO_BOX_TEXT);
        button_keyb[i] = lookup_numbered(builder, "button_keyb_%d", n, GTK_TYPE_BUTTON);
        combobox_joy[i] = lookup_numbered(builder, "combobox_joy_%d", n, GTK_TYPE_COMBO_BOX_TEXT);
        combobox_gen[i] = lookup_numbered(builder, "combobox_gen_%d", n, GTK_TYPE_COMBO_BOX_TEXT);
        checkbutton_auto_release[i] =
            lookup_numbered(builder, "checkbutton_auto_release_%d", n, GTK_TYPE_TOGGLE_BUTTON);
        checkbutton_control[i] = lookup_numbered(builder, "checkbutton_control_%d", n, GTK_TYPE_TOGGLE_BUTTON);
        checkbutton_shift[i] = lookup_numbered(builder, "checkbutton_shift_%d", n, GTK_TYPE_TOGGLE_BUTTON);
        checkbutton_alt[i] = lookup_numbered(builder, "checkbutton_alt_%d", n, GTK_TYPE_TOGGLE_BUTTON);
    }
    combobox_mouse_speed = lookup(builder, "combobox_mouse_speed", GTK_TYPE_COMBO_BOX_TEXT);
    lookup(builder, "label_joy_displacement", GTK_TYPE_WIDGET);
    combobox_joy_displacement = lookup(builder, "combobox_joy_displacement", GTK_TYPE_COMBO_BOX_TEXT);
    image_connected_model = lookup(builder, "image_connected_model", GTK_TYPE_IMAGE);
    label_connected_model = lookup(builder, "label_connected_model", GTK_TYPE_LABEL);
    box_toolbar = lookup(builder, "box_toolbar", GTK_TYPE_WIDGET);
    progressbar = lookup(builder, "progressbar", GTK_TYPE_PROGRESS_BAR);
    button_defaults = lookup(builder, "button_defaults", GTK_TYPE_BUTTON);
    button_read = lookup(builder, "button_read", GTK_TYPE_BUTTON);
    button_send = lookup(builder, "button_send", GTK_TYPE_BUTTON);
    window_about = lookup(builder, "window_about", GTK_TYPE_WINDOW);
    label_version = lookup(builder, "label_version", GTK_TYPE_LABEL);
    image_zevrin = lookup(builder, "image_zevrin", GTK_TYPE_IMAGE);
    image_morvak = lookup(builder, "image_morvak", GTK_TYPE_IMAGE);

    connect(window_main, "key-press-event", G_CALLBACK(window_main_key_press_event_cb), 0);
    // Not in the catalogue: the window works without it, with rows that do not follow the focus.
    follow_focus_in_rows(GTK_WIDGET(gtk_builder_get_object(builder, "scrolledwindow_switches")));

    setup_switch_test_mode(builder);

    // 3. The handlers named in the files; the windows keep their widgets from here on.
    gtk_builder_connect_signals(builder, nullptr);
    g_object_unref(builder);

    // The about window belongs to the main window (placed over it, closed with it).
    if (window_about != nullptr && window_main != nullptr)
        gtk_window_set_transient_for(GTK_WINDOW(window_about), GTK_WINDOW(window_main));

    // 4. and 5. The about window's content.
    image_set_from_data_file(image_zevrin, "/images/zevrin_small.png");
    image_set_from_data_file(image_morvak, "/images/morvak.png");
    if (label_version != nullptr) {
        gchar *version = g_strdup_printf("%s %s", _("Version"), VERSION);
        gtk_label_set_text(GTK_LABEL(label_version), version);
        g_free(version);
    }

    // 6. and 7. Pictures of the main window.
    set_model_images();
    for (int n = 1; n <= max_switches; ++n)
        image_set_from_data_file(image_symbol[n - 1], "images/symbols/%d.png", n);

    // 8. The four page buttons of a switch form one group, the mouse button active. Their
    // handlers come after the grouping, which therefore runs none of them.
    for (int i = 0; i < max_switches; ++i) {
        if (radiobutton_mouse[i] != nullptr) {
            for (GtkWidget *button : {radiobutton_keyb[i], radiobutton_joy[i], radiobutton_gen[i]}) {
                if (button == nullptr)
                    continue;
                GSList *group = gtk_radio_button_get_group(GTK_RADIO_BUTTON(radiobutton_mouse[i]));
                gtk_radio_button_set_group(GTK_RADIO_BUTTON(button), group);
            }
        }
        connect(radiobutton_mouse[i], "toggled", G_CALLBACK(radiobutton_page_toggled_cb), page_mouse * 16 + i);
        connect(radiobutton_keyb[i], "toggled", G_CALLBACK(radiobutton_page_toggled_cb), page_keyboard * 16 + i);
        connect(radiobutton_joy[i], "toggled", G_CALLBACK(radiobutton_page_toggled_cb), page_joystick * 16 + i);
        connect(radiobutton_gen[i], "toggled", G_CALLBACK(radiobutton_page_toggled_cb), page_generic * 16 + i);
    }

    // 9. The action lists. Each "changed" handler is connected before its list is filled, so
    // selecting the first entry already applies the auto-release rule to the row.
    if (key_list_store != nullptr)
        g_object_unref(key_list_store);  // of a window built before
    key_list_store = nullptr;
    for (int i = 0; i < max_switches; ++i) {
        connect(combobox_mouse[i], "changed", G_CALLBACK(combobox_action_changed_cb), i);
        fill_list(combobox_mouse[i], mouse_combo_actions, &combo_action::text);
        connect(combobox_keyb[i], "changed", G_CALLBACK(combobox_action_changed_cb), i);
        fill_key_list(combobox_keyb[i]);
        connect(combobox_keyb[i], "notify::popup-shown", G_CALLBACK(combobox_keyb_popup_shown_cb), i);
        connect(button_keyb[i], "clicked", G_CALLBACK(button_keyb_clicked_cb), i);
        connect(combobox_joy[i], "changed", G_CALLBACK(combobox_action_changed_cb), i);
        fill_list(combobox_joy[i], joy_combo_actions, &combo_action::text);
        connect(combobox_gen[i], "changed", G_CALLBACK(combobox_action_changed_cb), i);
        fill_list(combobox_gen[i], gen_combo_actions, &combo_action::text);
    }

    // 10. The device-wide settings; the display sets them and Write reads them.
    fill_list(combobox_mouse_speed, mouse_combo_speeds, &mouse_speed_preset::label);
    fill_list(combobox_joy_displacement, joy_combo_displacements, &joy_displacement_preset::label);

    // Every other change the user can make marks the window as holding unwritten changes.
    for (int i = 0; i < max_switches; ++i)
        for (GtkWidget *check : {checkbutton_control[i], checkbutton_shift[i], checkbutton_alt[i],
                                 checkbutton_auto_release[i]})
            connect(check, "toggled", G_CALLBACK(configuration_edited_cb), i);
    connect(combobox_mouse_speed, "changed", G_CALLBACK(configuration_edited_cb), 0);
    connect(combobox_joy_displacement, "changed", G_CALLBACK(configuration_edited_cb), 0);

    // 11. Its "toggled" handler is connected, so a stored "on" runs it once here.
    if (checkmenuitem_dev_options != nullptr)
        gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(checkmenuitem_dev_options), show_dev_options);

    // 12. and 13. The default configuration, shown.
    set_defaults();
    update_main_window();
}
