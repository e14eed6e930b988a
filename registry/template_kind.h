// Kind keys and display names of template names. Pure; safe from any thread.
//
// The kind key is the part of the name before the first ':', lower-cased byte by byte (only 'A' to
// 'Z' change, so multi-byte UTF-8 sequences pass untouched). "t1", "t2" and "t3" switch on special
// handling; every other key is the general kind.
#pragma once

#include <string>
#include <string_view>

namespace tavrik {

inline std::string_view NamePrefix(std::string_view name) {
  const auto colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(0, colon);
}

inline std::string TemplateKind(std::string_view name) {
  std::string kind(NamePrefix(name));
  for (char& c : kind) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return kind;
}

// The name the peer sees in a HitSlot: everything before the first ':', case kept.
inline std::string DisplayName(std::string_view name) { return std::string(NamePrefix(name)); }

inline bool IsKnownKind(std::string_view kind) {
  return kind == "t1" || kind == "t2" || kind == "t3";
}

}  // namespace tavrik
