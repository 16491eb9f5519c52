// The printed page, made as a PDF without a window and read back with pdftotext: it names the
// model, every switch with its action, the settings and the date.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include <glib.h>

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

std::string pdf_text(const std::string &pdf)
{
    const gchar *argv[] = {"pdftotext", pdf.c_str(), "-", nullptr};
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

TEST(ConfigPage, PdfNamesEverySwitchsActionTheSettingsAndTheDate)
{
    const std::string dir = scratch::make_dir("zevrin-page");
    const std::string pdf = dir + "/page.pdf";
    std::mt19937 random(8122026);
    // Every kind of action, each list's entries and some other numbers, on both models.
    for (int round = 0; round < 6; round++) {
        SCOPED_TRACE(round);
        config_file_contents c{round % n_models, {}};
        for (action_record &a : c.config.switches)
            a = {int(random() % 7), int(random() % (round < 3 ? 10 : 256)), int(random() % 8), int(random() % 2)};
        c.config.mouse_speed = {int(random() % 256), 18, 7};
        c.config.mouse_stretch = {40, 150};
        c.config.joy_displacement = int(random() % 256);
        if (round == 0)
            c.config.mouse_speed[0] = 5;  // a preset

        std::string error;
        ASSERT_TRUE(write_config_page_pdf(pdf.c_str(), c, error)) << error;
        const std::string text = pdf_text(pdf);

        EXPECT_NE(text.find(model_name[c.model]), std::string::npos) << text;
        for (int s = 0; s < model_n_switches[c.model]; s++) {
            const std::string line =
                "Switch " + std::to_string(s + 1) + " " + squeezed(describe_action(c.config.switches[s]));
            EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
        }
        EXPECT_EQ(text.find("Switch " + std::to_string(model_n_switches[c.model] + 1)), std::string::npos);
        EXPECT_NE(text.find(squeezed("Mouse speed: " + describe_mouse_speed(c.config))), std::string::npos) << text;
        EXPECT_NE(text.find("Joystick displacement: " + describe_joy_displacement(c.config)), std::string::npos);
        GDateTime *now = g_date_time_new_now_local();
        EXPECT_NE(text.find(take_string(g_date_time_format(now, "%x"))), std::string::npos) << text;
        g_date_time_unref(now);
    }

    config_file_contents c{0, {default_switch_action, {5, 18, 7}, {40, 150}, 115}};
    std::string error;
    EXPECT_FALSE(write_config_page_pdf((dir + "/none/page.pdf").c_str(), c, error));
    EXPECT_NE(error.find("/none/page.pdf”"), std::string::npos) << error;
    scratch::remove_dir(dir);
}
