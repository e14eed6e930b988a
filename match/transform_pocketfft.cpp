// pocketfft implementation of transform.h (built when CMake finds pocketfft's header).
//
// pocketfft is BSD-licensed and header-only. Its 1-D plans (real rows, then complex columns) are
// made once per size in the transform object; the rows and the columns are run several at once,
// one per SIMD lane, as pocketfft's own n-D driver does. The spectrum has FFTW's layout, so the
// multiply is the shared interleaved one. pocketfft's plans allocate one scratch array per 1-D
// run; everything else lives in this object.
#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <opencv2/core.hpp>
#include <vector>

// pocketfft asks aligned_alloc for sizes that are not a multiple of the alignment, which C11 and
// C++17 leave undefined: glibc accepts it, AddressSanitizer (rightly) does not, and another C
// library may return null. Its requests are rounded up here; <cstdlib> is already in, so only
// pocketfft's calls see the macro.
// (mingw without aligned_alloc takes pocketfft's own portable allocation instead.)
#if !defined(__MINGW32__) || defined(_GLIBCXX_HAVE_ALIGNED_ALLOC)
namespace tavrik_pocketfft {
inline void* AlignedAlloc(std::size_t alignment, std::size_t size) {
  return std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
}
}  // namespace tavrik_pocketfft
#define aligned_alloc(alignment, size) ::tavrik_pocketfft::AlignedAlloc(alignment, size)
#endif
#include <pocketfft_hdronly.hpp>
#undef aligned_alloc

#include "match/transform.h"

namespace tavrik {
namespace {

namespace pf = pocketfft::detail;

// The hardware's lane count: wider generic vectors (4 or 8 doubles without AVX) measured 2-3x
// slower.
#ifndef POCKETFFT_NO_VECTORS
using Lanes = pf::vtype_t<double>;
constexpr std::size_t kLanes = pf::VLEN<double>::val;
#else
using Lanes = double;
constexpr std::size_t kLanes = 1;
#endif

template <typename V>
double GetLane(const V& v, std::size_t l) {
  if constexpr (kLanes == 1) {
    return v;
  } else {
    return v[l];
  }
}
template <typename V>
void SetLane(V& v, std::size_t l, double x) {
  if constexpr (kLanes == 1) {
    v = x;
  } else {
    v[l] = x;
  }
}

// Columns are gathered this many lane groups at a time, so each row's cache line is read once.
constexpr std::size_t kGroups = 2;

class PocketfftTransform final : public Transform2D {
 public:
  explicit PocketfftTransform(cv::Size size)
      : size_(size),
        rows_(static_cast<std::size_t>(size.height)),
        cols_(static_cast<std::size_t>(size.width)),
        half_(cols_ / 2 + 1),
        rowPlan_(cols_),
        colPlan_(rows_),
        rowBuf_(cols_),
        colBuf_(kGroups * rows_) {}

  cv::Mat NewPlane() const override { return cv::Mat(size_, CV_64F); }
  // rows x (cols/2 + 1) complex values, interleaved.
  cv::Mat NewSpectrum() const override {
    return cv::Mat(size_.height, static_cast<int>(half_ * 2), CV_64F);
  }

  void Forward(cv::Mat& plane, cv::Mat& spectrum, int nonzeroRows) override {
    CV_Assert(plane.isContinuous() && spectrum.isContinuous());
    const double* in = plane.ptr<double>();
    double* out = spectrum.ptr<double>();
    const std::size_t nonzero =
        nonzeroRows <= 0 ? rows_ : std::min(rows_, static_cast<std::size_t>(nonzeroRows));
    for (std::size_t r0 = 0; r0 < nonzero; r0 += kLanes) {
      const std::size_t n = std::min(kLanes, nonzero - r0);
      for (std::size_t i = 0; i < cols_; ++i) {
        for (std::size_t l = 0; l < kLanes; ++l) {
          SetLane(rowBuf_[i], l, l < n ? in[(r0 + l) * cols_ + i] : 0.0);
        }
      }
      rowPlan_.exec(rowBuf_.data(), 1.0, true);
      for (std::size_t l = 0; l < n; ++l) UnpackRow(l, out + (r0 + l) * half_ * 2);
    }
    // The rows the hint says are zero transform to zero.
    std::memset(out + nonzero * half_ * 2, 0, (rows_ - nonzero) * half_ * 2 * sizeof(double));
    Columns(out, true);
  }

  void MulConj(const cv::Mat& a, const cv::Mat& b, cv::Mat& out, bool accumulate) override {
    MulConjInterleaved(a, b, out, accumulate);
  }

  void Inverse(cv::Mat& spectrum, cv::Mat& plane) override {
    CV_Assert(plane.isContinuous() && spectrum.isContinuous());
    double* in = spectrum.ptr<double>();
    double* out = plane.ptr<double>();
    Columns(in, false);
    for (std::size_t r0 = 0; r0 < rows_; r0 += kLanes) {
      const std::size_t n = std::min(kLanes, rows_ - r0);
      for (std::size_t l = 0; l < kLanes; ++l) {
        PackRow(l, l < n ? in + (r0 + l) * half_ * 2 : nullptr);
      }
      rowPlan_.exec(rowBuf_.data(), 1.0, false);
      for (std::size_t l = 0; l < n; ++l) {
        double* row = out + (r0 + l) * cols_;
        for (std::size_t i = 0; i < cols_; ++i) row[i] = GetLane(rowBuf_[i], l);
      }
    }
  }

  cv::Size Size() const override { return size_; }

 private:
  // pocketfft's real transform keeps FFTPACK's half-complex order (r0, r1, i1, r2, i2, ...,
  // and r[n/2] last for even n); the spectrum holds (re, im) pairs.
  void UnpackRow(std::size_t lane, double* dst) const {
    dst[0] = GetLane(rowBuf_[0], lane);
    dst[1] = 0.0;
    for (std::size_t k = 1; 2 * k < cols_; ++k) {
      dst[2 * k] = GetLane(rowBuf_[2 * k - 1], lane);
      dst[2 * k + 1] = GetLane(rowBuf_[2 * k], lane);
    }
    if (cols_ % 2 == 0) {
      dst[cols_] = GetLane(rowBuf_[cols_ - 1], lane);
      dst[cols_ + 1] = 0.0;
    }
  }

  // The inverse of UnpackRow; a null row fills the lane with zeros.
  void PackRow(std::size_t lane, const double* src) {
    const auto at = [src](std::size_t i) { return src != nullptr ? src[i] : 0.0; };
    SetLane(rowBuf_[0], lane, at(0));
    for (std::size_t k = 1; 2 * k < cols_; ++k) {
      SetLane(rowBuf_[2 * k - 1], lane, at(2 * k));
      SetLane(rowBuf_[2 * k], lane, at(2 * k + 1));
    }
    if (cols_ % 2 == 0) SetLane(rowBuf_[cols_ - 1], lane, at(cols_));
  }

  // The complex transforms down every column of an interleaved spectrum, in place.
  void Columns(double* spectrum, bool forward) {
    const std::size_t stride = half_ * 2;
    const std::size_t block = kGroups * kLanes;
    for (std::size_t j0 = 0; j0 < half_; j0 += block) {
      const std::size_t m = std::min(block, half_ - j0);
      const std::size_t groups = (m + kLanes - 1) / kLanes;
      for (std::size_t r = 0; r < rows_; ++r) {
        const double* row = spectrum + r * stride + 2 * j0;
        for (std::size_t c = 0; c < groups * kLanes; ++c) {
          pf::cmplx<Lanes>& v = colBuf_[(c / kLanes) * rows_ + r];
          SetLane(v.r, c % kLanes, c < m ? row[2 * c] : 0.0);
          SetLane(v.i, c % kLanes, c < m ? row[2 * c + 1] : 0.0);
        }
      }
      for (std::size_t g = 0; g < groups; ++g) colPlan_.exec(colBuf_.data() + g * rows_, 1.0, forward);
      for (std::size_t r = 0; r < rows_; ++r) {
        double* row = spectrum + r * stride + 2 * j0;
        for (std::size_t c = 0; c < m; ++c) {
          const pf::cmplx<Lanes>& v = colBuf_[(c / kLanes) * rows_ + r];
          row[2 * c] = GetLane(v.r, c % kLanes);
          row[2 * c + 1] = GetLane(v.i, c % kLanes);
        }
      }
    }
  }

  cv::Size size_;
  std::size_t rows_;
  std::size_t cols_;
  std::size_t half_;  // complex values per spectrum row
  pf::pocketfft_r<double> rowPlan_;
  pf::pocketfft_c<double> colPlan_;
  std::vector<Lanes> rowBuf_;
  std::vector<pf::cmplx<Lanes>> colBuf_;
};

}  // namespace

std::unique_ptr<Transform2D> MakePocketfftTransform(cv::Size size) {
  return std::make_unique<PocketfftTransform>(size);
}

}  // namespace tavrik
