// The command line's options: what a run is asked to do.
#pragma once

#include <string>

enum class command { none, list, export_file, import_file, print_file, test_switches, help, version };

struct options {
    command what = command::none;
    std::string file;
    std::string device;  // --device NODE
    std::string output;  // --output PDF
    std::string title;   // --title NAME
};

// Whether `arg` is one of our options ("--export", "--export=FILE", "-h"...).
bool is_option(const char *arg);
// Whether `arg` is one of the toolkit's own options, which the window takes ("--display=:1").
// `takes_value` says whether the next argument is its value.
bool is_toolkit_option(const char *arg, bool *takes_value);
// Reads the arguments into `o`; false for bad usage, with the problem in `problem`.
bool parse_options(int argc, char **argv, options &o, std::string &problem);
void print_help();
