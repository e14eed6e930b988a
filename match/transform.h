// The 2-D real Fourier transform behind template matching, behind one small interface with three
// implementations chosen when the worker is configured:
//
//   FFTW (transform_fftw.cpp)      FFTW 3 plans, made once per size and kept for the life of the
//                                  process. The default wherever CMake finds libfftw3 (Linux);
//                                  a binary that links it is GPL as a whole.
//   pocketfft (transform_pocketfft.cpp)
//                                  pocketfft's 1-D plans over rows and columns (BSD-licensed,
//                                  header-only). Built wherever CMake finds its header; the
//                                  default of the Win32 build then.
//   OpenCV (transform_opencv.cpp)  cv::dft. Always built; the fallback.
//
// All run in double precision. The matcher correlates integers (8-bit pixels, their squares, a
// 0/1 mask), and a double transform stays far closer than 0.5 to every such sum for any region
// the worker accepts, so the matcher rounds each correlation to the exact integer: the two
// transforms then give the same sums, and the same map, as a direct computation.
//
// A transform object is made for one plane size. It keeps what the library needs between calls
// (plans, scratch buffers); FFTW's then allocates nothing per call, pocketfft's plans allocate
// one scratch array per 1-D run (hundreds per evaluation, see README "Performance"). It is not thread-safe: each thread that evaluates
// templates uses its own objects.
#pragma once

#include <cstddef>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <vector>

namespace tavrik {

class Transform2D {
 public:
  virtual ~Transform2D() = default;

  // A real plane (CV_64F, Size()) and a spectrum buffer of this transform's layout.
  virtual cv::Mat NewPlane() const = 0;
  virtual cv::Mat NewSpectrum() const = 0;

  // spectrum = DFT(plane). Only the first `nonzeroRows` rows of the plane may be non-zero (a hint;
  // implementations may ignore it). The plane may be changed.
  virtual void Forward(cv::Mat& plane, cv::Mat& spectrum, int nonzeroRows) = 0;

  // out = a * conj(b), or out += a * conj(b) when `accumulate`.
  virtual void MulConj(const cv::Mat& a, const cv::Mat& b, cv::Mat& out, bool accumulate) = 0;

  // plane = the unscaled inverse DFT of `spectrum` (multiply by InverseScale() for the
  // correlation). The spectrum may be destroyed.
  virtual void Inverse(cv::Mat& spectrum, cv::Mat& plane) = 0;

  double InverseScale() const {
    return 1.0 / (static_cast<double>(Size().width) * static_cast<double>(Size().height));
  }
  virtual cv::Size Size() const = 0;
};

enum class TransformKind {
  kOpenCv,
  kFftw,
  kPocketFft,
};

// A transform of `size`. kFftw is only available in programs that link the FFTW implementation,
// kPocketFft only where the worker was built with pocketfft; elsewhere asking for either gives
// the OpenCV one.
std::unique_ptr<Transform2D> MakeTransform(TransformKind kind, cv::Size size);

// The kind the worker was configured with (-DTAVRIK_TRANSFORM=pocketfft|fftw|opencv).
TransformKind DefaultTransformKind();

// Name for lines and benchmarks: "opencv", "fftw" or "pocketfft".
const char* TransformName(TransformKind kind);

// Whether this program can make FFTW transforms.
bool FftwAvailable();

// Whether this program was built with pocketfft.
bool PocketFftAvailable();

// Every kind this program can make, OpenCV's first; for tests and benchmarks that compare them.
// Call after InstallFftwFactory, if the program installs one.
std::vector<TransformKind> AvailableTransformKinds();

// out = a * conj(b) (or out += when `accumulate`) for spectra of rows x (cols/2 + 1) interleaved
// complex values, the layout of the FFTW and pocketfft transforms.
void MulConjInterleaved(const cv::Mat& a, const cv::Mat& b, cv::Mat& out, bool accumulate);

// The OpenCV implementation, always present.
std::unique_ptr<Transform2D> MakeOpenCvTransform(cv::Size size);

// Programs that link detect_fftw without making it the default (tests, benchmarks) install its
// factory once, before any thread evaluates: InstallFftwFactory(MakeFftwTransform).
using TransformFactory = std::unique_ptr<Transform2D> (*)(cv::Size size);
void InstallFftwFactory(TransformFactory factory);

}  // namespace tavrik
