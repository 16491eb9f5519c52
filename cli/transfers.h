// The command line's transfers: a box's configuration into a file, a file into a box, and the
// printed page of a file.
#pragma once

#include "cli/options.h"

// --export and --import: through the conversation with the one box chosen.
int box_command(const options &o);
// --print: no box needed.
int print_command(const options &o);
