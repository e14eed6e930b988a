#include "detect/transform_fftw.h"

#include <fftw3.h>

#include <map>
#include <mutex>
#include <opencv2/core.hpp>
#include <tuple>

namespace tavrik {
namespace {

// Plans for one size and depth: forward real-to-complex, inverse complex-to-real. Plans are
// immutable once made; only their creation needs the lock.
struct PlanPair {
  void* forward = nullptr;
  void* inverse = nullptr;
};

bool g_measure = true;  // guarded by PlannerMutex()

std::mutex& PlannerMutex() {
  static std::mutex mutex;
  return mutex;
}

PlanPair GetPlans(cv::Size size, int depth) {
  static std::map<std::tuple<int, int, int>, PlanPair>* plans =
      new std::map<std::tuple<int, int, int>, PlanPair>();  // kept for the process lifetime
  const std::lock_guard<std::mutex> lock(PlannerMutex());
  const auto key = std::make_tuple(size.width, size.height, depth);
  const unsigned flags = g_measure ? FFTW_MEASURE : FFTW_ESTIMATE;
  if (const auto it = plans->find(key); it != plans->end()) return it->second;
  const int rows = size.height;
  const int cols = size.width;
  const std::size_t real = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
  const std::size_t complex =
      static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols / 2 + 1);
  PlanPair pair;
  // FFTW_MEASURE overwrites the arrays while it plans, so it plans on scratch arrays; the plans
  // are later run on the caller's (equally aligned) arrays.
  if (depth == CV_32F) {
    float* in = fftwf_alloc_real(real);
    fftwf_complex* out = fftwf_alloc_complex(complex);
    pair.forward = fftwf_plan_dft_r2c_2d(rows, cols, in, out, flags);
    pair.inverse = fftwf_plan_dft_c2r_2d(rows, cols, out, in, flags);
    fftwf_free(in);
    fftwf_free(out);
  } else {
    double* in = fftw_alloc_real(real);
    fftw_complex* out = fftw_alloc_complex(complex);
    pair.forward = fftw_plan_dft_r2c_2d(rows, cols, in, out, flags);
    pair.inverse = fftw_plan_dft_c2r_2d(rows, cols, out, in, flags);
    fftw_free(in);
    fftw_free(out);
  }
  CV_Assert(pair.forward != nullptr && pair.inverse != nullptr);
  plans->emplace(key, pair);
  return pair;
}

template <typename T>
void MulConjT(const cv::Mat& a, const cv::Mat& b, cv::Mat& out, bool accumulate) {
  const T* pa = a.ptr<T>();
  const T* pb = b.ptr<T>();
  T* po = out.ptr<T>();
  const std::size_t n = a.total();  // real values: 2 per complex
  if (accumulate) {
    for (std::size_t i = 0; i < n; i += 2) {
      const T ar = pa[i], ai = pa[i + 1], br = pb[i], bi = pb[i + 1];
      po[i] += ar * br + ai * bi;
      po[i + 1] += ai * br - ar * bi;
    }
  } else {
    for (std::size_t i = 0; i < n; i += 2) {
      const T ar = pa[i], ai = pa[i + 1], br = pb[i], bi = pb[i + 1];
      po[i] = ar * br + ai * bi;
      po[i + 1] = ai * br - ar * bi;
    }
  }
}

class FftwTransform final : public Transform2D {
 public:
  FftwTransform(cv::Size size, int depth)
      : size_(size), depth_(depth), plans_(GetPlans(size, depth)) {}

  void Allocate(SpectrumSlot& slot) const override {
    slot.plane.create(size_, depth_);
    slot.spectrum.create(size_.height, (size_.width / 2 + 1) * 2, depth_);
  }

  void Forward(SpectrumSlot& slot, int) override {
    if (depth_ == CV_32F) {
      fftwf_execute_dft_r2c(static_cast<fftwf_plan>(plans_.forward), slot.plane.ptr<float>(),
                            reinterpret_cast<fftwf_complex*>(slot.spectrum.ptr<float>()));
    } else {
      fftw_execute_dft_r2c(static_cast<fftw_plan>(plans_.forward), slot.plane.ptr<double>(),
                           reinterpret_cast<fftw_complex*>(slot.spectrum.ptr<double>()));
    }
  }

  void MulConj(const SpectrumSlot& a, const SpectrumSlot& b, SpectrumSlot& out,
               bool accumulate) const override {
    if (depth_ == CV_32F) {
      MulConjT<float>(a.spectrum, b.spectrum, out.spectrum, accumulate);
    } else {
      MulConjT<double>(a.spectrum, b.spectrum, out.spectrum, accumulate);
    }
  }

  void Inverse(SpectrumSlot& slot, int) override {
    if (depth_ == CV_32F) {
      fftwf_execute_dft_c2r(static_cast<fftwf_plan>(plans_.inverse),
                            reinterpret_cast<fftwf_complex*>(slot.spectrum.ptr<float>()),
                            slot.plane.ptr<float>());
    } else {
      fftw_execute_dft_c2r(static_cast<fftw_plan>(plans_.inverse),
                           reinterpret_cast<fftw_complex*>(slot.spectrum.ptr<double>()),
                           slot.plane.ptr<double>());
    }
  }

  bool SumsChannelsInSpectrum() const override { return true; }
  double InverseScale() const override {
    return 1.0 / (static_cast<double>(size_.width) * static_cast<double>(size_.height));
  }
  cv::Size Size() const override { return size_; }
  int Depth() const override { return depth_; }

 private:
  cv::Size size_;
  int depth_;
  PlanPair plans_;
};

}  // namespace

void UseFftwMeasurePlans(bool measure) {
  const std::lock_guard<std::mutex> lock(PlannerMutex());
  g_measure = measure;
}

std::unique_ptr<Transform2D> MakeFftwTransform(cv::Size size, int depth) {
  return std::make_unique<FftwTransform>(size, depth);
}

}  // namespace tavrik
