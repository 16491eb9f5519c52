// The printed page of a configuration: the model, the switches' numbers in their colours, each
// switch's action in words, the mouse speed, the joystick displacement and the date, in the
// user's language. Drawn with cairo and pango only, so that it needs no window.
#pragma once

#include <string>

#include <cairo.h>

#include "device/config_file.h"

// The size of the page that write_config_page_pdf makes (A4), in points.
constexpr double config_page_width = 595.28;
constexpr double config_page_height = 841.89;

// Draws the page into `cr`, whose drawable area is `width` × `height` in its units, from the
// top left corner; the page is scaled to fit.
void draw_config_page(cairo_t *cr, double width, double height, const config_file_contents &c);
// Writes the page as a one-page PDF, replacing the file whole; translated message on failure.
bool write_config_page_pdf(const char *pdf_path, const config_file_contents &c, std::string &error);
