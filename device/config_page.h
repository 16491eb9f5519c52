// The printed page of a configuration: its name, the model, the switches' numbers in their
// colours, each switch's action in words, the mouse speed and the joystick displacement where a
// switch uses them, and the date, in the user's language. Drawn with cairo and pango only, so that it needs no window.
#pragma once

#include <string>

#include <cairo.h>

#include "device/config_file.h"

// The size of the page that write_config_page_pdf makes (A4), in points.
constexpr double config_page_width = 595.28;
constexpr double config_page_height = 841.89;

// Draws the page into `cr`, whose drawable area is `width` × `height` in its units, from the
// top left corner; the page is scaled to fit. `title` is the configuration's name ("Anna"),
// its heading; without one the heading says what the page is.
void draw_config_page(cairo_t *cr, double width, double height, const config_file_contents &c,
                      const std::string &title = "");
// Writes the page as a one-page PDF, replacing the file as replace_file_contents does;
// translated message on failure.
bool write_config_page_pdf(const char *pdf_path, const config_file_contents &c, std::string &error,
                           const std::string &title = "");

// A date as the page writes it, in words in the user's language: "9 December 2026".
std::string date_in_words(int year, int month, int day);
// The name that a page printed from the file at `path` carries: the file's name without
// ".zevrin" (in any case).
std::string sheet_name_of_file(const char *path);
