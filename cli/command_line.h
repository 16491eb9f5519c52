// The command line: list the boxes, export a box's configuration to a file, import a file into
// a box, print a file as a PDF page; no window and no display. The same conversation with a
// box as the window's, in the user's language.
#pragma once

// What a command-line run ends with.
enum command_line_status {
    status_success = 0,
    status_failure = 1,      // bad usage, or another failure (a file that cannot be written)
    status_no_box = 2,
    status_several_boxes = 3,
    status_no_permission = 4,
    status_no_answer = 5,    // the box did not answer, went away, or a transfer did not finish
    status_invalid_file = 6,
    status_not_verified = 7, // the box read back something else than was written
    status_box_busy = 8,     // the configurator window (or another run) is using the box
};

// Whether the arguments are for the command line rather than the window: an option of ours,
// or anything but GTK's own options and one file to open. A bare file name goes to the window.
bool is_command_line(int argc, char **argv);
// Runs it; returns the exit status.
int run_command_line(int argc, char **argv);
