// The program's two clocks: wall time as the sketch files store it, and a steady clock for
// intervals. Times in files are seconds since 2001-01-01 00:00:00 UTC.
#pragma once

// Seconds from the Unix epoch to 2001-01-01 00:00:00 UTC.
constexpr double CLOCK_UNIX_TO_2001 = 978307200.0;

// Wall-clock seconds since 2001-01-01 00:00:00 UTC.
double clock_now();
// Seconds from a steady clock, for intervals.
double clock_monotonic();
