#include "match/matcher.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <functional>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "match/cv_compat.h"
#include "match/engine_internal.h"

namespace tavrik {

MatchKind KindOf(const MatchTemplate& t) {
  if (t.colour.type() != CV_8UC3 || t.colour.empty()) return MatchKind::kFallback;
  if (!t.grey) {
    const bool maskUsable =
        t.mask.empty() || (t.mask.type() == CV_8UC1 && t.mask.size() == t.colour.size());
    return t.method == cv::TM_CCORR_NORMED && maskUsable ? MatchKind::kMaskedCorr
                                                         : MatchKind::kFallback;
  }
  if (t.greyPlane.type() != CV_8UC1 || t.greyPlane.size() != t.colour.size()) {
    return MatchKind::kFallback;
  }
  if (t.method == cv::TM_SQDIFF_NORMED) return MatchKind::kSqDiffNormed;
  return t.method == cv::TM_CCOEFF_NORMED ? MatchKind::kCoeffNormed : MatchKind::kFallback;
}

std::size_t PreparedMatch::Bytes() const {
  std::size_t bytes = sizeof(PreparedMatch);
  for (const cv::Mat& s : spectra) bytes += MatBytes(s);
  return bytes;
}

namespace {

using TransformEntry = MatchWorkspace::Impl::TransformEntry;

// A template plane (8-bit, the template's size) transformed at the entry's size.
cv::Mat TemplateSpectrum(TransformEntry& te, const cv::Mat& plane) {
  te.plane.setTo(cv::Scalar::all(0));
  plane.convertTo(te.plane(cv::Rect(0, 0, plane.cols, plane.rows)), CV_64F);
  cv::Mat spectrum = te.transform->NewSpectrum();
  te.transform->Forward(te.plane, spectrum, plane.rows);
  return spectrum;
}

// The exact correlation at (row, col) of an inverse plane: the nearest integer.
inline double Exact(const double* row, int col, double scale) {
  return std::nearbyint(row[col] * scale);
}

// cv::matchTemplate's normalisation of one grey tile (common_matchTemplate), on exact sums;
// `sums` are the integral images of a window whose top-left is the tile's.
void NormaliseGreyTile(const PreparedMatch& p, const std::vector<std::int64_t>& sums,
                       cv::Size window, const cv::Mat& corr, double scale, cv::Mat& dst) {
  const std::size_t stride = static_cast<std::size_t>(window.width) + 1;
  const std::int64_t* sum = sums.data();
  const std::int64_t* sqsum = sum + stride * (static_cast<std::size_t>(window.height) + 1);
  const int tw = p.templ.width;
  const int th = p.templ.height;
  const double invArea = 1.0 / p.area;
  const double templMean = p.templSum * invArea;
  const bool coeff = p.kind == MatchKind::kCoeffNormed;
  const auto box = [&](const std::int64_t* m, int i, int j) {
    const std::int64_t* r0 = m + static_cast<std::size_t>(i) * stride;
    const std::int64_t* r1 = m + static_cast<std::size_t>(i + th) * stride;
    return static_cast<double>(r0[j] - r0[j + tw] - r1[j] + r1[j + tw]);
  };
  for (int i = 0; i < dst.rows; ++i) {
    const double* c = corr.ptr<double>(i);
    float* out = dst.ptr<float>(i);
    for (int j = 0; j < dst.cols; ++j) {
      const double cross = Exact(c, j, scale);
      const double wndSum2 = box(sqsum, i, j);
      double num = 0;
      double diff2 = 0;
      if (coeff) {
        const double wndSum = box(sum, i, j);
        num = cross - wndSum * templMean;
        diff2 = std::max(wndSum2 - wndSum * wndSum * invArea, 0.0);
      } else {
        num = std::max(wndSum2 - 2 * cross + p.templSum2, 0.0);
        diff2 = wndSum2;
      }
      // A window this flat has no texture the float-free sums could resolve either; OpenCV
      // treats it as empty, and so do we.
      const double limit = std::min(0.5, 10 * FLT_EPSILON * wndSum2);
      const double t = diff2 <= limit ? 0.0 : std::sqrt(diff2) * p.templNorm;
      out[j] = static_cast<float>(GuardedScore(num, t, coeff ? 0.0 : 1.0));
    }
  }
}

// Masked TM_CCORR_NORMED of one tile: num = sum over channels of img (x) templ*mask; the window's
// masked energy = (sum of the channels' squares) (x) mask; score = num / sqrt(energy * templ^2).
void MaskedTile(const PreparedMatch& p, TransformEntry& te, double scale, cv::Mat& dst) {
  Transform2D& transform = *te.transform;
  for (std::size_t k = 0; k < 3; ++k) {
    transform.MulConj(te.region[kColourSlot + k], p.spectra[k], te.work, k > 0);
  }
  transform.Inverse(te.work, te.out);
  transform.MulConj(te.region[kSquaresSlot], p.spectra[3], te.work, false);
  transform.Inverse(te.work, te.out2);
  for (int i = 0; i < dst.rows; ++i) {
    const double* num = te.out.ptr<double>(i);
    const double* energy = te.out2.ptr<double>(i);
    float* out = dst.ptr<float>(i);
    for (int j = 0; j < dst.cols; ++j) {
      const double t2 = std::max(Exact(energy, j, scale), 0.0) * p.templSum2;
      out[j] = static_cast<float>(GuardedScore(Exact(num, j, scale), std::sqrt(t2), 0.0));
    }
  }
}

// Where a tile's values go: folded into a summary, or copied into a whole map.
using TileSink = std::function<void(std::size_t request, const cv::Rect& out, const cv::Mat&)>;

// One tile of a geometry: the region spectra its requests need, made once, then every request's
// products, inverse transforms and normalisation.
void RunTile(RegionPixels& region, std::span<MatchRequest> requests,
             const RegionWork::Geometry& g, int tx, int ty, MatchWorkspace& workspace,
             const TileSink& sink) {
  MatchWorkspace::Impl& ws = workspace.Internal();
  TransformEntry& te = ws.Get(g.kind, g.geometry.dft);
  const double scale = te.transform->InverseScale();
  const cv::Rect window = SharedWindow(g.geometry, region.Pixels().size(), tx, ty);
  bool grey = false;
  bool colour = false;
  for (const RegionWork::Member& m : g.members) {
    if (tx >= m.grid.tilesX || ty >= m.grid.tilesY) continue;
    (requests[m.request].prepared->kind == MatchKind::kMaskedCorr ? colour : grey) = true;
  }
  if (grey) {
    FillPlane(region, Content::kGrey, 0, window, te.plane);
    te.transform->Forward(te.plane, ws.RegionSpectrum(te, kGreySlot), window.height);
    WindowSums(region, window, ws.sums);
  }
  if (colour) {
    for (int k = 0; k < 3; ++k) {
      FillPlane(region, Content::kColour, k, window, te.plane);
      te.transform->Forward(te.plane, ws.RegionSpectrum(te, kColourSlot + k), window.height);
    }
    FillPlane(region, Content::kSumOfSquares, 0, window, te.plane);
    te.transform->Forward(te.plane, ws.RegionSpectrum(te, kSquaresSlot), window.height);
  }
  ++ws.regionTiles;
  for (const RegionWork::Member& m : g.members) {
    if (tx >= m.grid.tilesX || ty >= m.grid.tilesY) continue;
    const PreparedMatch& p = *requests[m.request].prepared;
    const Tile tile = TileAt(m.grid, ty * m.grid.tilesX + tx);
    cv::Mat dst = ws.scores.View(tile.out.height, tile.out.width, CV_32F);
    if (p.kind == MatchKind::kMaskedCorr) {
      MaskedTile(p, te, scale, dst);
    } else {
      te.transform->MulConj(te.region[kGreySlot], p.spectra[0], te.work, false);
      te.transform->Inverse(te.work, te.out);
      NormaliseGreyTile(p, ws.sums, window.size(), te.out, scale, dst);
    }
    sink(m.request, tile.out, dst);
  }
}

bool IsSqDiff(const MatchTemplate& t) { return t.method == cv::TM_SQDIFF_NORMED; }

// Whether `v` at `at` replaces the best of `s`: a better value, or an equal one earlier in the
// map's row-major order, so the first among equals wins whatever order tiles are folded in.
bool Beats(double v, cv::Point at, const MapSummary& s, bool sqDiff) {
  if (s.count == 0 || (sqDiff ? v < s.best : v > s.best)) return true;
  return v == s.best && (at.y < s.bestLoc.y || (at.y == s.bestLoc.y && at.x < s.bestLoc.x));
}

void RequireEightBitColour(const cv::Mat& pixels) {
  if (pixels.depth() != CV_8U || (pixels.channels() != 3 && pixels.channels() != 4)) {
    CV_Error(cv::Error::StsUnsupportedFormat, "the region must be 8-bit BGR or BGRA");
  }
}

}  // namespace

std::shared_ptr<const PreparedMatch> PrepareMatch(const MatchTemplate& templ, cv::Size dft,
                                                  TransformKind transform,
                                                  MatchWorkspace& workspace) {
  auto p = std::make_shared<PreparedMatch>();
  p->dft = dft;
  p->transform = transform;
  p->kind = KindOf(templ);
  p->templ = templ.Size();
  if (p->kind == MatchKind::kFallback) return p;
  const cv::Size templSize = templ.Size();
  p->area = static_cast<double>(templSize.area());
  TransformEntry& te = workspace.Internal().Get(transform, dft);

  if (p->kind != MatchKind::kMaskedCorr) {
    std::int64_t sum = 0;
    std::int64_t sum2 = 0;
    for (int y = 0; y < templ.greyPlane.rows; ++y) {
      const std::uint8_t* g = templ.greyPlane.ptr<std::uint8_t>(y);
      for (int x = 0; x < templ.greyPlane.cols; ++x) {
        sum += g[x];
        sum2 += std::int64_t{g[x]} * g[x];
      }
    }
    p->templSum = static_cast<double>(sum);
    p->templSum2 = static_cast<double>(sum2);
    const auto area = static_cast<std::int64_t>(templSize.area());
    if (p->kind == MatchKind::kCoeffNormed) {
      // The centred sum of squares, exactly: (area * sum2 - sum^2) / area.
      const std::int64_t centred = area * sum2 - sum * sum;
      p->constantOne = centred == 0;
      p->templNorm = std::sqrt(static_cast<double>(centred) / static_cast<double>(area));
    } else {
      p->templNorm = std::sqrt(p->templSum2);
    }
    p->spectra.push_back(TemplateSpectrum(te, templ.greyPlane));
    return p;
  }

  cv::Mat mask;
  if (templ.mask.empty()) {
    mask = cv::Mat(templSize, CV_8UC1, cv::Scalar(1));
  } else {
    mask = templ.mask != 0;
    mask &= 1;
  }
  std::int64_t masked2 = 0;
  cv::Mat planes[3] = {cv::Mat(templSize, CV_8UC1), cv::Mat(templSize, CV_8UC1),
                       cv::Mat(templSize, CV_8UC1)};
  for (int y = 0; y < templSize.height; ++y) {
    const std::uint8_t* px = templ.colour.ptr<std::uint8_t>(y);
    const std::uint8_t* m = mask.ptr<std::uint8_t>(y);
    for (int x = 0; x < templSize.width; ++x) {
      for (int k = 0; k < 3; ++k) {
        const std::uint8_t v = m[x] != 0 ? px[3 * x + k] : 0;
        planes[k].ptr<std::uint8_t>(y)[x] = v;
        masked2 += std::int64_t{v} * v;
      }
    }
  }
  p->templSum2 = static_cast<double>(masked2);
  for (const cv::Mat& plane : planes) p->spectra.push_back(TemplateSpectrum(te, plane));
  p->spectra.push_back(TemplateSpectrum(te, mask));
  return p;
}

void ReferenceMatchMap(const cv::Mat& region, const MatchTemplate& templ, cv::Mat& map) {
  cv::Mat bgr;
  if (region.channels() == 4) {
    cvc::CvtColor(region, bgr, cv::COLOR_BGRA2BGR);
  } else {
    bgr = region;
  }
  cv::Mat grayRegion;
  if (templ.grey) cvc::CvtColor(bgr, grayRegion, cv::COLOR_BGR2GRAY);
  const cv::Mat& image = templ.grey ? grayRegion : bgr;
  const cv::Mat& t = templ.grey ? templ.greyPlane : templ.colour;
  map.create(bgr.rows - templ.colour.rows + 1, bgr.cols - templ.colour.cols + 1, CV_32F);
  if (templ.mask.empty() || templ.grey) {
    cv::matchTemplate(image, t, map, templ.method);
  } else {
    cv::matchTemplate(image, t, map, templ.method, templ.mask);
  }
}

void FoldMap(const cv::Mat& values, cv::Point origin, bool sqDiff, MapSummary& s) {
  CV_Assert(values.type() == CV_32F);
  const double empty = sqDiff ? 1.0 : 0.0;
  for (int y = 0; y < values.rows; ++y) {
    const float* row = values.ptr<float>(y);
    double rowSum = 0.0;
    for (int x = 0; x < values.cols; ++x) {
      const double v = std::isfinite(row[x]) ? row[x] : empty;
      rowSum += v;
      const cv::Point at(origin.x + x, origin.y + y);
      if (Beats(v, at, s, sqDiff)) {
        s.best = v;
        s.bestLoc = at;
      }
      ++s.count;
    }
    s.sum += rowSum;
  }
}

void RegionWork::Plan(cv::Size region, std::span<MatchRequest> requests) {
  region_ = region;
  requests_ = requests;
  geometries_.clear();
  units_.clear();
  for (std::size_t r = 0; r < requests.size(); ++r) {
    MatchRequest& q = requests[r];
    CV_Assert(region.width >= q.templ->colour.cols && region.height >= q.templ->colour.rows);
    if (q.done) continue;
    q.summary = MapSummary{};
    if (q.prepared->kind == MatchKind::kFallback) {
      units_.push_back({-1, 0, 0, r});
      continue;
    }
    if (q.prepared->constantOne) {
      // cv::matchTemplate's map of 1s: its first placement, and a mean of 1.
      q.summary.best = 1.0;
      q.summary.count = static_cast<std::size_t>(region.width - q.templ->colour.cols + 1) *
                        static_cast<std::size_t>(region.height - q.templ->colour.rows + 1);
      q.summary.sum = static_cast<double>(q.summary.count);
      q.done = true;
      continue;
    }
    const TileGeometry geometry = GeometryFor(region, q.templ->Size());
    CV_Assert(q.prepared->dft == geometry.dft);
    const TransformKind kind = q.prepared->transform;
    auto g = std::find_if(geometries_.begin(), geometries_.end(), [&](const Geometry& e) {
      return e.geometry == geometry && e.kind == kind;
    });
    if (g == geometries_.end()) g = geometries_.insert(geometries_.end(), {geometry, kind, {}, 0, 0});
    g->members.push_back({r, GridFor(geometry, region, q.templ->Size())});
    g->tilesX = std::max(g->tilesX, g->members.back().grid.tilesX);
    g->tilesY = std::max(g->tilesY, g->members.back().grid.tilesY);
  }
  for (std::size_t g = 0; g < geometries_.size(); ++g) {
    for (int ty = 0; ty < geometries_[g].tilesY; ++ty) {
      for (int tx = 0; tx < geometries_[g].tilesX; ++tx) {
        units_.push_back({static_cast<int>(g), tx, ty, 0});
      }
    }
  }
  partials_.assign(units_.size() * requests.size(), MapSummary{});
}

void RegionWork::Run(std::size_t u, RegionPixels& region, MatchWorkspace& workspace) {
  const Unit& unit = units_.at(u);
  CV_Assert(region.Pixels().size() == region_);
  MapSummary* partials = partials_.data() + u * requests_.size();
  if (unit.geometry < 0) {
    const MatchTemplate& templ = *requests_[unit.request].templ;
    cv::Mat map;
    ReferenceMatchMap(region.Pixels(), templ, map);
    FoldMap(map, {0, 0}, IsSqDiff(templ), partials[unit.request]);
    return;
  }
  RunTile(region, requests_, geometries_[static_cast<std::size_t>(unit.geometry)], unit.tileX,
          unit.tileY, workspace,
          [&](std::size_t r, const cv::Rect& out, const cv::Mat& values) {
            FoldMap(values, out.tl(), IsSqDiff(*requests_[r].templ), partials[r]);
          });
}

void RegionWork::Finish() {
  const std::size_t n = requests_.size();
  std::vector<bool> touched(n, false);
  for (std::size_t u = 0; u < units_.size(); ++u) {
    for (std::size_t r = 0; r < n; ++r) {
      const MapSummary& part = partials_[u * n + r];
      if (part.count == 0) continue;
      MapSummary& s = requests_[r].summary;
      if (Beats(part.best, part.bestLoc, s, IsSqDiff(*requests_[r].templ))) {
        s.best = part.best;
        s.bestLoc = part.bestLoc;
      }
      s.sum += part.sum;
      s.count += part.count;
      touched[r] = true;
    }
  }
  for (std::size_t r = 0; r < n; ++r) {
    if (touched[r]) requests_[r].done = true;
  }
  std::vector<MapSummary>().swap(partials_);
}

bool MatchRegion(RegionPixels& region, std::span<MatchRequest> requests,
                 MatchWorkspace& workspace, std::stop_token stop) {
  const cv::Mat& pixels = region.Pixels();
  RequireEightBitColour(pixels);
  const auto open = static_cast<std::uint64_t>(
      std::count_if(requests.begin(), requests.end(), [](const MatchRequest& q) { return !q.done; }));
  RegionWork work;
  work.Plan(pixels.size(), requests);
  for (std::size_t u = 0; u < work.Units(); ++u) {
    if (stop.stop_requested()) return false;
    work.Run(u, region, workspace);
  }
  workspace.Internal().mapsComputed += open;
  work.Finish();
  return true;
}

void ComputeMatchMap(RegionPixels& region, const MatchTemplate& templ,
                     const PreparedMatch& prepared, MatchWorkspace& workspace, cv::Mat& map) {
  const cv::Mat& pixels = region.Pixels();
  RequireEightBitColour(pixels);
  CV_Assert(pixels.cols >= templ.colour.cols && pixels.rows >= templ.colour.rows);
  MatchWorkspace::Impl& ws = workspace.Internal();
  ++ws.mapsComputed;
  cv::Mat whole(pixels.rows - templ.colour.rows + 1, pixels.cols - templ.colour.cols + 1, CV_32F);
  if (prepared.kind == MatchKind::kFallback) {
    ReferenceMatchMap(pixels, templ, whole);
  } else if (prepared.constantOne) {
    whole.setTo(cv::Scalar::all(1.0));
  } else {
    MatchRequest request{&templ, &prepared, {}, false};
    const std::span<MatchRequest> one(&request, 1);
    RegionWork::Geometry g{GeometryFor(pixels.size(), templ.Size()), prepared.transform, {}, 0, 0};
    g.members.push_back({0, GridFor(g.geometry, pixels.size(), templ.Size())});
    for (int ty = 0; ty < g.members[0].grid.tilesY; ++ty) {
      for (int tx = 0; tx < g.members[0].grid.tilesX; ++tx) {
        RunTile(region, one, g, tx, ty, workspace,
                [&](std::size_t, const cv::Rect& out, const cv::Mat& values) {
                  values.copyTo(whole(out));
                });
      }
    }
  }
  map = whole;
}

}  // namespace tavrik
