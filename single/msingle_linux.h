// Linux internals of the single-instance guard that its tests look at.
#pragma once

#include <string>

// How long a later start waits for the holder to answer its signal before it gives up and
// ends anyway. The holder still handles the signal when it gets to it.
extern int msingle_reply_timeout_ms;

// The holder's socket path while this process holds the guard, else "".
std::string msingle_socket_path();
