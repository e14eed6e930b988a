// Kinds of templates and the display names derived from template names.
//
// The kind key is the part of a name before its first ':', lower-cased byte by byte (only 'A' to
// 'Z' change, so multi-byte UTF-8 sequences pass untouched). The keys "t1", "t2" and "t3" switch
// on special handling; every other key is the general kind. The key is parsed into a
// TemplateKindId once, when a template is added, and everything downstream switches on that.
//
// Pure; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavrik {

struct TemplateInfo;

enum class TemplateKindId : std::uint8_t {
  kGeneral,  // any key other than the three below
  kT1,       // grey match; strongest colour weights; saturation adjustment
  kT2,       // colour match under an edge mask; threshold fixed at 0.97
  kT3,       // squared difference; threshold clamped to 0..1; white-patch test
};

// The kind key of a template name: "T2:left" gives "t2", ":x" gives "".
std::string TemplateKind(std::string_view name);

// The kind a key selects.
TemplateKindId ParseTemplateKind(std::string_view kindKey);

// True for t1, t2 and t3.
inline bool IsKnownKind(TemplateKindId kind) { return kind != TemplateKindId::kGeneral; }

// The name the peer sees in a HitSlot: everything before the first ':', case kept.
std::string DisplayName(std::string_view name);
// The same as a view into `name` (for callers that reuse a string's storage).
std::string_view DisplayNameView(std::string_view name);

// Sets kindKey, kind, knownKind and isT3 of `info` from its name.
void AssignKind(TemplateInfo& info);

}  // namespace tavrik
