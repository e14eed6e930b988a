#include "match/tile_layout.h"

#include <algorithm>
#include <opencv2/core.hpp>

namespace tavrik {
namespace {

constexpr int kSmallestClass = 32;
constexpr int kSmallestTransform = 256;
// Past this the tile is twice its class rather than four times: as fast per map pixel at these
// sizes (fewer positions per tile, but each transform far cheaper), and a quarter of the memory,
// which is what decides the largest template admitted.
constexpr int kLargeTransform = 512;

// 32, 48, 64, 96, 128, 192, ...: half-octave steps, so a template just past a power of two pays
// for half again its size, not twice.
int SizeClass(int templ) {
  int c = kSmallestClass;
  while (c < templ) c = c % 3 == 0 ? c / 3 * 4 : c / 2 * 3;
  return c;
}

// One dimension of GeometryFor: {dft, reach}.
std::pair<int, int> Dimension(int region, int templ, int minimum) {
  const int c = SizeClass(templ);
  int standard = std::max(kSmallestTransform, 4 * c);
  if (standard > kLargeTransform) standard = 2 * c;
  standard = cv::getOptimalDFTSize(standard);
  if (region > standard) return {standard, std::min(c, region)};
  // A region that fits one tile of its class is one transform: cheaper than a standard tile and
  // exact to this template, which then shares it only with templates of its own size.
  const int whole = std::max(cv::getOptimalDFTSize(region), minimum);
  if (whole <= standard) return {whole, templ};
  return {standard, std::min(c, region)};
}

}  // namespace

TileGeometry GeometryFor(cv::Size region, cv::Size templ) {
  const auto [dw, rw] = Dimension(region.width, templ.width, 2);
  const auto [dh, rh] = Dimension(region.height, templ.height, 1);
  return {cv::Size(dw, dh), cv::Size(rw, rh)};
}

TileGrid GridFor(const TileGeometry& geometry, cv::Size region, cv::Size templ) {
  TileGrid grid;
  grid.corr = {region.width - templ.width + 1, region.height - templ.height + 1};
  grid.templ = templ;
  grid.block = geometry.Block();
  CV_Assert(grid.block.width > 0 && grid.block.height > 0 && grid.corr.width > 0 &&
            grid.corr.height > 0 && templ.width <= geometry.reach.width &&
            templ.height <= geometry.reach.height);
  // Rounded up without adding first: a map of nearly 2^31 positions must not overflow.
  grid.tilesX = (grid.corr.width - 1) / grid.block.width + 1;
  grid.tilesY = (grid.corr.height - 1) / grid.block.height + 1;
  return grid;
}

Tile TileAt(const TileGrid& g, int index) {
  const int x = (index % g.tilesX) * g.block.width;
  const int y = (index / g.tilesX) * g.block.height;
  const cv::Size out(std::min(g.block.width, g.corr.width - x),
                     std::min(g.block.height, g.corr.height - y));
  return {cv::Rect(x, y, out.width, out.height),
          cv::Rect(x, y, out.width + g.templ.width - 1, out.height + g.templ.height - 1)};
}

cv::Rect SharedWindow(const TileGeometry& geometry, cv::Size region, int tileX, int tileY) {
  const cv::Size block = geometry.Block();
  const int x = tileX * block.width;
  const int y = tileY * block.height;
  return {x, y, std::min(geometry.dft.width, region.width - x),
          std::min(geometry.dft.height, region.height - y)};
}

std::size_t SpectrumBytes(cv::Size dft) {
  return static_cast<std::size_t>(dft.height) * (static_cast<std::size_t>(dft.width) / 2 + 1) *
         16;
}

EngineNeed NeedFor(MatchKind kind, cv::Size region, cv::Size templ) {
  EngineNeed need;
  const auto area = [](cv::Size s) {
    return static_cast<std::size_t>(s.width) * static_cast<std::size_t>(s.height);
  };
  if (kind == MatchKind::kFallback) {
    // cv::matchTemplate's own buffers: a few planes of the region in floats and doubles.
    need.perThread = SaturatingMul(area(region), 32);
    return need;
  }
  const TileGeometry geometry = GeometryFor(region, templ);
  const TileGrid grid = GridFor(geometry, region, templ);
  const std::size_t spectrum = SpectrumBytes(geometry.dft);
  const bool masked = kind == MatchKind::kMaskedCorr;
  const std::size_t planes = masked ? 4 : 1;  // template spectra; and the region's per tile
  const cv::Size dft1(geometry.dft.width + 1, geometry.dft.height + 1);
  need.prepared = planes * spectrum;
  // The region's tile spectra, the product, a padded plane and two inverse planes (doubles), the
  // tile's integral images (two planes of 64-bit sums), the tile's scores (floats), and the grey
  // plane of the region the thread reads.
  need.perThread = SaturatingAdd(planes * spectrum + spectrum + 3 * 8 * area(geometry.dft) +
                                     16 * area(dft1) + 4 * area(grid.block),
                                 area(region));
  need.transforms = static_cast<std::uint64_t>(grid.Count()) * (planes + (masked ? 2 : 1));
  return need;
}

}  // namespace tavrik
