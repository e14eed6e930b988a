#include <map>
#include <opencv2/core.hpp>
#include <opencv2/core/hal/hal.hpp>

#include "detect/transform.h"

namespace tavrik {
namespace {

// OpenCV's transform used exactly as crossCorr (imgproc/src/templmatch.cpp, OpenCV 4.x) uses it:
// in place, in the packed CCS layout, with the same "non-zero rows" hints and the same flags, so
// every value comes out bit for bit as inside cv::matchTemplate. One hal::DFT2D is kept per
// (direction, rows hint): crossCorr makes them per call, we make them once.
class OpenCvTransform final : public Transform2D {
 public:
  OpenCvTransform(cv::Size size, int depth) : size_(size), depth_(depth) {}

  void Allocate(SpectrumSlot& slot) const override {
    slot.plane.create(size_, depth_);
    slot.spectrum = slot.plane;
  }

  void Forward(SpectrumSlot& slot, int nonzeroRows) override {
    Apply(forward_, CV_HAL_DFT_IS_INPLACE, nonzeroRows, slot.plane);
  }

  void MulConj(const SpectrumSlot& a, const SpectrumSlot& b, SpectrumSlot& out,
               bool accumulate) const override {
    CV_Assert(!accumulate);
    cv::mulSpectrums(a.spectrum, b.spectrum, out.spectrum, 0, true);
  }

  void Inverse(SpectrumSlot& slot, int outputRows) override {
    Apply(inverse_, CV_HAL_DFT_IS_INPLACE | CV_HAL_DFT_INVERSE | CV_HAL_DFT_SCALE, outputRows,
          slot.plane);
  }

  bool SumsChannelsInSpectrum() const override { return false; }
  double InverseScale() const override { return 1.0; }
  cv::Size Size() const override { return size_; }
  int Depth() const override { return depth_; }

 private:
  void Apply(std::map<int, cv::Ptr<cv::hal::DFT2D>>& cache, int flags, int rows, cv::Mat& plane) {
    CV_Assert(plane.size() == size_ && plane.depth() == depth_ && plane.channels() == 1);
    auto it = cache.find(rows);
    if (it == cache.end()) {
      it = cache
               .emplace(rows, cv::hal::DFT2D::create(size_.width, size_.height, depth_, 1, 1, flags,
                                                     rows))
               .first;
    }
    it->second->apply(plane.data, plane.step, plane.data, plane.step);
  }

  cv::Size size_;
  int depth_;
  std::map<int, cv::Ptr<cv::hal::DFT2D>> forward_;
  std::map<int, cv::Ptr<cv::hal::DFT2D>> inverse_;
};

}  // namespace

std::unique_ptr<Transform2D> MakeOpenCvTransform(cv::Size size, int depth) {
  return std::make_unique<OpenCvTransform>(size, depth);
}

}  // namespace tavrik
