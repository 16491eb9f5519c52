// Key names in the keyboard layouts of the X server, as the key lists show them.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "device/keymap.h"
#include "device/keys.h"
#include "tests/keys/gui_session.h"
#include "tests/keys/key_names.h"

namespace {

std::string name_of(int code)
{
    gchar *name = get_keybd_hid_code_name(code);
    std::string result = name;
    g_free(name);
    return result;
}

class KeyNames : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(start_gui_session()); }

    // Every key of the list has a non-empty, valid UTF-8 name.
    static void expect_all_names_shown()
    {
        for (uint8_t code : keybd_hid_codes) {
            const std::string name = name_of(code);
            EXPECT_FALSE(name.empty()) << "usage " << int(code);
            EXPECT_TRUE(g_utf8_validate(name.c_str(), -1, nullptr)) << "usage " << int(code);
        }
    }

    // As a keyboard of the layout prints them: no two keys of the list under one name.
    static void expect_each_name_once()
    {
        std::map<std::string, int> named;
        for (uint8_t code : keybd_hid_codes) {
            const auto [earlier, added] = named.emplace(name_of(code), code);
            EXPECT_TRUE(added) << "\"" << earlier->first << "\" names usage 0x" << std::hex << int(code)
                               << " and 0x" << earlier->second;
        }
    }

    // Expected names by usage code.
    static void expect_names(const std::map<int, std::string> &names)
    {
        for (const auto &[code, name] : names)
            EXPECT_EQ(name_of(code), name) << "usage 0x" << std::hex << code;
    }
};

TEST_F(KeyNames, UsLayoutNamesAllKeysOfTheList)
{
    ASSERT_TRUE(set_layout("us", 0x27, ";"));
    for (int i = 0; i < n_keybd_hid_codes; i++)
        EXPECT_EQ(name_of(keybd_hid_codes[size_t(i)]), us_layout_key_names[size_t(i)]) << "entry " << i;
    expect_each_name_once();  // one "`", and the [ and ' keys under their own names
}

TEST_F(KeyNames, SpanishLayout)
{
    ASSERT_TRUE(set_layout("es", 0x27, "ñ"));
    expect_names({
        {0x33, "Ñ"},       // the semicolon key
        {0x2F, "`"},       // dead grave: its spacing accent
        {0x34, "´"},       // dead acute
        {0x35, "º"},       // the key left of 1
        {0x31, "Ç"},       // the backslash key
        {0x2E, "¡"},       // the equals key
        {0x2D, "'"},
        {0x30, "+"},
        {0x36, "Comma"},
        {0x37, "Period"},
        {0x38, "-"},
        {0x64, "<"},
        {0x04, "A"},
        {0x1E, "1"},
        {0x3A, "F1"},
        {0x45, "F12"},
    });
    expect_all_names_shown();
    expect_each_name_once();
}

TEST_F(KeyNames, FrenchLayout)
{
    ASSERT_TRUE(set_layout("fr", 0x10, "a"));
    expect_names({
        {0x2F, "^"},      // the left-bracket key: dead circumflex
        {0x34, "Ù"},      // the apostrophe key
        {0x14, "A"},      // Q of a US keyboard
        {0x04, "Q"},
        {0x1D, "W"},
        {0x1A, "Z"},
        {0x33, "M"},      // the semicolon key
        {0x10, "Comma"},  // M of a US keyboard
        {0x36, ";"},
        {0x37, ":"},
        {0x38, "!"},
        {0x1E, "&"},      // digits: their unshifted characters
        {0x1F, "É"},
        {0x24, "È"},
        {0x26, "Ç"},
        {0x27, "À"},
        {0x35, "²"},
        {0x2D, ")"},
        {0x31, "*"},
        {0x30, "$"},
    });
    expect_all_names_shown();
    expect_each_name_once();
}

TEST_F(KeyNames, GermanLayoutDeadKeysAndSharpS)
{
    ASSERT_TRUE(set_layout("de", 0x15, "z"));
    expect_names({
        {0x35, "^"},  // dead circumflex
        {0x2E, "´"},  // dead acute
        {0x2D, "ß"},  // no capital of its own: stays one character
        {0x33, "Ö"},
        {0x1C, "Z"},
        {0x1D, "Y"},
        {0x31, "#"},
        {0x2F, "Ü"},  // the left-bracket key
        {0x34, "Ä"},  // the apostrophe key
        {0x30, "+"},
    });
    expect_all_names_shown();
    expect_each_name_once();
}

TEST_F(KeyNames, PortugueseLayoutDeadTilde)
{
    ASSERT_TRUE(set_layout("pt", 0x27, "ç"));
    expect_names({
        {0x31, "~"},  // dead tilde
        {0x2F, "+"},  // the left-bracket key
        {0x30, "´"},  // dead acute on the right-bracket key
        {0x34, "º"},  // the apostrophe key
        {0x33, "Ç"},
        {0x35, "\\"},
        {0x2E, "«"},
    });
    expect_all_names_shown();
    expect_each_name_once();
}

// Gives the key of X keycode `keycode` the keysym `keysym` alone and waits until GDK has it.
bool remap_key(int keycode, KeySym keysym, int scan_code, const char *expected_layout_name)
{
    const unsigned since = keymap_changes();
    int per_keycode = 0;
    KeySym *old = XGetKeyboardMapping(x_display(), KeyCode(keycode), 1, &per_keycode);
    XFree(old);
    std::vector<KeySym> syms(size_t(per_keycode), NoSymbol);
    syms[0] = keysym;
    XChangeKeyboardMapping(x_display(), keycode, per_keycode, syms.data(), 1);
    XSync(x_display(), False);
    return wait_for_keymap(since, [&] { return layout_name(scan_code) == expected_layout_name; });
}

// A key the layout leaves without a character is shown under its US name, never blank.
TEST_F(KeyNames, KeysWithoutCharacterFallBackToTheUsName)
{
    ASSERT_TRUE(set_layout("fr", 0x10, "a"));
    const int keycode_of_q = 0x10 + 8;
    ASSERT_TRUE(remap_key(keycode_of_q, NoSymbol, 0x10, ""));
    EXPECT_EQ(name_of(0x14), "Q");  // French would be "A"
    ASSERT_TRUE(remap_key(keycode_of_q, GDK_KEY_Hyper_L, 0x10, ""));
    EXPECT_EQ(name_of(0x14), "Q");
    ASSERT_TRUE(remap_key(keycode_of_q, GDK_KEY_dead_belowdot, 0x10, ""));  // no spacing form
    EXPECT_EQ(name_of(0x14), "Q");
    ASSERT_TRUE(remap_key(0x33 + 8, NoSymbol, 0x33, ""));  // falls back to ",": still named
    EXPECT_EQ(name_of(0x36), "Comma");
    expect_all_names_shown();
}

TEST_F(KeyNames, DeadKeysShowTheirSpacingAccent)
{
    ASSERT_TRUE(set_layout("us", 0x27, ";"));
    const int keycode_of_backslash = 0x2B + 8;
    const std::vector<std::pair<KeySym, const char *>> dead_keys = {
        {GDK_KEY_dead_diaeresis, "¨"}, {GDK_KEY_dead_cedilla, "¸"}, {GDK_KEY_dead_caron, "ˇ"},
        {GDK_KEY_dead_tilde, "~"},     {GDK_KEY_dead_grave, "`"},   {GDK_KEY_dead_abovering, "˚"},
    };
    for (const auto &[keysym, accent] : dead_keys) {
        ASSERT_TRUE(remap_key(keycode_of_backslash, keysym, 0x2B, accent)) << accent;
        EXPECT_EQ(name_of(0x31), accent);
    }
}

}  // namespace
