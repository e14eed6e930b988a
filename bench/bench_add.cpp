// Cost of one add command on the CommandThread: path resolution, file read and PNG decode, grey
// copy, edge mask (kind "t2" only), colour statistics and the registry store. The window lookup
// is replaced by a lookup that finds nothing, so that the figures hold the template work only
// (the real lookup adds a fixed 50 ms pause after raising a window).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "base/utf.h"
#include "commands/spec_commands.h"

namespace {

namespace fs = std::filesystem;

// The template files, written once and removed when the program ends.
struct BenchFiles {
  fs::path dir = fs::temp_directory_path() / ("tavrik_bench_add_" + std::to_string(::getpid()));
  BenchFiles() {
    fs::create_directories(dir);
    cv::RNG rng(7);
    for (const int side : {32, 64, 256}) {
      // Some structure so that the PNG is not trivially compressible and the mask has edges.
      cv::Mat image(side, side, CV_8UC3);
      rng.fill(image, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(256));
      image(cv::Rect(side / 4, side / 4, side / 2, side / 2)).setTo(cv::Scalar(30, 140, 220));
      cv::imwrite((dir / ("t" + std::to_string(side) + ".png")).string(), image);
    }
  }
  ~BenchFiles() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

const fs::path& BenchDir() {
  static const BenchFiles files;
  return files.dir;
}

void AddOne(benchmark::State& state, const char16_t* name) {
  const int side = static_cast<int>(state.range(0));
  tavrik::TemplateRegistry registry;
  const tavrik::LogSink log;
  const tavrik::SpecContext context{registry, log, BenchDir(),
                                    [](std::u16string_view, tavrik::WindowOrigin&, std::int32_t*) {
                                      return tavrik::WindowLookup::kNotFound;
                                    }};
  tavrik::SpecCommand command;
  command.name = name;
  command.path = tavrik::Utf8ToUtf16("t" + std::to_string(side) + ".png");
  command.processName = u"game.exe";
  command.roiWidth = command.roiHeight = side * 2;
  command.threshold = 0.9f;
  for (auto _ : state) {
    tavrik::AddSpecHandler(context, command);
  }
  if (registry.SnapshotTemplates().size() != 1) state.SkipWithError("template was not added");
  state.SetLabel(std::to_string(side) + "x" + std::to_string(side));
}

void BM_AddPlain(benchmark::State& state) { AddOne(state, u"plain"); }
void BM_AddT2WithMask(benchmark::State& state) { AddOne(state, u"t2:icon"); }

BENCHMARK(BM_AddPlain)->Arg(32)->Arg(64)->Arg(256)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AddT2WithMask)->Arg(32)->Arg(64)->Arg(256)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
