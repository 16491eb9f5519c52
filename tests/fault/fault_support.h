// Support for the fault runs: the real GLib main loop driven from the test, message dialogs
// answered and recorded as they appear, counts of the process's open fds and threads, and
// temporary user directories (HOME, XDG_*) so nothing touches the real user's files.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tests/main_loop_support.h"

// Every message logged at level WARNING or above, and every MESSAGE, since the last clear.
extern std::vector<std::string> logged_warnings;
extern std::vector<std::string> logged_messages;

// The temporary directory that HOME and the XDG directories point into for this run.
const std::string &fault_root();

// Runs the main loop until `done` holds. The limit only keeps a broken build from hanging the
// suite; nothing here depends on how fast anything is.
bool run_until(const std::function<bool()> &done, int limit_ms = 20000);
// Runs whatever is ready now, and what that makes ready, without waiting for timers.
void drain();

int open_fds();
int threads();
// A joined thread can stay listed for a moment while the kernel reaps it, and a closed fd of a
// thread that is ending likewise: waits (bounded) for the count to come down to `expected`.
int threads_settled(int expected);
int fds_settled(int expected);

// Drops or restores the process's right to ignore file permissions (the tests run as root).
void set_dac_override(bool on);
