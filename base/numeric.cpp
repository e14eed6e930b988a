#include "base/numeric.h"

#include <charconv>
#include <cmath>

namespace tavrik {

std::int32_t SaturateInt32(std::int64_t v) {
  if (v < kInt32Min) return static_cast<std::int32_t>(kInt32Min);
  if (v > kInt32Max) return static_cast<std::int32_t>(kInt32Max);
  return static_cast<std::int32_t>(v);
}

std::int32_t NearestInt32(double v) {
  if (std::isnan(v)) return 0;
  const double r = std::round(v);  // halves away from zero
  if (r <= static_cast<double>(kInt32Min)) return static_cast<std::int32_t>(kInt32Min);
  if (r >= static_cast<double>(kInt32Max)) return static_cast<std::int32_t>(kInt32Max);
  return static_cast<std::int32_t>(r);
}

void AppendInt(std::string& out, std::int64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void AppendUnsigned(std::string& out, std::uint64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void AppendDouble(std::string& out, double value) {
  // to_chars with general format and precision 6 is printf's "%g" in the C locale, which is what
  // an untouched std::ostream writes for a double.
  char buffer[32];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 6);
  out.append(buffer, result.ptr);
}

void AppendPoint(std::string& out, const IntPoint& p) {
  out += '(';
  AppendInt(out, p.x);
  out += ',';
  AppendInt(out, p.y);
  out += ')';
}

void AppendRect(std::string& out, const IntRect& r) {
  out += '(';
  AppendInt(out, r.x);
  out += ',';
  AppendInt(out, r.y);
  out += ',';
  AppendInt(out, r.width);
  out += 'x';
  AppendInt(out, r.height);
  out += ')';
}

std::string FormatDouble(double value) {
  std::string text;
  AppendDouble(text, value);
  return text;
}

std::string FormatPoint(const IntPoint& p) {
  std::string text;
  AppendPoint(text, p);
  return text;
}

std::string FormatRect(const IntRect& r) {
  std::string text;
  AppendRect(text, r);
  return text;
}

}  // namespace tavrik
