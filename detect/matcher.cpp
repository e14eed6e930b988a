#include "detect/matcher.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "detect/cv_compat.h"
#include "detect/match_score.h"

namespace tavrik {
namespace {

// What a region-side spectrum is made of.
enum class Content {
  kGrey,          // the grey plane
  kColour,        // one colour channel
  kSumOfSquares,  // the squares of the three colour channels, added (one plane)
};

// Regions whose spectra for one template size exceed this are transformed tile by tile as they
// are needed instead of being kept for the other templates of the rectangle.
constexpr std::size_t kMaxSharedSpectraBytes = std::size_t{16} << 20;

std::size_t MatBytes(const cv::Mat& m) { return m.empty() ? 0 : m.total() * m.elemSize(); }

// A growing buffer that hands out matrix views, so that alternating sizes do not reallocate.
class Scratch {
 public:
  cv::Mat View(int rows, int cols, int type) {
    const std::size_t bytes =
        static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) * CV_ELEM_SIZE(type);
    if (bytes > storage_.total()) storage_.create(1, static_cast<int>(bytes), CV_8U);
    return cv::Mat(rows, cols, type, storage_.data);
  }
  void Release() { storage_.release(); }
  std::size_t Bytes() const { return MatBytes(storage_); }

 private:
  cv::Mat storage_;
};

// The map window of tile `index` and the region window it reads.
struct Tile {
  cv::Rect out;  // block at (x, y) in the map
  cv::Rect in;   // block + template - 1 at (x, y) in the region
};
Tile TileAt(const CorrelationLayout& l, int index) {
  const int x = (index % l.tilesX) * l.block.width;
  const int y = (index / l.tilesX) * l.block.height;
  const cv::Size bsz(std::min(l.block.width, l.corr.width - x),
                     std::min(l.block.height, l.corr.height - y));
  return {cv::Rect(x, y, bsz.width, bsz.height),
          cv::Rect(x, y, bsz.width + l.templ.width - 1, bsz.height + l.templ.height - 1)};
}

MatchKind KindFor(const TemplateInfo& info) {
  if (info.image.type() != CV_8UC3 || info.image.empty()) return MatchKind::kFallback;
  if (!MatchesInGrey(info)) {
    const bool maskUsable = info.edgeMask.empty() || (info.edgeMask.type() == CV_8UC1 &&
                                                      info.edgeMask.size() == info.image.size());
    return MatchMethod(info) == cv::TM_CCORR_NORMED && maskUsable ? MatchKind::kMaskedCorr
                                                                  : MatchKind::kFallback;
  }
  if (info.gray.type() != CV_8UC1 || info.gray.size() != info.image.size()) {
    return MatchKind::kFallback;
  }
  return MatchMethod(info) == cv::TM_SQDIFF_NORMED ? MatchKind::kSqDiffNormed
                                                   : MatchKind::kCoeffNormed;
}

}  // namespace

CorrelationLayout CrossCorrLayout(cv::Size image, cv::Size templ) {
  constexpr double kBlockScale = 4.5;
  constexpr int kMinBlockSize = 256;
  CorrelationLayout l;
  l.templ = templ;
  l.corr = {image.width - templ.width + 1, image.height - templ.height + 1};
  l.block.width = cvRound(templ.width * kBlockScale);
  l.block.width = std::max(l.block.width, kMinBlockSize - templ.width + 1);
  l.block.width = std::min(l.block.width, l.corr.width);
  l.block.height = cvRound(templ.height * kBlockScale);
  l.block.height = std::max(l.block.height, kMinBlockSize - templ.height + 1);
  l.block.height = std::min(l.block.height, l.corr.height);
  l.dft.width = std::max(cv::getOptimalDFTSize(l.block.width + templ.width - 1), 2);
  l.dft.height = cv::getOptimalDFTSize(l.block.height + templ.height - 1);
  CV_Assert(l.dft.width > 0 && l.dft.height > 0);
  l.block.width = std::min(l.dft.width - templ.width + 1, l.corr.width);
  l.block.height = std::min(l.dft.height - templ.height + 1, l.corr.height);
  l.tilesX = (l.corr.width + l.block.width - 1) / l.block.width;
  l.tilesY = (l.corr.height + l.block.height - 1) / l.block.height;
  return l;
}

std::size_t PreparedMatch::Bytes() const {
  std::size_t bytes = sizeof(PreparedMatch);
  for (const cv::Mat& s : spectra) bytes += MatBytes(s);
  return bytes;
}

// ---------------------------------------------------------------------------------------------
// Workspace and region internals.

struct MatchWorkspace::Impl {
  struct TransformEntry {
    TransformKind kind;
    cv::Size size;
    std::unique_ptr<Transform2D> transform;
    cv::Mat plane;  // a region tile, zero-padded
    cv::Mat tile;   // its spectrum, when the region's spectra are not kept
    cv::Mat work;   // products
    cv::Mat out;    // inverse: the correlation
    cv::Mat out2;   // inverse: the masked window energy

    std::size_t Bytes() const {
      return MatBytes(plane) + MatBytes(tile) + MatBytes(work) + MatBytes(out) + MatBytes(out2);
    }
  };
  std::vector<TransformEntry> transforms;
  Scratch map;
  std::vector<std::int64_t> sums;  // a tile's integral images
  std::uint64_t mapsComputed = 0;

  TransformEntry& Get(TransformKind kind, cv::Size size) {
    for (TransformEntry& e : transforms) {
      if (e.kind == kind && e.size == size) return e;
    }
    TransformEntry e{kind, size, MakeTransform(kind, size), {}, {}, {}, {}, {}};
    e.plane = e.transform->NewPlane();
    e.tile = e.transform->NewSpectrum();
    e.work = e.transform->NewSpectrum();
    e.out = e.transform->NewPlane();
    e.out2 = e.transform->NewPlane();
    transforms.push_back(std::move(e));
    return transforms.back();
  }
};

MatchWorkspace::MatchWorkspace() : impl_(std::make_unique<Impl>()) {}
MatchWorkspace::~MatchWorkspace() = default;

void MatchWorkspace::Release() {
  impl_->transforms.clear();
  impl_->transforms.shrink_to_fit();
  impl_->map.Release();
  // Not `= {}`: that assigns an empty initializer list and keeps the capacity.
  std::vector<std::int64_t>().swap(impl_->sums);
  spot = SpotScratch();
}

std::size_t MatchWorkspace::Bytes() const {
  std::size_t bytes = impl_->map.Bytes() + impl_->sums.capacity() * sizeof(std::int64_t);
  for (const Impl::TransformEntry& e : impl_->transforms) bytes += e.Bytes();
  return bytes;
}

std::uint64_t MatchWorkspace::MapsComputed() const { return impl_->mapsComputed; }

MatchWorkspace& ThreadMatchWorkspace() {
  thread_local MatchWorkspace workspace;
  return workspace;
}

struct RegionPixels::Impl {
  bool greyValid = false;
  cv::Mat grey;  // a view of the right size over grown storage
  Scratch greyStorage;

  struct SpectraEntry {
    bool valid = false;
    TransformKind kind = TransformKind::kOpenCv;
    cv::Size dft;
    cv::Size templ;
    Content content = Content::kGrey;
    std::vector<cv::Mat> spectra;  // tile-major, then channel
  };
  std::vector<SpectraEntry> entries;

  void Invalidate() {
    greyValid = false;
    for (SpectraEntry& e : entries) e.valid = false;
  }
};

RegionPixels::RegionPixels() : impl_(std::make_unique<Impl>()) {}
RegionPixels::~RegionPixels() = default;

void RegionPixels::Reset(const cv::Mat& pixels) {
  pixels_ = pixels;
  impl_->Invalidate();
}

void RegionPixels::Release() {
  pixels_.release();
  impl_->Invalidate();
  impl_->grey.release();
  impl_->greyStorage.Release();
  impl_->entries.clear();
  impl_->entries.shrink_to_fit();
}

std::size_t RegionPixels::Bytes() const {
  std::size_t bytes = impl_->greyStorage.Bytes();
  for (const Impl::SpectraEntry& e : impl_->entries) {
    for (const cv::Mat& s : e.spectra) bytes += MatBytes(s);
  }
  return bytes;
}

const cv::Mat& RegionPixels::Grey() {
  if (!impl_->greyValid) {
    CV_Assert(pixels_.depth() == CV_8U && (pixels_.channels() == 3 || pixels_.channels() == 4));
    impl_->grey = impl_->greyStorage.View(pixels_.rows, pixels_.cols, CV_8UC1);
    cvc::CvtColor(pixels_, impl_->grey,
                  pixels_.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
    impl_->greyValid = true;
  }
  return impl_->grey;
}

namespace {

using TransformEntry = MatchWorkspace::Impl::TransformEntry;

// Writes the region window `window` into the top-left of `plane` as doubles and zeroes the rest:
// grey, one colour channel, or the sum of the three channels' squares.
void FillPlane(RegionPixels& region, Content content, int channel, cv::Rect window,
               cv::Mat& plane) {
  const std::size_t rowBytes = static_cast<std::size_t>(plane.cols) * sizeof(double);
  const cv::Mat& source = content == Content::kGrey ? region.Grey() : region.Pixels();
  const int cn = source.channels();
  for (int row = 0; row < plane.rows; ++row) {
    double* out = plane.ptr<double>(row);
    if (row >= window.height) {
      std::memset(out, 0, rowBytes);
      continue;
    }
    const std::uint8_t* in = source.ptr<std::uint8_t>(window.y + row) + window.x * cn;
    if (content == Content::kSumOfSquares) {
      for (int col = 0; col < window.width; ++col, in += cn) {
        out[col] = static_cast<double>(in[0] * in[0] + in[1] * in[1] + in[2] * in[2]);
      }
    } else {
      in += content == Content::kColour ? channel : 0;
      for (int col = 0; col < window.width; ++col) out[col] = in[col * cn];
    }
    std::fill(out + window.width, out + plane.cols, 0.0);
  }
}

// The region's spectrum of `content` (channel `channel`) for tile `t`: from the region's shared
// spectra when they fit kMaxSharedSpectraBytes (made for every tile the first time one is asked
// for), else transformed now into the workspace's tile buffer.
const cv::Mat& RegionSpectrum(RegionPixels& region, TransformEntry& te, const CorrelationLayout& l,
                              Content content, int channels, int channel, int t) {
  RegionPixels::Impl& r = region.Internal();
  const int tiles = l.tilesX * l.tilesY;
  const std::size_t bytes =
      static_cast<std::size_t>(tiles) * static_cast<std::size_t>(channels) * MatBytes(te.tile);
  const auto index = static_cast<std::size_t>(t * channels + channel);
  if (bytes > kMaxSharedSpectraBytes) {
    FillPlane(region, content, channel, TileAt(l, t).in, te.plane);
    te.transform->Forward(te.plane, te.tile, TileAt(l, t).in.height);
    return te.tile;
  }
  RegionPixels::Impl::SpectraEntry* entry = nullptr;
  for (auto& e : r.entries) {
    if (e.kind == te.kind && e.dft == l.dft && e.templ == l.templ && e.content == content) {
      if (e.valid) return e.spectra[index];
      entry = &e;
      break;
    }
  }
  if (entry == nullptr) {
    // Reuse an invalid entry's buffers when one has the same transform shape.
    for (auto& e : r.entries) {
      if (!e.valid && e.kind == te.kind && e.dft == l.dft) {
        entry = &e;
        break;
      }
    }
  }
  if (entry == nullptr) {
    r.entries.emplace_back();
    entry = &r.entries.back();
  }
  entry->kind = te.kind;
  entry->dft = l.dft;
  entry->templ = l.templ;
  entry->content = content;
  entry->spectra.resize(static_cast<std::size_t>(tiles) * static_cast<std::size_t>(channels));
  for (int tile = 0; tile < tiles; ++tile) {
    const cv::Rect in = TileAt(l, tile).in;
    for (int k = 0; k < channels; ++k) {
      cv::Mat& spectrum = entry->spectra[static_cast<std::size_t>(tile * channels + k)];
      if (spectrum.size() != te.tile.size() || spectrum.type() != te.tile.type()) {
        spectrum = te.transform->NewSpectrum();
      }
      FillPlane(region, content, k, in, te.plane);
      te.transform->Forward(te.plane, spectrum, in.height);
    }
  }
  entry->valid = true;
  return entry->spectra[index];
}

// A template plane (8-bit or double, the template's size) transformed at the layout's size.
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

// Integral images of the grey tile window, exact in 64 bits: (h+1) x (w+1) sums of the grey
// values and of their squares, row-major, in `sums` (sums first, then squares).
void TileSums(RegionPixels& region, cv::Rect window, std::vector<std::int64_t>& sums) {
  const cv::Mat& grey = region.Grey();
  const std::size_t stride = static_cast<std::size_t>(window.width) + 1;
  const std::size_t plane = stride * (static_cast<std::size_t>(window.height) + 1);
  sums.resize(2 * plane);
  std::int64_t* sum = sums.data();
  std::int64_t* sqsum = sums.data() + plane;
  std::fill_n(sum, stride, 0);
  std::fill_n(sqsum, stride, 0);
  for (int y = 0; y < window.height; ++y) {
    const std::uint8_t* g = grey.ptr<std::uint8_t>(window.y + y) + window.x;
    const std::int64_t* s0 = sum + static_cast<std::size_t>(y) * stride;
    const std::int64_t* q0 = sqsum + static_cast<std::size_t>(y) * stride;
    std::int64_t* s1 = sum + static_cast<std::size_t>(y + 1) * stride;
    std::int64_t* q1 = sqsum + static_cast<std::size_t>(y + 1) * stride;
    s1[0] = 0;
    q1[0] = 0;
    std::int64_t rowSum = 0;
    std::int64_t rowSq = 0;
    for (int x = 0; x < window.width; ++x) {
      const std::int64_t v = g[x];
      rowSum += v;
      rowSq += v * v;
      s1[x + 1] = s0[x + 1] + rowSum;
      q1[x + 1] = q0[x + 1] + rowSq;
    }
  }
}

// cv::matchTemplate's normalisation of one grey tile (common_matchTemplate), on exact sums.
void NormaliseGreyTile(const PreparedMatch& p, RegionPixels& region, MatchWorkspace::Impl& ws,
                       const Tile& tile, const cv::Mat& corr, double scale, cv::Mat& dst) {
  TileSums(region, tile.in, ws.sums);
  const std::size_t stride = static_cast<std::size_t>(tile.in.width) + 1;
  const std::int64_t* sum = ws.sums.data();
  const std::int64_t* sqsum = sum + stride * (static_cast<std::size_t>(tile.in.height) + 1);
  const int tw = p.layout.templ.width;
  const int th = p.layout.templ.height;
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

}  // namespace

std::shared_ptr<const PreparedMatch> PrepareMatch(const TemplateInfo& info, cv::Size region,
                                                  TransformKind transform,
                                                  MatchWorkspace& workspace) {
  auto p = std::make_shared<PreparedMatch>();
  p->region = region;
  p->transform = transform;
  p->kind = KindFor(info);
  if (p->kind == MatchKind::kFallback) return p;
  const cv::Size templSize = info.image.size();
  p->layout = CrossCorrLayout(region, templSize);
  p->area = static_cast<double>(templSize.area());
  TransformEntry& te = workspace.Internal().Get(transform, p->layout.dft);

  if (p->kind != MatchKind::kMaskedCorr) {
    std::int64_t sum = 0;
    std::int64_t sum2 = 0;
    for (int y = 0; y < info.gray.rows; ++y) {
      const std::uint8_t* g = info.gray.ptr<std::uint8_t>(y);
      for (int x = 0; x < info.gray.cols; ++x) {
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
    p->spectra.push_back(TemplateSpectrum(te, info.gray));
    return p;
  }

  cv::Mat mask;
  if (info.edgeMask.empty()) {
    mask = cv::Mat(templSize, CV_8UC1, cv::Scalar(1));
  } else {
    mask = info.edgeMask != 0;
    mask &= 1;
  }
  std::int64_t masked2 = 0;
  cv::Mat planes[3] = {cv::Mat(templSize, CV_8UC1), cv::Mat(templSize, CV_8UC1),
                       cv::Mat(templSize, CV_8UC1)};
  for (int y = 0; y < templSize.height; ++y) {
    const std::uint8_t* px = info.image.ptr<std::uint8_t>(y);
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

void ReferenceMatchMap(const cv::Mat& region, const TemplateInfo& info, cv::Mat& map) {
  cv::Mat bgr;
  if (region.channels() == 4) {
    cvc::CvtColor(region, bgr, cv::COLOR_BGRA2BGR);
  } else {
    bgr = region;
  }
  const bool useGray = MatchesInGrey(info);
  cv::Mat grayRegion;
  if (useGray) cvc::CvtColor(bgr, grayRegion, cv::COLOR_BGR2GRAY);
  const cv::Mat& image = useGray ? grayRegion : bgr;
  const cv::Mat& templ = useGray ? info.gray : info.image;
  const int method = MatchMethod(info);
  map.create(bgr.rows - info.image.rows + 1, bgr.cols - info.image.cols + 1, CV_32F);
  if (info.edgeMask.empty() || useGray) {
    cv::matchTemplate(image, templ, map, method);
  } else {
    cv::matchTemplate(image, templ, map, method, info.edgeMask);
  }
}

void ComputeMatchMap(RegionPixels& region, const TemplateInfo& info, const PreparedMatch& p,
                     MatchWorkspace& workspace, cv::Mat& map) {
  const cv::Mat& pixels = region.Pixels();
  if (pixels.depth() != CV_8U || (pixels.channels() != 3 && pixels.channels() != 4)) {
    CV_Error(cv::Error::StsUnsupportedFormat, "the region must be 8-bit BGR or BGRA");
  }
  CV_Assert(pixels.cols >= info.image.cols && pixels.rows >= info.image.rows);
  CV_Assert(p.region == pixels.size());
  MatchWorkspace::Impl& ws = workspace.Internal();
  ++ws.mapsComputed;
  if (p.kind == MatchKind::kFallback) {
    cv::Mat out;
    ReferenceMatchMap(pixels, info, out);
    map = ws.map.View(out.rows, out.cols, CV_32F);
    out.copyTo(map);
    return;
  }
  const CorrelationLayout& l = p.layout;
  map = ws.map.View(l.corr.height, l.corr.width, CV_32F);
  if (p.constantOne) {
    map.setTo(cv::Scalar::all(1.0));
    return;
  }
  TransformEntry& te = ws.Get(p.transform, l.dft);
  Transform2D& transform = *te.transform;
  const double scale = transform.InverseScale();
  const int tiles = l.tilesX * l.tilesY;
  for (int t = 0; t < tiles; ++t) {
    const Tile tile = TileAt(l, t);
    cv::Mat dst = map(tile.out);
    if (p.kind != MatchKind::kMaskedCorr) {
      transform.MulConj(RegionSpectrum(region, te, l, Content::kGrey, 1, 0, t), p.spectra[0],
                        te.work, false);
      transform.Inverse(te.work, te.out);
      NormaliseGreyTile(p, region, ws, tile, te.out, scale, dst);
      continue;
    }
    // Masked TM_CCORR_NORMED: num = sum over channels of img (x) templ*mask; the window's masked
    // energy = (sum of the channels' squares) (x) mask; score = num / sqrt(energy * templ^2).
    for (int k = 0; k < 3; ++k) {
      transform.MulConj(RegionSpectrum(region, te, l, Content::kColour, 3, k, t),
                        p.spectra[static_cast<std::size_t>(k)], te.work, k > 0);
    }
    transform.Inverse(te.work, te.out);
    transform.MulConj(RegionSpectrum(region, te, l, Content::kSumOfSquares, 1, 0, t), p.spectra[3],
                      te.work, false);
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
}

}  // namespace tavrik
