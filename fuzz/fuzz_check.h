// Helpers shared by the fuzz harnesses: a property check that stops the run with a message, and
// the split of one input into several texts. Harness thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik::fuzz {

// A broken property is a finding like a crash: libFuzzer saves the input that broke it.
[[noreturn]] inline void Fail(const char* property, std::string_view detail = {}) {
  std::fprintf(stderr, "property broken: %s\n%.*s\n", property, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

inline void Check(bool holds, const char* property, std::string_view detail = {}) {
  if (!holds) Fail(property, detail);
}

// The input cut at every zero byte (command-line arguments cannot hold one).
inline std::vector<std::string> SplitAtZero(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> parts(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      parts.emplace_back();
    } else {
      parts.back().push_back(static_cast<char>(data[i]));
    }
  }
  return parts;
}

// Little-endian UTF-16 units from bytes (an odd last byte is dropped).
inline std::u16string Utf16Units(const std::uint8_t* data, std::size_t size) {
  std::u16string units;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  return units;
}

}  // namespace tavrik::fuzz
