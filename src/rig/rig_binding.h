// What the engine publishes about the running stream so the UI can bind a rig to it.
#pragma once
#include <cstdint>

#include "rig/rig_doc.h"

struct StreamBinding {
  char key[RIG_KEY_BYTES];  // "" when it does not fit
  char api[RIG_API_BYTES];
  char device_name[RIG_DEVICE_BYTES];
  int32_t inputs;         // opened, 1..64
  int32_t device_inputs;  // inputs..64
  double rate;
  char channel_names[RIG_MAX_CHANNELS][RIG_NAME_BYTES];  // empty when the driver names none
};
