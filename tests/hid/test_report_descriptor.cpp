// The report descriptor parser on descriptors of real devices and on broken ones.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "hid/report_descriptor.h"

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
    }
}

}  // namespace
