// The boxes plugged in, as the command line sees them: the list, and the box a run talks to.
#pragma once

#include <string>

#include "device/conversation.h"

using box = present_box;

// `zevrin --list`.
int list_command();
// The box to talk to: the one at `node`, else the only one plugged in. A status other than
// success says why there is none (the message has been said).
int choose_box(const std::string &node, box &chosen);
// What a box that may not be used now is, as a status with its message; success when it can.
int refusal(const box &b);
