// Linux internals of the single-instance guard that its tests look at.
#pragma once

#include <string>

// How long a later start waits for the holder to answer its signal before it gives up and
// ends anyway. The holder still handles the signal when it gets to it.
extern int msingle_reply_timeout_ms;

// Where the session's runtime directories are, one per user id ("/run/user"): the guard's place
// when XDG_RUNTIME_DIR is not set.
extern std::string msingle_runtime_root;

// The holder's socket path while this process holds the guard, else "".
std::string msingle_socket_path();
