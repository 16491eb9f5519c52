#include "window/window.h"
// Not built yet.
void update_main_window() {}
void set_model_images() {}
void show_main_window() {}
