// The look of the windows: the GTK theme chosen before the toolkit starts, our own small style
// sheet over it, and the environment of the programs that we start.
#pragma once

#include <gio/gio.h>

// The theme used unless the desktop asks for high contrast.
inline constexpr const char *default_theme = "Materia-light";

// The theme to use, from the user's own GTK_THEME (null when unset) and whether the desktop's
// accessibility setting asks for high contrast: a HighContrast or HighContrastInverse theme that
// the user named is kept, the setting alone gives HighContrast, anything else the default.
const char *choose_theme(const char *user_theme, bool desktop_high_contrast);

// GNOME's accessibility setting org.gnome.desktop.a11y.interface high-contrast; false where that
// schema is not installed.
bool desktop_asks_high_contrast();

// Before gtk_init: remembers the user's GTK_THEME for the programs we start and sets ours.
void set_theme();

// Whether set_theme chose a high-contrast theme.
extern bool high_contrast_theme;

// After gtk_init: our style sheet (data file style/zevrin.css) for the default look; over a
// high-contrast theme style/high-contrast.css, which only strengthens the chosen page and the
// focus ring in the theme's own colours.
void load_style_sheet();

// Fills in a launch context for a program we start: the user's own GTK_THEME, or none, in place
// of ours.
void give_back_user_theme(GAppLaunchContext *context);
