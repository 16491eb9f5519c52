#include "window/window.h"
// Not built yet.
void radiobutton_page_toggled_cb(GtkToggleButton *, gpointer) {}
void combobox_action_changed_cb(GtkComboBox *, gpointer) {}
void button_keyb_clicked_cb(GtkButton *, gpointer) {}
int get_page(int) { return 0; }
action_record read_switch_row(int) { return {}; }
