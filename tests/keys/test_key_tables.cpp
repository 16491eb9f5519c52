// The key code tables and the names given without a display (no keymap to ask).
#include <gtest/gtest.h>

#include <clocale>
#include <libintl.h>
#include <set>
#include <string>
#include <vector>

#include "device/keymap.h"
#include "device/keys.h"
#include "tests/keys/key_names.h"

namespace {

std::string name_of(int code)
{
    gchar *name = get_keybd_hid_code_name(code);
    std::string result = name;
    g_free(name);
    return result;
}

// The scan code -> usage table as runs of consecutive scan codes, the way keyboards list
// their make codes; everything not listed is 0.
struct scan_run {
    int first_scan_code;
    std::vector<int> usages;
};
const std::vector<scan_run> scan_code_runs = {
    {0x01, {0x29}},
    {0x02, {0x1E, 0x1F, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27}},
    {0x0C, {0x2D, 0x2E, 0x2A, 0x2B}},
    {0x10, {0x14, 0x1A, 0x08, 0x15, 0x17, 0x1C, 0x18, 0x0C, 0x12, 0x13}},
    {0x1A, {0x2F, 0x30, 0x9E, 0xE0}},
    {0x1E, {0x04, 0x16, 0x07, 0x09, 0x0A, 0x0B, 0x0D, 0x0E, 0x0F}},
    {0x27, {0x33, 0x34, 0x35, 0xE1, 0x31}},
    {0x2C, {0x1D, 0x1B, 0x06, 0x19, 0x05, 0x11, 0x10}},
    {0x33, {0x36, 0x37, 0x38, 0xE5}},
    {0x38, {0xE2}},
    {0x3A, {0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F, 0x40, 0x41, 0x42, 0x43}},
    {0x45, {0x48, 0x47}},
    {0x57, {0x44, 0x45}},
    {0x9D, {0xE4}},
    {0xB7, {0x46, 0xE6}},
    {0xC7, {0x4A, 0x52, 0x4B}},
    {0xCB, {0x50}},
    {0xCD, {0x4F}},
    {0xCF, {0x4D, 0x51, 0x4E, 0x49, 0x4C}},
    {0xDB, {0xE3, 0xE7}},
};

TEST(KeyTables, ScanCodeTableHoldsExactlyTheListedKeys)
{
    std::array<int, 256> expected = {};
    for (const auto &run : scan_code_runs)
        for (size_t i = 0; i < run.usages.size(); i++)
            expected[size_t(run.first_scan_code) + i] = run.usages[i];
    for (int s = 0; s < 256; s++)
        EXPECT_EQ(windows_keycode_to_hid_code[size_t(s)], expected[size_t(s)]) << "scan code " << s;
    // Space, keypad star, the keypad and the ISO key have no usage here.
    for (int s : {0x37, 0x39, 0x47, 0x4F, 0x53, 0x54, 0x55, 0x56})
        EXPECT_EQ(windows_keycode_to_hid_code[size_t(s)], 0) << s;
}

TEST(KeyTables, UsageTableIsTheInversePlusTheIsoKey)
{
    int with_scan_code = 0;
    for (int s = 0; s < 256; s++) {
        const int u = windows_keycode_to_hid_code[size_t(s)];
        if (u == 0)
            continue;
        EXPECT_EQ(hid_code_to_windows_keycode[size_t(u)], s) << "usage " << u;
    }
    for (int u = 0; u < 256; u++) {
        const int s = hid_code_to_windows_keycode[size_t(u)];
        if (s == 0xFF)
            continue;
        with_scan_code++;
        if (u == 0x64)
            EXPECT_EQ(s, 0x56);  // the ISO key: a scan code, though that has no usage
        else
            EXPECT_EQ(windows_keycode_to_hid_code[size_t(s)], u) << "usage " << u;
    }
    EXPECT_EQ(with_scan_code, 86);  // 85 keys of the other table and the ISO key
    EXPECT_EQ(hid_code_to_windows_keycode[0x28], 0xFF);  // Return: the table has 0x9E
    EXPECT_EQ(hid_code_to_windows_keycode[0x2C], 0xFF);  // Space
    EXPECT_EQ(hid_code_to_windows_keycode[0x00], 0xFF);
}

TEST(KeyTables, KeyListOrder)
{
    const std::set<uint8_t> distinct(keybd_hid_codes.begin(), keybd_hid_codes.end());
    EXPECT_EQ(distinct.size(), keybd_hid_codes.size());
    for (int i = 0; i < 26; i++)
        EXPECT_EQ(keybd_hid_codes[size_t(i)], 0x04 + i);  // A to Z
    EXPECT_EQ(keybd_hid_codes[26], 0x33);  // semicolon and backslash right after the letters
    EXPECT_EQ(keybd_hid_codes[27], 0x31);
    EXPECT_EQ(keybd_hid_codes[28], 0x27);  // digit 0 before 1 to 9
    for (int i = 0; i < 9; i++)
        EXPECT_EQ(keybd_hid_codes[size_t(29 + i)], 0x1E + i);
    for (int i = 0; i < 12; i++)
        EXPECT_EQ(keybd_hid_codes[size_t(40 + i)], 0x3A + i);  // F1 to F12
    EXPECT_EQ(keybd_hid_codes[62], 0x64);
    EXPECT_EQ(keybd_hid_codes[63], 0x29);
    EXPECT_EQ(keybd_hid_codes[77], 0x65);
}

TEST(KeyNames, FixedNamesAndBracketKeys)
{
    EXPECT_EQ(name_of(0x28), "Return");
    EXPECT_EQ(name_of(0x2C), "Space");
    EXPECT_EQ(name_of(0x65), "Menu key");
    EXPECT_EQ(name_of(0x4A), "Home");
    // The left-bracket and apostrophe keys are named like the others (here by the us names).
    EXPECT_EQ(name_of(0x2F), "[");
    EXPECT_EQ(name_of(0x34), "'");
    // Only the low 8 bits count.
    EXPECT_EQ(name_of(0x128), "Return");
    EXPECT_EQ(name_of(-256 + 0x2F), "[");
}

TEST(KeyNames, NoScanCodeGivesEmptyName)
{
    EXPECT_EQ(name_of(0x32), "");  // non-US # key: not in either table
    EXPECT_EQ(name_of(0x00), "");
    EXPECT_EQ(name_of(0x9E), "");  // a usage of the scan table, not in the inverse
}

// Without a display there is no layout to ask: every key still gets a name, the one that
// the us layout gives it.
TEST(KeyNames, WithoutDisplayTheUsNamesAreShown)
{
    ASSERT_EQ(gdk_display_get_default(), nullptr);
    for (int i = 0; i < n_keybd_hid_codes; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(name_of(keybd_hid_codes[size_t(i)]), us_layout_key_names[size_t(i)]);
    }
    gchar *name = layout_key_name(0x1E);
    EXPECT_EQ(name, nullptr);
    g_free(name);
}

// Keys that are not in the list but have a scan code and no character: an empty name.
TEST(KeyNames, ModifierKeysWithoutDisplayHaveNoName)
{
    EXPECT_EQ(name_of(0xE0), "");  // left Control
    EXPECT_EQ(name_of(0xE4), "");  // right Control (an extended key)
    EXPECT_EQ(name_of(0x47), "");  // Scroll Lock
}

// The key names are looked up in the "key" context of the catalogues that the build puts in
// its locale/ folder.
TEST(KeyNames, FixedNamesComeFromTheCatalogue)
{
    const char *build_root = g_getenv("ZEVRIN_BUILD_ROOT");
    ASSERT_NE(build_root, nullptr);
    gchar *locale_dir = g_build_filename(build_root, "locale", nullptr);
    gchar *catalogue = g_build_filename(locale_dir, "es", "LC_MESSAGES", "zevrin.mo", nullptr);
    ASSERT_TRUE(g_file_test(catalogue, G_FILE_TEST_IS_REGULAR)) << catalogue;
    bindtextdomain("zevrin", locale_dir);
    bind_textdomain_codeset("zevrin", "UTF-8");
    textdomain("zevrin");
    g_setenv("LANGUAGE", "es", TRUE);
    std::setlocale(LC_MESSAGES, "C.UTF-8");  // glibc ignores LANGUAGE in the C locale

    EXPECT_EQ(name_of(0x28), "Intro");
    EXPECT_EQ(name_of(0x2C), "Espacio");
    EXPECT_EQ(name_of(0x4A), "Inicio");
    EXPECT_EQ(name_of(0x65), "Tecla de menú");
    EXPECT_EQ(name_of(0x37), "Punto");  // "." of the us names used without a display
    EXPECT_EQ(name_of(0x36), "Coma");
    EXPECT_EQ(name_of(0x04), "A");      // names from a layout are not translated

    std::setlocale(LC_MESSAGES, "C");
    g_unsetenv("LANGUAGE");
    g_free(catalogue);
    g_free(locale_dir);
}

GdkEventKey key_event(int hardware_keycode)
{
    GdkEventKey event = {};
    event.type = GDK_KEY_PRESS;
    event.hardware_keycode = guint16(hardware_keycode);
    return event;
}

int scan_code_of(int evdev)
{
    const GdkEventKey event = key_event(evdev + 8);
    return key_event_scan_code(&event);
}

TEST(KeyEventScanCode, MainBlockAndKeypadAreTheMakeCodes)
{
    EXPECT_EQ(scan_code_of(1), 0x01);     // Escape
    EXPECT_EQ(scan_code_of(30), 0x1E);    // A
    EXPECT_EQ(scan_code_of(28), 0x1C);    // Return
    EXPECT_EQ(scan_code_of(57), 0x39);    // Space
    EXPECT_EQ(scan_code_of(71), 0x47);    // keypad 7 / Home
    EXPECT_EQ(scan_code_of(86), 0x56);    // ISO key
    EXPECT_EQ(scan_code_of(88), 0x58);    // F12
    EXPECT_EQ(scan_code_of(70), 0x46);    // Scroll Lock
}

TEST(KeyEventScanCode, SeparateBlockKeysAreExtended)
{
    const std::vector<std::pair<int, int>> keys = {
        {102, 0x147}, {103, 0x148}, {104, 0x149}, {105, 0x14B}, {106, 0x14D},
        {107, 0x14F}, {108, 0x150}, {109, 0x151}, {110, 0x152}, {111, 0x153},
        {96, 0x11C}, {97, 0x11D}, {98, 0x135}, {99, 0x137}, {100, 0x138},
        {125, 0x15B}, {126, 0x15C}, {127, 0x15D},
    };
    for (const auto &[evdev, scan_code] : keys)
        EXPECT_EQ(scan_code_of(evdev), scan_code) << "evdev " << evdev;
}

TEST(KeyEventScanCode, PauseTakesMakeCode45AndNumLockIsExtended)
{
    EXPECT_EQ(scan_code_of(119), 0x45);
    EXPECT_EQ(scan_code_of(69), 0x145);
}

TEST(KeyEventScanCode, KeysWithoutSetOneCode)
{
    EXPECT_EQ(scan_code_of(113), -1);  // KEY_MUTE
    EXPECT_EQ(scan_code_of(240), -1);
    EXPECT_EQ(scan_code_of(0), -1);
    GdkEventKey event = key_event(0);  // below the evdev offset
    EXPECT_EQ(key_event_scan_code(&event), -1);
    event = key_event(3);
    EXPECT_EQ(key_event_scan_code(&event), -1);
}

}  // namespace
