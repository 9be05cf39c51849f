#include "support/log_capture.h"

#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "base/log.h"

namespace {

struct Capture {
  std::mutex lock;
  int64_t first = 0;  // line number of lines.front()
  std::deque<std::string> lines;
};

Capture& capture() {
  static Capture c;
  return c;
}

void tap(int64_t n, const char* line, void*) {
  Capture& c = capture();
  std::lock_guard<std::mutex> g(c.lock);
  if (c.lines.empty()) c.first = n;
  if (n != c.first + (int64_t)c.lines.size()) {
    c.lines.clear();
    c.first = n;
  }
  c.lines.emplace_back(line);
  while (c.lines.size() > 200000) {
    c.lines.pop_front();
    c.first++;
  }
}

// Installed before main, so every line a test logs is seen.
struct Installer {
  Installer() { log_set_tap(tap, nullptr); }
} g_installer;

}  // namespace

bool log_line_full(int64_t n, char* buf, size_t size) {
  Capture& c = capture();
  {
    std::lock_guard<std::mutex> g(c.lock);
    if (n >= c.first && n < c.first + (int64_t)c.lines.size()) {
      if (!buf || size == 0) return true;
      const std::string& l = c.lines[(size_t)(n - c.first)];
      size_t len = l.size() < size - 1 ? l.size() : text_utf8_boundary(l.c_str(), size - 1);
      memcpy(buf, l.data(), len);
      buf[len] = 0;
      return true;
    }
  }
  return log_console_line(n, buf, size);
}
