#include "app/settings.h"
// Not built yet.
const std::array<const char *, n_languages> language_code = {"en", "es", "fr", "it", "pt", "ca", "eu"};
int current_language = 0;
bool show_dev_options = false;
void load_config_file() {}
void update_config_file() {}
void radiomenuitem_lang_activate_cb(GtkMenuItem *, gpointer) {}
void checkmenuitem_dev_options_toggled_cb(GtkCheckMenuItem *, gpointer) {}
