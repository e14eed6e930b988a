#include "bench/interleaved_runner.h"

#include <algorithm>
#include <cstdio>
#include <random>

namespace tavrik::bench {
namespace {

void RunRow(Row& row, int minIterations, double minSeconds) {
  row.prepare();
  PairedTiming timing;
  int n = 0;
  while (n < minIterations || timing.ours() + timing.bare() < minSeconds) {
    row.iterate(timing);
    ++n;
  }
  row.ours.push_back(timing.ours() / n / row.unit);
  row.oursCpu.push_back(timing.oursCpu() / n / row.unit);
  row.bare.push_back(timing.bare() / n / row.unit);
  row.ratio.push_back(timing.ours() / timing.bare());
  row.cpuRatio.push_back(timing.oursCpu() / timing.bareCpu());
}

}  // namespace

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

void RunInterleaved(const std::vector<std::unique_ptr<Row>>& rows, int reps, int minIterations,
                    double minSeconds) {
  std::mt19937 random(std::random_device{}());
  std::vector<Row*> order;
  for (const auto& row : rows) order.push_back(row.get());
  for (int rep = 0; rep < reps; ++rep) {
    std::shuffle(order.begin(), order.end(), random);
    for (Row* row : order) RunRow(*row, minIterations, minSeconds);
  }
}

void PrintTable(const std::vector<std::unique_ptr<Row>>& rows, int reps) {
  std::printf("%-30s %12s %12s %12s %7s %9s  (medians of %d repetitions)\n", "benchmark", "ours",
              "ours_cpu", "bare", "ratio", "cpu_ratio", reps);
  const auto cell = [](const std::vector<double>& values, const char* unit) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g %s", Median(values), unit);
    return std::string(text);
  };
  for (const auto& row : rows) {
    std::printf("%-30s %12s %12s %12s %7.3f %9.3f\n", row->name.c_str(),
                cell(row->ours, row->unitName).c_str(), cell(row->oursCpu, row->unitName).c_str(),
                cell(row->bare, row->unitName).c_str(), Median(row->ratio), Median(row->cpuRatio));
  }
  std::fflush(stdout);
}

}  // namespace tavrik::bench
