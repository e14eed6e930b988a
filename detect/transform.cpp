#include "detect/transform.h"

#if TAVRIK_TRANSFORM_FFTW
#include "detect/transform_fftw.h"
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

std::unique_ptr<Transform2D> MakeTransform(TransformKind kind, cv::Size size) {
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
#else
  return TransformKind::kOpenCv;
#endif
}

const char* TransformName(TransformKind kind) {
  return kind == TransformKind::kFftw ? "fftw" : "opencv";
}

}  // namespace tavrik
