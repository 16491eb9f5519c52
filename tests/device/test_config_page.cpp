// The printed page, made as a PDF without a window and read back with pdftotext: it carries the
// configuration's name and the model, every switch with its action, the settings that a switch
// uses and the date in words, in the page's language.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <clocale>
#include <random>
#include <sstream>

#include <glib.h>
#include <libintl.h>

#include "device/config_page.h"
#include "device/describe.h"
#include "tests/scratch_dir.h"

namespace {

// Runs of white space as one space, so that line breaks in the page do not matter.
std::string squeezed(const std::string &text)
{
    std::istringstream words(text);
    std::string word, result;
    while (words >> word)
        result += (result.empty() ? "" : " ") + word;
    return result;
}

// Without any white space: an action may wrap, even at its hyphen ("auto-" "release").
std::string joined(const std::string &text)
{
    std::string result;
    for (char c : text)
        if (!g_ascii_isspace(c))
            result += c;
    return result;
}

std::string pdf_text(const std::string &pdf)
{
    const gchar *argv[] = {"pdftotext", "-layout", pdf.c_str(), "-", nullptr};
    gchar *out = nullptr;
    gint status = 0;
    GError *error = nullptr;
    const bool ran = g_spawn_sync(nullptr, const_cast<gchar **>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                                  nullptr, &out, nullptr, &status, &error);
    EXPECT_TRUE(ran) << (error ? error->message : "");
    EXPECT_TRUE(g_spawn_check_wait_status(status, nullptr));
    g_clear_error(&error);
    return squeezed(take_string(out));
}

}  // namespace

TEST(ConfigPage, PdfNamesEverySwitchsActionTheSettingsThatAreUsedAndTheDate)
{
    const std::string dir = scratch::make_dir("zevrin-page");
    const std::string pdf = dir + "/page.pdf";
    std::mt19937 random(8122026);
    // Every kind of action, each list's entries and some other numbers, on both models.
    for (int round = 0; round < 8; round++) {
        SCOPED_TRACE(round);
        config_file_contents c{round % n_models, {}};
        for (action_record &a : c.config.switches)
            a = {int(random() % 7), int(random() % (round < 3 ? 10 : 256)), int(random() % 8), int(random() % 2)};
        c.config.mouse_speed = {int(random() % 256), 18, 7};
        c.config.mouse_stretch = {40, 150};
        c.config.joy_displacement = int(random() % 256);
        if (round == 0)
            c.config.mouse_speed[0] = 5;  // a preset
        // Rounds 6 and 7: no switch that moves the mouse or the joystick, then one of each.
        if (round >= 6)
            for (action_record &a : c.config.switches)
                a.kind = a.kind == kind_mouse_movement || a.kind == kind_joystick_movement ? kind_mouse_button : a.kind;
        if (round == 7) {
            c.config.switches[0].kind = kind_mouse_movement;
            c.config.switches[1].kind = kind_joystick_movement + 256;  // as a byte, the same kind
        }
        const std::string title = round % 2 ? "Anna Lopez" : "";

        std::string error;
        ASSERT_TRUE(write_config_page_pdf(pdf.c_str(), c, error, title)) << error;
        const std::string text = pdf_text(pdf);

        // The name is the heading; without one the heading says what the page is.
        EXPECT_EQ(text.rfind(round % 2 ? "Anna Lopez" : "Zevrin configuration", 0), 0u) << text;
        EXPECT_NE(text.find(model_name[c.model]), std::string::npos) << text;
        bool moves_mouse = false, moves_joystick = false;
        for (int s = 0; s < model_n_switches[c.model]; s++) {
            const action_record &a = c.config.switches[s];
            // The disc's number stands between the switch's name and its action.
            const std::string line = "Switch " + std::to_string(s + 1) + " " + std::to_string(s + 1) + " " + squeezed(describe_action(a));
            EXPECT_NE(joined(text).find(joined(line)), std::string::npos) << line << "\n" << text;
            moves_mouse = moves_mouse || (a.kind & 0xFF) == kind_mouse_movement;
            moves_joystick = moves_joystick || (a.kind & 0xFF) == kind_joystick_movement;
        }
        EXPECT_EQ(text.find("Switch " + std::to_string(model_n_switches[c.model] + 1)), std::string::npos);
        // A setting is on the page when a switch of the model uses it.
        EXPECT_EQ(text.find(squeezed("Mouse speed: " + describe_mouse_speed(c.config))) != std::string::npos,
                  moves_mouse)
            << text;
        EXPECT_EQ(text.find("Mouse speed") != std::string::npos, moves_mouse);
        EXPECT_EQ(text.find("Joystick displacement: " + describe_joy_displacement(c.config)) != std::string::npos,
                  moves_joystick)
            << text;
        EXPECT_EQ(text.find("Joystick displacement") != std::string::npos, moves_joystick);
        if (round == 6) {
            EXPECT_FALSE(moves_mouse || moves_joystick);
        }
        if (round == 7) {
            EXPECT_TRUE(moves_mouse && moves_joystick);
        }
        GDateTime *now = g_date_time_new_now_local();
        const std::string today = date_in_words(g_date_time_get_year(now), g_date_time_get_month(now),
                                                g_date_time_get_day_of_month(now));
        g_date_time_unref(now);
        EXPECT_NE(text.find("Printed on " + today), std::string::npos) << text;
    }

    config_file_contents c{0, {default_switch_action, {5, 18, 7}, {40, 150}, 115}};
    std::string error;
    EXPECT_FALSE(write_config_page_pdf((dir + "/none/page.pdf").c_str(), c, error));
    EXPECT_NE(error.find("/none/page.pdf”"), std::string::npos) << error;
    // The page is saved as a configuration is: over a private file, it stays private.
    ASSERT_EQ(chmod(pdf.c_str(), 0600), 0);
    ASSERT_TRUE(write_config_page_pdf(pdf.c_str(), c, error)) << error;
    struct stat st;
    ASSERT_EQ(stat(pdf.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    scratch::remove_dir(dir);
}

// The date in words, in the page's language, and never the system's short form.
TEST(ConfigPage, TheDateIsWrittenInWordsInTheLanguageOfThePage)
{
    EXPECT_EQ(date_in_words(2026, 12, 9), "9 December 2026");
    EXPECT_EQ(date_in_words(2027, 1, 31), "31 January 2027");
    EXPECT_EQ(date_in_words(2026, 5, 1), "1 May 2026");

    // The build tree's catalogues, as a run from the build directory finds them.
    const char *build = g_getenv("ZEVRIN_BUILD_ROOT");
    ASSERT_NE(build, nullptr);
    ASSERT_NE(setlocale(LC_ALL, "C.UTF-8"), nullptr);
    bindtextdomain("zevrin", (std::string(build) + "/locale").c_str());
    bind_textdomain_codeset("zevrin", "UTF-8");
    textdomain("zevrin");
    const struct {
        const char *language;
        const char *date;
    } languages[] = {
        {"fr", "9 décembre 2026"},     {"es", "9 de diciembre de 2026"}, {"it", "9 dicembre 2026"},
        {"pt", "9 de dezembro de 2026"}, {"ca", "9 de desembre de 2026"}, {"eu", "2026(e)ko abenduaren 9(a)"},
    };
    for (const auto &l : languages) {
        g_setenv("LANGUAGE", l.language, TRUE);
        textdomain("zevrin");  // forgets the translations of the last language
        EXPECT_EQ(date_in_words(2026, 12, 9), l.date) << l.language;
    }
    g_setenv("LANGUAGE", "fr", TRUE);
    textdomain("zevrin");
    EXPECT_EQ(date_in_words(2026, 8, 15), "15 août 2026");
    g_setenv("LANGUAGE", "ca", TRUE);
    textdomain("zevrin");
    EXPECT_EQ(date_in_words(2026, 4, 2), "2 d’abril de 2026");
    g_setenv("LANGUAGE", "C", TRUE);
    textdomain("zevrin");

    // A sheet printed from a file is named after it.
    EXPECT_EQ(sheet_name_of_file("/home/me/pupils/Anna Lopez.zevrin"), "Anna Lopez");
    EXPECT_EQ(sheet_name_of_file("ANNA.ZEVRIN"), "ANNA");
    EXPECT_EQ(sheet_name_of_file("anna.conf"), "anna.conf");
    EXPECT_EQ(sheet_name_of_file(".zevrin"), ".zevrin");
}
