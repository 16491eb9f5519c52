// Configuration files: one box's configuration as a key file (extension .zevrin), with a
// comment in the user's language before each switch. No toolkit needed: the command line uses
// it too.
#pragma once

#include <string>

#include "device/config.h"

// The format this version writes, and the newest it reads.
constexpr int config_file_format = 1;

// A configuration as a file holds it. Switches past the model's count are not in the file.
struct config_file_contents {
    int model;
    configuration config;
};

// Reads `path`, also as a person may have edited it: a byte-order mark, CR LF line ends, names
// and the model in any case. On failure returns false and sets `error` to a translated message
// that names the file, the line and its first problem in plain words; `out` is then untouched.
// Every value read is a byte 0 to 255 (one written as a negative signed byte is taken as that
// byte); switches past the model's count get the default actions. Only a regular file of at
// most 1 MiB is read, and opening never waits (a pipe in its place is refused at once).
bool load_config_file_contents(const char *path, config_file_contents &out, std::string &error);
// Writes atomically, keeping the file's mode, group and links (replace_file_contents);
// translated message on failure.
bool save_config_file_contents(const char *path, const config_file_contents &in, std::string &error);
// The file's text (what save writes), for tests and the printed page.
std::string config_file_text(const config_file_contents &in);
