// Passes of the DetectionLoop on in-memory screens that change every pass, without a display, so
// that a pass costs its matching alone: the rows a UI meets when it watches one window with many
// templates, and the hundred small rectangles of the pass goal.
//
//   many-t2     30 t2 templates of 64² on one 1920x1080 rectangle
//   many-grey   30 grey templates of 64² on the same rectangle
//   ten-t2      10 t2 templates of 64² on one 256² rectangle (per template: the shared case)
//   hundred     100 grey templates of 64², each on its own 256² rectangle of a 1280x1024 screen
//
// Every row prints one JSON line: the median pass (elapsed ms) over --passes passes after two
// warm-up passes, the process's processor time per pass, the minor page faults per pass, the
// prepared templates the cache holds and the preparations per pass, and the RSS. The program is
// built against the loop's public interface only, so that scripts/bench-pass.sh can run it
// interleaved with the same program built from an earlier tree.
//
// Usage: bench_pass ROW [--passes N] [--threads N]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "bench/speed_fixtures.h"
#include "detect/detection_loop.h"
#include "detect/template_prepare.h"

namespace tavrik {
namespace {

using Clock = std::chrono::steady_clock;

long MinorFaults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec * 1e-6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long RssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

struct Row {
  cv::Size screen;
  int templates = 0;
  bool masked = false;
  cv::Size region;  // one rectangle at (0, 0) for all, or kRegion squares on a grid when empty
};

// Templates cut from `screen` at spread positions, as an add command prepares them.
std::vector<std::shared_ptr<TemplateInfo>> CutTemplates(const Row& row, const cv::Mat& screen,
                                                        TemplateRegistry& registry) {
  std::vector<std::shared_ptr<TemplateInfo>> infos;
  cv::Mat bgr;
  cv::cvtColor(screen, bgr, cv::COLOR_BGRA2BGR);
  const int t = bench::kTemplate;
  for (int i = 0; i < row.templates; ++i) {
    auto info = std::make_shared<TemplateInfo>();
    info->name = (row.masked ? "t2:n" : "n") + std::to_string(i);
    if (row.region.area() > 0) {
      const int x = (i * 97) % (row.region.width - t);
      const int y = (i * 61) % (row.region.height - t);
      info->image = bgr(cv::Rect(x, y, t, t)).clone();
      info->rawRoi = info->roi = {0, 0, row.region.width, row.region.height};
    } else {
      const int x = (i % 10) * 100;
      const int y = (i / 10) * 76;
      info->image = bgr(cv::Rect(x + 40, y + 50, t, t)).clone();
      info->rawRoi = info->roi = {x, y, bench::kRegion, bench::kRegion};
    }
    PrepareTemplate(*info, 0.9f);
    registry.ReplaceOrInsert(info->name, info);
    infos.push_back(info);
  }
  return infos;
}

int Run(const std::string& name, int passes, int threads) {
  Row row;
  if (name == "many-t2" || name == "many-grey") {
    row = {{1920, 1080}, 30, name == "many-t2", {1920, 1080}};
  } else if (name == "ten-t2") {
    row = {{256, 256}, 10, true, {256, 256}};
  } else if (name == "hundred") {
    row = {{1280, 1024}, 100, false, {}};
  } else {
    std::fprintf(stderr, "bench_pass: unknown row %s\n", name.c_str());
    return 2;
  }
  const cv::Mat screens[2] = {bench::NoiseBgra(row.screen.height, row.screen.width, 7),
                              bench::NoiseBgra(row.screen.height, row.screen.width, 8)};
  TemplateRegistry registry;
  const auto infos = CutTemplates(row, screens[0], registry);
  const cv::Mat* shown = &screens[0];
  const LogSink log;
  DetectionContext context{registry, nullptr, log, bench::MemoryScreen(shown)};
  context.poolThreads = threads;
  DetectionLoopState state = StartDetectionLoop(0);
  std::int64_t now = 0;
  const auto clock = [&] { return now; };
  const long idleRss = RssKiB();
  for (int i = 0; i < 2; ++i) {  // prepares every template, then one pass as all the others
    shown = shown == &screens[0] ? &screens[1] : &screens[0];
    now += 1'000'000;
    RunDetectionPass(context, state, clock);
  }
  std::vector<double> times;
  const double cpu0 = CpuSeconds();
  const long faults0 = MinorFaults();
  const auto prepared0 = state.cache->Preparations();
  for (int i = 0; i < passes; ++i) {
    shown = shown == &screens[0] ? &screens[1] : &screens[0];
    now += 1'000'000;
    const auto t0 = Clock::now();
    RunDetectionPass(context, state, clock);
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  std::sort(times.begin(), times.end());
  const double n = passes;
  std::printf(
      "{\"row\":\"%s\",\"pass_ms\":%.2f,\"cpu_ms\":%.2f,\"faults\":%.0f,\"kept\":%zu,"
      "\"prepared_per_pass\":%.2f,\"kept_bytes\":%zu,\"rss_mib\":%.1f,\"rss_above_start_mib\":%.1f}\n",
      name.c_str(), times[times.size() / 2], (CpuSeconds() - cpu0) * 1e3 / n,
      (MinorFaults() - faults0) / n, state.cache->Entries(),
      (state.cache->Preparations() - prepared0) / n, state.cache->Bytes(), RssKiB() / 1024.0,
      (RssKiB() - idleRss) / 1024.0);
  return 0;
}

}  // namespace
}  // namespace tavrik

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_pass ROW [--passes N] [--threads N]\n");
    return 2;
  }
  int passes = 5;
  int threads = 0;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--passes") == 0) passes = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--threads") == 0) threads = std::atoi(argv[i + 1]);
  }
  return tavrik::Run(argv[1], passes, threads);
}
