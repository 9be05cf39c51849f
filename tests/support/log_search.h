// Searching the whole log lines written since a mark (a console count), for tests of several
// folders that check what a failure said.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>

#include "base/log.h"
#include "support/log_capture.h"

// True when a line containing needle was logged since the console count `since`.
inline bool logged(int64_t since, const std::string& needle) {
  char line[LOG_FULL_LINE_BYTES];
  for (int64_t i = since; i < log_console_count(); i++) {
    if (log_line_full(i, line, sizeof line) && strstr(line, needle.c_str())) return true;
  }
  return false;
}
