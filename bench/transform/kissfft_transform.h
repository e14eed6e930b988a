// KISS FFT (BSD-3) behind transform.h, in double precision, for bench_transform only: a candidate
// measured against the shipped transforms with the same engine, never linked into the worker.
// Same spectrum layout as FFTW's (rows x (cols/2 + 1) interleaved complex); even widths only.
// Not thread-safe, like every transform object.
#pragma once

#include <memory>

#include "match/transform.h"

namespace tavrik {

std::unique_ptr<Transform2D> MakeKissFftTransform(cv::Size size);

}  // namespace tavrik
