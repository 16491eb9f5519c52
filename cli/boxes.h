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
// What a run says when the box did not answer, or not in full.
std::string no_answer_message();
// The box chosen was not taken after the conversation's first scans (a window took it
// meanwhile, or it left): ends the conversation and tells why, as a status whose message is
// `message` ("" when it has been said).
int status_of_box_not_taken(const box &chosen, std::string &message);
