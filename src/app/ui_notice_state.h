// The share panel's buttons and the busy notice: kept in the window's state and read by the
// notices, which ui.h includes.
#pragma once
#include <cstdint>

constexpr int32_t UI_BUSY_TEXT = 128;

enum ShareButton : int32_t { SHARE_EXPORT = 0, SHARE_FOLDER = 1, SHARE_COPY = 2 };
enum ShareState : int32_t { SHARE_IDLE = 0, SHARE_BUSY = 1, SHARE_DONE = 2, SHARE_FAILED = 3 };

struct UiShare {
  int32_t state[3];  // ShareState per ShareButton
  double until[3];
  char last_export[1024];
  char message[128];
};

// A slow audio change announced before it starts.
struct UiBusy {
  bool active;
  char text[UI_BUSY_TEXT];
  double at;
  uint64_t switch_counter;  // the engine's change counter when it was raised
};
