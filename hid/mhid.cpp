#include "hid/mhid.h"
// Not built yet.
void mhid_init() {}
int mhid_add_device(int, int, int, int, int) { return -1; }
void mhid_set_callbacks(int, mhid_connected_callback, void *, mhid_disconnected_callback, void *,
                        mhid_report_callback, void *) {}
void mhid_set_device_change_callback(mhid_device_change_callback, void *) {}
int mhid_write(int, const unsigned char *, int) { return -1; }
void mhid_terminate() {}
#include "hid/mhid_linux.h"
void mhid_set_access_denied_callback(mhid_access_denied_callback, void *) {}
