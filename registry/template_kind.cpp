#include "registry/template_kind.h"

#include "registry/template_info.h"

namespace tavrik {
namespace {

std::string_view NamePrefix(std::string_view name) {
  const auto colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(0, colon);
}

}  // namespace

std::string TemplateKind(std::string_view name) {
  std::string kind(NamePrefix(name));
  for (char& c : kind) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return kind;
}

TemplateKindId ParseTemplateKind(std::string_view kindKey) {
  if (kindKey == "t1") return TemplateKindId::kT1;
  if (kindKey == "t2") return TemplateKindId::kT2;
  if (kindKey == "t3") return TemplateKindId::kT3;
  return TemplateKindId::kGeneral;
}

std::string DisplayName(std::string_view name) { return std::string(NamePrefix(name)); }

std::string_view DisplayNameView(std::string_view name) { return NamePrefix(name); }

void AssignKind(TemplateInfo& info) {
  info.kindKey = TemplateKind(info.name);
  info.kind = ParseTemplateKind(info.kindKey);
  info.knownKind = IsKnownKind(info.kind);
  info.isT3 = info.kind == TemplateKindId::kT3;
}

}  // namespace tavrik
