// Configuration files: what is saved opens as the same record, every kind of invalid file is
// refused with its own message and leaves the caller's contents alone, and switch actions in
// words (without a display, as the command line runs).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include <glib.h>

#include "device/config_file.h"
#include "device/describe.h"
#include "tests/scratch_dir.h"

namespace {

struct scratch_files : ::testing::Test {
    std::string dir = scratch::make_dir("zevrin-files");
    void TearDown() override { scratch::remove_dir(dir); }

    std::string write(const char *name, const std::string &text)
    {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
};

// A byte as a box may give it: as read (0 to 255) or as a signed byte (-128 to 127).
int either_form(int byte, std::mt19937 &random)
{
    return (random() & 1) && byte >= 128 ? byte - 256 : byte;
}

const char *valid_mini = "[Configuration]\nFormat=1\nModel=Zevrin Mini\nMouseSpeed=5;18;7\nMouseStretch=40;150\n"
                         "JoystickDisplacement=115\n[Switch 1]\nKind=1\nCode=4\nModifiers=1\nAutoRelease=1\n"
                         "[Switch 2]\nKind=0\nCode=1\nModifiers=0\nAutoRelease=0\n";

}  // namespace

// Round 0..255 gives every field every byte value; the random rounds mix them freely.
TEST_F(scratch_files, SavedConfigurationsOpenAsTheSameBytes)
{
    std::mt19937 random(20261208);
    const std::string path = dir + "/round.zevrin";
    for (int round = 0; round < 256 + 200; round++) {
        SCOPED_TRACE(round);
        config_file_contents saved{int(random() % n_models), {}};
        int field = 0;
        auto next = [&]() {
            const int byte = round < 256 ? (round + 37 * field++) & 0xFF : int(random() & 0xFF);
            return either_form(byte, random);
        };
        for (action_record &a : saved.config.switches)
            a = {next(), next(), next(), next()};
        for (int &v : saved.config.mouse_speed)
            v = next();
        for (int &v : saved.config.mouse_stretch)
            v = next();
        saved.config.joy_displacement = next();

        std::string error;
        ASSERT_TRUE(save_config_file_contents(path.c_str(), saved, error)) << error;
        config_file_contents opened{};
        ASSERT_TRUE(load_config_file_contents(path.c_str(), opened, error)) << error;

        EXPECT_EQ(opened.model, saved.model);
        const int n = model_n_switches[saved.model];
        EXPECT_TRUE(same_configuration(opened.config, saved.config, n));
        // Every value comes back as the byte, whichever form it was saved from.
        for (int s = 0; s < max_switches; s++) {
            const action_record &a = opened.config.switches[s];
            const action_record &b = saved.config.switches[s];
            const action_record expected =
                s < n ? action_record{b.kind & 0xFF, b.code & 0xFF, b.modifiers & 0xFF, b.auto_release & 0xFF}
                      : default_switch_action[s];
            EXPECT_EQ(a, expected) << s;
        }
        EXPECT_EQ(opened.config.joy_displacement, saved.config.joy_displacement & 0xFF);
        // The text names each switch of the model once, and no other.
        const std::string text = config_file_text(saved);
        for (int s = 0; s < max_switches; s++)
            EXPECT_EQ(text.find("[Switch " + std::to_string(s + 1) + "]") != std::string::npos, s < n) << s;
    }
}

TEST_F(scratch_files, KeysInAnyOrderUnknownKeysGroupsAndCommentsAreAccepted)
{
    const std::string path = write("hand.zevrin",
                                   "# made by hand\n[Later]\nWhatever=1\n[Switch 2]\nAutoRelease=1\nModifiers=0\n"
                                   "Code=3\nKind=0\nColour=red\n[Configuration]\nJoystickDisplacement=-1\n"
                                   "MouseStretch=40;-106;\nMouseSpeed = 1;2;3\nModel=zevrin_mini\nFormat=1\n"
                                   "Author=someone\n[Switch 1]\nKind=1\nCode=44\nModifiers=7\nAutoRelease=0\n");
    config_file_contents c{};
    std::string error;
    ASSERT_TRUE(load_config_file_contents(path.c_str(), c, error)) << error;
    EXPECT_EQ(c.model, 1);
    EXPECT_EQ(c.config.switches[0], (action_record{1, 44, 7, 0}));
    EXPECT_EQ(c.config.switches[1], (action_record{0, 3, 0, 1}));
    EXPECT_EQ(c.config.mouse_speed, (std::array<int, 3>{1, 2, 3}));
    EXPECT_EQ(c.config.mouse_stretch, (std::array<int, 2>{40, 150}));
    EXPECT_EQ(c.config.joy_displacement, 255);
}

TEST_F(scratch_files, EachKindOfInvalidFileHasItsMessageAndChangesNothing)
{
    std::string text = valid_mini;
    auto replaced = [&](const char *from, const char *to) {
        std::string t = text;
        return t.replace(t.find(from), strlen(from), to);
    };
    const std::string fifo = dir + "/pipe.zevrin";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_directory(dir + "/folder.zevrin");
    const struct {
        std::string path;
        const char *message;
    } cases[] = {
        {dir + "/missing.zevrin", "could not be read"},
        {dir + "/folder.zevrin", "is not a Zevrin configuration file"},
        {fifo, "is not a Zevrin configuration file"},
        {write("big.zevrin", text + std::string(2 * 1024 * 1024, '#')), "is not a Zevrin configuration file"},
        {write("binary.zevrin", std::string("\x89PNG\r\n\x1a\n\0\0", 10)), "is not a Zevrin configuration file"},
        {write("other.zevrin", "[Desktop Entry]\nName=x\n"), "is not a Zevrin configuration file"},
        {write("noformat.zevrin", replaced("Format=1\n", "")), "has no value “Format” in [Configuration]"},
        {write("badformat.zevrin", replaced("Format=1", "Format=one")), "is not a Zevrin configuration file"},
        {write("newer.zevrin", replaced("Format=1", "Format=2")), "saved by a newer version"},
        {write("model.zevrin", replaced("Zevrin Mini", "Zevrin Maxi")), "does not know: “Zevrin Maxi”"},
        {write("nomodel.zevrin", replaced("Model=Zevrin Mini\n", "")), "has no value “Model” in [Configuration]"},
        {write("noswitch.zevrin", replaced("[Switch 2]", "[Switch 3]")), "has no settings for switch 2"},
        {write("nocode.zevrin", replaced("Code=4\n", "")), "has no value “Code” in [Switch 1]"},
        {write("high.zevrin", replaced("Code=4", "Code=256")),
         "“Code” in [Switch 1] is “256”, but it must be a number"},
        {write("low.zevrin", replaced("Kind=0", "Kind=-129")), "“Kind” in [Switch 2] is “-129”"},
        {write("word.zevrin", replaced("AutoRelease=0", "AutoRelease=yes")),
         "“AutoRelease” in [Switch 2] is “yes”"},
        {write("empty.zevrin", replaced("Modifiers=1", "Modifiers=")), "“Modifiers” in [Switch 1] is “”"},
        {write("short.zevrin", replaced("5;18;7", "5;18")),
         "“MouseSpeed” in [Configuration] is “5;18”, but it must be 3 numbers"},
        {write("long.zevrin", replaced("40;150", "40;150;1")),
         "“MouseStretch” in [Configuration] is “40;150;1”"},
        {write("joy.zevrin", replaced("=115", "=1e2")),
         "“JoystickDisplacement” in [Configuration] is “1e2”"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        config_file_contents out{7, {}};
        out.config.switches.fill({9, 9, 9, 9});
        out.config.joy_displacement = 99;
        const config_file_contents before = out;
        std::string error;
        EXPECT_FALSE(load_config_file_contents(c.path.c_str(), out, error));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        // The message names the file, and is text that can be shown.
        EXPECT_NE(error.find(std::filesystem::path(c.path).filename().string()), std::string::npos) << error;
        EXPECT_TRUE(g_utf8_validate(error.c_str(), -1, nullptr));
        EXPECT_EQ(out.model, before.model);
        EXPECT_EQ(out.config.switches, before.config.switches);
        EXPECT_EQ(out.config.joy_displacement, before.config.joy_displacement);
    }
    // The valid file the cases started from opens.
    config_file_contents out{};
    std::string error;
    EXPECT_TRUE(load_config_file_contents(write("valid.zevrin", text).c_str(), out, error)) << error;
}

TEST_F(scratch_files, SavingReplacesTheFileWholeOrSaysWhyNot)
{
    const std::string path = write("kept.zevrin", "old");
    config_file_contents c{0, {default_switch_action, {5, 18, 7}, {40, 150}, 115}};
    std::string error;
    ASSERT_TRUE(save_config_file_contents(path.c_str(), c, error)) << error;
    // Only the file itself is in the folder: no temporary file is left.
    int entries = 0;
    for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator(dir))
        entries++;
    EXPECT_EQ(entries, 1);
    gchar *contents = nullptr;
    ASSERT_TRUE(g_file_get_contents(path.c_str(), &contents, nullptr, nullptr));
    EXPECT_EQ(std::string(contents), config_file_text(c));
    g_free(contents);

    const std::string nowhere = dir + "/no-such-folder/a.zevrin";
    EXPECT_FALSE(save_config_file_contents(nowhere.c_str(), c, error));
    EXPECT_NE(error.find("could not be saved in"), std::string::npos) << error;
    EXPECT_NE(error.find("a.zevrin"), std::string::npos) << error;
}

TEST(DescribeAction, NamesKindActionModifiersAndAutoRelease)
{
    EXPECT_EQ(describe_action({kind_keyboard_key, 0x04, 1, 1}), "Keyboard, Control+A, auto-release");
    EXPECT_EQ(describe_action({kind_keyboard_key, 0x28, 6, 0}), "Keyboard, Shift+Alt+Return");
    EXPECT_EQ(describe_action({kind_keyboard_key, 0x99, 0, 0}), "Keyboard, key code 153");
    EXPECT_EQ(describe_action({kind_mouse_button, 0, 0, 1}), "Mouse, Left click, auto-release");
    // Auto-release is named only where the box has it.
    EXPECT_EQ(describe_action({kind_mouse_button, 2, 0, 1}), "Mouse, Double click");
    EXPECT_EQ(describe_action({kind_mouse_movement, 8, 0, 1}), "Mouse, Move down");
    EXPECT_EQ(describe_action({kind_joystick_button, 7, 0, 1}), "Joystick, Button 8, auto-release");
    EXPECT_EQ(describe_action({kind_joystick_movement, 2, 0, 0}), "Joystick, Move left");
    EXPECT_EQ(describe_action({kind_generic_event, 3, 0, 0}), "Event, Event 3");
    EXPECT_EQ(describe_action({9, 3, 0, 0}), "Other action (kind 9, code 3)");
    EXPECT_EQ(describe_action({kind_mouse_button, 9, 0, 0}), "Other action (kind 0, code 9)");
    // A byte given as a signed byte reads the same.
    EXPECT_EQ(describe_action({kind_keyboard_key - 256, 0x04 - 256, 1 - 256, 1}), "Keyboard, Control+A, auto-release");
    configuration c{default_switch_action, {5, 18, 7}, {40, -106}, 100};
    EXPECT_EQ(describe_mouse_speed(c), "Accelerate and brake");
    EXPECT_EQ(describe_joy_displacement(c), "79%");
    c.joy_displacement = 115;
    EXPECT_EQ(describe_joy_displacement(c), "90%");
    c.mouse_speed[0] = 6;
    EXPECT_EQ(describe_mouse_speed(c), "As set in the device (6, 18, 7; 40, 150)");
}
