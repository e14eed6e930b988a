// The tile geometry of the correlation engine, and what one template costs under it.
//
// A rectangle is correlated tile by tile: each tile is one transform of `dft` pixels holding a
// window of the region, and gives `Block()` map positions for every template up to `reach` in
// size. The geometry is chosen by the rectangle and the template's size class (half-octave steps
// from 32: 32, 48, 64, 96, ...), not by the exact template, so that every template of a class on
// one rectangle reads the same tiles: the region's forward transforms are made once per tile and
// shared. The transform size is bounded by the class (at least 256 pixels; 4 times the class up
// to 512, then twice), so the memory of a template grows with its tile, never with the region. A
// region that fits one tile of its class is correlated in one transform sized to the region and
// the exact template (the reach is then the template).
//
// Threads: pure; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <opencv2/core/types.hpp>

#include "base/numeric.h"
#include "match/match_template.h"

namespace tavrik {

struct TileGeometry {
  cv::Size dft;    // transform size
  cv::Size reach;  // the largest template the tiles serve

  // Map positions per tile (the last tiles of a row or column may give fewer).
  cv::Size Block() const { return {dft.width - reach.width + 1, dft.height - reach.height + 1}; }
  bool operator==(const TileGeometry& o) const { return dft == o.dft && reach == o.reach; }
  bool operator!=(const TileGeometry& o) const { return !(*this == o); }
};

// The geometry for templates of `templ` size on regions of `region` size (region >= templ).
TileGeometry GeometryFor(cv::Size region, cv::Size templ);

// The tiles of one template's map under a geometry: the map is (region - templ + 1) positions,
// tiles X x Y of Block() positions each.
struct TileGrid {
  cv::Size corr;
  cv::Size templ;
  cv::Size block;
  int tilesX = 0;
  int tilesY = 0;
  // 64-bit: a region admission is asked about may be far larger than any capture.
  std::int64_t Count() const { return std::int64_t{tilesX} * tilesY; }
};
TileGrid GridFor(const TileGeometry& geometry, cv::Size region, cv::Size templ);

// The map window of tile `index` (row-major) and the region window it reads.
struct Tile {
  cv::Rect out;
  cv::Rect in;
};
Tile TileAt(const TileGrid& grid, int index);

// The region window a shared tile transforms: every template of the geometry reads inside it.
cv::Rect SharedWindow(const TileGeometry& geometry, cv::Size region, int tileX, int tileY);

// Bytes of one spectrum of `dft` pixels in the engine's transforms (the largest layout of the
// three: interleaved complex half-spectra).
std::size_t SpectrumBytes(cv::Size dft);

// What one template adds, at worst, to the detection's memory and work on a region: its prepared
// spectra (kept between passes), the tile spectra of the region it reads and the scratch of one
// evaluating thread (both made again by every thread that evaluates it), and the transforms of one
// evaluation. Byte figures saturate at the largest size_t, so a region of any int32 size gives a
// need that is over every budget rather than one that wrapped.
struct EngineNeed {
  std::size_t prepared = 0;
  std::size_t perThread = 0;
  std::uint64_t transforms = 0;  // forward and inverse transforms of one evaluation, shared ones included
  std::size_t Bytes(int threads) const {
    return SaturatingAdd(
        prepared, SaturatingMul(perThread, static_cast<std::size_t>(threads < 1 ? 1 : threads)));
  }
};
EngineNeed NeedFor(MatchKind kind, cv::Size region, cv::Size templ);

}  // namespace tavrik
