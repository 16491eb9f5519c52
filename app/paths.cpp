#include "app/paths.h"
// Not built yet.
gchar *data_dir = nullptr;
gchar *config_dir = nullptr;
void find_data_dir() { data_dir = g_strdup("../data/"); }
void find_config_dir() { config_dir = g_build_filename(g_get_user_config_dir(), "zevrin", nullptr); }
gchar *get_data_file(const char *name) { return g_build_filename(data_dir, name, nullptr); }
gchar *get_config_file(const char *name) { return g_build_filename(config_dir, name, nullptr); }
void set_env_var(const char *name, const char *value) { g_setenv(name, value, TRUE); }
