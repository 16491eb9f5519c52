// Settings file (language, developer options) and the interface language.
#pragma once

#include <array>
#include <gtk/gtk.h>

constexpr int n_languages = 7;
extern const std::array<const char *, n_languages> language_code;
extern int current_language;
extern bool show_dev_options;

void load_config_file();
void update_config_file();
void radiomenuitem_lang_activate_cb(GtkMenuItem *menu_item, gpointer user_data);
void checkmenuitem_dev_options_toggled_cb(GtkCheckMenuItem *item, gpointer user_data);
