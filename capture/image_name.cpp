#include "capture/image_name.h"

namespace tavrik {

std::u16string NormalizeImageName(std::u16string_view name) {
  std::u16string result(name);
  for (char16_t& unit : result) {
    if (unit >= u'A' && unit <= u'Z') unit = static_cast<char16_t>(unit - u'A' + u'a');
  }
  constexpr std::u16string_view kSuffix = u".exe";
  if (result.size() > kSuffix.size() &&
      std::u16string_view(result).substr(result.size() - kSuffix.size()) == kSuffix) {
    result.resize(result.size() - kSuffix.size());
  }
  return result;
}

std::u16string_view ImageFileName(std::u16string_view fullPath) {
  const std::size_t separator = fullPath.find_last_of(u"\\/");
  if (separator == std::u16string_view::npos) return fullPath;
  return fullPath.substr(separator + 1);
}

bool ImagePathMatches(std::u16string_view fullPath, std::u16string_view wantedName) {
  if (fullPath.size() > kMaxImagePathUnits) return false;
  return NormalizeImageName(ImageFileName(fullPath)) == wantedName;
}

}  // namespace tavrik
