#include "bench/transform/kissfft_transform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <opencv2/core.hpp>
#include <vector>

extern "C" {
#include <kiss_fft.h>
#include <kiss_fftr.h>
}

namespace tavrik {
namespace {

// KISS FFT's configurations are one malloc'd block each.
struct FreeConfig {
  void operator()(void* p) const { kiss_fft_free(p); }
};
template <typename T>
using ConfigPtr = std::unique_ptr<std::remove_pointer_t<T>, FreeConfig>;

// Columns are copied out this many at a time, so each row's cache line is read once.
constexpr std::size_t kBlock = 4;

class KissFftTransform final : public Transform2D {
 public:
  explicit KissFftTransform(cv::Size size)
      : size_(size),
        rows_(static_cast<std::size_t>(size.height)),
        cols_(static_cast<std::size_t>(size.width)),
        half_(cols_ / 2 + 1),
        rowForward_(kiss_fftr_alloc(size.width, 0, nullptr, nullptr)),
        rowInverse_(kiss_fftr_alloc(size.width, 1, nullptr, nullptr)),
        colForward_(kiss_fft_alloc(size.height, 0, nullptr, nullptr)),
        colInverse_(kiss_fft_alloc(size.height, 1, nullptr, nullptr)),
        in_(kBlock * rows_),
        out_(kBlock * rows_) {
    CV_Assert(size.width % 2 == 0 && rowForward_ && rowInverse_ && colForward_ && colInverse_);
  }

  cv::Mat NewPlane() const override { return cv::Mat(size_, CV_64F); }
  cv::Mat NewSpectrum() const override {
    return cv::Mat(size_.height, static_cast<int>(half_ * 2), CV_64F);
  }

  void Forward(cv::Mat& plane, cv::Mat& spectrum, int nonzeroRows) override {
    const std::size_t nonzero =
        nonzeroRows <= 0 ? rows_ : std::min(rows_, static_cast<std::size_t>(nonzeroRows));
    auto* spec = reinterpret_cast<kiss_fft_cpx*>(spectrum.ptr<double>());
    for (std::size_t r = 0; r < nonzero; ++r) {
      kiss_fftr(rowForward_.get(), plane.ptr<double>(static_cast<int>(r)), spec + r * half_);
    }
    std::memset(static_cast<void*>(spec + nonzero * half_), 0,
                (rows_ - nonzero) * half_ * sizeof(kiss_fft_cpx));
    Columns(spec, colForward_.get());
  }

  void MulConj(const cv::Mat& a, const cv::Mat& b, cv::Mat& out, bool accumulate) override {
    MulConjInterleaved(a, b, out, accumulate);
  }

  void Inverse(cv::Mat& spectrum, cv::Mat& plane) override {
    auto* spec = reinterpret_cast<kiss_fft_cpx*>(spectrum.ptr<double>());
    Columns(spec, colInverse_.get());
    for (std::size_t r = 0; r < rows_; ++r) {
      kiss_fftri(rowInverse_.get(), spec + r * half_, plane.ptr<double>(static_cast<int>(r)));
    }
  }

  cv::Size Size() const override { return size_; }

 private:
  void Columns(kiss_fft_cpx* spec, kiss_fft_cfg cfg) {
    for (std::size_t j0 = 0; j0 < half_; j0 += kBlock) {
      const std::size_t m = std::min(kBlock, half_ - j0);
      for (std::size_t r = 0; r < rows_; ++r) {
        for (std::size_t c = 0; c < m; ++c) in_[c * rows_ + r] = spec[r * half_ + j0 + c];
      }
      for (std::size_t c = 0; c < m; ++c) kiss_fft(cfg, &in_[c * rows_], &out_[c * rows_]);
      for (std::size_t r = 0; r < rows_; ++r) {
        for (std::size_t c = 0; c < m; ++c) spec[r * half_ + j0 + c] = out_[c * rows_ + r];
      }
    }
  }

  cv::Size size_;
  std::size_t rows_, cols_, half_;
  ConfigPtr<kiss_fftr_cfg> rowForward_, rowInverse_;
  ConfigPtr<kiss_fft_cfg> colForward_, colInverse_;
  std::vector<kiss_fft_cpx> in_, out_;
};

}  // namespace

std::unique_ptr<Transform2D> MakeKissFftTransform(cv::Size size) {
  return std::make_unique<KissFftTransform>(size);
}

}  // namespace tavrik
