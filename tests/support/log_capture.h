// Whole log lines for tests. The console ring keeps 159 bytes of a line, which cuts lines that
// carry long scratch paths; this keeps every line whole under the same numbering.
#pragma once
#include <cstddef>
#include <cstdint>

enum { LOG_FULL_LINE_BYTES = 1100 };

// Like log_console_line, but the line is whole (cut only to fit size, at a character boundary).
bool log_line_full(int64_t n, char* buf, size_t size);
