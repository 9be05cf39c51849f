// kelp_bench's entry: every benchmark, then the table of ratios beside their anchors.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "bench_ratio.h"

namespace {

struct Row {
  std::string work, anchor, unit;
  double ours = 0, theirs = 0, goal = 0;
  bool at_least = false;
  bool bytes = false;
};

std::vector<Row>& rows() {
  static std::vector<Row> r;
  return r;
}

void put(Row row) {
  for (Row& r : rows()) {
    if (r.work == row.work) {
      r = row;
      return;
    }
  }
  rows().push_back(row);
}

std::string time_text(double s, bool bytes = false) {
  char buf[32];
  if (bytes) {
    snprintf(buf, sizeof buf, "%.1f MB", s / 1e6);
  } else if (s >= 1.0) {
    snprintf(buf, sizeof buf, "%.2f s", s);
  } else {
    snprintf(buf, sizeof buf, "%.1f ms", s * 1e3);
  }
  return buf;
}

void print_table() {
  if (rows().empty()) return;
  printf("\n%-58s %10s  %-52s %10s %8s %7s  %s\n", "work", "ours", "anchor", "", "ratio", "goal",
         "");
  for (const Row& r : rows()) {
    if (r.at_least) {
      printf("%-58s %8.0f%-2s  %-52s %10s %8s %6s%.0f  %s\n", r.work.c_str(), r.ours,
             r.unit.c_str(), "-", "", "", ">=", r.goal, r.ours >= r.goal ? "met" : "MISSED");
      continue;
    }
    double ratio = r.theirs > 0 ? r.ours / r.theirs : 0;
    char goal[16] = "-";
    if (r.goal > 0) snprintf(goal, sizeof goal, "<=%.2f", r.goal);
    printf("%-58s %10s  %-52s %10s %7.2fx %7s  %s\n", r.work.c_str(),
           time_text(r.ours, r.bytes).c_str(), r.anchor.c_str(), time_text(r.theirs, r.bytes).c_str(),
           ratio, goal,
           r.goal <= 0 ? "" : ratio <= r.goal ? "met" : "MISSED");
  }
}

}  // namespace

double bench_median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double bench_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void bench_ratio(const char* work, const BenchPair& pair, const char* anchor, double goal) {
  Row r;
  r.work = work;
  r.anchor = anchor;
  r.ours = bench_median(pair.ours);
  r.theirs = bench_median(pair.anchor);
  r.goal = goal;
  put(r);
}

void bench_ratio_bytes(const char* work, const BenchPair& pair, const char* anchor, double goal) {
  bench_ratio(work, pair, anchor, goal);
  for (Row& r : rows())
    if (r.work == work) r.bytes = true;
}

void bench_at_least(const char* work, double ours, const char* unit, double goal) {
  Row r;
  r.work = work;
  r.ours = ours;
  r.unit = unit;
  r.goal = goal;
  r.at_least = true;
  put(r);
}

BenchLoad::BenchLoad() {
  pid = fork();
  if (pid == 0) {
    volatile unsigned long x = 0;
    for (;;) x = x + 1;
  }
}

BenchLoad::~BenchLoad() {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

long long bench_children_peak_bytes() {
  struct rusage ru = {};
  getrusage(RUSAGE_CHILDREN, &ru);
  return (long long)ru.ru_maxrss * 1024;
}

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  print_table();
  fflush(stdout);
  return 0;
}
