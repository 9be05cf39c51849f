// Small helpers for tests that run other programs.
#pragma once
#include <chrono>
#include <cstdio>
#include <string>

// Monotonic seconds.
inline double test_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A command line's whole standard output ("" when it couldn't run).
inline std::string test_output(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) out += buf;
  pclose(p);
  return out;
}
