// A built-in simulated Zevrin or Zevrin Mini, for trying the configurator without hardware.
//
// It is a HID platform layer (hid_platform.h): the registry, its reader thread and everything
// above see one HID interface that is present from the start and never leaves, and talk to it
// with the device's own 9-byte reports. The simulated device answers each read request with
// the reply the device gives, and keeps what is written to it until the program ends.
#pragma once

#include "hid/hid_platform.h"

// Model index of a demo device name: "zevrin" 0, "mini" (or "zevrin-mini", "zevrin_mini") 1;
// -1 for anything else. Case is ignored.
int hid_demo_model(const char *name);

// The layer simulating model `model` (0 Zevrin, 1 Zevrin Mini), holding its sample
// configuration afresh. Hand it to mhid_use_platform() before mhid_init(); call it only while
// the HID module is not running.
const hid_platform *hid_demo_platform(int model);

// Start-up: when the environment variable ZEVRIN_DEMO names a model, chooses that model's demo
// layer for the next mhid_init() and returns true. An unknown name is reported on standard
// error and the real devices are used.
bool hid_demo_use_from_environment();
