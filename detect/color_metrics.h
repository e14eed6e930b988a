// Colour measurements of an image: mean hue and saturation, mean brightness and mean Lab colour.
//
// Taken over a whole template when it is added (hue/saturation and Lab only) and over the
// best-match spot of a capture in every detection pass. Each accepts 3-channel (BGR) and 4-channel
// (BGRA) images; an empty image or any other channel count yields the unavailable marker, -1 in
// every field. The hue mean is a plain arithmetic mean of OpenCV's 8-bit hue (0..179), not a
// circular one. Inputs are never modified.
//
// Threads: stateless; safe to call from the CommandThread and the detection loop at the same time.
#pragma once

#include <opencv2/core/mat.hpp>

#include "registry/template_info.h"

namespace tavrik {

// hue = mean HSV hue / 180, sat = mean HSV saturation / 255.
HueSatMean MeanHueSat(const cv::Mat& image);

// Mean of the HSV value plane in 8-bit units (0..255), or -1.
double MeanValue(const cv::Mat& image);

// Means of the 8-bit Lab channels (L scaled to 0..255, a and b neutral at 128).
LabMean MeanLab(const cv::Mat& image);

// MeanHueSat, MeanValue and MeanLab of one image, with one HSV and one Lab conversion (read
// straight from 4-byte pixels, alpha ignored). The results are exactly those of the three calls.
struct SpotColour {
  HueSatMean hueSat{-1.0, -1.0};
  double value = -1.0;
  LabMean lab{-1.0, -1.0, -1.0};
};
// The conversion buffers of one thread, grown and never shrunk, so that a steady state of
// template-sized spots allocates nothing.
struct SpotScratch {
  cv::Mat hsv;
  cv::Mat lab;
};
SpotColour MeasureSpot(const cv::Mat& image, SpotScratch& scratch);
SpotColour MeasureSpot(const cv::Mat& image);  // with buffers of its own

}  // namespace tavrik
