#include <opencv2/core.hpp>

#include "match/transform.h"

namespace tavrik {
namespace {

// cv::dft in double, in OpenCV's packed CCS layout (the spectrum has the plane's size).
class OpenCvTransform final : public Transform2D {
 public:
  explicit OpenCvTransform(cv::Size size) : size_(size) {}

  cv::Mat NewPlane() const override { return cv::Mat(size_, CV_64F); }
  cv::Mat NewSpectrum() const override { return cv::Mat(size_, CV_64F); }

  void Forward(cv::Mat& plane, cv::Mat& spectrum, int nonzeroRows) override {
    cv::dft(plane, spectrum, 0, nonzeroRows);
  }

  void MulConj(const cv::Mat& a, const cv::Mat& b, cv::Mat& out, bool accumulate) override {
    if (!accumulate) {
      cv::mulSpectrums(a, b, out, 0, true);
      return;
    }
    cv::mulSpectrums(a, b, product_, 0, true);
    cv::add(out, product_, out);
  }

  void Inverse(cv::Mat& spectrum, cv::Mat& plane) override {
    cv::dft(spectrum, plane, cv::DFT_INVERSE | cv::DFT_REAL_OUTPUT);
  }

  cv::Size Size() const override { return size_; }

 private:
  cv::Size size_;
  cv::Mat product_;
};

}  // namespace

std::unique_ptr<Transform2D> MakeOpenCvTransform(cv::Size size) {
  return std::make_unique<OpenCvTransform>(size);
}

}  // namespace tavrik
