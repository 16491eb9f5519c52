// The report descriptor parser on descriptors of real devices and on broken ones.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "hid/report_descriptor.h"
#include "tests/hid/box_descriptors.h"

namespace {

using bytes = std::vector<unsigned char>;

hid_descriptor_info parse(const bytes &d) {
    // An exact-size heap copy, so a read past the end is caught by the sanitizers.
    auto copy = std::make_unique<unsigned char[]>(d.size());
    std::copy(d.begin(), d.end(), copy.get());
    return parse_report_descriptor(copy.get(), d.size());
}

// Boot keyboard, HID 1.11 appendix E.6: 8-byte input report, LED output report of 5 bits.
const bytes keyboard = {
        0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25,
        0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05,
        0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91,
        0x01, 0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65,
        0x81, 0x00, 0xC0,
};

// Boot mouse, appendix E.10: three buttons, padding, X and Y (a nested physical collection).
const bytes mouse = {
        0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19, 0x01, 0x29,
        0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02, 0x95, 0x01, 0x75, 0x05,
        0x81, 0x01, 0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95,
        0x02, 0x81, 0x06, 0xC0, 0xC0,
};

// A wireless keyboard-and-mouse receiver: four top-level collections on one interface, told
// apart by report IDs 1 (keyboard), 2 (consumer control), 3 (system control), 4 (mouse with
// 12-bit X/Y and a wheel).
const bytes receiver = {
        // Keyboard, report ID 1
        0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x85, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15,
        0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01,
        0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75,
        0x03, 0x91, 0x01, 0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x05, 0x07, 0x19,
        0x00, 0x2A, 0xFF, 0x00, 0x81, 0x00, 0xC0,
        // Consumer control, report ID 2: one 16-bit usage
        0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x03, 0x19, 0x00,
        0x2A, 0xFF, 0x03, 0x75, 0x10, 0x95, 0x01, 0x81, 0x00, 0xC0,
        // System control, report ID 3: three bits and padding
        0x05, 0x01, 0x09, 0x80, 0xA1, 0x01, 0x85, 0x03, 0x19, 0x81, 0x29, 0x83, 0x15, 0x00, 0x25,
        0x01, 0x75, 0x01, 0x95, 0x03, 0x81, 0x02, 0x95, 0x01, 0x75, 0x05, 0x81, 0x01, 0xC0,
        // Mouse, report ID 4: 5 buttons + 3 padding, X/Y 12 bits each, wheel 8 bits = 5 bytes
        0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x85, 0x04, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19,
        0x01, 0x29, 0x05, 0x15, 0x00, 0x25, 0x01, 0x95, 0x05, 0x75, 0x01, 0x81, 0x02, 0x95, 0x01,
        0x75, 0x03, 0x81, 0x01, 0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x16, 0x01, 0xF8, 0x26, 0xFF,
        0x07, 0x75, 0x0C, 0x95, 0x02, 0x81, 0x06, 0x09, 0x38, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08,
        0x95, 0x01, 0x81, 0x06, 0xC0, 0xC0,
};

// The Zevrin's interface: vendor page 0xFF00, 8-byte input and output reports, no report IDs.
const bytes zevrin = {
        0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75,
        0x08, 0x95, 0x08, 0x81, 0x02, 0x09, 0x03, 0x75, 0x08, 0x95, 0x08, 0x91, 0x02, 0xC0,
};

// A FIDO security key: vendor-range page 0xF1D0, 64-byte reports both ways.
const bytes fido = {
        0x06, 0xD0, 0xF1, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x20, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75,
        0x08, 0x95, 0x40, 0x81, 0x02, 0x09, 0x21, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95,
        0x40, 0x91, 0x02, 0xC0,
};

TEST(ReportDescriptor, RealDevicesGiveTheirCollectionsAndLengths) {
    hid_descriptor_info k = parse(keyboard);
    ASSERT_EQ(k.collections.size(), 1u);
    EXPECT_EQ(k.collections[0].usage_page, 0x01);
    EXPECT_EQ(k.collections[0].usage, 0x06);
    EXPECT_EQ(k.collections[0].input_len, 9);   // 8 bytes + report ID byte
    EXPECT_EQ(k.collections[0].output_len, 2);  // 5 LED bits + 3 padding + report ID byte
    EXPECT_FALSE(k.input_numbered);
    EXPECT_TRUE(k.complete);

    hid_descriptor_info m = parse(mouse);
    ASSERT_EQ(m.collections.size(), 1u);  // the physical collection is nested, not top-level
    EXPECT_EQ(m.collections[0].usage_page, 0x01);
    EXPECT_EQ(m.collections[0].usage, 0x02);
    EXPECT_EQ(m.collections[0].input_len, 4);
    EXPECT_EQ(m.collections[0].output_len, 0);

    hid_descriptor_info z = parse(zevrin);
    ASSERT_EQ(z.collections.size(), 1u);
    EXPECT_EQ(z.collections[0].usage_page, 0xFF00);
    EXPECT_EQ(z.collections[0].input_len, 9);
    EXPECT_EQ(z.collections[0].output_len, 9);
    EXPECT_FALSE(z.input_numbered);

    hid_descriptor_info f = parse(fido);
    ASSERT_EQ(f.collections.size(), 1u);
    EXPECT_EQ(f.collections[0].usage_page, 0xF1D0);
    EXPECT_EQ(f.collections[0].input_len, 65);
    EXPECT_EQ(f.collections[0].output_len, 65);
}

// One row per Input item: where it is and what it holds.
struct field_row {
    uint8_t id;
    int collection;
    uint32_t offset, size, count;
    uint32_t first_usage, last_usage;  // usage(0) and usage(count - 1), pages included
    int32_t min, max;
    bool constant, variable, relative;
};

void expect_fields(const bytes &d, const std::vector<field_row> &rows, const char *name) {
    hid_descriptor_info info = parse(d);
    ASSERT_EQ(info.inputs.size(), rows.size()) << name;
    for (size_t i = 0; i < rows.size(); i++) {
        const hid_input_field &f = info.inputs[i];
        const field_row &r = rows[i];
        SCOPED_TRACE(testing::Message() << name << " field " << i);
        EXPECT_EQ(f.report_id, r.id);
        EXPECT_EQ(f.collection, r.collection);
        EXPECT_EQ(f.bit_offset, r.offset);
        EXPECT_EQ(f.size, r.size);
        EXPECT_EQ(f.count, r.count);
        EXPECT_EQ(f.usage(0), r.first_usage);
        EXPECT_EQ(f.usage(r.count - 1), r.last_usage);
        EXPECT_EQ(f.logical_min, r.min);
        EXPECT_EQ(f.logical_max, r.max);
        EXPECT_EQ(f.is_constant(), r.constant);
        EXPECT_EQ(f.is_variable(), r.variable);
        EXPECT_EQ(f.is_relative(), r.relative);
    }
}

TEST(ReportDescriptor, InputFieldsSayWhereEachValueIsAndWhatItMeans) {
    expect_fields(keyboard,
                  {{0, 0, 0, 1, 8, 0x700E0, 0x700E7, 0, 1, false, true, false},
                   {0, 0, 8, 8, 1, 0, 0, 0, 1, true, false, false},
                   // Array of six: index i is usage i of the range 0x00-0x65.
                   {0, 0, 16, 8, 6, 0x70000, 0x70005, 0, 0x65, false, false, false}},
                  "keyboard");
    expect_fields(mouse,
                  {{0, 0, 0, 1, 3, 0x90001, 0x90003, 0, 1, false, true, false},
                   {0, 0, 3, 5, 1, 0, 0, 0, 1, true, false, false},
                   {0, 0, 8, 8, 2, 0x10030, 0x10031, -127, 127, false, true, true}},
                  "mouse");
    expect_fields(box_descriptors::joystick,
                  {{0, 0, 0, 8, 2, 0x10030, 0x10031, -127, 127, false, true, false},
                   {0, 0, 16, 4, 1, 0x10039, 0x10039, 0, 7, false, true, false},
                   {0, 0, 20, 4, 1, 0, 0, 0, 7, true, false, false},
                   {0, 0, 24, 1, 8, 0x90001, 0x90008, 0, 1, false, true, false}},
                  "joystick");
    // Report IDs: offsets count from the start of each report's payload; 12-bit axes and a
    // two-byte maximum (0x26 0xFF 0x00) read as 255, not -1.
    expect_fields(receiver,
                  {{1, 0, 0, 1, 8, 0x700E0, 0x700E7, 0, 1, false, true, false},
                   {1, 0, 8, 8, 1, 0, 0, 0, 1, true, false, false},
                   {1, 0, 16, 8, 6, 0x70000, 0x70005, 0, 255, false, false, false},
                   {2, 1, 0, 16, 1, 0xC0000, 0xC0000, 0, 0x3FF, false, false, false},
                   {3, 2, 0, 1, 3, 0x10081, 0x10083, 0, 1, false, true, false},
                   {3, 2, 3, 5, 1, 0, 0, 0, 1, true, false, false},
                   {4, 3, 0, 1, 5, 0x90001, 0x90005, 0, 1, false, true, false},
                   {4, 3, 5, 3, 1, 0, 0, 0, 1, true, false, false},
                   {4, 3, 8, 12, 2, 0x10030, 0x10031, -2047, 2047, false, true, true},
                   {4, 3, 32, 8, 1, 0x10038, 0x10038, -127, 127, false, true, true}},
                  "receiver");
    hid_descriptor_info n = parse(box_descriptors::numbered);
    ASSERT_EQ(n.collections.size(), 3u);
    EXPECT_EQ(n.collections[0].input_len, 15);
    EXPECT_EQ(n.collections[1].input_len, 5);
    EXPECT_EQ(n.collections[2].input_len, 5);
    ASSERT_EQ(n.inputs.size(), 2u + 3u + 4u);
    EXPECT_EQ(n.inputs[1].bit_offset, 8u);
    EXPECT_EQ(n.inputs[1].usage(0x2C), 0x7002Cu);  // Space, in the bitmap
    EXPECT_EQ(n.inputs[5].report_id, 3);
    EXPECT_EQ(n.inputs[5].bit_offset, 0u);
}

TEST(ReportDescriptor, FieldValuesAreReadBitExactAndWithinTheReport) {
    // The receiver's mouse report: buttons 1 and 3, X = -2 (0xFFE), Y = 5 (0x005), wheel -1.
    hid_descriptor_info r = parse(receiver);
    const unsigned char payload[] = {0x05, 0xFE, 0x5F, 0x00, 0xFF};
    struct {
        size_t field;
        uint32_t index;
        size_t length;
        bool ok;
        int32_t value;
    } cases[] = {
        {6, 0, 5, true, 1}, {6, 1, 5, true, 0}, {6, 2, 5, true, 1},
        {8, 0, 5, true, -2}, {8, 1, 5, true, 5}, {9, 0, 5, true, -1},
        {9, 0, 4, false, 0},   // the wheel lies beyond a 4-byte payload
        {8, 2, 5, false, 0},   // past the field's count
        {2, 5, 8, true, 0},    // unsigned keyboard array, last key slot
    };
    for (const auto &c : cases) {
        int32_t v = 12345;
        const unsigned char keys[8] = {};
        const unsigned char *p = c.field == 2 ? keys : payload;
        EXPECT_EQ(hid_field_value(r.inputs[c.field], c.index, p, c.length, &v), c.ok)
            << c.field << " " << c.index;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.field << " " << c.index;
        }
    }
    // Too wide to be a value, or no bits at all.
    hid_input_field wide;
    wide.size = 33;
    wide.count = 1;
    int32_t v = 0;
    EXPECT_FALSE(hid_field_value(wide, 0, payload, sizeof payload, &v));
    wide.size = 0;
    EXPECT_FALSE(hid_field_value(wide, 0, payload, sizeof payload, &v));
}

TEST(ReportDescriptor, CompositeWithReportIdsCountsEachCollectionApart) {
    hid_descriptor_info r = parse(receiver);
    EXPECT_TRUE(r.input_numbered);
    EXPECT_TRUE(r.complete);
    ASSERT_EQ(r.collections.size(), 4u);
    EXPECT_EQ(r.collections[0].usage_page, 0x01);
    EXPECT_EQ(r.collections[0].usage, 0x06);
    EXPECT_EQ(r.collections[0].input_len, 9);
    EXPECT_EQ(r.collections[0].output_len, 2);
    EXPECT_EQ(r.collections[1].usage_page, 0x0C);
    EXPECT_EQ(r.collections[1].input_len, 3);
    EXPECT_EQ(r.collections[1].output_len, 0);
    EXPECT_EQ(r.collections[2].usage_page, 0x01);
    EXPECT_EQ(r.collections[2].usage, 0x80);
    EXPECT_EQ(r.collections[2].input_len, 2);
    EXPECT_EQ(r.collections[3].usage, 0x02);
    EXPECT_EQ(r.collections[3].input_len, 6);
}

TEST(ReportDescriptor, LongestReportOfACollectionSetsItsLength) {
    // One vendor collection with input reports 7 (4 bytes) and 9 (8 bytes): 8 + 1.
    const bytes d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08,
                     0x85, 0x07, 0x95, 0x04, 0x09, 0x01, 0x81, 0x02, 0x85, 0x09,
                     0x95, 0x08, 0x09, 0x01, 0x81, 0x02, 0xC0};
    hid_descriptor_info info = parse(d);
    ASSERT_EQ(info.collections.size(), 1u);
    EXPECT_EQ(info.collections[0].input_len, 9);
    EXPECT_TRUE(info.input_numbered);
}

TEST(ReportDescriptor, ExtendedUsageNamesTheCollectionsPage) {
    // Usage Page says Generic Desktop, but the four-byte usage 0xFF000001 carries its own page.
    const bytes d = {0x05, 0x01, 0x0B, 0x01, 0x00, 0x00, 0xFF, 0xA1, 0x01, 0x75,
                     0x08, 0x95, 0x08, 0x81, 0x02, 0xC0};
    hid_descriptor_info info = parse(d);
    ASSERT_EQ(info.collections.size(), 1u);
    EXPECT_EQ(info.collections[0].usage_page, 0xFF00);
    EXPECT_EQ(info.collections[0].usage, 0x01);
}

TEST(ReportDescriptor, PushAndPopRestoreTheGlobals) {
    // Push with size 8 count 8, change to size 1 count 1, pop: the input is 8 bytes again.
    const bytes d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x08, 0xA4,
                     0x75, 0x01, 0x95, 0x01, 0xB4, 0x81, 0x02, 0xC0};
    hid_descriptor_info info = parse(d);
    ASSERT_EQ(info.collections.size(), 1u);
    EXPECT_EQ(info.collections[0].input_len, 9);
}

TEST(ReportDescriptor, LongItemsAreSkipped) {
    // A long item whose data looks like Inputs.
    bytes d = {0xFE, 0x04, 0x10, 0x81, 0x81, 0x81, 0x81};
    d.insert(d.end(), zevrin.begin(), zevrin.end());
    hid_descriptor_info info = parse(d);
    ASSERT_EQ(info.collections.size(), 1u);
    EXPECT_EQ(info.collections[0].input_len, 9);
    EXPECT_TRUE(info.complete);
}

TEST(ReportDescriptor, TruncatedDescriptorsKeepWhatWasReadAndSayTheyAreCut) {
    // Every prefix of a real descriptor gives a prefix of its collections, none longer than the
    // whole descriptor says.
    for (const bytes *d : {&keyboard, &mouse, &receiver, &zevrin, &fido}) {
        hid_descriptor_info whole = parse(*d);
        for (size_t n = 0; n <= d->size(); n++) {
            bytes prefix(d->begin(), d->begin() + static_cast<std::ptrdiff_t>(n));
            hid_descriptor_info info = parse(prefix);
            ASSERT_LE(info.collections.size(), whole.collections.size());
            for (size_t i = 0; i < info.collections.size(); i++) {
                EXPECT_EQ(info.collections[i].usage_page, whole.collections[i].usage_page);
                EXPECT_LE(info.collections[i].input_len, whole.collections[i].input_len) << n;
                EXPECT_LE(info.collections[i].output_len, whole.collections[i].output_len) << n;
            }
        }
    }
    // Cut inside the 2-byte Logical Maximum item of the Zevrin descriptor.
    bytes cut(zevrin.begin(), zevrin.begin() + 13);
    EXPECT_FALSE(parse(cut).complete);
    // A long item that claims more data than there is.
    EXPECT_FALSE(parse(bytes{0xFE, 0xFF, 0x00, 0x01}).complete);
    EXPECT_FALSE(parse(bytes{0xFE, 0x01}).complete);
}

TEST(ReportDescriptor, AbsurdSizesAreClampedNotOverflowed) {
    // Report Size and Report Count of 0xFFFFFFFF, twice: far beyond any real report.
    const bytes d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x77, 0xFF, 0xFF, 0xFF, 0xFF,
                     0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02, 0x81, 0x02, 0x91, 0x02, 0xC0};
    hid_descriptor_info info = parse(d);
    ASSERT_EQ(info.collections.size(), 1u);
    EXPECT_EQ(info.collections[0].input_len, 0xFFFF);
    EXPECT_EQ(info.collections[0].output_len, 0xFFFF);
}

TEST(ReportDescriptor, StructuralNonsenseIsSurvived) {
    // Pops without pushes, an End Collection with nothing open, fields outside any collection.
    const bytes stray = {0xB4, 0xB4, 0xC0, 0xC0, 0x75, 0x08, 0x95, 0x08, 0x81, 0x02, 0xB4};
    hid_descriptor_info info = parse(stray);
    EXPECT_TRUE(info.collections.empty());

    // Thousands of pushes and deeply nested collections that never close.
    bytes deep;
    for (int i = 0; i < 5000; i++)
        deep.push_back(0xA4);
    for (int i = 0; i < 5000; i++) {
        deep.push_back(0xA1);
        deep.push_back(0x00);
    }
    deep.insert(deep.end(), {0x75, 0x08, 0x95, 0x02, 0x81, 0x02});
    info = parse(deep);
    ASSERT_EQ(info.collections.size(), 1u);
    EXPECT_EQ(info.collections[0].input_len, 3);

    EXPECT_TRUE(parse_report_descriptor(nullptr, 100).collections.empty());
    EXPECT_TRUE(parse(bytes{}).collections.empty());
}

TEST(ReportDescriptor, RandomBytesNeverReadOutOfBounds) {
    // Deterministic noise (a linear congruential generator), checked for bounds by the
    // sanitizer builds and for sane results here.
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 24;
    };
    for (int round = 0; round < 20000; round++) {
        bytes d(next() + (round % 3) * 97);
        for (unsigned char &b : d)
            b = static_cast<unsigned char>(next());
        hid_descriptor_info info = parse(d);
        EXPECT_LE(info.collections.size(), d.size() / 2 + 1);
        // Every Input item is one byte at least; values read from a report stay inside it.
        ASSERT_LE(info.inputs.size(), d.size());
        for (const hid_input_field &f : info.inputs) {
            ASSERT_LE(f.usages.size(), d.size());
            int32_t v;
            for (uint32_t i = 0; i < 4; i++)
                hid_field_value(f, i, d.data(), std::min<size_t>(d.size(), 16), &v);
        }
    }
}

}  // namespace
