// One instance on the desktop: what a start hands to the instance already running, and the
// window coming to the front with it.
#pragma once

#include <string>
#include <vector>

#include <gtk/gtk.h>

#include "single/msingle.h"

// What the desktop's launcher gave this start so that its window may come to the front and the
// launcher's busy cursor ends: a startup-notification id (DESKTOP_STARTUP_ID, X11) and an
// activation token (XDG_ACTIVATION_TOKEN, Wayland). Either may be empty.
struct startup_notice {
    std::string startup_id;
    std::string activation_token;
};

// Reads this start's notice and takes both variables out of the environment, so that programs
// started from here do not inherit them. Call it before the toolkit starts.
startup_notice take_startup_notice();

// The notice as items of the single-instance message, and back from them.
std::vector<msingle_item> startup_notice_items(const startup_notice &notice);
startup_notice startup_notice_from_items(const std::vector<msingle_item> &items);

// The configuration file named on the command line (`zevrin FILE`: the first argument that is
// no option, a path or a file: URI), as an absolute path; "" when there is none.
std::string file_argument(int argc, char **argv);
// The file as an item of the single-instance message, for the running window to open.
msingle_item open_file_item(const std::string &path);

// Hands the notice to the toolkit for `window`, which uses it when the window is next
// presented (shown, raised and given the focus).
void use_startup_notice(GtkWindow *window, const startup_notice &notice);

// The holder's callback for a later start: the main window is presented with that start's
// notice, and opens the file that the start was given.
void msingle_items_cb(const std::vector<msingle_item> &items);

// A later start whose holder did not answer: says so on standard error, in the user's language.
void report_unanswered_instance();
