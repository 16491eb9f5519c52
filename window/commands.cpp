#include "window/window.h"
// Not built yet.
void button_defaults_clicked_cb(GtkButton *, gpointer) {}
void button_read_clicked_cb(GtkButton *, gpointer) {}
void button_send_clicked_cb(GtkButton *, gpointer) {}
void menuitem_about_activate_cb(GtkMenuItem *, gpointer) {}
void menuitem_quit_activate_cb(GtkMenuItem *, gpointer) {}
void menuitem_set_defaults_activate_cb(GtkMenuItem *, gpointer) {}
void menuitem_user_manual_activate_cb(GtkMenuItem *, gpointer) {}
