// A small benchmark harness for programs without Google Benchmark (the mingw build): rows of
// paired timings (our path against its bare baseline, see PairedTiming), run for a number of
// repetitions, each repetition running every row once in a new random order, so that a slow
// phase of a shared machine is spread over all rows instead of hitting one. Each row reports, per
// repetition, the mean time per iteration of both sides and their ratios; the table shows the
// median over the repetitions.
//
// Threads: the benchmark's main thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/speed_fixtures.h"

namespace tavrik::bench {

struct Row {
  std::string name;
  double unit = 1e-6;  // seconds per printed unit
  const char* unitName = "us";
  // Untimed, before each repetition's iterations of this row (other rows may have run since).
  std::function<void()> prepare = [] {};
  // One iteration: times our path and the baseline once each.
  std::function<void(PairedTiming&)> iterate;
  // One entry per repetition.
  std::vector<double> ours;
  std::vector<double> oursCpu;  // this process's processor time on our path
  std::vector<double> bare;
  std::vector<double> ratio;
  std::vector<double> cpuRatio;
};

// The median; 0 for no values.
double Median(std::vector<double> values);

// Runs each row at least `minIterations` times and until both sides together took `minSeconds`,
// in every one of `reps` repetitions, and appends each repetition's figures to the row.
void RunInterleaved(const std::vector<std::unique_ptr<Row>>& rows, int reps, int minIterations,
                    double minSeconds);

// One line per row on the standard output: medians of the means and of both ratios.
void PrintTable(const std::vector<std::unique_ptr<Row>>& rows, int reps);

}  // namespace tavrik::bench
