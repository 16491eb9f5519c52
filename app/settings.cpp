#include "app/settings.h"

#include <cerrno>
#include <clocale>
#include <cstring>
#include <fcntl.h>
#include <glib/gi18n.h>
#include <glib/gstdio.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "app/hub.h"
#include "app/paths.h"
#include "window/window.h"

const std::array<const char *, n_languages> language_code = {"en", "es", "fr", "it", "pt", "ca", "eu"};
int current_language = 0;
bool show_dev_options = false;

// The file holds two short lines. Anything far larger is not ours: it is treated like an
// unreadable file instead of being read into memory.
constexpr size_t max_config_file_size = 64 * 1024;

// Whether a settings file was there at start-up but could not be read (too large, not a key
// file, not a regular file, no permission). It may hold choices worth keeping, so it is left
// as it is while the program runs on the values in memory, and moved aside before the first
// save of a changed setting.
static bool settings_file_unreadable = false;

// Loads the settings file into `key_file`. Only a regular file is read (a FIFO, a device or
// a directory put there by mistake would block or never end), and at most
// max_config_file_size bytes of it.
static bool load_settings(GKeyFile *key_file, const char *path, GError **error)
{
    // O_NONBLOCK: opening a FIFO for reading must not wait for a writer.
    int fd = g_open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0);
    if (fd < 0) {
        int e = errno;
        g_set_error(error, G_FILE_ERROR, g_file_error_from_errno(e), "%s: %s", path, g_strerror(e));
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_FAILED, "%s: not a regular file", path);
        close(fd);
        return false;
    }
    std::string text;
    char chunk[4096];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int e = errno;
            g_set_error(error, G_FILE_ERROR, g_file_error_from_errno(e), "%s: %s", path, g_strerror(e));
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        text.append(chunk, static_cast<size_t>(n));
        if (text.size() > max_config_file_size) {
            g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_FAILED, "%s: larger than %zu bytes", path,
                        max_config_file_size);
            close(fd);
            return false;
        }
    }
    close(fd);
    return g_key_file_load_from_data(key_file, text.data(), text.size(), G_KEY_FILE_NONE, error);
}

// The first of the user's preferred language names (most specific first, each followed by
// its less specific variants) that is one of ours, compared without regard to case;
// English when none is.
static int language_from_system()
{
    for (const gchar *const *name = g_get_language_names(); *name; name++)
        for (int k = 0; k < n_languages; k++)
            if (g_ascii_strcasecmp(*name, language_code[k]) == 0)
                return k;
    return 0;
}

// gettext picks the catalogue from LANGUAGE, but glibc ignores LANGUAGE while the messages
// locale is "C". A bare code such as "es" is no installed locale, so when neither it nor the
// user's own locale could be set, the messages category goes to C.UTF-8, which every glibc
// has built in and for which LANGUAGE counts. A real user locale (say de_DE.UTF-8) stays:
// LANGUAGE already overrides it.
static void set_messages_locale(const char *code)
{
    if (setlocale(LC_MESSAGES, code))
        return;
    const char *current = setlocale(LC_MESSAGES, nullptr);
    if (!current || strcmp(current, "C") == 0 || strcmp(current, "POSIX") == 0)
        setlocale(LC_MESSAGES, "C.UTF-8");
}

void load_config_file(bool may_write)
{
    bool write_back = false;
    GKeyFile *key_file = g_key_file_new();
    gchar *path = get_config_file("/config");
    GError *error = nullptr;

    if (!load_settings(key_file, path, &error)) {
        g_message("Config file: %s", error->message);
        // Only a file that is not there at all is written at once.
        const bool missing = g_error_matches(error, G_FILE_ERROR, G_FILE_ERROR_NOENT);
        settings_file_unreadable = !missing;
        write_back = missing;
        g_clear_error(&error);
        current_language = language_from_system();
    } else {
        settings_file_unreadable = false;
        gchar *lang = g_key_file_get_string(key_file, "language", "lang", &error);
        if (!error && lang && *lang) {
            // Exact and case-sensitive: a code that is not ours means English, and the file
            // is left as the user wrote it.
            for (int k = 0; k < n_languages; k++) {
                if (strcmp(lang, language_code[k]) == 0) {
                    current_language = k;
                    break;
                }
            }
        } else {
            // Missing group or key, an empty value, or one that is not valid UTF-8.
            g_clear_error(&error);
            current_language = language_from_system();
            write_back = true;
        }
        g_free(lang);

        gboolean dev = g_key_file_get_boolean(key_file, "dev_options", "show_dev_options", &error);
        if (!error)
            show_dev_options = dev;
        g_clear_error(&error);
    }

    gchar *locale_dir = get_data_file("/locale/");
    if (!g_file_test(locale_dir, G_FILE_TEST_IS_DIR)) {
        g_free(locale_dir);
        locale_dir = g_strdup("locale/");
    }
    bindtextdomain("zevrin", locale_dir);
    bind_textdomain_codeset("zevrin", "UTF-8");
    textdomain("zevrin");
    g_free(locale_dir);

    const char *code = language_code[current_language];
    set_env_var("LANG", code);
    set_env_var("LANGUAGE", code);
    set_messages_locale(code);

    if (write_back && may_write)
        update_config_file();

    g_free(path);
    g_key_file_free(key_file);
}

// The file that `path` names after following symbolic links (it need not exist), so that a link
// in place of the settings file, as sets of dotfiles have, stays a link to the file written.
static gchar *link_target(const char *path, GError **error)
{
    gchar *current = g_strdup(path);
    for (int links = 0; links < 40; links++) {
        GStatBuf st;
        if (g_lstat(current, &st) != 0 || !S_ISLNK(st.st_mode))
            return current;
        gchar *target = g_file_read_link(current, error);
        if (target == nullptr) {
            g_free(current);
            return nullptr;
        }
        if (!g_path_is_absolute(target)) {
            gchar *dir = g_path_get_dirname(current);
            gchar *joined = g_build_filename(dir, target, nullptr);
            g_free(dir);
            g_free(target);
            target = joined;
        }
        g_free(current);
        current = target;
    }
    g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_LOOP, "%s: %s", path, g_strerror(ELOOP));
    g_free(current);
    return nullptr;
}

// Moves `file` to the first free name of file.broken, file.broken-2, ... beside it; returns
// that name, or null with `error` set.
static gchar *move_aside(const char *file, GError **error)
{
    for (int n = 1; n < 1000; n++) {
        gchar *aside = n == 1 ? g_strdup_printf("%s.broken", file) : g_strdup_printf("%s.broken-%d", file, n);
        GStatBuf st;
        if (g_lstat(aside, &st) != 0 && errno == ENOENT) {
            if (g_rename(file, aside) == 0)
                return aside;
            const int e = errno;
            g_set_error(error, G_FILE_ERROR, g_file_error_from_errno(e), "%s: %s", file, g_strerror(e));
            g_free(aside);
            return nullptr;
        }
        g_free(aside);
    }
    g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_EXIST, "%s: %s", file, g_strerror(EEXIST));
    return nullptr;
}

// The file to write the settings into: the one the settings path names, after links. Nothing
// but a regular file (or none yet) is replaced, and a file that could not be read at start-up
// is moved aside first (its new name handed back in `moved_aside`). Null, with `error` set,
// when there is no such file.
static gchar *settings_file_to_write(GError **error, gchar **moved_aside)
{
    gchar *path = get_config_file("/config");
    gchar *file = link_target(path, error);
    g_free(path);
    if (file == nullptr)
        return nullptr;
    GStatBuf st;
    const bool exists = g_lstat(file, &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        // A directory, a FIFO or a device in its place is nothing this program may replace.
        g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_FAILED, "%s: not a regular file", file);
        g_free(file);
        return nullptr;
    }
    if (exists && settings_file_unreadable) {
        gchar *aside = move_aside(file, error);
        if (aside == nullptr) {
            g_free(file);
            return nullptr;
        }
        if (moved_aside != nullptr)
            *moved_aside = aside;
        else
            g_free(aside);
    }
    settings_file_unreadable = false;
    return file;
}

bool update_config_file(GError **error, gchar **moved_aside)
{
    GKeyFile *key_file = g_key_file_new();
    g_key_file_set_string(key_file, "language", "lang", language_code[current_language]);
    g_key_file_set_boolean(key_file, "dev_options", "show_dev_options", show_dev_options);
    gsize length = 0;
    gchar *text = g_key_file_to_data(key_file, &length, nullptr);
    g_key_file_free(key_file);

    // The directory may have been removed while the program runs.
    g_mkdir_with_parents(config_dir, 0777);
    gchar *file = settings_file_to_write(error, moved_aside);
    // Written to a temporary file and renamed over the old one: the file is either the old one
    // or the new one, never a part of it.
    const bool saved = file != nullptr && g_file_set_contents(file, text, static_cast<gssize>(length), error);
    g_free(file);
    g_free(text);
    return saved;
}

// Saves a choice made in the menu and tells the user what became of the settings file. Returns
// whether the choice was stored.
static bool store_choice()
{
    GError *error = nullptr;
    gchar *moved_aside = nullptr;
    const bool stored = update_config_file(&error, &moved_aside);
    GtkWindow *parent = GTK_IS_WINDOW(window_main) ? GTK_WINDOW(window_main) : nullptr;
    if (moved_aside != nullptr) {
        // TRANSLATORS: %s is the name the unreadable settings file was given, ending in .broken.
        gchar *message = g_strdup_printf(_("The settings file could not be read. It has been kept as %s."),
                                         moved_aside);
        dialog_info("Zevrin", message, parent);
        g_free(message);
        g_free(moved_aside);
    }
    if (!stored) {
        // TRANSLATORS: %s is the reason, as the system gives it (with the file's name).
        gchar *message = g_strdup_printf(
            _("Your choice could not be saved, so it will be forgotten when the program ends.\n\n%s"),
            error != nullptr ? error->message : "");
        dialog_info("Zevrin", message, parent);
        g_free(message);
    }
    g_clear_error(&error);
    return stored;
}

void radiomenuitem_lang_activate_cb(GtkMenuItem *menu_item, gpointer user_data)
{
    int index = GPOINTER_TO_INT(user_data);
    // Also called for the item of the radio group that is being switched off.
    if (!gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(menu_item)))
        return;
    if (index < 0 || index >= n_languages || index == current_language)
        return;

    // Only the next start takes the new language; the running interface keeps its texts,
    // and so do the messages below (LANGUAGE stays as it was).
    set_env_var("LANG", language_code[index]);
    current_language = index;
    // A choice that is not stored would not be there after a restart either.
    if (!store_choice())
        return;

    enum { response_restart = 1 };
    GtkWidget *dialog = gtk_message_dialog_new(GTK_WINDOW(window_main),
                                               GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                                               GTK_MESSAGE_INFO, GTK_BUTTONS_NONE, "%s",
                                               _("You need to restart the application to apply this change"));
    // TRANSLATORS: title of the message shown after choosing another interface language.
    gtk_window_set_title(GTK_WINDOW(dialog), _("Language"));
    gtk_dialog_add_button(GTK_DIALOG(dialog), _("_Restart now"), response_restart);
    gtk_dialog_add_button(GTK_DIALOG(dialog), _("_OK"), GTK_RESPONSE_OK);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
    const int response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    // Ends the program as Quit does (asking about unwritten changes first); it then starts again.
    if (response == response_restart)
        request_quit(true);
}

void checkmenuitem_dev_options_toggled_cb(GtkCheckMenuItem *item, gpointer)
{
    const bool active = gtk_check_menu_item_get_active(item);
    // Building the window sets the item from the stored value, which runs this for a stored
    // "on": the same values are written again then, without a word if that fails.
    const bool changed = active != show_dev_options;
    show_dev_options = active;
    update_main_window();
    if (changed)
        store_choice();
    else
        update_config_file();
    // The generic-event page buttons make the rows wider.
    fit_main_window();
}
