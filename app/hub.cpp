#include "app/hub.h"
// Not built yet.
int device_zevrin = -1;
int device_zevrin_mini = -1;
void hid_connected_cb(void *, int) {}
void hid_disconnected_cb(void *, int) {}
void hid_report_cb(void *, int, unsigned char *, int) {}
void msingle_instance_cb() {}
gboolean read_config_cb(gpointer) { return FALSE; }
gboolean update_main_window_cb(gpointer) { return FALSE; }
gboolean multiple_devices_cb(gpointer) { return FALSE; }
void dialog_info(const char *, const char *, GtkWindow *) {}
