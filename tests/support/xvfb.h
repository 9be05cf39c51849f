// A private X server for tests and benchmarks: Xvfb on a display number it picks itself
// (-displayfd), so runs side by side never share one.
#pragma once
#include <string>

struct Xvfb;

// Starts a screen of width x height pixels at dpi and waits until it takes clients (10 s at
// most). Null when Xvfb is missing or didn't start.
Xvfb* xvfb_start(int width, int height, int dpi);
// ":N"
std::string xvfb_display(const Xvfb* x);
// Ends it and frees the record; null does nothing.
void xvfb_stop(Xvfb* x);
