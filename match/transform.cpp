#include "match/transform.h"

#include <opencv2/core.hpp>

#if TAVRIK_TRANSFORM_FFTW
#include "match/transform_fftw.h"
#endif

#if TAVRIK_HAVE_POCKETFFT
namespace tavrik {
std::unique_ptr<Transform2D> MakePocketfftTransform(cv::Size size);
}  // namespace tavrik
#endif

namespace tavrik {
namespace {

TransformFactory g_fftwFactory = nullptr;

}  // namespace

void InstallFftwFactory(TransformFactory factory) { g_fftwFactory = factory; }

bool FftwAvailable() {
#if TAVRIK_TRANSFORM_FFTW
  return true;
#else
  return g_fftwFactory != nullptr;
#endif
}

bool PocketFftAvailable() {
#if TAVRIK_HAVE_POCKETFFT
  return true;
#else
  return false;
#endif
}

std::vector<TransformKind> AvailableTransformKinds() {
  std::vector<TransformKind> kinds{TransformKind::kOpenCv};
  if (PocketFftAvailable()) kinds.push_back(TransformKind::kPocketFft);
  if (FftwAvailable()) kinds.push_back(TransformKind::kFftw);
  return kinds;
}

std::unique_ptr<Transform2D> MakeTransform(TransformKind kind, cv::Size size) {
#if TAVRIK_HAVE_POCKETFFT
  if (kind == TransformKind::kPocketFft) return MakePocketfftTransform(size);
#endif
  if (kind == TransformKind::kFftw) {
#if TAVRIK_TRANSFORM_FFTW
    return MakeFftwTransform(size);
#else
    if (g_fftwFactory != nullptr) return g_fftwFactory(size);
#endif
  }
  return MakeOpenCvTransform(size);
}

TransformKind DefaultTransformKind() {
#if TAVRIK_TRANSFORM_FFTW
  return TransformKind::kFftw;
#elif TAVRIK_TRANSFORM_POCKETFFT
  return TransformKind::kPocketFft;
#else
  return TransformKind::kOpenCv;
#endif
}

const char* TransformName(TransformKind kind) {
  switch (kind) {
    case TransformKind::kFftw:
      return "fftw";
    case TransformKind::kPocketFft:
      return "pocketfft";
    case TransformKind::kOpenCv:
      break;
  }
  return "opencv";
}

void MulConjInterleaved(const cv::Mat& a, const cv::Mat& b, cv::Mat& out, bool accumulate) {
  CV_Assert(a.isContinuous() && b.isContinuous() && out.isContinuous());
  CV_Assert(a.total() == b.total() && a.total() == out.total());
  const double* pa = a.ptr<double>();
  const double* pb = b.ptr<double>();
  double* po = out.ptr<double>();
  const std::size_t n = a.total();  // real values: 2 per complex
  if (accumulate) {
    for (std::size_t i = 0; i < n; i += 2) {
      const double ar = pa[i], ai = pa[i + 1], br = pb[i], bi = pb[i + 1];
      po[i] += ar * br + ai * bi;
      po[i + 1] += ai * br - ar * bi;
    }
  } else {
    for (std::size_t i = 0; i < n; i += 2) {
      const double ar = pa[i], ai = pa[i + 1], br = pb[i], bi = pb[i + 1];
      po[i] = ar * br + ai * bi;
      po[i + 1] = ai * br - ar * bi;
    }
  }
}

}  // namespace tavrik
