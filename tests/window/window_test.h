// Support for the in-process tests of the main window: the real window built from the real
// interface files, a recording stand-in for the HID module, and helpers to drive the main loop
// and answer modal dialogs.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtk/gtk.h>

#include "device/config.h"

// Every report handed to mhid_write, with the id it was written to.
struct written_report {
    int id;
    std::array<uint8_t, 9> bytes;
};
extern std::vector<written_report> mhid_written;
// A write is checked by reading the box back: the stand-in's box gives back what the write sent
// (unless `box_answers_checks` is false, when it gives nothing back), and those read requests
// are counted here instead of being recorded.
extern int mhid_check_requests;
extern bool box_answers_checks;

// Where the recorder that the tests install as the desktop's handler of web (https:) and help
// (help:) addresses and of web pages writes the address that it was asked to open.
extern std::string opened_uri_file;

// Makes the recorder the handler of help: addresses (a help viewer) or not, and of https:
// addresses and web pages (a browser) or not; what the recorder does not handle has no handler
// at all. Returns once the desktop's application database agrees (false if it never does). The
// tests start with a browser and no help viewer.
bool set_uri_handlers(bool help_viewer, bool browser);

// Runs the main loop until `done` holds or `limit_ms` passed (a safety net against a hang, not
// a measurement); returns whether `done` held.
bool pump_until(const std::function<bool()> &done, int limit_ms = 5000);
// Handles whatever is pending without blocking.
void pump();

// The widget whose builder id is `id`, searched in every toplevel window (menus included).
GtkWidget *find_widget(const char *id);

// What a modal message dialog showed.
struct seen_dialog {
    bool shown = false;
    std::string title;
    std::string text;
    std::vector<std::string> buttons;  // their labels, mnemonics marked as written
};
// Runs `action`; the first message dialog that opens meanwhile is read and answered with the
// button whose label is `button`, or closed with its Close response when `button` is empty.
// Any other message dialog is closed too, and reported as a problem.
seen_dialog answer_message_dialog(const std::function<void()> &action, const std::string &button = "");
// The same for a dialog that leads to others: each opened meanwhile is answered with the next of
// `buttons`, in order; returns what they showed.
std::vector<seen_dialog> answer_message_dialogs(const std::function<void()> &action,
                                                const std::vector<std::string> &buttons);

// Warnings and criticals logged since the last call (GTK's own included), then forgotten.
std::vector<std::string> take_log_problems();

// Back to the start state: no device, idle, defaults in the record and on screen, developer
// options off, nothing recorded.
void reset_window_state();

// Resets the window state before each test and checks afterwards that nothing logged a
// warning or critical.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// A device of `model` connected and idle, nothing of it read yet, as the hub takes a new one.
void connect_unread(int model);
// A connected, idle device of `model` whose configuration has been read and holds the record.
void connect_idle(int model);

// The box's replies to a running read, as handle_message gets them: its first `n` switches and
// its settings, each field as a byte. Returns when the read has ended.
void answer_read(const configuration &box, int n);

// The reports of a write of `c` to a model of `n` switches, each field its byte.
std::vector<std::array<uint8_t, 9>> reports_of_write(const configuration &c, int n);

// Widget state as the user sees it; a missing widget fails the test.
inline bool shown(GtkWidget *w)
{
    EXPECT_NE(w, nullptr);
    return w != nullptr && gtk_widget_get_visible(w);
}

inline bool active(GtkWidget *w)
{
    EXPECT_TRUE(GTK_IS_TOGGLE_BUTTON(w));
    return GTK_IS_TOGGLE_BUTTON(w) && gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(w));
}

inline int entry(GtkWidget *w)
{
    EXPECT_TRUE(GTK_IS_COMBO_BOX(w));
    return GTK_IS_COMBO_BOX(w) ? gtk_combo_box_get_active(GTK_COMBO_BOX(w)) : -2;
}

// The user's ways of changing a row.
inline void choose(GtkWidget *w, int index)
{
    ASSERT_TRUE(GTK_IS_COMBO_BOX(w));
    gtk_combo_box_set_active(GTK_COMBO_BOX(w), index);
}

inline void press(GtkWidget *w, bool on = true)
{
    ASSERT_TRUE(GTK_IS_TOGGLE_BUTTON(w));
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w), on);
}
