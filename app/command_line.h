// The command line: list the boxes, export a box's configuration to a file, import a file into
// a box, print a file as a PDF page; no window and no display. The same HID module and protocol
// as the window, in the user's language.
#pragma once

// What a command-line run ends with.
enum command_line_status {
    status_success = 0,
    status_failure = 1,      // bad usage, or another failure (a file that cannot be written)
    status_no_box = 2,
    status_several_boxes = 3,
    status_no_permission = 4,
    status_no_answer = 5,    // the box did not answer, went away, or its read was incomplete
    status_invalid_file = 6,
    status_not_verified = 7, // the box read back something else than was written
    status_box_busy = 8,     // the configurator window (or another run) is using the box
};

// Whether the arguments ask for the command line: one of its options is among them (before a
// "--"). A bare file name is not one: it goes to the window.
bool is_command_line(int argc, char **argv);
// Runs it; returns the exit status.
int run_command_line(int argc, char **argv);
