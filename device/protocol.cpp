#include "device/protocol.h"
// Not built yet.
int reading_config = 1;
int writing_config = 0;
int reading_config_step = 0;
double reading_writing_config_fraction = 0.0;
std::array<uint8_t, report_length> report = {};
void read_config() {}
void write_config() {}
void handle_message(const uint8_t *, int) {}
gboolean read_config_step_cb(gpointer) { return FALSE; }
gboolean read_config_done_cb(gpointer) { return FALSE; }
gboolean write_config_step_cb(gpointer) { return FALSE; }
gboolean write_config_done_cb(gpointer) { return FALSE; }
