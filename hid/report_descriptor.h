// Reading a HID report descriptor: what the registry needs to know about an interface, and
// the layout of its input reports for whoever decodes them.
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

// One Input item's fields, as a decoder needs them: where its values sit in the report, what
// they mean and how they are read.
struct hid_input_field {
    uint8_t report_id = 0;     // 0 when the descriptor has no report IDs
    int collection = -1;       // index into collections; -1 for a field outside any
    uint32_t bit_offset = 0;   // from the start of the payload (the report ID byte not counted)
    uint32_t size = 0;         // bits per value
    uint32_t count = 0;        // values
    uint16_t usage_page = 0;   // the page in force at the Input item
    // The usages, each with its page in the upper 16 bits: listed one by one (the last one
    // stands for the values beyond the list), or as a range when `usages` is empty.
    std::vector<uint32_t> usages;
    uint32_t usage_min = 0;
    uint32_t usage_max = 0;
    bool has_range = false;
    int32_t logical_min = 0;
    int32_t logical_max = 0;
    uint32_t flags = 0;        // the Input item's data bits; see the helpers below

    bool is_constant() const { return flags & 0x1; }
    // Variable: one value per usage; else Array: each value is the index of a usage in use.
    bool is_variable() const { return flags & 0x2; }
    bool is_relative() const { return flags & 0x4; }
    // The usage (page in the upper half) of value `index` of a Variable field, or of array
    // index `index` (the value minus logical_min) of an Array field; 0 when there is none.
    uint32_t usage(uint32_t index) const;
};

struct hid_descriptor_info {
    std::vector<hid_top_collection> collections;
    // Every Input item, in descriptor order (capped for descriptors beyond any real device).
    std::vector<hid_input_field> inputs;
    // Input reports carry a report ID byte as their first byte (hidraw then hands it to read()).
    bool input_numbered = false;
    // False when the descriptor ended inside an item; what was read before still counts.
    bool complete = true;
};

hid_descriptor_info parse_report_descriptor(const unsigned char *data, size_t size);

// Value `index` of `field` in a report's payload (the report ID byte already skipped): sign
// extended when the field's logical minimum is negative. False when the value lies beyond
// `length` bytes or is wider than 32 bits.
bool hid_field_value(const hid_input_field &field, uint32_t index, const unsigned char *payload,
                     size_t length, int32_t *value);
