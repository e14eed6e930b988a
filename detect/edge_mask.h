// The edge mask of a kind-"t2" template: which template pixels take part in its masked colour
// match.
//
// Pixels near strong second-derivative (Laplacian) edges are kept; when those are sparse the mask
// falls back to gradient (Canny) edges; a template without any edge gets a mask of all 255, so a
// "t2" template always has a non-empty mask. The result is CV_8UC1 of the template's size and
// holds only 0 and 255.
//
// Threads: stateless; called on the CommandThread while a template is prepared, before it is
// published.
#pragma once

#include <opencv2/core/mat.hpp>

namespace tavrik {

// Accepts 3-channel BGR, 4-channel BGRA and single-channel 8-bit images; `image` is not changed.
// An empty image (no template) gives an empty mask.
cv::Mat BuildEdgeMask(const cv::Mat& image);

}  // namespace tavrik
