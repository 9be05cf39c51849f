#include "base/clock.h"

#include <chrono>

#include "platform/platform.h"

double clock_now() {
  auto t = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(t).count() - CLOCK_UNIX_TO_2001;
}

double clock_monotonic() {
  return platform_seconds();
}
