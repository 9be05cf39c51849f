// One-line, time-stamped log shared by every module: a file rotated once per run,
// a 256-line console ring, and the standard error stream. Never call from the audio callback.
#pragma once
#include "base/text.h"  // the log cuts its lines with these
#include <cstddef>
#include <cstdint>

enum { LOG_CONSOLE_LINES = 256, LOG_CONSOLE_LINE_BYTES = 160 };

void log_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Opens kelp.log in folder (null: ~/.seaglass), moving the previous one to kelp.prev.log.
void log_open(const char* folder);
void log_close();
// "%s  %s (%.1fms)" with the milliseconds since start_seconds (a log_clock value).
void log_timed(const char* label, double start_seconds, const char* detail);
// Seconds since the first call.
double log_clock();

int64_t log_console_count();
// Copies line n while it is still in the ring, cut at a UTF-8 boundary to fit size.
bool log_console_line(int64_t n, char* buf, size_t size);
// UTF-8 path of the open log file, "" when none is open.
const char* log_path();

// Sees every line whole ("%8.2f  message", line number n) as it is stored; runs under the log's
// lock, so it must not log. One tap at a time; null removes it.
typedef void (*LogTap)(int64_t n, const char* line, void* ctx);
void log_set_tap(LogTap tap, void* ctx);

