// Ours beside its anchor: benchmarks time both in the same run, interleaved, and record one row
// each; kelp_bench prints every row as a table after the benchmarks have run.
#pragma once
#include <sys/types.h>

#include <vector>

// Seconds of one run each, gathered in turns; the row takes each side's median.
struct BenchPair {
  std::vector<double> ours;
  std::vector<double> anchor;
};

double bench_median(std::vector<double> v);
double bench_now();

// work: what the user waits for; anchor: what it is measured against; goal: the ratio to stay
// under (0 for none). The last row recorded under a work name wins.
void bench_ratio(const char* work, const BenchPair& pair, const char* anchor, double goal);
// The same with bytes in place of seconds (peak memory).
void bench_ratio_bytes(const char* work, const BenchPair& pair, const char* anchor, double goal);
// At least: for rows where bigger is better (real-time factors); shown as "≥ goal".
void bench_at_least(const char* work, double ours, const char* unit, double goal);

// A second process spinning on another core while a benchmark runs: the machine is busy.
struct BenchLoad {
  pid_t pid = -1;
  BenchLoad();
  ~BenchLoad();
};

// The peak resident memory of the children waited for so far, in bytes.
long long bench_children_peak_bytes();
