// What a command-line run says: messages on standard error, in the user's language, and a
// progress line while a box is read or written when standard error is a terminal.
#pragma once

#include <string>

void say(const std::string &message);
// "PROBLEM" and how to get help, for bad usage; returns the status for it.
int usage_error(const std::string &problem);
// A step of a read or a write, as a percentage on one line that each step overwrites.
void show_progress(bool writing, double fraction);
// Ends the progress line, if one was shown.
void end_progress();
