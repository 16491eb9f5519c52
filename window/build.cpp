#include "window/window.h"
// Not built yet.
GtkWidget *window_main, *checkmenuitem_dev_options, *label_message, *box_models, *box_config;
std::array<GtkWidget *, n_languages> radiomenuitem_lang;
model_widgets box_model, image_model;
switch_widgets image_symbol, radiobutton_mouse, radiobutton_keyb, radiobutton_joy, radiobutton_gen, box_sw,
    separator_sw, box_mouse, box_keyb, box_joy, box_gen, combobox_mouse, combobox_keyb, button_keyb,
    combobox_joy, combobox_gen, checkbutton_auto_release, checkbutton_control, checkbutton_shift, checkbutton_alt;
GtkWidget *combobox_mouse_speed, *combobox_joy_displacement, *image_connected_model, *label_connected_model,
    *box_toolbar, *progressbar, *window_about, *label_version, *image_zevrin, *image_morvak;
void load_main_window() {}
