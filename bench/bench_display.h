// A private X server for the benchmarks that need a display, started on first use and ended at
// exit. display is "" without Xvfb.
#pragma once
#include <string>

#include "support/xvfb.h"

struct BenchDisplay {
  Xvfb* x = xvfb_start(1600, 1000, 96);
  std::string display = xvfb_display(x);
  ~BenchDisplay() { xvfb_stop(x); }
};

inline BenchDisplay& bench_display() {
  static BenchDisplay x;
  return x;
}
