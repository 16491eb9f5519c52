// The command line's switch test: the box's configuration read, then one line per press and
// per release of its switches on standard output until Ctrl+C, SIGTERM or the box leaving.
#pragma once

#include "cli/options.h"

// --test: through the conversation with the one box chosen; nothing is written to it.
int switch_test_command(const options &o);
