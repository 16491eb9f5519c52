// Small widget operations that tolerate an empty reference or a widget of the wrong class.
// An id missing from the interface files leaves its reference null; the window code must then
// skip the operation without a toolkit critical, so every access goes through these.
#pragma once

#include <cstdarg>
#include <cstring>

#include <gtk/gtk.h>

#include "app/paths.h"

inline void show_if(GtkWidget *widget, bool shown)
{
    if (GTK_IS_WIDGET(widget))
        gtk_widget_set_visible(widget, shown);
}

inline void set_sensitive(GtkWidget *widget, bool sensitive)
{
    if (GTK_IS_WIDGET(widget))
        gtk_widget_set_sensitive(widget, sensitive);
}

inline bool is_active(GtkWidget *toggle)
{
    return GTK_IS_TOGGLE_BUTTON(toggle) && gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(toggle));
}

// Emits "toggled" (through the toolkit) only when the state changes.
inline void set_active(GtkWidget *toggle, bool active)
{
    if (GTK_IS_TOGGLE_BUTTON(toggle))
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(toggle), active);
}

// Index of the selected entry, -1 when there is none (or no list).
inline int combo_active(GtkWidget *combo)
{
    return GTK_IS_COMBO_BOX(combo) ? gtk_combo_box_get_active(GTK_COMBO_BOX(combo)) : -1;
}

// Selects an existing entry; an index outside the list is ignored rather than clearing the
// selection, because the editor relies on every list having a selected entry.
// Emits "changed" (through the toolkit) only when the selection changes.
inline void combo_set_active(GtkWidget *combo, int index)
{
    if (!GTK_IS_COMBO_BOX(combo) || index < 0)
        return;
    GtkTreeModel *model = gtk_combo_box_get_model(GTK_COMBO_BOX(combo));
    if (model == nullptr || index >= gtk_tree_model_iter_n_children(model, nullptr))
        return;
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), index);
}

inline void label_set_text(GtkWidget *label, const char *text)
{
    if (GTK_IS_LABEL(label))
        gtk_label_set_text(GTK_LABEL(label), text);
}

// On a screen with two device pixels to the pixel (GDK_SCALE=2) a picture NAME.png is drawn
// from NAME@2x.png beside it, twice its size, where there is one; the image then keeps the name
// of the picture it stands for under this key.
inline constexpr const char *sharp_picture_key = "zevrin-sharp-picture";

// Whether the image shows the picture loaded from `file`. The image's own "file" property
// names the file it was last loaded from and is cleared by every other way of setting the
// image, and by a load that failed (the broken-image icon then shows instead); a picture drawn
// from its @2x file is named by the key above.
inline bool image_shows_file(GtkWidget *image, const char *file)
{
    const GtkImageType storage = gtk_image_get_storage_type(GTK_IMAGE(image));
    if (storage == GTK_IMAGE_SURFACE)
        return g_strcmp0(static_cast<const char *>(g_object_get_data(G_OBJECT(image), sharp_picture_key)), file) == 0;
    if (storage != GTK_IMAGE_PIXBUF)
        return false;
    gchar *shown = nullptr;
    g_object_get(image, "file", &shown, nullptr);
    const bool same = g_strcmp0(shown, file) == 0;
    g_free(shown);
    return same;
}

// Shows `file` drawn from its @2x picture when the image's screen has two device pixels or more
// to the pixel and there is such a picture; false when it does not apply.
inline bool image_set_sharp_picture(GtkWidget *image, const char *file)
{
    const int scale = gtk_widget_get_scale_factor(image);
    if (scale < 2 || !g_str_has_suffix(file, ".png"))
        return false;
    gchar *sharp_file = g_strdup_printf("%.*s@2x.png", static_cast<int>(strlen(file) - 4), file);
    GdkPixbuf *sharp = gdk_pixbuf_new_from_file(sharp_file, nullptr);
    g_free(sharp_file);
    if (sharp == nullptr)
        return false;
    cairo_surface_t *surface = gdk_cairo_surface_create_from_pixbuf(sharp, 2, gtk_widget_get_window(image));
    gtk_image_set_from_surface(GTK_IMAGE(image), surface);
    g_object_set_data_full(G_OBJECT(image), sharp_picture_key, g_strdup(file), g_free);
    cairo_surface_destroy(surface);
    g_object_unref(sharp);
    return true;
}

// Shows the picture of the data file whose name (below the data folder) the format gives.
// The display names the same pictures on every refresh, several times a second while a
// configuration is read; a picture that already shows is not decoded again.
inline void image_set_from_data_file(GtkWidget *image, const char *name_format, ...) G_GNUC_PRINTF(2, 3);
inline void image_set_from_data_file(GtkWidget *image, const char *name_format, ...)
{
    if (!GTK_IS_IMAGE(image))
        return;
    va_list args;
    va_start(args, name_format);
    gchar *name = g_strdup_vprintf(name_format, args);
    va_end(args);
    gchar *file = get_data_file(name);
    if (!image_shows_file(image, file) && !image_set_sharp_picture(image, file))
        gtk_image_set_from_file(GTK_IMAGE(image), file);
    g_free(file);
    g_free(name);
}

inline GtkWindow *as_window(GtkWidget *widget)
{
    return GTK_IS_WINDOW(widget) ? GTK_WINDOW(widget) : nullptr;
}
