#include "base/log.h"
#include "base/text.h"
#include "base/version.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <atomic>
#include <shared_mutex>
#include <mutex>

#include "platform/fsys.h"
#include "platform/platform.h"

namespace {

constexpr size_t kMessageBytes = 1024;
constexpr size_t kPathMax = 1055;

struct LogState {
  std::shared_mutex lock;
  char ring[LOG_CONSOLE_LINES][LOG_CONSOLE_LINE_BYTES];
  int64_t count = 0;
  int64_t flushed = 0;
  FILE* file = nullptr;
  char path[kPathMax + 1] = {0};
  LogTap tap = nullptr;
  void* tap_ctx = nullptr;
};

LogState& state() {
  // Never destroyed: other objects' destructors and late threads may still log at exit.
  static LogState& s = *new LogState;
  return s;
}

std::atomic<double> g_clock_base{-1.0};

// Index just past the last whole character in s[0..n).
void write_ring_locked(LogState& s, const char* line) {
  char* slot = s.ring[s.count % LOG_CONSOLE_LINES];
  size_t n = strlen(line);
  if (n > LOG_CONSOLE_LINE_BYTES - 1) n = text_utf8_boundary(line, LOG_CONSOLE_LINE_BYTES - 1);
  memcpy(slot, line, n);
  memset(slot + n, 0, LOG_CONSOLE_LINE_BYTES - n);
  s.count++;
}

}  // namespace



double log_clock() {
  double now = platform_seconds();
  double base = g_clock_base.load(std::memory_order_acquire);
  if (base < 0) {
    double expected = -1.0;
    if (g_clock_base.compare_exchange_strong(expected, now, std::memory_order_acq_rel)) {
      base = now;
    } else {
      base = expected;
    }
  }
  return now - base;
}

void log_line(const char* fmt, ...) {
  char msg[kMessageBytes];
  va_list ap;
  va_start(ap, fmt);
  int r = vsnprintf(msg, sizeof msg, fmt ? fmt : "", ap);
  va_end(ap);
  bool cut = (size_t)r >= sizeof msg;
  if (r < 0) {
    r = snprintf(msg, sizeof msg, "%s", fmt ? fmt : "");
    cut = r < 0 || (size_t)r >= sizeof msg;
    if (r < 0) msg[0] = 0;
  }
  // vsnprintf cuts at a byte count; drop the partial character it may have left at the end.
  if (cut) msg[text_utf8_boundary(msg, strlen(msg))] = 0;
  for (char* p = msg; *p; p++) {
    if ((unsigned char)*p < 0x20 && *p != '\t') *p = ' ';
  }

  char line[kMessageBytes + 32];
  LogState& s = state();
  {
    std::unique_lock<std::shared_mutex> g(s.lock);
    // Stamped under the lock, so the file's times never run backwards between threads.
    snprintf(line, sizeof line, "%8.2f  %s", log_clock(), msg);
    if (s.tap) s.tap(s.count, line, s.tap_ctx);
    write_ring_locked(s, line);
    if (s.file) {
      fputs(line, s.file);
      fputc('\n', s.file);
      fflush(s.file);
      s.flushed = s.count;
    }
  }
  fprintf(stderr, "%s\n", msg);
}

void log_timed(const char* label, double start_seconds, const char* detail) {
  double ms = (log_clock() - start_seconds) * 1000.0;
  if (!label) label = "?";
  if (detail && *detail) {
    log_line("%s  %s (%.1fms)", label, detail, ms);
  } else {
    log_line("%s (%.1fms)", label, ms);
  }
}

static void close_locked(LogState& s) {
  if (s.file) {
    fprintf(s.file, "%8.2f  ; closed\n", log_clock());
    fclose(s.file);
    s.file = nullptr;
  }
  s.path[0] = 0;
}

namespace {
// Platform code below the log reports through it.
void report_line(const char* line) {
  log_line("%s", line);
}
const bool g_reporting = (platform_set_reporter(report_line), true);
}  // namespace

void log_close() {
  LogState& s = state();
  std::unique_lock<std::shared_mutex> g(s.lock);
  close_locked(s);
}

void log_open(const char* folder) {
  char dir[kPathMax + 1];
  if (folder && *folder) {
    if (strlen(folder) > kPathMax) {
      log_line("log: folder path too long - console only this run");
      return;
    }
    snprintf(dir, sizeof dir, "%s", folder);
  } else {
    char home[kPathMax + 1];
    if (platform_profile_folder(home, sizeof home) != 0) {
      log_line("log: no folder for kelp.log - console only this run");
      return;
    }
    if (snprintf(dir, sizeof dir, "%s/.seaglass", home) >= (int)sizeof dir) {
      log_line("log: folder path too long - console only this run");
      return;
    }
  }
  size_t n = strlen(dir);
  while (n > 3 && (dir[n - 1] == '/' || dir[n - 1] == '\\')) dir[--n] = 0;

  char cur[kPathMax + 16], prev[kPathMax + 16];
  int a = snprintf(cur, sizeof cur, "%s/kelp.log", dir);
  int b = snprintf(prev, sizeof prev, "%s/kelp.prev.log", dir);
  if (a < 0 || b < 0 || (size_t)a > kPathMax || (size_t)b > kPathMax) {
    log_line("log: folder path too long - console only this run");
    return;
  }
  fsys_make_folders(dir);

  LogState& s = state();
  unsigned long rotate_error = 0;
  {
    std::unique_lock<std::shared_mutex> g(s.lock);
    close_locked(s);
    if (rename(cur, prev) == 0) {
      rotate_error = 0;
    } else {
      rotate_error = (errno == ENOENT) ? 2 : (unsigned long)errno;
    }
    FILE* f = fopen(cur, "a");
    if (!f) {
      unsigned long e = (unsigned long)errno;
      g.unlock();
      log_line("log: can't open kelp.log (error %lu) - console only this run", e);
      return;
    }
    s.file = f;
    memcpy(s.path, cur, (size_t)a + 1);  // a <= kPathMax checked above

    time_t t = time(nullptr);
    struct tm lt;
    localtime_r(&t, &lt);
    const char* suffix = rotate_error == 0   ? " - the run before is in kelp.prev.log"
                         : rotate_error == 2 ? ""
                                             : " - could not rotate, appending";
    char header[256];
    snprintf(header, sizeof header, "; %s %s log - opened %04u-%02u-%02u %02u:%02u:%02u local%s\n",
             "Kelp NOVA", KELP_VERSION_TEXT, (unsigned)lt.tm_year + 1900, (unsigned)lt.tm_mon + 1,
             (unsigned)lt.tm_mday, (unsigned)lt.tm_hour, (unsigned)lt.tm_min, (unsigned)lt.tm_sec,
             suffix);
    if (header[strlen(header) - 1] != '\n') {
      // Cut to 255 bytes: keep the line whole by ending it.
      header[sizeof header - 2] = '\n';
    }
    fputs(header, f);

    int64_t from = s.count - LOG_CONSOLE_LINES;
    if (from < s.flushed) from = s.flushed;
    if (from < 0) from = 0;
    for (int64_t i = from; i < s.count; i++) {
      fputs(s.ring[i % LOG_CONSOLE_LINES], f);
      fputc('\n', f);
    }
    fflush(f);
    s.flushed = s.count;
  }
  if (rotate_error != 0 && rotate_error != 2) {
    log_line("log: could not rotate kelp.log (error %lu) - appending to it", rotate_error);
  }
}

void log_set_tap(LogTap tap, void* ctx) {
  LogState& s = state();
  std::unique_lock<std::shared_mutex> g(s.lock);
  s.tap = tap;
  s.tap_ctx = ctx;
}

int64_t log_console_count() {
  LogState& s = state();
  std::shared_lock<std::shared_mutex> g(s.lock);
  return s.count;
}

bool log_console_line(int64_t n, char* buf, size_t size) {
  LogState& s = state();
  std::shared_lock<std::shared_mutex> g(s.lock);
  if (n < 0 || n < s.count - LOG_CONSOLE_LINES || n >= s.count) return false;
  if (!buf || size == 0) return true;
  const char* line = s.ring[n % LOG_CONSOLE_LINES];
  size_t len = strlen(line);
  if (len > size - 1) len = text_utf8_boundary(line, size - 1);
  memcpy(buf, line, len);
  buf[len] = 0;
  return true;
}

const char* log_path() {
  // The buffer lives as long as the program; a reader racing log_open may see either path.
  return state().path;
}
