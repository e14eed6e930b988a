#include "detect/matcher.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "detect/cv_compat.h"
#include "detect/match_score.h"

// The arithmetic below must round exactly as OpenCV's does: CMake compiles this file with
// -ffp-contract=off, so no multiply-add is fused.

namespace tavrik {
namespace {

// What a region-side spectrum is made of.
enum class Content {
  kGrey,           // the grey plane
  kColour,         // one colour channel
  kColourSquared,  // one colour channel, squared
  kSumOfSquares,   // the squares of the three colour channels, added (one plane)
};

// Regions whose spectra for one template size exceed this are transformed tile by tile as they
// are needed instead of being kept for the other templates of the pass.
constexpr std::size_t kMaxSharedSpectraBytes = std::size_t{32} << 20;

// A growing buffer that hands out matrix views, so that alternating sizes do not reallocate.
class Scratch {
 public:
  cv::Mat View(int rows, int cols, int type) {
    const std::size_t bytes =
        static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) * CV_ELEM_SIZE(type);
    if (bytes > storage_.total()) storage_.create(1, static_cast<int>(bytes), CV_8U);
    return cv::Mat(rows, cols, type, storage_.data);
  }

 private:
  cv::Mat storage_;
};

// Zeroes a matrix row by row (cv::Mat::setTo allocates a scratch buffer on every call).
void Zero(cv::Mat& m) {
  const std::size_t bytes = static_cast<std::size_t>(m.cols) * m.elemSize();
  for (int row = 0; row < m.rows; ++row) std::memset(m.ptr(row), 0, bytes);
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

// ---------------------------------------------------------------------------------------------
// Workspace and region internals.

struct MatchWorkspace::Impl {
  struct TransformEntry {
    TransformKind kind;
    cv::Size size;
    int depth;
    std::unique_ptr<Transform2D> transform;
    SpectrumSlot work;  // product and inverse
    SpectrumSlot tile;  // a region tile transformed on the fly
  };
  std::vector<TransformEntry> transforms;
  Scratch map;
  Scratch term2;
  Scratch scaled;
  Scratch plane;

  TransformEntry& Get(TransformKind kind, cv::Size size, int depth) {
    for (TransformEntry& e : transforms) {
      if (e.kind == kind && e.size == size && e.depth == depth) return e;
    }
    TransformEntry e{kind, size, depth, MakeTransform(kind, size, depth), {}, {}};
    e.transform->Allocate(e.work);
    e.transform->Allocate(e.tile);
    transforms.push_back(std::move(e));
    return transforms.back();
  }
};

MatchWorkspace::MatchWorkspace() : impl_(std::make_unique<Impl>()) {}
MatchWorkspace::~MatchWorkspace() = default;

MatchWorkspace& ThreadMatchWorkspace() {
  thread_local MatchWorkspace workspace;
  return workspace;
}

struct RegionPixels::Impl {
  bool greyValid = false;
  cv::Mat grey;  // views of the right size over grown storage: no reallocation between sizes
  Scratch greyStorage;
  // Window sums of the grey plane: integral images of grey and grey^2, (rows+1) x (cols+1).
  bool sumsValid = false;
  cv::Mat sum;    // CV_64F holding exact integers, like cv::integral(..., CV_64F)
  cv::Mat sqsum;  // CV_64F
  Scratch sumStorage;
  Scratch sqsumStorage;

  struct SpectraEntry {
    bool valid = false;
    TransformKind kind = TransformKind::kOpenCv;
    cv::Size dft;
    int depth = 0;
    cv::Size templ;
    Content content = Content::kGrey;
    std::vector<SpectrumSlot> slots;  // tile-major, then channel
  };
  std::vector<SpectraEntry> spectra;

  void Invalidate() {
    greyValid = false;
    sumsValid = false;
    for (SpectraEntry& e : spectra) e.valid = false;
  }
};

RegionPixels::RegionPixels() : impl_(std::make_unique<Impl>()) {}
RegionPixels::~RegionPixels() = default;

void RegionPixels::Reset(const cv::Mat& pixels) {
  pixels_ = pixels;
  impl_->Invalidate();
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

// Integral images of the grey plane and its square, in double like common_matchTemplate's
// cv::integral(img, sum, sqsum, CV_64F). Every entry is an exact integer below 2^53, so any
// exact method gives the same doubles; this one runs on 64-bit integers.
void EnsureSums(RegionPixels& region) {
  RegionPixels::Impl& r = region.Internal();
  if (r.sumsValid) return;
  const cv::Mat& grey = region.Grey();
  const int rows = grey.rows;
  const int cols = grey.cols;
  r.sum = r.sumStorage.View(rows + 1, cols + 1, CV_64F);
  r.sqsum = r.sqsumStorage.View(rows + 1, cols + 1, CV_64F);
  std::fill_n(r.sum.ptr<double>(0), cols + 1, 0.0);
  std::fill_n(r.sqsum.ptr<double>(0), cols + 1, 0.0);
  for (int y = 0; y < rows; ++y) {
    const std::uint8_t* g = grey.ptr<std::uint8_t>(y);
    const double* s0 = r.sum.ptr<double>(y);
    const double* q0 = r.sqsum.ptr<double>(y);
    double* s1 = r.sum.ptr<double>(y + 1);
    double* q1 = r.sqsum.ptr<double>(y + 1);
    s1[0] = 0.0;
    q1[0] = 0.0;
    std::int64_t rowSum = 0;
    std::int64_t rowSq = 0;
    for (int x = 0; x < cols; ++x) {
      const std::int64_t v = g[x];
      rowSum += v;
      rowSq += v * v;
      s1[x + 1] = s0[x + 1] + static_cast<double>(rowSum);
      q1[x + 1] = q0[x + 1] + static_cast<double>(rowSq);
    }
  }
  r.sumsValid = true;
}

// Writes channel `channel` of the region window (x, y, size) into the top-left of `plane` (zeroed
// first), converted to the plane's depth: grey, a colour channel or its square.
template <typename T>
void FillPlaneT(RegionPixels& region, Content content, int channel, cv::Rect window,
                cv::Mat& plane) {
  Zero(plane);
  if (content == Content::kGrey) {
    const cv::Mat& grey = region.Grey();
    for (int row = 0; row < window.height; ++row) {
      const std::uint8_t* in = grey.ptr<std::uint8_t>(window.y + row) + window.x;
      T* out = plane.ptr<T>(row);
      for (int col = 0; col < window.width; ++col) out[col] = static_cast<T>(in[col]);
    }
    return;
  }
  const cv::Mat& pixels = region.Pixels();
  const int cn = pixels.channels();
  for (int row = 0; row < window.height; ++row) {
    const std::uint8_t* in = pixels.ptr<std::uint8_t>(window.y + row) + window.x * cn + channel;
    T* out = plane.ptr<T>(row);
    if (content == Content::kColour) {
      for (int col = 0; col < window.width; ++col) out[col] = static_cast<T>(in[col * cn]);
    } else if (content == Content::kSumOfSquares) {
      const std::uint8_t* px = in - channel;
      for (int col = 0; col < window.width; ++col, px += cn) {
        const int b = px[0];
        const int g = px[1];
        const int r = px[2];
        out[col] = static_cast<T>(b * b + g * g + r * r);  // exact: at most 3 * 255^2
      }
    } else {
      for (int col = 0; col < window.width; ++col) {
        // img.mul(img) in float: the squares of 8-bit values are exact.
        const float v = static_cast<float>(in[col * cn]);
        out[col] = static_cast<T>(v * v);
      }
    }
  }
}

void FillPlane(RegionPixels& region, Content content, int channel, cv::Rect window,
               cv::Mat& plane) {
  if (plane.depth() == CV_32F) {
    FillPlaneT<float>(region, content, channel, window, plane);
  } else {
    FillPlaneT<double>(region, content, channel, window, plane);
  }
}

// The map window of tile (tx, ty) and the region window it reads.
struct Tile {
  cv::Rect out;  // bsz at (x, y) in the map
  cv::Rect in;   // dsz at (x, y) in the region
};
Tile TileAt(const CorrelationLayout& l, int index) {
  const int x = (index % l.tilesX) * l.block.width;
  const int y = (index / l.tilesX) * l.block.height;
  const cv::Size bsz(std::min(l.block.width, l.corr.width - x),
                     std::min(l.block.height, l.corr.height - y));
  return {cv::Rect(x, y, bsz.width, bsz.height),
          cv::Rect(x, y, bsz.width + l.templ.width - 1, bsz.height + l.templ.height - 1)};
}

// The region's forward spectra for one layout and content: shared by every template of the same
// size that reads the same region, unless too large to keep (then null: transform per tile).
RegionPixels::Impl::SpectraEntry* SharedSpectra(RegionPixels& region,
                                                MatchWorkspace::Impl::TransformEntry& te,
                                                const CorrelationLayout& l, Content content,
                                                int channels) {
  RegionPixels::Impl& r = region.Internal();
  const int tiles = l.tilesX * l.tilesY;
  const std::size_t bytes = static_cast<std::size_t>(tiles) * static_cast<std::size_t>(channels) *
                            te.work.spectrum.total() * te.work.spectrum.elemSize();
  if (bytes > kMaxSharedSpectraBytes) return nullptr;
  RegionPixels::Impl::SpectraEntry* entry = nullptr;
  for (auto& e : r.spectra) {
    if (e.kind == te.kind && e.dft == l.dft && e.depth == te.depth && e.templ == l.templ &&
        e.content == content) {
      if (e.valid) return &e;
      entry = &e;
      break;
    }
  }
  if (entry == nullptr) {
    // Reuse an invalid entry's buffers when one has the same transform shape.
    for (auto& e : r.spectra) {
      if (!e.valid && e.kind == te.kind && e.dft == l.dft && e.depth == te.depth) {
        entry = &e;
        break;
      }
    }
  }
  if (entry == nullptr) {
    r.spectra.emplace_back();
    entry = &r.spectra.back();
  }
  entry->kind = te.kind;
  entry->dft = l.dft;
  entry->depth = te.depth;
  entry->templ = l.templ;
  entry->content = content;
  entry->slots.resize(static_cast<std::size_t>(tiles) * static_cast<std::size_t>(channels));
  for (int t = 0; t < tiles; ++t) {
    const Tile tile = TileAt(l, t);
    for (int k = 0; k < channels; ++k) {
      SpectrumSlot& slot = entry->slots[static_cast<std::size_t>(t * channels + k)];
      te.transform->Allocate(slot);
      FillPlane(region, content, k, tile.in, slot.plane);
      te.transform->Forward(slot, tile.in.height);
    }
  }
  entry->valid = true;
  return entry;
}

// crossCorr of the region (content, `channels` channels) with the template spectra, into `corr`
// (CV_32F, the map size). With the OpenCV transform this follows crossCorr step by step: per tile
// and channel one product and one inverse transform, the real planes converted to float and added
// in channel order. With FFTW the products are summed as spectra and transformed back once.
void CrossCorrelate(RegionPixels& region, MatchWorkspace::Impl& ws, TransformKind kind,
                    const CorrelationLayout& l, int depth, Content content, int channels,
                    const std::vector<SpectrumSlot>& templ, const SpectrumSlot* sameForAll,
                    cv::Mat& corr) {
  MatchWorkspace::Impl::TransformEntry& te = ws.Get(kind, l.dft, depth);
  Transform2D& transform = *te.transform;
  RegionPixels::Impl::SpectraEntry* shared = SharedSpectra(region, te, l, content, channels);
  const bool inSpectrum = transform.SumsChannelsInSpectrum();
  const double scale = transform.InverseScale();
  const int tiles = l.tilesX * l.tilesY;
  for (int t = 0; t < tiles; ++t) {
    const Tile tile = TileAt(l, t);
    cv::Mat cdst = corr(tile.out);
    for (int k = 0; k < channels; ++k) {
      const SpectrumSlot* source = nullptr;
      if (shared != nullptr) {
        source = &shared->slots[static_cast<std::size_t>(t * channels + k)];
      } else {
        FillPlane(region, content, k, tile.in, te.tile.plane);
        transform.Forward(te.tile, tile.in.height);
        source = &te.tile;
      }
      const SpectrumSlot& tk =
          sameForAll != nullptr ? *sameForAll : templ[static_cast<std::size_t>(k)];
      if (inSpectrum) {
        transform.MulConj(*source, tk, te.work, k > 0);
        continue;
      }
      transform.MulConj(*source, tk, te.work, false);
      transform.Inverse(te.work, tile.out.height);
      const cv::Mat src = te.work.plane(cv::Rect(0, 0, tile.out.width, tile.out.height));
      if (k == 0) {
        src.convertTo(cdst, CV_32F, 1, 0);
      } else if (depth != CV_32F) {
        cv::Mat plane = ws.plane.View(tile.out.height, tile.out.width, CV_32F);
        src.convertTo(plane, CV_32F);
        cv::add(plane, cdst, cdst);
      } else {
        cv::add(src, cdst, cdst);
      }
    }
    if (inSpectrum) {
      transform.Inverse(te.work, tile.out.height);
      const cv::Mat src = te.work.plane(cv::Rect(0, 0, tile.out.width, tile.out.height));
      if (depth == CV_64F) {
        // The colour terms correlate integers (8-bit values, their squares, a 0/1 mask), so the
        // exact sums are integers and a double transform is far closer to them than 0.5: round.
        // A black window then gives exactly 0, as cv::matchTemplate's does on an all-black region.
        for (int row = 0; row < src.rows; ++row) {
          const double* in = src.ptr<double>(row);
          float* out = cdst.ptr<float>(row);
          for (int col = 0; col < src.cols; ++col) {
            out[col] = static_cast<float>(std::nearbyint(in[col] * scale));
          }
        }
      } else {
        src.convertTo(cdst, CV_32F, scale);
      }
    }
  }
}

// The template's planes transformed at the layout's size: `planes` are 8-bit single-channel
// images of the template's size (or CV_32F when already converted); each becomes one spectrum.
void PrepareSpectrum(MatchWorkspace::Impl& ws, TransformKind kind, const CorrelationLayout& l,
                     int depth, const cv::Mat& plane, SpectrumSlot& slot) {
  MatchWorkspace::Impl::TransformEntry& te = ws.Get(kind, l.dft, depth);
  te.transform->Allocate(slot);
  slot.plane.setTo(cv::Scalar::all(0));
  plane.convertTo(slot.plane(cv::Rect(0, 0, plane.cols, plane.rows)), depth);
  te.transform->Forward(slot, plane.rows);
}

bool Prepare(PreparedMatch& p, const TemplateInfo& info, cv::Size region, TransformKind kind,
             MatchWorkspace::Impl& ws) {
  p = PreparedMatch();
  p.region = region;
  p.kind = kind;
  p.method = MatchMethod(info);
  const bool grey = MatchesInGrey(info);
  p.masked = !grey && !info.edgeMask.empty() && p.method == cv::TM_CCORR_NORMED &&
             info.edgeMask.type() == CV_8UC1 && info.image.type() == CV_8UC3 &&
             info.edgeMask.size() == info.image.size();
  if (!grey && !p.masked) {
    p.fallback = true;
    p.valid = true;
    return true;
  }
  if (grey && info.gray.type() != CV_8UC1) {
    p.fallback = true;
    p.valid = true;
    return true;
  }
  const cv::Size templSize = info.image.size();
  p.layout = CrossCorrLayout(region, templSize);

  if (grey) {
    // crossCorr of 8-bit images runs in float; common_matchTemplate's constants.
    p.depth = CV_32F;
    p.term1.resize(1);
    PrepareSpectrum(ws, kind, p.layout, p.depth, info.gray, p.term1[0]);
    const int numType = p.method == cv::TM_CCORR_NORMED    ? 0
                        : p.method == cv::TM_CCOEFF_NORMED ? 1
                                                           : 2;
    p.invArea = 1. / (static_cast<double>(templSize.height) * templSize.width);
    cv::Scalar templMean;
    cv::Scalar templSdv;
    cv::meanStdDev(info.gray, templMean, templSdv);
    double templNorm = templSdv[0] * templSdv[0] + templSdv[1] * templSdv[1] +
                       templSdv[2] * templSdv[2] + templSdv[3] * templSdv[3];
    if (templNorm < DBL_EPSILON && p.method == cv::TM_CCOEFF_NORMED) {
      p.constantOne = true;
    }
    double templSum2 = templNorm + templMean[0] * templMean[0] + templMean[1] * templMean[1] +
                       templMean[2] * templMean[2] + templMean[3] * templMean[3];
    if (numType != 1) {
      templMean = cv::Scalar::all(0);
      templNorm = templSum2;
    }
    templSum2 /= p.invArea;
    templNorm = std::sqrt(templNorm);
    templNorm /= std::sqrt(p.invArea);
    p.templMean = templMean[0];
    p.templNorm = templNorm;
    p.templSum2 = templSum2;
  } else {
    // matchTemplateMask: float images, so crossCorr runs in double.
    p.depth = CV_64F;
    cv::Mat templ;
    info.image.convertTo(templ, CV_32F);
    cv::Mat mask;
    cv::threshold(info.edgeMask, mask, 0, 1.0, cv::THRESH_BINARY);
    mask.convertTo(mask, CV_32F);
    std::vector<cv::Mat> maskChannels(static_cast<std::size_t>(templ.channels()), mask);
    cv::Mat mask3;
    cv::merge(maskChannels.data(), maskChannels.size(), mask3);
    const cv::Mat templMask2 = templ.mul(mask3.mul(mask3));
    p.templ2Mask2Sum = cv::norm(templ.mul(mask3), cv::NORM_L2SQR);
    std::vector<cv::Mat> planes;
    cv::split(templMask2, planes);
    p.term1.resize(planes.size());
    for (std::size_t k = 0; k < planes.size(); ++k) {
      PrepareSpectrum(ws, kind, p.layout, p.depth, planes[k], p.term1[k]);
    }
    const cv::Mat mask2 = mask.mul(mask);
    PrepareSpectrum(ws, kind, p.layout, p.depth, mask2, p.term2);
  }
  p.valid = true;
  return true;
}

// common_matchTemplate for one channel, on the correlation in `map`, with window sums from the
// region's integral images. The expressions are OpenCV's, evaluated in OpenCV's order and with
// its types, so every value rounds as it does there; only the control flow is written as selects
// (both sides computed, one kept), which the compiler can vectorise. `kNumType` is OpenCV's
// numType: 0 CCORR, 1 CCOEFF, 2 SQDIFF; all three are normed here.
template <int kNumType>
void NormaliseRows(const PreparedMatch& p, const RegionPixels::Impl& r, cv::Mat& map) {
  const double invArea = p.invArea;
  const double templMean = p.templMean;
  const double templNorm = p.templNorm;
  const double templSum2 = p.templSum2;
  const double otherwise = kNumType == 2 ? 1.0 : 0.0;  // method != TM_SQDIFF_NORMED ? 0 : 1
  const int tw = p.layout.templ.width;
  const int th = p.layout.templ.height;
  for (int i = 0; i < map.rows; ++i) {
    float* rrow = map.ptr<float>(i);
    const double* p0 = r.sum.ptr<double>(i);
    const double* p2 = r.sum.ptr<double>(i + th);
    const double* q0 = r.sqsum.ptr<double>(i);
    const double* q2 = r.sqsum.ptr<double>(i + th);
    for (int j = 0; j < map.cols; ++j) {
      double num = rrow[j];
      double wndMean2 = 0;
      if (kNumType == 1) {
        const double t = p0[j] - p0[j + tw] - p2[j] + p2[j + tw];
        wndMean2 += t * t;
        num -= t * templMean;
        wndMean2 *= invArea;
      }
      double wndSum2 = 0;
      wndSum2 += q0[j] - q0[j + tw] - q2[j] + q2[j + tw];
      if (kNumType == 2) {
        num = wndSum2 - 2 * num + templSum2;
        num = num < 0. ? 0. : num;  // MAX(num, 0.)
      }
      double diff2 = wndSum2 - wndMean2;
      diff2 = diff2 < 0 ? 0 : diff2;  // MAX(wndSum2 - wndMean2, 0)
      const double limit = std::min(0.5, 10 * FLT_EPSILON * wndSum2);
      const double scaled = std::sqrt(diff2) * templNorm;
      const double t = diff2 <= limit ? 0 : scaled;  // 0: avoid rounding errors
      const double magnitude = std::fabs(num);
      const double quotient = num / t;
      const double sign = num > 0 ? 1 : -1;
      const double near = magnitude < t * 1.125 ? sign : otherwise;
      rrow[j] = static_cast<float>(magnitude < t ? quotient : near);
    }
  }
}

void NormaliseGrey(const PreparedMatch& p, RegionPixels& region, cv::Mat& map) {
  if (p.method == cv::TM_CCORR) return;
  EnsureSums(region);
  const RegionPixels::Impl& r = region.Internal();
  switch (p.method) {
    case cv::TM_CCORR_NORMED:
      NormaliseRows<0>(p, r, map);
      break;
    case cv::TM_CCOEFF_NORMED:
      NormaliseRows<1>(p, r, map);
      break;
    case cv::TM_SQDIFF_NORMED:
      NormaliseRows<2>(p, r, map);
      break;
    default:
      CV_Error(cv::Error::StsBadArg, "only the normed methods are prepared");
  }
}

void ToBgr(const cv::Mat& region, cv::Mat& bgr) {
  if (region.channels() == 4) {
    cvc::CvtColor(region, bgr, cv::COLOR_BGRA2BGR);
  } else {
    bgr = region;
  }
}

}  // namespace

void ReferenceMatchMap(const cv::Mat& region, const TemplateInfo& info, cv::Mat& map) {
  cv::Mat bgr;
  ToBgr(region, bgr);
  const bool useGray = MatchesInGrey(info);
  cv::Mat grayRegion;
  if (useGray) cvc::CvtColor(bgr, grayRegion, cv::COLOR_BGR2GRAY);
  const cv::Mat& image = useGray ? grayRegion : bgr;
  const cv::Mat& templ = useGray ? info.gray : info.image;
  const int method = MatchMethod(info);
  map.create(bgr.rows - info.image.rows + 1, bgr.cols - info.image.cols + 1, CV_32F);
  if (info.edgeMask.empty()) {
    cv::matchTemplate(image, templ, map, method);
  } else {
    cv::matchTemplate(image, templ, map, method, info.edgeMask);
  }
}

void ComputeMatchMap(RegionPixels& region, const TemplateInfo& info, PreparedMatch& p,
                     MatchWorkspace& workspace, TransformKind kind, cv::Mat& map) {
  const cv::Mat& pixels = region.Pixels();
  if (pixels.depth() != CV_8U || (pixels.channels() != 3 && pixels.channels() != 4)) {
    CV_Error(cv::Error::StsUnsupportedFormat, "the region must be 8-bit BGR or BGRA");
  }
  CV_Assert(pixels.cols >= info.image.cols && pixels.rows >= info.image.rows);
  MatchWorkspace::Impl& ws = workspace.Internal();
  if (!p.valid || p.region != pixels.size() || p.kind != kind) {
    Prepare(p, info, pixels.size(), kind, ws);
  }
  if (p.fallback) {
    cv::Mat out;
    ReferenceMatchMap(pixels, info, out);
    map = ws.map.View(out.rows, out.cols, CV_32F);
    out.copyTo(map);
    return;
  }
  const CorrelationLayout& l = p.layout;
  map = ws.map.View(l.corr.height, l.corr.width, CV_32F);
  if (!p.masked) {
    if (p.constantOne) {
      for (int row = 0; row < map.rows; ++row) std::fill_n(map.ptr<float>(row), map.cols, 1.0f);
      return;
    }
    CrossCorrelate(region, ws, kind, l, p.depth, Content::kGrey, 1, p.term1, nullptr, map);
    NormaliseGrey(p, region, map);
    return;
  }
  // matchTemplateMask, TM_CCORR_NORMED: result = crossCorr(img, templ*mask^2) /
  // sqrt(norm(templ*mask)^2 * crossCorr(img^2, mask^2)).
  const int channels = static_cast<int>(p.term1.size());
  CrossCorrelate(region, ws, kind, l, p.depth, Content::kColour, channels, p.term1, nullptr, map);
  cv::Mat temp = ws.term2.View(l.corr.height, l.corr.width, CV_32F);
  if (ws.Get(kind, l.dft, p.depth).transform->SumsChannelsInSpectrum()) {
    // The mask is the same for every channel, so the channels' squares can be added before the
    // transform: one forward transform instead of three.
    CrossCorrelate(region, ws, kind, l, p.depth, Content::kSumOfSquares, 1, p.term1, &p.term2,
                   temp);
  } else {
    CrossCorrelate(region, ws, kind, l, p.depth, Content::kColourSquared, channels, p.term1,
                   &p.term2, temp);
  }
  cv::Mat scaled = ws.scaled.View(l.corr.height, l.corr.width, CV_32F);
  // sqrt(templ2_mask2_sum * temp_result, temp_result): the MatExpr is evaluated by convertTo with
  // the factor (or, for a factor of exactly 1, by adding 0), then the square root.
  if (std::fabs(p.templ2Mask2Sum) == 1) {
    if (p.templ2Mask2Sum == 1) {
      cv::add(temp, cv::Scalar(0), scaled);
    } else {
      cv::subtract(cv::Scalar(0), temp, scaled);
    }
  } else {
    temp.convertTo(scaled, -1, p.templ2Mask2Sum, 0.0);
  }
  cv::sqrt(scaled, temp);
  cv::divide(map, temp, map);
}

}  // namespace tavrik
