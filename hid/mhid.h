// The HID module: device registrations, their connection notices, input reports and writes.
#pragma once

typedef void (*mhid_connected_callback)(void *user_data, int device);
typedef void (*mhid_disconnected_callback)(void *user_data, int device);
typedef void (*mhid_report_callback)(void *user_data, int device, unsigned char *data, int length);
typedef void (*mhid_device_change_callback)(void *target);

void mhid_init();
int mhid_add_device(int vendor_id, int product_id, int usage_page, int input_len, int output_len);
void mhid_set_callbacks(int id,
                        mhid_connected_callback connected_cb, void *connected_data,
                        mhid_disconnected_callback disconnected_cb, void *disconnected_data,
                        mhid_report_callback report_cb, void *report_data);
void mhid_set_device_change_callback(mhid_device_change_callback callback, void *target);
int mhid_write(int id, const unsigned char *data, int length);
void mhid_terminate();
