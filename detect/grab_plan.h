// Which screen reads a pass makes: the rectangles of one window that are due are read with one
// grab of their bounding box when that box is compact enough, otherwise one grab each.
//
// Compact means: the box holds at most kMaxGrabWaste times the pixels the rectangles cover
// together, counting a pixel covered by several overlapping rectangles once (their union). The
// union, not the sum of areas, because the sum counts overlap again and again: twenty templates
// on one rectangle would "cover" twenty times its area and let a box nineteen times too large
// pass as compact. With the union the rule bounds what it promises: a grouped grab reads at most
// one unwatched pixel per watched one.
//
// Pure functions, safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/geometry.h"

namespace tavrik {

// A box may hold at most this many times the pixels its rectangles cover.
inline constexpr std::int64_t kMaxGrabWaste = 2;

// No grouped grab is larger than this (BGRA: 64 MiB); beyond it the rectangles are read alone.
inline constexpr std::int64_t kMaxGroupedGrabPixels = std::int64_t{1} << 24;

struct Grab {
  IntRect box;                       // the screen rectangle read
  std::vector<std::size_t> members;  // indices into the rectangles given, ascending
};

// The pixels covered by the union of `rects` (rectangles with a side below 1 cover nothing).
std::int64_t UnionArea(std::span<const IntRect> rects);

// The smallest rectangle holding every one of `rects` (non-empty span; 64-bit arithmetic, the
// result is saturated to int32).
IntRect BoundingBox(std::span<const IntRect> rects);

// The grabs for the rectangles of one window. Every index appears in exactly one grab; grabs come
// in the order of their first member. Equal rectangles are expected to have been merged by the
// caller, but are handled (they share a grab).
void PlanWindowGrabs(std::span<const IntRect> rects, std::vector<Grab>& grabs);

}  // namespace tavrik
