// Single-instance guard: one holder of a name per user session.
#pragma once

typedef void (*msingle_callback)();

// 1: this process now holds the guard. 0: another process holds it and has handled our signal.
int msingle_init(const char *name, msingle_callback callback);
void msingle_terminate();
