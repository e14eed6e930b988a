// The correlation engine: the response maps of templates over one captured region, with
// everything that depends only on a template prepared once.
//
// The correlations are computed by tiles of Fourier transforms in double precision and rounded to
// the exact integers they are (8-bit pixels against 8-bit templates and 0/1 masks), so every map
// value is what the plain sums over the placement give, whichever transform runs, up to the last
// rounding of the normalisation. That is the engine's contract: exact sums, every map value within
// 1e-5 of a direct double-precision computation, and the guard (GuardedScore) on every normalised
// value; tests/match/match_differential_test.cpp holds it to the direct computation, and to
// cv::matchTemplate where that is sound.
//
// Work per region: MatchRegion takes every template of a rectangle at once and walks the tiles of
// each geometry in use (match/tile_layout.h) once: per tile, the region's forward spectra (grey,
// or the three colour planes and the sum of their squares) are made once and every template of
// the geometry pays its products and its inverse transforms only. What a map yields, its best
// placement and its mean (MapSummary), is folded tile by tile, so no template's whole map is ever
// held. Between tiles the stop token is read: a large evaluation gives way within one tile.
//
// Memory: a PreparedMatch (a template's spectra at its tile size) is kept by the caller (the
// MatchCache). Everything else lives in the MatchWorkspace of the evaluating thread, sized by the
// largest tile it has run, and in the RegionPixels (the grey plane); both can be released
// (Release) and say what they hold (Bytes). NeedFor (tile_layout.h) states the worst case.
//
// Threads: a MatchWorkspace and a RegionPixels belong to one thread at a time. A PreparedMatch is
// immutable once made and may be read by any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <span>
#include <stop_token>
#include <vector>

#include "match/match_template.h"
#include "match/tile_layout.h"
#include "match/transform.h"

namespace tavrik {

// Everything one template needs at one tile size and transform. Immutable once made.
struct PreparedMatch {
  cv::Size dft;
  TransformKind transform = TransformKind::kOpenCv;
  MatchKind kind = MatchKind::kFallback;
  cv::Size templ;
  // Template spectra at `dft`: grey, the template itself; masked, the three channels of
  // template x mask, then the mask.
  std::vector<cv::Mat> spectra;
  // Exact template sums (integers held in doubles): grey sum and sum of squares; masked, the sum
  // of squares of the masked template over its three channels.
  double area = 0.0;
  double templSum = 0.0;
  double templSum2 = 0.0;
  double templNorm = 0.0;    // CCOEFF: sqrt of the centred sum of squares; SQDIFF: sqrt(templSum2)
  bool constantOne = false;  // CCOEFF of a flat template: cv::matchTemplate's map of 1s

  std::size_t Bytes() const;
};

class MatchWorkspace;

// Prepares `templ` for tiles of `dft` (GeometryFor(region, templ).dft).
std::shared_ptr<const PreparedMatch> PrepareMatch(const MatchTemplate& templ, cv::Size dft,
                                                  TransformKind transform,
                                                  MatchWorkspace& workspace);

// One captured region and what is derived from it. Reset() with new pixels invalidates the
// derived data but keeps the buffers until Release().
class RegionPixels {
 public:
  RegionPixels();
  ~RegionPixels();
  RegionPixels(const RegionPixels&) = delete;
  RegionPixels& operator=(const RegionPixels&) = delete;

  // `pixels` is 8-bit BGR or BGRA; it is referenced, not copied, and must outlive the use.
  void Reset(const cv::Mat& pixels);
  const cv::Mat& Pixels() const { return pixels_; }

  // The region in grey, as cv::cvtColor(BGR2GRAY) of its BGR pixels would give it.
  const cv::Mat& Grey();

  // Frees every derived buffer and lets go of the pixels (they are the caller's, but a reference
  // kept here would keep them alive). Bytes() is what the derived buffers hold now.
  void Release();
  std::size_t Bytes() const;

 private:
  cv::Mat pixels_;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Scratch buffers and transforms of one thread.
class MatchWorkspace {
 public:
  MatchWorkspace();
  ~MatchWorkspace();
  MatchWorkspace(const MatchWorkspace&) = delete;
  MatchWorkspace& operator=(const MatchWorkspace&) = delete;

  // Frees every buffer and transform; the next use makes them again. Bytes() is what they hold.
  void Release();
  std::size_t Bytes() const;

  // How many maps this workspace has computed, and how many region tiles it transformed (tests
  // count them to see work skipped and shared).
  std::uint64_t MapsComputed() const;
  std::uint64_t RegionTiles() const;

  struct Impl;
  Impl& Internal() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

// The calling thread's workspace, for callers on one long-lived thread that keep none of their
// own (tools, tests). Threads that end while the process goes on (the evaluation pool's) are
// given explicit workspaces instead: a thread_local holding OpenCV matrices must not be destroyed
// at thread exit after OpenCV's own thread data (mingw-w64).
MatchWorkspace& ThreadMatchWorkspace();

// What a map yields: its best value (the maximum, the minimum for squared difference; the first
// in row-major order among equal values, as cv::minMaxLoc reports it) and the sum of its values,
// a non-finite value counted as the empty placement (0, or 1 for squared difference).
struct MapSummary {
  double best = 0.0;
  cv::Point bestLoc;
  double sum = 0.0;
  std::size_t count = 0;  // values seen; 0 before any
};
// Folds `values` (CV_32F, the part of a map whose top-left is `origin`) into `summary`.
void FoldMap(const cv::Mat& values, cv::Point origin, bool sqDiff, MapSummary& summary);

// One template of a MatchRegion call.
struct MatchRequest {
  const MatchTemplate* templ = nullptr;
  const PreparedMatch* prepared = nullptr;  // made for this template, its geometry's dft, a transform
  MapSummary summary;                       // the result
  bool done = false;
};

// The matching of one region for a set of requests, cut into units that any thread may run: one
// tile of one geometry (its region spectra made once, then every request of the geometry's
// products, inverse transforms and normalisation), or the whole map of a request the engine does
// not cover. Plan on one thread; then Run each unit once, from any threads, each with its own
// workspace and RegionPixels over the same pixels; then Finish on one thread, which folds the
// units' results in unit order, so the summaries are the same whatever ran where. A request whose
// template is flat (a constant map) is settled by Plan.
class RegionWork {
 public:
  // `requests` must stay in place until Finish. Requests already done are left alone.
  void Plan(cv::Size region, std::span<MatchRequest> requests);
  std::size_t Units() const { return units_.size(); }
  void Run(std::size_t unit, RegionPixels& region, MatchWorkspace& workspace);
  void Finish();

  struct Member {
    std::size_t request;
    TileGrid grid;
  };
  struct Geometry {
    TileGeometry geometry;
    TransformKind kind = TransformKind::kOpenCv;
    std::vector<Member> members;
    int tilesX = 0;
    int tilesY = 0;
  };

 private:
  struct Unit {
    int geometry = -1;  // -1: the whole map of `request`
    int tileX = 0;
    int tileY = 0;
    std::size_t request = 0;
  };
  cv::Size region_;
  std::span<MatchRequest> requests_;
  std::vector<Geometry> geometries_;
  std::vector<Unit> units_;
  std::vector<MapSummary> partials_;  // units x requests
};

// Scores every request over `region` (8-bit BGR or BGRA, at least each template's size) on this
// thread: RegionWork's units in order, the stop token read between them. True when all are done;
// false when `stop` was requested first (then none is). Exceptions from OpenCV and allocation
// propagate.
bool MatchRegion(RegionPixels& region, std::span<MatchRequest> requests,
                 MatchWorkspace& workspace, std::stop_token stop = {});

// The whole response map of one template (CV_32F, region - template + 1, a matrix of its own),
// for tests and tools.
void ComputeMatchMap(RegionPixels& region, const MatchTemplate& templ,
                     const PreparedMatch& prepared, MatchWorkspace& workspace, cv::Mat& map);

// cv::matchTemplate on the region as the worker scored before this engine: the path for inputs
// the engine does not cover, and a second oracle for the tests. Its map may hold NaN and inf.
void ReferenceMatchMap(const cv::Mat& region, const MatchTemplate& templ, cv::Mat& map);

}  // namespace tavrik
