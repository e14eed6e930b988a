// Internals shared by the engine's two files: the workspace of one thread and the region's derived
// planes (match/region_pixels.cpp), and the tile engine that uses them (match/matcher.cpp).
//
// Threads: as MatchWorkspace and RegionPixels: one thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <vector>

#include "match/matcher.h"
#include "match/transform.h"

namespace tavrik {

inline std::size_t MatBytes(const cv::Mat& m) { return m.empty() ? 0 : m.total() * m.elemSize(); }

// A growing buffer that hands out matrix views, so that alternating sizes do not reallocate.
class Scratch {
 public:
  cv::Mat View(int rows, int cols, int type);
  void Release() { storage_.release(); }
  std::size_t Bytes() const { return MatBytes(storage_); }

 private:
  cv::Mat storage_;
};

// What a region-side plane is made of.
enum class Content {
  kGrey,          // the grey plane
  kColour,        // one colour channel
  kSumOfSquares,  // the squares of the three colour channels, added (one plane)
};

// The region tile spectra slots of a TransformEntry.
inline constexpr std::size_t kGreySlot = 0;
inline constexpr std::size_t kColourSlot = 1;  // three: blue, green, red
inline constexpr std::size_t kSquaresSlot = 4;

struct MatchWorkspace::Impl {
  struct TransformEntry {
    TransformKind kind;
    cv::Size size;
    std::unique_ptr<Transform2D> transform;
    cv::Mat plane;                  // a region tile, zero-padded
    std::array<cv::Mat, 5> region;  // the current tile's region spectra (kGreySlot...)
    cv::Mat work;                   // products
    cv::Mat out;                    // inverse: the correlation
    cv::Mat out2;                   // inverse: the masked window energy

    std::size_t Bytes() const;
  };
  std::vector<TransformEntry> transforms;
  Scratch scores;                  // one tile's map values, or a whole map (ComputeMatchMap)
  std::vector<std::int64_t> sums;  // a tile window's integral images
  std::uint64_t mapsComputed = 0;
  std::uint64_t regionTiles = 0;

  // The transform of `kind` and `size` with its buffers; at most one size is kept per kind
  // beyond the last used, so a thread that meets many sizes holds few.
  TransformEntry& Get(TransformKind kind, cv::Size size);
  cv::Mat& RegionSpectrum(TransformEntry& e, std::size_t slot);
};

// Writes the region window `window` into the top-left of `plane` as doubles and zeroes the rest:
// grey, one colour channel, or the sum of the three channels' squares.
void FillPlane(RegionPixels& region, Content content, int channel, cv::Rect window,
               cv::Mat& plane);

// Integral images of the grey window, exact in 64 bits: (h+1) x (w+1) sums of the grey values and
// of their squares, row-major, in `sums` (sums first, then squares).
void WindowSums(RegionPixels& region, cv::Rect window, std::vector<std::int64_t>& sums);

}  // namespace tavrik
