// Thin wrappers over the OpenCV calls whose signature changed across the versions we build with.
//
// OpenCV 4.11 added an algorithm-hint argument to cvtColor and GaussianBlur; the worker asks for
// the library's default (exact) implementation explicitly there. Older releases (Debian ships 4.6)
// have only the plain overloads, which behave like the default hint. Pure; safe from any thread.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/core/version.hpp>
#include <opencv2/imgproc.hpp>

#if CV_VERSION_MAJOR > 4 || (CV_VERSION_MAJOR == 4 && CV_VERSION_MINOR >= 11)
#define TAVRIK_CV_HAS_ALGO_HINT 1
#else
#define TAVRIK_CV_HAS_ALGO_HINT 0
#endif

namespace tavrik::cvc {

inline void CvtColor(cv::InputArray src, cv::OutputArray dst, int code) {
#if TAVRIK_CV_HAS_ALGO_HINT
  cv::cvtColor(src, dst, code, 0, cv::ALGO_HINT_DEFAULT);
#else
  cv::cvtColor(src, dst, code);
#endif
}

inline void GaussianBlur(cv::InputArray src, cv::OutputArray dst, cv::Size ksize, double sigmaX,
                         double sigmaY, int borderType) {
#if TAVRIK_CV_HAS_ALGO_HINT
  cv::GaussianBlur(src, dst, ksize, sigmaX, sigmaY, borderType, cv::ALGO_HINT_DEFAULT);
#else
  cv::GaussianBlur(src, dst, ksize, sigmaX, sigmaY, borderType);
#endif
}

}  // namespace tavrik::cvc
