// Number handling for the worker's records and diagnostic lines: saturating conversions to the
// int32 fields of the protocol, and the one text form of numbers, points and rectangles that every
// line uses.
//
// Text: integers in decimal; doubles (and floats, widened) as an untouched C++ stream writes them,
// printf's "%g" with 6 significant digits (0.9, -1, 1e-07, nan), independent of the locale;
// points as "(x,y)" and rectangles as "(x,y,wxh)". LineText strings these together so that a
// line reads like the stream expression it replaces. Every piece of text it is given passes
// through the line escape of base/line_escape.h, so no name, path or message can break a line in
// two or reorder it; ordinary text comes out unchanged.
//
// Pure functions; safe from any thread.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "base/geometry.h"
#include "base/line_escape.h"

namespace tavrik {

inline constexpr std::int64_t kInt32Min = std::numeric_limits<std::int32_t>::min();
inline constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();

inline bool FitsInt32(std::int64_t v) { return v >= kInt32Min && v <= kInt32Max; }

// Byte counts held at SIZE_MAX instead of wrapping: a need past the range is still more than any
// budget, never a small number.
inline constexpr std::size_t SaturatingAdd(std::size_t a, std::size_t b) {
  return a > SIZE_MAX - b ? SIZE_MAX : a + b;
}
inline constexpr std::size_t SaturatingMul(std::size_t a, std::size_t b) {
  return a != 0 && b > SIZE_MAX / a ? SIZE_MAX : a * b;
}

// v saturated to the int32 range.
std::int32_t SaturateInt32(std::int64_t v);
// v rounded to the nearest integer, halves away from zero, saturated to int32 (NaN gives 0).
std::int32_t NearestInt32(double v);

void AppendInt(std::string& out, std::int64_t value);
void AppendUnsigned(std::string& out, std::uint64_t value);
// "%g" with 6 significant digits.
void AppendDouble(std::string& out, double value);
// "(x,y)"
void AppendPoint(std::string& out, const IntPoint& p);
// "(x,y,wxh)"
void AppendRect(std::string& out, const IntRect& r);

std::string FormatDouble(double value);
std::string FormatPoint(const IntPoint& p);
std::string FormatRect(const IntRect& r);

// Composes one line from text, numbers, points and rectangles, each in the form above.
class LineText {
 public:
  LineText() { text_.reserve(128); }

  LineText& operator<<(std::string_view text) {
    AppendLineSafe(text_, text);
    return *this;
  }
  LineText& operator<<(const char* text) { return *this << std::string_view(text); }
  LineText& operator<<(const std::string& text) { return *this << std::string_view(text); }
  LineText& operator<<(char c) { return *this << std::string_view(&c, 1); }
  template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char>) LineText& operator<<(T value) {
    if constexpr (std::is_signed_v<T>) {
      AppendInt(text_, static_cast<std::int64_t>(value));
    } else {
      AppendUnsigned(text_, static_cast<std::uint64_t>(value));
    }
    return *this;
  }
  template <std::floating_point T>
  LineText& operator<<(T value) {
    AppendDouble(text_, static_cast<double>(value));
    return *this;
  }
  LineText& operator<<(const IntPoint& p) {
    AppendPoint(text_, p);
    return *this;
  }
  LineText& operator<<(const IntRect& r) {
    AppendRect(text_, r);
    return *this;
  }

  const std::string& str() const& { return text_; }
  std::string str() && { return std::move(text_); }

 private:
  std::string text_;
};

}  // namespace tavrik
