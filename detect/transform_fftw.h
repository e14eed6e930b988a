// The FFTW implementation of transform.h (library detect_fftw, or part of detect when the worker
// is configured with -DTAVRIK_TRANSFORM=fftw, the Linux default). FFTW is GPL: a binary that
// links it is covered by the GPL as a whole.
//
// Plans are made with FFTW_MEASURE the first time a size is asked for and kept for the life of
// the process (a plan is a few kilobytes; the sizes are the tile sizes of the templates seen).
// FFTW's planner is not thread-safe, so plan creation is serialised by one mutex; executing a
// plan on new arrays (fftw_execute_dft_r2c and friends) is thread-safe.
#pragma once

#include <memory>

#include "detect/transform.h"

namespace tavrik {

std::unique_ptr<Transform2D> MakeFftwTransform(cv::Size size);

// Plans are made with FFTW_MEASURE (the default, what the worker uses) or, for tests that touch
// hundreds of sizes once each, FFTW_ESTIMATE. Applies to plans made after the call.
void UseFftwMeasurePlans(bool measure);

}  // namespace tavrik
