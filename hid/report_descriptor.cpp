// HID report descriptor parser. Item layout and tags follow the Device Class Definition for
// HID 1.11, section 6.2.2 (short and long items, Main/Global/Local tags).
#include "hid/report_descriptor.h"

#include <algorithm>
#include <array>
#include <map>
#include <tuple>

namespace {

// Item types (6.2.2.2, bits 3..2 of the prefix).
constexpr unsigned type_main = 0;
constexpr unsigned type_global = 1;
constexpr unsigned type_local = 2;

// Main item tags (6.2.2.4).
constexpr unsigned main_input = 0x8;
constexpr unsigned main_output = 0x9;
constexpr unsigned main_collection = 0xA;
constexpr unsigned main_feature = 0xB;
constexpr unsigned main_end_collection = 0xC;

// Global item tags (6.2.2.7).
constexpr unsigned global_usage_page = 0x0;
constexpr unsigned global_logical_min = 0x1;
constexpr unsigned global_logical_max = 0x2;
constexpr unsigned global_report_size = 0x7;
constexpr unsigned global_report_id = 0x8;
constexpr unsigned global_report_count = 0x9;
constexpr unsigned global_push = 0xA;
constexpr unsigned global_pop = 0xB;

// Local item tags (6.2.2.8).
constexpr unsigned local_usage = 0x0;
constexpr unsigned local_usage_min = 0x1;
constexpr unsigned local_usage_max = 0x2;

// The long item prefix (6.2.2.3): bDataSize and bLongItemTag follow, then the data.
constexpr unsigned char long_item_prefix = 0xFE;

// A nesting or push depth beyond this is garbage, not a device; the parser stops counting
// levels there instead of growing without bound.
constexpr size_t max_push_depth = 32;

// Bit counts are kept far below overflow: a report this long matches no registration anyway.
constexpr uint64_t bits_cap = uint64_t{1} << 40;

// Real devices have a few dozen Input items and a few hundred usages; garbage gets no more
// than this, so memory stays bounded whatever the bytes say.
constexpr size_t max_input_fields = 4096;
constexpr size_t max_usages = 1024;

struct global_state {
    uint32_t usage_page = 0;
    uint32_t report_size = 0;
    uint32_t report_count = 0;
    uint8_t report_id = 0;
    uint32_t logical_min = 0;  // raw item data and its size in bytes, read at the Input item
    size_t logical_min_n = 0;
    uint32_t logical_max = 0;
    size_t logical_max_n = 0;
};

// A usage as a local item gave it: four-byte usages carry their own page.
struct local_usage_item {
    uint32_t value = 0;
    bool extended = false;
};

int32_t sign_extend(uint32_t v, size_t n) {
    if (n == 0)
        return 0;
    if (n >= 4)
        return static_cast<int32_t>(v);
    const unsigned bits = static_cast<unsigned>(8 * n);
    const uint32_t sign = uint32_t{1} << (bits - 1);
    return static_cast<int32_t>((v ^ sign) - sign);
}

uint32_t full_usage(const local_usage_item &u, uint32_t page) {
    return u.extended ? u.value : (page << 16) | (u.value & 0xFFFF);
}

enum report_type { report_input = 0, report_output = 1, report_feature = 2 };

uint32_t item_value(const unsigned char *p, size_t n) {
    uint32_t v = 0;
    for (size_t i = 0; i < n; i++)
        v |= uint32_t{p[i]} << (8 * i);
    return v;
}

uint16_t byte_length(uint64_t bits) {
    // Whole bytes of payload plus the report ID byte, clamped to the 16-bit field.
    uint64_t bytes = (bits + 7) / 8 + 1;
    return static_cast<uint16_t>(std::min<uint64_t>(bytes, 0xFFFF));
}

}  // namespace

hid_descriptor_info parse_report_descriptor(const unsigned char *data, size_t size) {
    hid_descriptor_info info;
    global_state global;
    std::vector<global_state> stack;
    bool have_usage = false;
    uint32_t first_usage = 0;  // with its page in the upper half when the item gave one
    bool first_usage_extended = false;
    size_t depth = 0;
    int current = -1;  // index of the open top-level collection
    // Bits per (top-level collection, report type, report ID).
    std::map<std::tuple<int, int, uint8_t>, uint64_t> bits;
    // Input bits per report ID so far, across collections: where the next Input item starts.
    std::map<uint8_t, uint64_t> input_offset;
    std::vector<local_usage_item> usages;
    bool have_min = false, have_max = false;
    local_usage_item usage_min, usage_max;

    if (data == nullptr)
        size = 0;

    size_t pos = 0;
    while (pos < size) {
        unsigned char prefix = data[pos];
        if (prefix == long_item_prefix) {
            // No long item tags are defined; skip over its data, if it is all there.
            if (size - pos < 3) {
                info.complete = false;
                break;
            }
            size_t n = data[pos + 1];
            if (size - pos - 3 < n) {
                info.complete = false;
                break;
            }
            pos += 3 + n;
            continue;
        }
        static constexpr std::array<size_t, 4> sizes = {0, 1, 2, 4};
        size_t n = sizes[prefix & 0x3];
        unsigned type = (prefix >> 2) & 0x3;
        unsigned tag = prefix >> 4;
        if (size - pos - 1 < n) {
            info.complete = false;
            break;
        }
        uint32_t value = item_value(data + pos + 1, n);
        pos += 1 + n;

        if (type == type_main) {
            switch (tag) {
            case main_collection:
                if (depth == 0) {
                    hid_top_collection c;
                    uint32_t usage = have_usage ? first_usage : 0;
                    c.usage_page = static_cast<uint16_t>(
                        have_usage && first_usage_extended ? usage >> 16 : global.usage_page);
                    c.usage = static_cast<uint16_t>(usage & 0xFFFF);
                    info.collections.push_back(c);
                    current = static_cast<int>(info.collections.size()) - 1;
                }
                depth++;
                break;
            case main_end_collection:
                if (depth > 0) {
                    depth--;
                    if (depth == 0)
                        current = -1;
                }
                break;
            case main_input:
            case main_output:
            case main_feature: {
                // Fields outside any collection belong to no top-level collection and are not
                // counted.
                if (current < 0)
                    break;
                int t = tag == main_input ? report_input : tag == main_output ? report_output
                                                                                : report_feature;
                uint64_t &b = bits[{current, t, global.report_id}];
                b = std::min<uint64_t>(b + uint64_t{global.report_size} * global.report_count,
                                       bits_cap);
                if (t == report_input && global.report_id != 0)
                    info.input_numbered = true;
                break;
            }
            default:
                break;
            }
            if (tag == main_input) {
                uint64_t &offset = input_offset[global.report_id];
                const uint64_t length = uint64_t{global.report_size} * global.report_count;
                if (info.inputs.size() < max_input_fields && offset < bits_cap) {
                    hid_input_field f;
                    f.report_id = global.report_id;
                    f.collection = current;
                    f.bit_offset = static_cast<uint32_t>(std::min<uint64_t>(offset, UINT32_MAX));
                    f.size = global.report_size;
                    f.count = global.report_count;
                    f.usage_page = static_cast<uint16_t>(global.usage_page);
                    for (const local_usage_item &u : usages)
                        f.usages.push_back(full_usage(u, global.usage_page));
                    if (have_min && have_max) {
                        f.has_range = true;
                        f.usage_min = full_usage(usage_min, global.usage_page);
                        // A short maximum takes the page of an extended minimum.
                        f.usage_max = usage_max.extended || !usage_min.extended
                                          ? full_usage(usage_max, global.usage_page)
                                          : (f.usage_min & 0xFFFF0000u) | (usage_max.value & 0xFFFF);
                    }
                    f.logical_min = sign_extend(global.logical_min, global.logical_min_n);
                    // The usual reading of a maximum: signed when the minimum is negative,
                    // else unsigned (0 to 255 is often written as 15 00 25 FF).
                    if (f.logical_min < 0 || global.logical_max_n >= 4)
                        f.logical_max = sign_extend(global.logical_max, global.logical_max_n);
                    else
                        f.logical_max = static_cast<int32_t>(global.logical_max);
                    f.flags = value;
                    info.inputs.push_back(std::move(f));
                }
                offset = std::min<uint64_t>(offset + length, bits_cap);
            }
            // Every main item ends the local items that preceded it (6.2.2.8).
            have_usage = false;
            first_usage = 0;
            first_usage_extended = false;
            usages.clear();
            have_min = have_max = false;
        } else if (type == type_global) {
            switch (tag) {
            case global_usage_page:
                global.usage_page = value & 0xFFFF;
                break;
            case global_report_size:
                global.report_size = value;
                break;
            case global_report_id:
                global.report_id = static_cast<uint8_t>(value);
                break;
            case global_report_count:
                global.report_count = value;
                break;
            case global_logical_min:
                global.logical_min = value;
                global.logical_min_n = n;
                break;
            case global_logical_max:
                global.logical_max = value;
                global.logical_max_n = n;
                break;
            case global_push:
                if (stack.size() < max_push_depth)
                    stack.push_back(global);
                break;
            case global_pop:
                if (!stack.empty()) {
                    global = stack.back();
                    stack.pop_back();
                }
                break;
            default:
                break;
            }
        } else if (type == type_local) {
            if (tag == local_usage && !have_usage) {
                have_usage = true;
                first_usage = value;
                first_usage_extended = n == 4;
            }
            if (tag == local_usage && usages.size() < max_usages)
                usages.push_back({value, n == 4});
            if (tag == local_usage_min) {
                have_min = true;
                usage_min = {value, n == 4};
            }
            if (tag == local_usage_max) {
                have_max = true;
                usage_max = {value, n == 4};
            }
        }
    }

    for (const auto &[key, count] : bits) {
        auto [index, t, id] = key;
        (void)id;
        hid_top_collection &c = info.collections[static_cast<size_t>(index)];
        uint16_t len = count == 0 ? 0 : byte_length(count);
        uint16_t &field = t == report_input ? c.input_len : t == report_output ? c.output_len
                                                                               : c.feature_len;
        field = std::max(field, len);
    }
    return info;
}

uint32_t hid_input_field::usage(uint32_t index) const {
    if (!usages.empty())
        return usages[std::min<size_t>(index, usages.size() - 1)];
    if (!has_range || usage_max < usage_min || index > usage_max - usage_min)
        return 0;
    return usage_min + index;
}

bool hid_field_value(const hid_input_field &field, uint32_t index, const unsigned char *payload,
                     size_t length, int32_t *value) {
    if (field.size == 0 || field.size > 32 || index >= field.count || payload == nullptr)
        return false;
    const uint64_t start = uint64_t{field.bit_offset} + uint64_t{index} * field.size;
    if (start + field.size > uint64_t{length} * 8)
        return false;
    uint64_t raw = 0;
    for (uint32_t i = 0; i < field.size; i++) {
        const uint64_t bit = start + i;
        if (payload[bit / 8] & (1u << (bit % 8)))
            raw |= uint64_t{1} << i;
    }
    if (field.logical_min < 0 && field.size < 32 && (raw & (uint64_t{1} << (field.size - 1))))
        raw |= ~uint64_t{0} << field.size;
    *value = static_cast<int32_t>(static_cast<uint32_t>(raw));
    return true;
}
