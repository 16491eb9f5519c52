// Single-instance guard: one holder of a name per user session.
#pragma once

#include <string>
#include <vector>

typedef void (*msingle_callback)();

// 1: this process now holds the guard. 0: another process holds it and has been signalled.
int msingle_init(const char *name, msingle_callback callback);
void msingle_terminate();

// One item that a later start hands to the holder with its signal: a key of 1 to 32 characters
// from a-z, 0-9 and '-', and a value of any bytes but NUL. A key may come more than once; the
// order is kept. A holder passes keys it does not know on to its callback, which ignores them.
struct msingle_item {
    std::string key;
    std::string value;
};
typedef void (*msingle_items_callback)(const std::vector<msingle_item> &items);

enum msingle_result {
    msingle_signalled = 0,   // another process holds the guard and has handled our signal
    msingle_holding = 1,     // this process now holds the guard
    msingle_unanswered = 2,  // another process holds it but did not answer in time
};

// As msingle_init, with items: if another process holds the guard, it is sent `items` (as many
// as fit into the bounded message, in order; malformed ones are left out). If this one takes
// the guard, `callback` runs on the GUI thread for each later start, with the items it sent
// (none from a start that sent none, or whose message could not be read whole).
msingle_result msingle_init_with_items(const char *name, const std::vector<msingle_item> &items,
                                       msingle_items_callback callback);
