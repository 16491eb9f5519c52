// Settings file (language, developer options) and the interface language.
#pragma once

#include <array>
#include <gtk/gtk.h>

constexpr int n_languages = 7;
extern const std::array<const char *, n_languages> language_code;
extern int current_language;
extern bool show_dev_options;

// Reads the settings and chooses the language. A file that is missing, or names no language,
// gets the language chosen from the system written into it, unless `may_write` is false (a
// command-line run leaves the settings as they are, so that a later LANGUAGE= still counts).
void load_config_file(bool may_write = true);
// Writes the current language and developer option to the settings file, through a symbolic
// link to the file it names. A file that could not be read at start-up is first moved aside
// (its new name is handed back in `moved_aside`, to be freed with g_free), never overwritten.
// Returns whether the file now holds the settings; if not, `error` says why.
bool update_config_file(GError **error = nullptr, gchar **moved_aside = nullptr);
void radiomenuitem_lang_activate_cb(GtkMenuItem *menu_item, gpointer user_data);
void checkmenuitem_dev_options_toggled_cb(GtkCheckMenuItem *item, gpointer user_data);
