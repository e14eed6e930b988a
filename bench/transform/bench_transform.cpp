// The transform pair (Forward of a plane, Inverse of a spectrum) of every candidate transform, at
// 256², 512² and 1024², timed in one process: the transforms are run in turn, round after round,
// so that load from elsewhere hits all alike; each round's time of a transform is divided by the
// baseline's (cv::dft) in the same round, and the medians over the rounds are printed.
//
//   bench_transform [rounds]        (default 15; CI runs it with 1 to see that it runs)
//
// Candidates: cv::dft, pocketfft and FFTW where built, and KISS FFT (BSD-3, double precision)
// where its sources were found. KISS FFT is measured only; the worker never ships it. Plain C++
// with no benchmark library, so the same program runs on Linux and, cross-built, under Wine.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "match/transform.h"
#if TAVRIK_BENCH_FFTW
#include "match/transform_fftw.h"
#endif
#if TAVRIK_BENCH_KISSFFT
#include "bench/transform/kissfft_transform.h"
#endif

namespace tavrik {
namespace {

struct Candidate {
  std::string name;
  std::function<std::unique_ptr<Transform2D>(cv::Size)> make;
};

std::vector<Candidate> Candidates() {
  std::vector<Candidate> c;
  for (TransformKind kind : AvailableTransformKinds()) {
    c.push_back({TransformName(kind), [kind](cv::Size s) { return MakeTransform(kind, s); }});
  }
#if TAVRIK_BENCH_KISSFFT
  c.push_back({"kissfft", [](cv::Size s) { return MakeKissFftTransform(s); }});
#endif
  return c;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// One transform with its buffers and a plane like the matcher's: 8-bit values, the lower part
// of the rows non-zero (a template or a tile padded to the transform size).
struct Runner {
  std::unique_ptr<Transform2D> transform;
  cv::Mat source, plane, spectrum, out;
  int nonzeroRows = 0;

  // Microseconds per pair, over `pairs` pairs.
  double Time(int pairs) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < pairs; ++i) {
      source.copyTo(plane);
      transform->Forward(plane, spectrum, nonzeroRows);
      transform->Inverse(spectrum, out);
    }
    const auto end = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::micro>(end - start).count() / pairs;
  }
};

}  // namespace
}  // namespace tavrik

int main(int argc, char** argv) {
  using namespace tavrik;
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
#if TAVRIK_BENCH_FFTW
  InstallFftwFactory(MakeFftwTransform);
#endif
  cv::setNumThreads(1);  // the worker's evaluating threads each run one transform at a time
  const std::vector<Candidate> candidates = Candidates();
  std::printf("%-10s %-10s %12s %12s   (medians of %d interleaved rounds; ratio to %s)\n",
              "size", "transform", "us/pair", "ratio", rounds, candidates[0].name.c_str());
  for (int side : {256, 512, 1024}) {
    const cv::Size size(side, side);
    cv::Mat pixels(side, side, CV_8U);
    cv::randu(pixels, 0, 256);
    std::vector<Runner> runners;
    for (const Candidate& c : candidates) {
      Runner r;
      r.transform = c.make(size);
      r.plane = r.transform->NewPlane();
      r.spectrum = r.transform->NewSpectrum();
      r.out = r.transform->NewPlane();
      r.nonzeroRows = side * 3 / 4;
      r.source = cv::Mat::zeros(size, CV_64F);
      pixels.rowRange(0, r.nonzeroRows).convertTo(r.source.rowRange(0, r.nonzeroRows), CV_64F);
      r.Time(1);  // plans, caches and pages warm
      runners.push_back(std::move(r));
    }
    // About 20 ms per transform and round.
    const int pairs = std::max(1, static_cast<int>(20000 / runners[0].Time(1)));
    std::vector<std::vector<double>> times(runners.size()), ratios(runners.size());
    for (int round = 0; round < rounds; ++round) {
      std::vector<double> t(runners.size());
      // Alternate the order, so that no transform always runs right after the same one.
      for (std::size_t k = 0; k < runners.size(); ++k) {
        const std::size_t i = round % 2 == 0 ? k : runners.size() - 1 - k;
        t[i] = runners[i].Time(pairs);
      }
      for (std::size_t i = 0; i < runners.size(); ++i) {
        times[i].push_back(t[i]);
        ratios[i].push_back(t[i] / t[0]);
      }
    }
    for (std::size_t i = 0; i < runners.size(); ++i) {
      std::printf("%-10s %-10s %12.1f %12.3f\n", (std::to_string(side) + "x" + std::to_string(side)).c_str(),
                  candidates[i].name.c_str(), Median(times[i]), Median(ratios[i]));
    }
  }
  return 0;
}
