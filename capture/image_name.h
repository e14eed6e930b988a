// Process image names: the normalisation shared by both backends and the test that decides
// whether a process's full image path names the wanted program. Pure; safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavrik {

// The longest full image path that can name a target: the Windows query reads into 260 units, one
// of them the terminating NUL. The X11 backend applies the same bound so both behave alike.
inline constexpr std::size_t kMaxImagePathUnits = 259;

// Lower-cases 'A' to 'Z' only, then drops one trailing ".exe" when the result is longer than 4
// units. Nothing else changes (no trimming, no directory removal).
std::u16string NormalizeImageName(std::u16string_view name);

// The file name of a full image path: everything after the last '\' or '/'.
std::u16string_view ImageFileName(std::u16string_view fullPath);

// True when `fullPath` fits kMaxImagePathUnits and its file name, normalised, equals
// `wantedName` unit for unit (two empty names are equal).
bool ImagePathMatches(std::u16string_view fullPath, std::u16string_view wantedName);

}  // namespace tavrik
