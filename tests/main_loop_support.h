// Driving the real GLib main loop from a test: message dialogs recorded and answered as they
// appear, and running the loop until a condition holds.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <gtk/gtk.h>

struct seen_dialog {
    std::string title;
    std::string text;
};
// Every message dialog opened since the last clear.
inline std::vector<seen_dialog> seen_dialogs;
// The answers to the next message dialogs, in order (each taken as it is used); when none is
// left, a dialog is answered with Close.
inline std::vector<int> dialog_answers;

namespace main_loop_support {

inline gboolean close_dialog_cb(gpointer user_data)
{
    int answer = GTK_RESPONSE_CLOSE;
    if (!dialog_answers.empty()) {
        answer = dialog_answers.front();
        dialog_answers.erase(dialog_answers.begin());
    }
    gtk_dialog_response(GTK_DIALOG(user_data), answer);
    g_object_unref(user_data);
    return FALSE;
}

// Every widget shown passes here. A message dialog is read, and closed once gtk_dialog_run's
// own loop runs: answering before that loop has started would leave it waiting for good.
inline gboolean dialog_shown_hook(GSignalInvocationHint *, guint, const GValue *params, gpointer)
{
    GObject *object = static_cast<GObject *>(g_value_get_object(&params[0]));
    if (!GTK_IS_MESSAGE_DIALOG(object))
        return TRUE;
    gchar *text = nullptr;
    g_object_get(object, "text", &text, nullptr);
    const char *title = gtk_window_get_title(GTK_WINDOW(object));
    seen_dialogs.push_back({title ? title : "", text ? text : ""});
    g_free(text);
    g_idle_add(close_dialog_cb, g_object_ref(object));
    return TRUE;
}

inline gboolean limit_reached_cb(gpointer user_data)
{
    *static_cast<bool *>(user_data) = true;
    return FALSE;
}

}  // namespace main_loop_support

// Records every message dialog into seen_dialogs and answers it with Close. Once, after
// gtk_init.
inline void record_message_dialogs()
{
    g_signal_add_emission_hook(g_signal_lookup("show", GTK_TYPE_WIDGET), 0,
                               main_loop_support::dialog_shown_hook, nullptr, nullptr);
}

// Runs the main loop until `done` holds; gives up after `limit_ms` so that a broken test fails
// instead of hanging (a safety net, not a measurement). Returns whether `done` held.
inline bool run_main_loop_until(const std::function<bool()> &done, int limit_ms)
{
    bool limit_reached = false;
    const guint limit =
        g_timeout_add(static_cast<guint>(limit_ms), main_loop_support::limit_reached_cb, &limit_reached);
    while (!done() && !limit_reached)
        g_main_context_iteration(nullptr, TRUE);
    if (!limit_reached)
        g_source_remove(limit);
    return done();
}
