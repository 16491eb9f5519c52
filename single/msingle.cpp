#include "single/msingle.h"
// Not built yet.
int msingle_init(const char *, msingle_callback) { return 1; }
void msingle_terminate() {}
