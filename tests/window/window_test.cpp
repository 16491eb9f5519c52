#include "tests/window/window_test.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <glib/gstdio.h>

#include "app/paths.h"
#include "app/settings.h"
#include "device/config.h"
#include "device/conversation.h"
#include "device/protocol.h"
#include "window/window.h"

namespace {

std::vector<std::string> log_problems;

void record_log(const gchar *domain, GLogLevelFlags level, const gchar *message, gpointer)
{
    if (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING)) {
        std::string line = std::string(domain ? domain : "") + ": " + (message ? message : "");
        log_problems.push_back(line);
        fprintf(stderr, "logged: %s\n", line.c_str());
    }
}

gboolean set_flag_cb(gpointer flag)
{
    *static_cast<bool *>(flag) = true;
    return G_SOURCE_REMOVE;
}

GtkWidget *find_in(GtkWidget *widget, const char *id);

void find_in_child(GtkWidget *child, gpointer data)
{
    auto *search = static_cast<std::pair<const char *, GtkWidget *> *>(data);
    if (search->second == nullptr)
        search->second = find_in(child, search->first);
}

GtkWidget *find_in(GtkWidget *widget, const char *id)
{
    const char *name = gtk_buildable_get_name(GTK_BUILDABLE(widget));
    if (name != nullptr && g_strcmp0(name, id) == 0)
        return widget;
    std::pair<const char *, GtkWidget *> search{id, nullptr};
    if (GTK_IS_MENU_ITEM(widget)) {
        if (GtkWidget *submenu = gtk_menu_item_get_submenu(GTK_MENU_ITEM(widget)))
            find_in_child(submenu, &search);
    }
    if (search.second == nullptr && GTK_IS_CONTAINER(widget))
        gtk_container_forall(GTK_CONTAINER(widget), find_in_child, &search);
    return search.second;
}

// Every message dialog (bar the key capture) is answered as soon as it is mapped, so a test never hangs in a modal
// loop: the one a test waits for is recorded for it, any other is reported as a problem.
// The dialogs a test waits for, and the button each is to be answered with (empty: Close).
std::vector<seen_dialog> *expected_dialogs = nullptr;
std::vector<std::string> expected_buttons;

// Every labelled button inside `widget`, in the order they are packed.
void collect_buttons(GtkWidget *widget, gpointer data)
{
    if (GTK_IS_BUTTON(widget) && gtk_button_get_label(GTK_BUTTON(widget)) != nullptr)
        static_cast<std::vector<GtkWidget *> *>(data)->push_back(widget);
    else if (GTK_IS_CONTAINER(widget))
        gtk_container_forall(GTK_CONTAINER(widget), collect_buttons, data);
}

gboolean answer_dialog_cb(gpointer data)
{
    GtkWidget *dialog = GTK_WIDGET(data);
    seen_dialog seen;
    seen.shown = true;
    const char *title = gtk_window_get_title(GTK_WINDOW(dialog));
    seen.title = title ? title : "";
    gchar *text = nullptr;
    g_object_get(dialog, "text", &text, nullptr);
    seen.text = text ? text : "";
    g_free(text);
    std::vector<GtkWidget *> buttons;
    gtk_container_forall(GTK_CONTAINER(dialog), collect_buttons, &buttons);
    for (GtkWidget *b : buttons)
        seen.buttons.push_back(gtk_button_get_label(GTK_BUTTON(b)));

    int response = GTK_RESPONSE_CLOSE;
    if (expected_dialogs != nullptr && expected_dialogs->size() < expected_buttons.size()) {
        const std::string &answer = expected_buttons[expected_dialogs->size()];
        expected_dialogs->push_back(seen);
        if (!answer.empty()) {
            auto b = std::find(seen.buttons.begin(), seen.buttons.end(), answer);
            if (b != seen.buttons.end())
                response = gtk_dialog_get_response_for_widget(GTK_DIALOG(dialog), buttons[b - seen.buttons.begin()]);
            else
                log_problems.push_back("no button " + answer + " in: " + seen.text);
        }
    } else {
        log_problems.push_back("unexpected message dialog: " + seen.text);
    }
    gtk_dialog_response(GTK_DIALOG(dialog), response);
    g_object_unref(dialog);
    return G_SOURCE_REMOVE;
}

gboolean dialog_mapped_hook(GSignalInvocationHint *, guint, const GValue *params, gpointer)
{
    GObject *widget = G_OBJECT(g_value_get_object(&params[0]));
    if (!GTK_IS_MESSAGE_DIALOG(widget))
        return TRUE;
    // The key capture dialog (a message dialog of type "other") is driven by its own tests.
    GtkMessageType type = GTK_MESSAGE_OTHER;
    g_object_get(widget, "message-type", &type, nullptr);
    if (type != GTK_MESSAGE_OTHER)
        g_idle_add(answer_dialog_cb, g_object_ref(widget));
    return TRUE;
}

constexpr const char *recorder_id = "zevrin-test-uri-recorder.desktop";
// Help viewers take help: addresses; browsers https: addresses and web pages on this computer.
constexpr std::array<const char *, 3> recorded_types = {"x-scheme-handler/help", "x-scheme-handler/https",
                                                        "text/html"};
std::string mimeapps_file;

// A script that writes the address it was given into `dir`/opened-uri, offered to the desktop as
// a handler of help: and https: addresses and of web pages, so opening a manual is observable and no help viewer
// or browser starts. Which schemes it handles is set by set_uri_handlers.
void install_uri_recorder(const gchar *dir, const gchar *data_home, const gchar *config_home)
{
    gchar *script = g_build_filename(dir, "uri-recorder.sh", nullptr);
    gchar *script_text = g_strdup_printf("#!/bin/sh\nprintf '%%s' \"$1\" > '%s/opened-uri.tmp'\n"
                                         "mv '%s/opened-uri.tmp' '%s/opened-uri'\n",
                                         dir, dir, dir);
    g_file_set_contents(script, script_text, -1, nullptr);
    g_chmod(script, 0755);

    gchar *applications = g_build_filename(data_home, "applications", nullptr);
    g_mkdir_with_parents(applications, 0700);
    gchar *desktop = g_build_filename(applications, recorder_id, nullptr);
    gchar *desktop_text = g_strdup_printf("[Desktop Entry]\nType=Application\nName=URI recorder\n"
                                          "Exec=%s %%u\nMimeType=x-scheme-handler/help;x-scheme-handler/https;text/html;\n"
                                          "NoDisplay=true\n",
                                          script);
    g_file_set_contents(desktop, desktop_text, -1, nullptr);

    g_mkdir_with_parents(config_home, 0700);
    gchar *mimeapps = g_build_filename(config_home, "mimeapps.list", nullptr);
    mimeapps_file = mimeapps;

    g_free(mimeapps);
    g_free(desktop_text);
    g_free(desktop);
    g_free(applications);
    g_free(script_text);
    g_free(script);
}

std::string default_handler(const char *type)
{
    GAppInfo *app = g_app_info_get_default_for_type(type, FALSE);
    std::string id = app != nullptr && g_app_info_get_id(app) != nullptr ? g_app_info_get_id(app) : "";
    if (app != nullptr)
        g_object_unref(app);
    return id;
}

// A directory tree that is deleted when this goes out of scope.
struct removed_at_exit {
    std::string path;
    ~removed_at_exit()
    {
        std::error_code error;
        std::filesystem::remove_all(path, error);
        if (error)
            fprintf(stderr, "could not remove %s: %s\n", path.c_str(), error.message().c_str());
    }
};

}  // namespace

std::string opened_uri_file;

bool set_uri_handlers(bool help_viewer, bool browser)
{
    // The desktop's own handlers (a help viewer installed on this computer, a browser) are
    // listed once, while the user's associations remove none of them, and removed from then on
    // whenever the recorder does not stand in for them.
    static std::array<std::string, recorded_types.size()> system_handlers;
    static bool listed = false;
    if (!listed) {
        // Kept for the whole run: the application database tells its monitor of every change.
        g_app_info_monitor_get();
        for (size_t i = 0; i < recorded_types.size(); i++) {
            GList *apps = g_app_info_get_all_for_type(recorded_types[i]);
            for (GList *l = apps; l != nullptr; l = l->next)
                if (const char *id = g_app_info_get_id(G_APP_INFO(l->data)); id != nullptr && g_strcmp0(id, recorder_id) != 0)
                    system_handlers[i] += std::string(id) + ";";
            g_list_free_full(apps, g_object_unref);
        }
        listed = true;
    }
    const std::array<bool, recorded_types.size()> recorded = {help_viewer, browser, browser};
    std::string defaults = "[Default Applications]\n", removed = "[Removed Associations]\n";
    for (size_t i = 0; i < recorded_types.size(); i++) {
        const std::string key = std::string(recorded_types[i]) + "=";
        if (recorded[i])
            defaults += key + recorder_id + "\n";
        removed += key + system_handlers[i] + (recorded[i] ? "" : std::string(recorder_id) + ";") + "\n";
    }
    g_file_set_contents(mimeapps_file.c_str(), (defaults + removed).c_str(), -1, nullptr);

    // GIO notices the change through a file monitor, and the application monitor wakes the main
    // loop when it does.
    return pump_until([&] {
        for (size_t i = 0; i < recorded_types.size(); i++)
            if (default_handler(recorded_types[i]) != (recorded[i] ? recorder_id : ""))
                return false;
        return true;
    });
}

bool pump_until(const std::function<bool()> &done, int limit_ms)
{
    bool expired = false;
    const guint guard = g_timeout_add(limit_ms, set_flag_cb, &expired);
    while (!done() && !expired)
        g_main_context_iteration(nullptr, TRUE);
    if (!expired)
        g_source_remove(guard);
    return done();
}

void pump()
{
    while (gtk_events_pending())
        gtk_main_iteration_do(FALSE);
}

GtkWidget *find_widget(const char *id)
{
    GList *toplevels = gtk_window_list_toplevels();
    GtkWidget *found = nullptr;
    for (GList *l = toplevels; l != nullptr && found == nullptr; l = l->next)
        found = find_in(GTK_WIDGET(l->data), id);
    g_list_free(toplevels);
    return found;
}

std::vector<seen_dialog> answer_message_dialogs(const std::function<void()> &action,
                                                const std::vector<std::string> &buttons)
{
    std::vector<seen_dialog> seen;
    expected_dialogs = &seen;
    expected_buttons = buttons;
    action();
    // A dialog that was not modal (or not opened by `action` itself) may still come.
    if (seen.size() < buttons.size())
        pump_until([&] { return seen.size() == buttons.size(); }, 1000);
    expected_dialogs = nullptr;
    expected_buttons.clear();
    return seen;
}

seen_dialog answer_message_dialog(const std::function<void()> &action, const std::string &button)
{
    std::vector<seen_dialog> seen = answer_message_dialogs(action, {button});
    return seen.empty() ? seen_dialog{} : seen.front();
}

void answer_read(const configuration &box, int n)
{
    for (int i = 0; i < n; i++) {
        const action_record &a = box.switches[i];
        const uint8_t reply[9] = {0x00, 0x09, 0x00, uint8_t(i), uint8_t(a.kind), uint8_t(a.code), uint8_t(a.modifiers),
                                  uint8_t(a.auto_release), 0x00};
        handle_message(reply, 9);
    }
    const uint8_t settings[9] = {0x00, 0x0A, 0x00, uint8_t(box.mouse_speed[0]), uint8_t(box.mouse_speed[1]),
                                 uint8_t(box.mouse_speed[2]), uint8_t(box.mouse_stretch[0]),
                                 uint8_t(box.mouse_stretch[1]), uint8_t(box.joy_displacement)};
    handle_message(settings, 9);
    EXPECT_TRUE(pump_until([] { return reading_config == 0; }));
}

std::vector<std::array<uint8_t, 9>> reports_of_write(const configuration &c, int n)
{
    std::vector<std::array<uint8_t, 9>> r;
    for (int i = 0; i < n; i++) {
        const action_record &a = c.switches[i];
        r.push_back({0x00, 0x04, uint8_t(i), uint8_t(a.kind), uint8_t(a.code), uint8_t(a.modifiers),
                     uint8_t(a.auto_release), 0x00, 0x00});
    }
    r.push_back({0x00, 0x07, uint8_t(c.mouse_speed[0]), uint8_t(c.mouse_speed[1]), uint8_t(c.mouse_speed[2]),
                 uint8_t(c.mouse_stretch[0]), uint8_t(c.mouse_stretch[1]), uint8_t(c.joy_displacement), 0x00});
    r.push_back({0x00, 0x08, 0, 0, 0, 0, 0, 0, 0});
    return r;
}

std::vector<std::string> take_log_problems()
{
    std::vector<std::string> problems;
    problems.swap(log_problems);
    return problems;
}

void reset_window_state()
{
    device_connected = 0;
    connected_device_model = 0;
    connected_device_id_out = -1;
    connected_device_id_in = -1;
    reading_config = 0;
    writing_config = 0;
    reading_writing_config_fraction = 0.0;
    config_valid = 0;
    quit_after_write = false;
    forget_window_document();
    restart_after_write = false;
    restart_requested = false;
    // Through its handler, as a user turns it off; nothing happens when it is off already.
    if (GTK_IS_CHECK_MENU_ITEM(checkmenuitem_dev_options))
        gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(checkmenuitem_dev_options), FALSE);
    show_dev_options = false;
    set_defaults();
    update_main_window();
    // A test that ended the program hid the window.
    if (GTK_IS_WIDGET(window_main) && !gtk_widget_get_visible(window_main))
        show_main_window();
    pump();
    mhid_written.clear();
    mhid_check_requests = 0;
    box_answers_checks = true;
    // No write of an earlier test is left unfinished.
    g_unlink((previous_configurations_dir() + "/unfinished-writes").c_str());
}

void connect_unread(int model)
{
    device_connected = 1;
    connected_device_model = model;
    connected_device_id_out = 3;
    connected_device_id_in = 3;
    reading_config = 0;
    writing_config = 0;
    config_valid = 0;
}

void connect_idle(int model)
{
    connect_unread(model);
    config_valid = 1;
    box_configuration = record_configuration();
    update_main_window();
}

void WindowTest::SetUp()
{
    reset_window_state();
    take_log_problems();
}

void WindowTest::TearDown()
{
    pump();
    EXPECT_TRUE(take_log_problems().empty()) << "warnings or criticals were logged (see stderr)";
}

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);

    // Nothing of the real user's may be read or written. The home is removed on every return
    // from main.
    gchar *home = g_dir_make_tmp("zevrin-window-XXXXXX", nullptr);
    if (home == nullptr) {
        fprintf(stderr, "could not make a temporary home\n");
        return 1;
    }
    const removed_at_exit home_dir{home};
    gchar *runtime = g_build_filename(home, "run", nullptr);
    g_mkdir_with_parents(runtime, 0700);
    gchar *config = g_build_filename(home, "config", nullptr);
    gchar *share = g_build_filename(home, "share", nullptr);
    gchar *cache = g_build_filename(home, "cache", nullptr);
    g_setenv("HOME", home, TRUE);
    g_setenv("XDG_RUNTIME_DIR", runtime, TRUE);
    g_setenv("XDG_CONFIG_HOME", config, TRUE);
    g_setenv("XDG_DATA_HOME", share, TRUE);
    g_setenv("XDG_CACHE_HOME", cache, TRUE);
    g_setenv("LANGUAGE", "C", TRUE);
    install_uri_recorder(home, share, config);
    if (!set_uri_handlers(false, true)) {
        fprintf(stderr, "the desktop did not take the test's handler of web addresses\n");
        return 1;
    }
    gchar *opened = g_build_filename(home, "opened-uri", nullptr);
    opened_uri_file = opened;
    g_free(opened);

    g_log_set_default_handler(record_log, nullptr);
    // gtk_init would exit on its own without a display, past the removal of the home.
    if (!gtk_init_check(&argc, &argv)) {
        fprintf(stderr, "cannot open the display\n");
        return 1;
    }

    const char *source_root = g_getenv("ZEVRIN_SOURCE_ROOT");
    if (source_root == nullptr) {
        fprintf(stderr, "ZEVRIN_SOURCE_ROOT is not set\n");
        return 1;
    }
    data_dir = g_build_filename(source_root, "data", G_DIR_SEPARATOR_S, nullptr);
    config_dir = g_build_filename(config, "zevrin", nullptr);
    current_language = 0;
    show_dev_options = false;

    g_type_class_unref(g_type_class_ref(GTK_TYPE_WIDGET));  // registers the signal
    g_signal_add_emission_hook(g_signal_lookup("map", GTK_TYPE_WIDGET), 0, dialog_mapped_hook, nullptr, nullptr);

    load_main_window();
    show_main_window();
    pump();

    const int rc = RUN_ALL_TESTS();
    g_free(cache);
    g_free(share);
    g_free(config);
    g_free(runtime);
    g_free(home);
    return rc;
}
