#include "match/transform_fftw.h"

#include <fftw3.h>

#include <map>
#include <mutex>
#include <opencv2/core.hpp>
#include <utility>

namespace tavrik {
namespace {

// Plans for one size: forward real-to-complex, inverse complex-to-real. The transform that made
// them owns them, so they go back with the workspace that holds it.
struct PlanPair {
  fftw_plan forward = nullptr;
  fftw_plan inverse = nullptr;
};

// Measured plans run about 1.5x faster but cost 0.3-0.9 s each to make, with the planner lock
// held: the first evaluation of every new size would stall, and with it the others waiting for
// the lock. Estimated plans cost a few milliseconds and are already 2-3x faster than cv::dft.
bool g_measure = false;  // guarded by PlannerMutex()

std::mutex& PlannerMutex() {
  static std::mutex mutex;
  return mutex;
}

PlanPair MakePlans(cv::Size size) {
  const std::lock_guard<std::mutex> lock(PlannerMutex());
  const unsigned flags = g_measure ? FFTW_MEASURE : FFTW_ESTIMATE;
  const int rows = size.height;
  const int cols = size.width;
  const std::size_t real = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
  const std::size_t complex =
      static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols / 2 + 1);
  // FFTW_MEASURE overwrites the arrays while it plans, so it plans on scratch arrays; the plans
  // are later run on the caller's arrays: whole cv::Mat buffers, 64-byte aligned like FFTW's.
  double* in = fftw_alloc_real(real);
  fftw_complex* out = fftw_alloc_complex(complex);
  PlanPair pair;
  pair.forward = fftw_plan_dft_r2c_2d(rows, cols, in, out, flags);
  pair.inverse = fftw_plan_dft_c2r_2d(rows, cols, out, in, flags);
  fftw_free(in);
  fftw_free(out);
  CV_Assert(pair.forward != nullptr && pair.inverse != nullptr);
  return pair;
}

void DestroyPlans(PlanPair& pair) {
  // Destroying a plan touches the planner's shared state as well.
  const std::lock_guard<std::mutex> lock(PlannerMutex());
  fftw_destroy_plan(pair.forward);
  fftw_destroy_plan(pair.inverse);
  pair = PlanPair();
}

class FftwTransform final : public Transform2D {
 public:
  explicit FftwTransform(cv::Size size) : size_(size), plans_(MakePlans(size)) {}
  ~FftwTransform() override { DestroyPlans(plans_); }
  FftwTransform(const FftwTransform&) = delete;
  FftwTransform& operator=(const FftwTransform&) = delete;

  cv::Mat NewPlane() const override { return cv::Mat(size_, CV_64F); }
  // rows x (cols/2 + 1) complex values, interleaved.
  cv::Mat NewSpectrum() const override {
    return cv::Mat(size_.height, (size_.width / 2 + 1) * 2, CV_64F);
  }

  void Forward(cv::Mat& plane, cv::Mat& spectrum, int) override {
    CV_Assert(plane.isContinuous() && spectrum.isContinuous());
    fftw_execute_dft_r2c(plans_.forward, plane.ptr<double>(),
                         reinterpret_cast<fftw_complex*>(spectrum.ptr<double>()));
  }

  void MulConj(const cv::Mat& a, const cv::Mat& b, cv::Mat& out, bool accumulate) override {
    MulConjInterleaved(a, b, out, accumulate);
  }

  void Inverse(cv::Mat& spectrum, cv::Mat& plane) override {
    CV_Assert(plane.isContinuous() && spectrum.isContinuous());
    fftw_execute_dft_c2r(plans_.inverse, reinterpret_cast<fftw_complex*>(spectrum.ptr<double>()),
                         plane.ptr<double>());
  }

  cv::Size Size() const override { return size_; }

 private:
  cv::Size size_;
  PlanPair plans_;
};

}  // namespace

void UseFftwMeasurePlans(bool measure) {
  const std::lock_guard<std::mutex> lock(PlannerMutex());
  g_measure = measure;
}

std::unique_ptr<Transform2D> MakeFftwTransform(cv::Size size) {
  return std::make_unique<FftwTransform>(size);
}

}  // namespace tavrik
