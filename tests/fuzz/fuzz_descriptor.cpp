// Fuzz target: the HID report descriptor parser, fed whatever bytes a device could put in its
// sysfs report_descriptor. Besides crashes and sanitizer reports, it checks what the registry
// relies on: every length is 0 (no report of that type) or at least 2 (an ID byte and one
// payload byte), since a registration's lengths are compared with these. The same bytes then
// go, as input reports, through the switch test's decoding of that descriptor.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "device/switch_test.h"
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

    // Every Input item is at least one byte of the descriptor.
    if (info.inputs.size() > size)
        abort();
    configuration c = {};
    c.switches[1] = {kind_mouse_button, 2, 0, 0};  // the double click's waiting too
    switch_test test(c, max_switches);
    test.add_interface(info);
    int64_t now = 0;
    for (size_t start = 0; start < size; start += 7, now += 50) {
        test.report(0, data + start, size - start < 16 ? size - start : 16, now);
        if (test.held().size() > 4096)
            abort();
    }
    test.release_all(now);
    if (!test.held().empty())
        abort();
    return 0;
}
