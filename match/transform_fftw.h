// The FFTW implementation of transform.h (library detect_fftw, or part of detect when the worker
// is configured with -DTAVRIK_TRANSFORM=fftw, the Linux default). FFTW is GPL: a binary that
// links it is covered by the GPL as a whole.
//
// Each transform makes its own plans (FFTW_ESTIMATE, a few milliseconds) and destroys them with
// itself; transforms live in a MatchWorkspace, so plans share its bound and its release. FFTW's
// planner is not thread-safe, so making and destroying plans is serialised by one mutex;
// executing a plan on new arrays (fftw_execute_dft_r2c and friends) is thread-safe.
#pragma once

#include <memory>

#include "match/transform.h"

namespace tavrik {

std::unique_ptr<Transform2D> MakeFftwTransform(cv::Size size);

// Plans are made with FFTW_ESTIMATE (the default, what the worker uses) or, for benchmarks that
// compare planners, FFTW_MEASURE. Applies to plans made after the call; any thread.
void UseFftwMeasurePlans(bool measure);

}  // namespace tavrik
