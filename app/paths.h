// The data directory, the per-user configuration directory, and the process environment.
#pragma once

#include <string>
#include <vector>

#include <glib.h>

extern gchar *data_dir;
extern gchar *config_dir;

void find_data_dir();
void find_config_dir();
gchar *get_data_file(const char *name);    // free with g_free
gchar *get_config_file(const char *name);  // free with g_free
void set_env_var(const char *name, const char *value);
// Replaces the running program by a new start of its own executable with `arguments` (the
// first being the program's name) and the environment `environment` (as g_get_environ gives
// it). Returns only when that failed, having said so on standard error.
void restart_program(const std::vector<std::string> &arguments, gchar **environment);
