// Runs the start-up steps of the paths and settings code in a fresh process, the way the
// program does after toolkit initialisation, and prints what they decided as name=value
// lines. The tests start it with an environment and directories of their own: GLib caches
// the user's directories and language names per process, and a fresh process is also what
// a real start is.
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <libintl.h>

#include "app/paths.h"
#include "app/settings.h"

static void print(const char *name, const char *value)
{
    std::printf("%s=%s\n", name, value ? value : "(null)");
}

int main()
{
    std::setlocale(LC_ALL, "");  // what gtk_init does first
    find_data_dir();
    find_config_dir();
    load_config_file();

    print("data_dir", data_dir);
    print("config_dir", config_dir);
    gchar *file = get_data_file("interface/main.glade");
    print("data_file", file);
    g_free(file);
    file = get_data_file("/interface/main.glade");
    print("data_file_slash", file);
    g_free(file);
    file = get_config_file("/config");
    print("config_file", file);
    g_free(file);
    print("locale_dir", bindtextdomain("zevrin", nullptr));
    print("textdomain", textdomain(nullptr));
    std::printf("current_language=%d\n", current_language);
    print("show_dev_options", show_dev_options ? "true" : "false");
    print("LANG", std::getenv("LANG"));
    print("LANGUAGE", std::getenv("LANGUAGE"));
    print("lc_messages", std::setlocale(LC_MESSAGES, nullptr));
    print("text_language", gettext("Language"));
    print("text_restart", gettext("You need to restart the application to apply this change"));
    return 0;
}
