// Reading a HID report descriptor: what the registry needs to know about an interface.
//
// The kernel hands us the raw descriptor (sysfs report_descriptor); the scan needs, per
// top-level collection, its usage page and the byte lengths of its input and output reports
// counted the usual way (the longest report of that type in the collection, rounded up to whole
// bytes, plus one byte for the report ID, which is counted even when the device has no report
// IDs). The parser takes any bytes: descriptors come from devices, and devices get them wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct hid_top_collection {
    uint16_t usage_page = 0;   // page of the collection's usage
    uint16_t usage = 0;
    uint16_t input_len = 0;    // 0: the collection has no input reports
    uint16_t output_len = 0;
    uint16_t feature_len = 0;
};

struct hid_descriptor_info {
    std::vector<hid_top_collection> collections;
    // Input reports carry a report ID byte as their first byte (hidraw then hands it to read()).
    bool input_numbered = false;
    // False when the descriptor ended inside an item; what was read before still counts.
    bool complete = true;
};

hid_descriptor_info parse_report_descriptor(const unsigned char *data, size_t size);
