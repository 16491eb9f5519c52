// Configuration files: what is saved opens as the same record, also as a person or an editor
// may have changed it; every kind of invalid file is refused with its line and its own message
// and leaves the caller's contents alone; saving keeps the file's mode, group and links; switch
// actions in words (without a display, as the command line runs).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <thread>

#include <glib.h>

#include "device/config_file.h"
#include "device/describe.h"
#include "tests/scratch_dir.h"

namespace {

struct scratch_files : ::testing::Test {
    std::string dir = scratch::make_dir("zevrin-files");
    void TearDown() override { scratch::remove_dir(dir); }

    static std::string contents_of(const std::string &path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::string write(const char *name, const std::string &text)
    {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
};

int open_fds()
{
    int n = 0;
    for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator("/proc/self/fd"))
        n++;
    return n;
}

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

// As Notepad saves a file: a byte-order mark and CR LF; and names in another case than the
// configurator writes them.
TEST_F(scratch_files, WhatAPersonOrAnEditorWritesIsAccepted)
{
    std::string text = std::regex_replace(valid_mini, std::regex("\n"), "\r\n");
    text = std::regex_replace(text, std::regex("Zevrin Mini"), "zevrin MINI");
    text = std::regex_replace(text, std::regex(R"(\[Switch 1\])"), "[ switch 1 ]");
    text = std::regex_replace(text, std::regex("Code=4"), "CODE = 4 ");
    text = "\xEF\xBB\xBF# \xE9l\xE8ve (a comment in Latin-1)\r\n" + text;
    config_file_contents c{};
    std::string error;
    ASSERT_TRUE(load_config_file_contents(write("notepad.zevrin", text).c_str(), c, error)) << error;
    EXPECT_EQ(c.model, 1);
    EXPECT_EQ(c.config.switches[0], (action_record{1, 4, 1, 1}));
    EXPECT_EQ(c.config.switches[1], (action_record{0, 1, 0, 0}));
    EXPECT_EQ(c.config.mouse_speed, (std::array<int, 3>{5, 18, 7}));
    EXPECT_EQ(c.config.joy_displacement, 115);
    // Model=ZEVRIN is the Zevrin, which has more switches than this file.
    const std::string zevrin = std::regex_replace(text, std::regex("zevrin MINI"), "ZEVRIN");
    EXPECT_FALSE(load_config_file_contents(write("z.zevrin", zevrin).c_str(), c, error));
    EXPECT_NE(error.find("has no settings for switch 3"), std::string::npos) << error;
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
    // What is wrong, and on which line (the lines of valid_mini, or of the text as changed).
    const struct {
        std::string path;
        const char *message;
    } cases[] = {
        {dir + "/missing.zevrin", "could not be read: No such file or directory"},
        {dir + "/folder.zevrin", "is not a Zevrin configuration file"},
        {fifo, "is not a Zevrin configuration file"},
        {write("big.zevrin", text + std::string(2 * 1024 * 1024, '#')), "is not a Zevrin configuration file"},
        {write("binary.zevrin", std::string("\x89PNG\r\n\x1a\n\0\0[Configuration]", 25)),
         "is not a Zevrin configuration file"},
        {write("other.zevrin", "[Desktop Entry]\nName=x\n"), "is not a Zevrin configuration file"},
        {write("noformat.zevrin", replaced("Format=1\n", "")),
         "line 1: the group [Configuration] has no “Format” setting."},
        {write("badformat.zevrin", replaced("Format=1", "Format=one")),
         "line 2: “Format” must be a whole number such as 1, not “one”."},
        {write("newer.zevrin", replaced("Format=1", "Format=2")),
         "line 2: the file was saved in format 2 by a newer version of the configurator; this version reads "
         "only format 1."},
        {write("model.zevrin", replaced("Zevrin Mini", "Zevrin Maxi")),
         "line 3: “Zevrin Maxi” is not a model that this version knows; it knows “Zevrin” and “Zevrin Mini”."},
        {write("nomodel.zevrin", replaced("Model=Zevrin Mini\n", "")),
         "line 1: the group [Configuration] has no “Model” setting."},
        {write("noswitch.zevrin", replaced("[Switch 2]", "[Switch 3]")), "has no settings for switch 2"},
        {write("nocode.zevrin", replaced("Code=4\n", "")), "line 7: the group [Switch 1] has no “Code” setting."},
        {write("high.zevrin", replaced("Code=4", "Code=256")), "line 9: “Code” must be a number from 0 to 255, "
                                                               "not “256”."},
        {write("banana.zevrin", replaced("Code=4", "Code=banana")),
         "line 9: “Code” must be a number from 0 to 255, not “banana”."},
        {write("low.zevrin", replaced("Kind=0", "Kind=-129")), "line 13: “Kind” must be a number"},
        {write("word.zevrin", replaced("AutoRelease=0", "AutoRelease=yes")), "line 16: “AutoRelease” must be a "
                                                                             "number from 0 to 255, not “yes”."},
        {write("empty.zevrin", replaced("Modifiers=1", "Modifiers=")), "line 10: “Modifiers” must be a number "
                                                                       "from 0 to 255, not “”."},
        {write("short.zevrin", replaced("5;18;7", "5;18")),
         "line 4: “MouseSpeed” must be 3 numbers from 0 to 255 separated by semicolons, not “5;18”."},
        {write("long.zevrin", replaced("40;150", "40;150;1")), "line 5: “MouseStretch” must be 2 numbers"},
        {write("joy.zevrin", replaced("=115", "=1e2")), "line 6: “JoystickDisplacement” must be a number"},
        // Lines that are no setting, heading or comment.
        {write("equals.zevrin", replaced("Modifiers=1", "Modifiers 1")),
         "line 10: “Modifiers 1” is not a setting: a setting is a name, “=” and a value, as in “Code=4”."},
        {write("nameless.zevrin", replaced("Modifiers=1", "=1")), "line 10: “=1” is not a setting"},
        {write("bracket.zevrin", replaced("[Switch 2]", "[Switch 2")), "line 12: “[Switch 2” has no closing “]”."},
        {write("heading.zevrin", replaced("[Switch 1]", "[Switch 1] one")),
         "line 7: “[Switch 1] one” is not a group heading: a heading is a name between “[” and “]”"},
        {write("before.zevrin", "Format=1\n" + text),
         "line 1: “Format=1” comes before the first group heading, such as “[Configuration]”."},
        // Lines are counted the same with a byte-order mark and CR LF line ends.
        {write("windows.zevrin",
               "\xEF\xBB\xBF" + std::regex_replace(replaced("Code=4", "Code=banana"), std::regex("\n"), "\r\n")),
         "line 9: “Code” must be a number from 0 to 255, not “banana”."},
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
    EXPECT_EQ(contents_of(path), config_file_text(c));

    const std::string nowhere = dir + "/no-such-folder/a.zevrin";
    EXPECT_FALSE(save_config_file_contents(nowhere.c_str(), c, error));
    EXPECT_NE(error.find("could not be saved in"), std::string::npos) << error;
    EXPECT_NE(error.find("a.zevrin"), std::string::npos) << error;
    // Nothing but a file is replaced.
    const std::string fifo = dir + "/pipe.zevrin";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string &other : {fifo, dir})
        EXPECT_FALSE(save_config_file_contents(other.c_str(), c, error));
    EXPECT_NE(error.find("it is not an ordinary file"), std::string::npos) << error;
    struct stat st;
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

// Saving keeps who may read a pupil's file, its group, and its links.
TEST_F(scratch_files, SavingKeepsTheFileAsTheUserSetIt)
{
    config_file_contents c{1, {default_switch_action, {5, 18, 7}, {40, 150}, 115}};
    const std::string text = config_file_text(c);
    std::string error;
    struct stat st;

    // A private file stays private, and keeps its group; it is replaced, not rewritten: what
    // had it open still reads the old contents.
    const std::string secret = write("secret.zevrin", "old");
    ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(secret.c_str(), 0, 4242), 0);
    }
    std::ifstream before(secret);
    ASSERT_TRUE(save_config_file_contents(secret.c_str(), c, error)) << error;
    ASSERT_EQ(stat(secret.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    if (root) {
        EXPECT_EQ(st.st_gid, 4242u);
    }
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(before), {}), "old");
    EXPECT_EQ(contents_of(secret), text);
    ASSERT_EQ(chmod(secret.c_str(), 0640), 0);
    ASSERT_TRUE(save_config_file_contents(secret.c_str(), c, error)) << error;
    ASSERT_EQ(stat(secret.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // A symbolic link (relative, into another folder) stays a link; its file gets the text.
    std::filesystem::create_directory(dir + "/pupils");
    const std::string target = write("pupils/anna.zevrin", "old");
    ASSERT_EQ(chmod(target.c_str(), 0600), 0);
    const std::string link = dir + "/anna.zevrin";
    ASSERT_EQ(symlink("pupils/anna.zevrin", link.c_str()), 0);
    ASSERT_TRUE(save_config_file_contents(link.c_str(), c, error)) << error;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(contents_of(target), text);
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    // A link to a file not made yet makes that file; a circle of links is refused.
    const std::string ahead = dir + "/ahead.zevrin";
    ASSERT_EQ(symlink((dir + "/pupils/new.zevrin").c_str(), ahead.c_str()), 0);
    ASSERT_TRUE(save_config_file_contents(ahead.c_str(), c, error)) << error;
    EXPECT_EQ(contents_of(dir + "/pupils/new.zevrin"), text);
    const std::string circle = dir + "/circle.zevrin";
    ASSERT_EQ(symlink(circle.c_str(), circle.c_str()), 0);
    EXPECT_FALSE(save_config_file_contents(circle.c_str(), c, error));
    EXPECT_NE(error.find("circle.zevrin"), std::string::npos) << error;

    // A file with two names: both show the new text, and they stay one file.
    const std::string first = write("first.zevrin", std::string(5000, '#'));
    const std::string second = dir + "/second.zevrin";
    ASSERT_EQ(::link(first.c_str(), second.c_str()), 0);
    ASSERT_TRUE(save_config_file_contents(first.c_str(), c, error)) << error;
    EXPECT_EQ(contents_of(second), text);
    ASSERT_EQ(stat(second.c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 2u);

    // A new file follows the user's umask, whatever it is.
    for (const mode_t mask : {mode_t(027), mode_t(002)}) {
        const mode_t saved = umask(mask);
        const std::string fresh = dir + "/fresh-" + std::to_string(mask) + ".zevrin";
        const bool saved_ok = save_config_file_contents(fresh.c_str(), c, error);
        umask(saved);
        ASSERT_TRUE(saved_ok) << error;
        ASSERT_EQ(stat(fresh.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask) << mask;
    }
}

// A file swapped for a FIFO while it is being opened must not hold the loader: it opens without
// waiting and checks what it opened. The two names are exchanged all the time a thread runs
// (a loader that looked before it opened hangs here within a few thousand rounds).
TEST_F(scratch_files, AFileSwappedForAFifoNeverBlocksTheLoader)
{
    const std::string path = write("swapped.zevrin", valid_mini);
    const std::string other = dir + "/other";
    ASSERT_EQ(mkfifo(other.c_str(), 0600), 0);
    if (renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE) != 0)
        GTEST_SKIP() << "no exchange of names here: " << g_strerror(errno);
    const int fds = open_fds();
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        while (!stop)
            renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE);
    });
    int opened = 0, refused = 0;
    for (int i = 0; i < 20000; i++) {
        config_file_contents c{};
        std::string error;
        if (load_config_file_contents(path.c_str(), c, error))
            opened++;
        else if (error.find("is not a Zevrin configuration file") != std::string::npos)
            refused++;
        else
            ADD_FAILURE() << error;
    }
    stop = true;
    swapper.join();
    EXPECT_EQ(opened + refused, 20000);
    EXPECT_EQ(open_fds(), fds);
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
