#include "device/config_page.h"

#include <algorithm>

#include <cairo-pdf.h>
#include <glib/gi18n.h>
#include <pango/pangocairo.h>

#include "device/describe.h"
#include "device/file_replace.h"

namespace {

// The colours of the switch inputs, as on the box: fill, then the number's colour.
struct switch_colour {
    double fill[3];
    double text[3];
};
constexpr std::array<switch_colour, max_switches> switch_colours = {{
    {{0xe5 / 255.0, 0x39 / 255.0, 0x35 / 255.0}, {1, 1, 1}},                              // red
    {{0xfd / 255.0, 0xd8 / 255.0, 0x35 / 255.0}, {0x3e / 255.0, 0x27 / 255.0, 0x23 / 255.0}},  // yellow
    {{0x1e / 255.0, 0x88 / 255.0, 0xe5 / 255.0}, {1, 1, 1}},                              // blue
    {{0x43 / 255.0, 0xa0 / 255.0, 0x47 / 255.0}, {1, 1, 1}},                              // green
    {{0xfb / 255.0, 0x8c / 255.0, 0x00 / 255.0}, {1, 1, 1}},                              // orange
    {{0x8e / 255.0, 0x24 / 255.0, 0xaa / 255.0}, {1, 1, 1}},                              // purple
    {{0x00 / 255.0, 0xac / 255.0, 0xc1 / 255.0}, {1, 1, 1}},                              // cyan
    {{0xec / 255.0, 0x40 / 255.0, 0x7a / 255.0}, {1, 1, 1}},                              // pink
}};

// The page is laid out on A4 in points and scaled to the area given.
constexpr double margin = 56;
constexpr double text_width = config_page_width - 2 * margin;

// `text` in `font`, wrapped to `width`; unref when done.
PangoLayout *make_layout(cairo_t *cr, double width, const char *font, const std::string &text,
                         PangoAlignment alignment)
{
    PangoLayout *layout = pango_cairo_create_layout(cr);
    PangoFontDescription *description = pango_font_description_from_string(font);
    pango_layout_set_font_description(layout, description);
    pango_font_description_free(description);
    pango_layout_set_width(layout, int(width * PANGO_SCALE));
    pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
    pango_layout_set_alignment(layout, alignment);
    pango_layout_set_text(layout, text.c_str(), -1);
    return layout;
}

double layout_height(PangoLayout *layout)
{
    int height = 0;
    pango_layout_get_size(layout, nullptr, &height);
    return double(height) / PANGO_SCALE;
}

// Draws `text` at (x, y) in `font`, wrapped to `width`; returns its height.
double draw_text(cairo_t *cr, double x, double y, double width, const char *font, const std::string &text)
{
    PangoLayout *layout = make_layout(cr, width, font, text, PANGO_ALIGN_LEFT);
    cairo_move_to(cr, x, y);
    pango_cairo_show_layout(cr, layout);
    const double height = layout_height(layout);
    g_object_unref(layout);
    return height;
}

// The coloured disc of switch `s` with its number, centred on (x, y).
void draw_switch_disc(cairo_t *cr, int s, double x, double y, double radius)
{
    const switch_colour &colour = switch_colours[s];
    cairo_new_path(cr);
    cairo_arc(cr, x, y, radius, 0, 2 * G_PI);
    cairo_set_source_rgb(cr, colour.fill[0], colour.fill[1], colour.fill[2]);
    cairo_fill_preserve(cr);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_line_width(cr, radius / 12);
    cairo_stroke(cr);
    cairo_set_source_rgb(cr, colour.text[0], colour.text[1], colour.text[2]);
    const std::string font = "Sans Bold " + std::to_string(int(radius));
    PangoLayout *number = make_layout(cr, 2 * radius, font.c_str(), std::to_string(s + 1), PANGO_ALIGN_CENTER);
    cairo_move_to(cr, x - radius, y - layout_height(number) / 2);
    pango_cairo_show_layout(cr, number);
    cairo_new_path(cr);
    g_object_unref(number);
    cairo_set_source_rgb(cr, 0, 0, 0);
}

cairo_status_t append_to_string(void *closure, const unsigned char *data, unsigned int length)
{
    static_cast<std::string *>(closure)->append(reinterpret_cast<const char *>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

}  // namespace

std::string date_in_words(int year, int month, int day)
{
    // TRANSLATORS: the months as a date on the printed sheet names them ("9 December 2026").
    // Where your language puts a word such as "de" before the month in a date, it may go
    // here too ("de desembre", "d’abril").
    static const char *const months[] = {
        NC_("month in a date", "January"),   NC_("month in a date", "February"), NC_("month in a date", "March"),
        NC_("month in a date", "April"),     NC_("month in a date", "May"),      NC_("month in a date", "June"),
        NC_("month in a date", "July"),      NC_("month in a date", "August"),   NC_("month in a date", "September"),
        NC_("month in a date", "October"),   NC_("month in a date", "November"), NC_("month in a date", "December"),
    };
    const char *name = g_dpgettext2(nullptr, "month in a date", months[std::clamp(month, 1, 12) - 1]);
    // TRANSLATORS: a date on the printed sheet: %1$d is the day, %2$s the month's name (as
    // translated above) and %3$d the year, as in "9 December 2026". Reorder them as your
    // language writes a date in words.
    return printf_string(C_("date in words", "%1$d %2$s %3$d"), day, name, year);
}

std::string sheet_name_of_file(const char *path)
{
    std::string name = take_string(g_filename_display_basename(path));
    const std::string extension = ".zevrin";
    if (name.size() > extension.size() &&
        g_ascii_strcasecmp(name.c_str() + name.size() - extension.size(), extension.c_str()) == 0)
        name.erase(name.size() - extension.size());
    return name;
}

void draw_config_page(cairo_t *cr, double width, double height, const config_file_contents &c,
                      const std::string &title)
{
    const int model = c.model >= 0 && c.model < n_models ? c.model : 0;
    const int n = model_n_switches[model];
    cairo_save(cr);
    const double scale = std::min(width / config_page_width, height / config_page_height);
    cairo_scale(cr, scale, scale);
    cairo_set_source_rgb(cr, 0, 0, 0);

    // The configuration's name tells one pupil's sheet from another's; without one, what the
    // sheet is.
    double y = margin;
    y += draw_text(cr, margin, y, text_width, "Sans Bold 22", title.empty() ? _("Zevrin configuration") : title);
    y += draw_text(cr, margin, y, text_width, "Sans 14", model_name[model]) + 18;

    // The switch inputs side by side, as on the box.
    const double radius = 20;
    const double step = std::min(text_width / n, 4.0 * radius);
    for (int s = 0; s < n; s++)
        draw_switch_disc(cr, s, margin + radius + s * step, y + radius, radius);
    y += 2 * radius + 24;

    // One line per switch: its disc, its name in small type and, what the people beside the
    // user look for, its action in large type.
    const double row_radius = 13;
    const double indent = 3 * row_radius;
    bool moves_mouse = false, moves_joystick = false;
    for (int s = 0; s < n; s++) {
        const action_record &a = c.config.switches[s];
        moves_mouse = moves_mouse || (a.kind & 0xFF) == kind_mouse_movement;
        moves_joystick = moves_joystick || (a.kind & 0xFF) == kind_joystick_movement;
        draw_switch_disc(cr, s, margin + row_radius, y + row_radius + 2, row_radius);
        const std::string label = printf_string(_("Switch %d"), s + 1);
        cairo_set_source_rgb(cr, 0.3, 0.3, 0.3);
        const double name_height = draw_text(cr, margin + indent, y, text_width - indent, "Sans 9", label);
        cairo_set_source_rgb(cr, 0, 0, 0);
        const double action_height =
            draw_text(cr, margin + indent, y + name_height, text_width - indent, "Sans Bold 14", describe_action(a));
        y += std::max(name_height + action_height, 2 * row_radius + 4) + 12;
    }

    // A setting shows only when a switch uses it: the speed when one moves the mouse, the
    // displacement when one moves the joystick.
    y += 12;
    if (moves_mouse)
        y += draw_text(cr, margin, y, text_width, "Sans 12",
                       std::string(_("Mouse speed")) + ": " + describe_mouse_speed(c.config)) + 6;
    if (moves_joystick)
        draw_text(cr, margin, y, text_width, "Sans 12",
                  std::string(_("Joystick displacement")) + ": " + describe_joy_displacement(c.config));

    GDateTime *now = g_date_time_new_now_local();
    const std::string date =
        date_in_words(g_date_time_get_year(now), g_date_time_get_month(now), g_date_time_get_day_of_month(now));
    g_date_time_unref(now);
    // TRANSLATORS: at the foot of the printed page; %s is the date in words, "9 December 2026".
    const std::string printed = printf_string(_("Printed on %s"), date.c_str());
    draw_text(cr, margin, config_page_height - margin - 14, text_width, "Sans 10", printed);
    cairo_restore(cr);
}

bool write_config_page_pdf(const char *pdf_path, const config_file_contents &c, std::string &error,
                           const std::string &title)
{
    std::string pdf;
    cairo_surface_t *surface = cairo_pdf_surface_create_for_stream(append_to_string, &pdf, config_page_width,
                                                                    config_page_height);
    cairo_t *cr = cairo_create(surface);
    draw_config_page(cr, config_page_width, config_page_height, c, title);
    cairo_show_page(cr);
    cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    cairo_surface_finish(surface);
    if (status == CAIRO_STATUS_SUCCESS)
        status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);

    const std::string display_name = take_string(g_filename_display_name(pdf_path));
    if (status != CAIRO_STATUS_SUCCESS) {
        error = printf_string(_("The page could not be made: %s"), cairo_status_to_string(status));
        return false;
    }
    std::string reason;
    if (!replace_file_contents(pdf_path, pdf, reason)) {
        error = printf_string(_("The page could not be saved in “%s”: %s"), display_name.c_str(), reason.c_str());
        return false;
    }
    return true;
}
