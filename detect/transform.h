// The 2-D real Fourier transform behind template matching, behind one small interface with two
// implementations chosen when the worker is configured:
//
//   OpenCV (transform_opencv.cpp)  cv::hal::DFT2D, OpenCV's own transform, called exactly as
//                                  cv::matchTemplate calls it. With it the matcher reproduces
//                                  cv::matchTemplate bit for bit. The default, and the only one
//                                  of the static Win32 build.
//   FFTW (transform_fftw.cpp)      FFTW 3 plans made with FFTW_MEASURE and kept for the life of the
//                                  process. About 4x faster per transform, but its rounding differs
//                                  from OpenCV's, so maps agree only to ~1e-6 (see README,
//                                  "Performance"). Built when CMake finds libfftw3 and chosen with
//                                  -DTAVRIK_TRANSFORM=fftw; a binary that links it is GPL.
//
// A transform object is made for one plane size and one depth (CV_32F or CV_64F). It keeps what
// the library needs between calls, so steady-state use allocates nothing. It is not thread-safe:
// each thread that evaluates templates uses its own objects.
#pragma once

#include <memory>
#include <opencv2/core/mat.hpp>

namespace tavrik {

// One transform slot: the real plane (rows x cols of the transform size, depth as the transform)
// and its spectrum. For OpenCV both are the same storage (an in-place transform in OpenCV's packed
// CCS layout); for FFTW they are separate (the spectrum holds rows x (cols/2 + 1) complex values).
struct SpectrumSlot {
  cv::Mat plane;
  cv::Mat spectrum;
};

class Transform2D {
 public:
  virtual ~Transform2D() = default;

  // Makes `slot` ready for this transform's size and depth (allocates only the first time).
  virtual void Allocate(SpectrumSlot& slot) const = 0;

  // Transforms slot.plane into slot.spectrum. Only the first `nonzeroRows` rows of the plane may
  // be non-zero (OpenCV skips the others; it is a hint only for FFTW). slot.plane may be changed.
  virtual void Forward(SpectrumSlot& slot, int nonzeroRows) = 0;

  // out = a * conj(b), or out += a * conj(b) when `accumulate` (FFTW only: OpenCV's matcher sums
  // channels after the inverse transform, see SumsChannelsInSpectrum).
  virtual void MulConj(const SpectrumSlot& a, const SpectrumSlot& b, SpectrumSlot& out,
                       bool accumulate) const = 0;

  // Transforms slot.spectrum back into slot.plane. The plane still has to be multiplied by
  // InverseScale() (OpenCV scales inside the transform, as crossCorr asks it to; FFTW leaves it to
  // the caller). Only the first `outputRows` rows of the plane are needed. slot.spectrum may be
  // destroyed.
  virtual void Inverse(SpectrumSlot& slot, int outputRows) = 0;

  // True when the channels of a multi-channel correlation are summed as spectra (one inverse
  // transform per term); false when, as in cv::matchTemplate, each channel is transformed back and
  // the real planes are added.
  virtual bool SumsChannelsInSpectrum() const = 0;

  // The factor the caller must apply to a plane from Inverse (1 when Inverse scales itself).
  virtual double InverseScale() const = 0;

  virtual cv::Size Size() const = 0;
  virtual int Depth() const = 0;
};

enum class TransformKind {
  kOpenCv,
  kFftw,
};

// A transform of `size` and `depth`. kFftw is only available in programs that link the FFTW
// implementation (detect_fftw); elsewhere asking for it gives the OpenCV one.
std::unique_ptr<Transform2D> MakeTransform(TransformKind kind, cv::Size size, int depth);

// The kind the worker was configured with (-DTAVRIK_TRANSFORM=opencv|fftw).
TransformKind DefaultTransformKind();

// Name for lines and benchmarks: "opencv" or "fftw".
const char* TransformName(TransformKind kind);

// Whether this program can make FFTW transforms.
bool FftwAvailable();

// The OpenCV implementation, always present.
std::unique_ptr<Transform2D> MakeOpenCvTransform(cv::Size size, int depth);

// Programs that link detect_fftw without making it the default (tests, benchmarks) install its
// factory once, before any thread evaluates: InstallFftwFactory(MakeFftwTransform).
using TransformFactory = std::unique_ptr<Transform2D> (*)(cv::Size size, int depth);
void InstallFftwFactory(TransformFactory factory);

}  // namespace tavrik
