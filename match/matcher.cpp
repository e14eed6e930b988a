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

// Walks the tiles of every geometry among `requests` (engine kinds only), each tile's region
// spectra made once for all the requests of its geometry. False when `stop` cut it short.
bool RunTiles(RegionPixels& region, std::span<MatchRequest> requests, MatchWorkspace& workspace,
              std::stop_token stop, const TileSink& sink) {
  MatchWorkspace::Impl& ws = workspace.Internal();
  const cv::Size size = region.Pixels().size();
  struct Member {
    std::size_t request;
    TileGrid grid;
  };
  std::vector<bool> placed(requests.size(), false);
  for (std::size_t first = 0; first < requests.size(); ++first) {
    if (placed[first] || requests[first].done) continue;
    const TileGeometry geometry = GeometryFor(size, requests[first].templ->Size());
    const TransformKind kind = requests[first].prepared->transform;
    std::vector<Member> members;
    int tilesX = 0;
    int tilesY = 0;
    bool grey = false;
    bool colour = false;
    for (std::size_t r = first; r < requests.size(); ++r) {
      const MatchRequest& q = requests[r];
      if (placed[r] || q.done || q.prepared->transform != kind ||
          GeometryFor(size, q.templ->Size()) != geometry) {
        continue;
      }
      CV_Assert(q.prepared->dft == geometry.dft);
      placed[r] = true;
      members.push_back({r, GridFor(geometry, size, q.templ->Size())});
      tilesX = std::max(tilesX, members.back().grid.tilesX);
      tilesY = std::max(tilesY, members.back().grid.tilesY);
      (q.prepared->kind == MatchKind::kMaskedCorr ? colour : grey) = true;
    }
    TransformEntry& te = ws.Get(kind, geometry.dft);
    const double scale = te.transform->InverseScale();
    for (int ty = 0; ty < tilesY; ++ty) {
      for (int tx = 0; tx < tilesX; ++tx) {
        if (stop.stop_requested()) return false;
        const cv::Rect window = SharedWindow(geometry, size, tx, ty);
        bool greyHere = false;
        bool colourHere = false;
        for (const Member& m : members) {
          if (tx >= m.grid.tilesX || ty >= m.grid.tilesY) continue;
          (requests[m.request].prepared->kind == MatchKind::kMaskedCorr ? colourHere : greyHere) =
              true;
        }
        if (greyHere && grey) {
          FillPlane(region, Content::kGrey, 0, window, te.plane);
          te.transform->Forward(te.plane, ws.RegionSpectrum(te, kGreySlot), window.height);
          WindowSums(region, window, ws.sums);
        }
        if (colourHere && colour) {
          for (int k = 0; k < 3; ++k) {
            FillPlane(region, Content::kColour, k, window, te.plane);
            te.transform->Forward(te.plane, ws.RegionSpectrum(te, kColourSlot + k), window.height);
          }
          FillPlane(region, Content::kSumOfSquares, 0, window, te.plane);
          te.transform->Forward(te.plane, ws.RegionSpectrum(te, kSquaresSlot), window.height);
        }
        ++ws.regionTiles;
        for (const Member& m : members) {
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
    }
    for (const Member& m : members) requests[m.request].done = true;
  }
  return true;
}

bool IsSqDiff(const MatchTemplate& t) { return t.method == cv::TM_SQDIFF_NORMED; }

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
      const bool better = s.count == 0 || (sqDiff ? v < s.best : v > s.best);
      // Equal values: the first in row-major order of the whole map, whatever the tile order.
      const cv::Point at(origin.x + x, origin.y + y);
      if (better || (v == s.best && (at.y < s.bestLoc.y ||
                                     (at.y == s.bestLoc.y && at.x < s.bestLoc.x)))) {
        s.best = v;
        s.bestLoc = at;
      }
      ++s.count;
    }
    s.sum += rowSum;
  }
}

bool MatchRegion(RegionPixels& region, std::span<MatchRequest> requests,
                 MatchWorkspace& workspace, std::stop_token stop) {
  const cv::Mat& pixels = region.Pixels();
  if (pixels.depth() != CV_8U || (pixels.channels() != 3 && pixels.channels() != 4)) {
    CV_Error(cv::Error::StsUnsupportedFormat, "the region must be 8-bit BGR or BGRA");
  }
  MatchWorkspace::Impl& ws = workspace.Internal();
  for (MatchRequest& q : requests) {
    CV_Assert(pixels.cols >= q.templ->colour.cols && pixels.rows >= q.templ->colour.rows);
    if (q.done) continue;
    q.summary = MapSummary{};
    ++ws.mapsComputed;
    if (q.prepared->kind == MatchKind::kFallback) {
      if (stop.stop_requested()) return false;
      cv::Mat map;
      ReferenceMatchMap(pixels, *q.templ, map);
      FoldMap(map, {0, 0}, IsSqDiff(*q.templ), q.summary);
      q.done = true;
    } else if (q.prepared->constantOne) {
      cv::Mat ones(pixels.rows - q.templ->colour.rows + 1, pixels.cols - q.templ->colour.cols + 1,
                   CV_32F, cv::Scalar::all(1.0));
      FoldMap(ones, {0, 0}, false, q.summary);
      q.done = true;
    }
  }
  return RunTiles(region, requests, workspace, stop,
                  [&](std::size_t r, const cv::Rect& out, const cv::Mat& values) {
                    FoldMap(values, out.tl(), IsSqDiff(*requests[r].templ), requests[r].summary);
                  });
}

void ComputeMatchMap(RegionPixels& region, const MatchTemplate& templ,
                     const PreparedMatch& prepared, MatchWorkspace& workspace, cv::Mat& map) {
  const cv::Mat& pixels = region.Pixels();
  if (pixels.depth() != CV_8U || (pixels.channels() != 3 && pixels.channels() != 4)) {
    CV_Error(cv::Error::StsUnsupportedFormat, "the region must be 8-bit BGR or BGRA");
  }
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
    RunTiles(region, std::span<MatchRequest>(&request, 1), workspace, {},
             [&](std::size_t, const cv::Rect& out, const cv::Mat& values) {
               values.copyTo(whole(out));
             });
  }
  map = whole;
}

}  // namespace tavrik
