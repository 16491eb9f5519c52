// Fuzz target: the HID report descriptor parser, fed whatever bytes a device could put in its
// sysfs report_descriptor. Besides crashes and sanitizer reports, it checks what the registry
// relies on: every length is 0 (no report of that type) or at least 2 (an ID byte and one
// payload byte), since a registration's lengths are compared with these.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "hid/report_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    hid_descriptor_info info = parse_report_descriptor(data, size);
    for (const hid_top_collection &c : info.collections) {
        if (c.input_len == 1 || c.output_len == 1 || c.feature_len == 1)
            abort();
    }
    // Every top-level collection takes at least two items of a byte each (collection, end), so
    // more collections than input bytes would mean state running away from the input.
    if (info.collections.size() > size)
        abort();
    return 0;
}
