// Both template path grammars with a fake existence test, and the Windows device-path test.
// Input: the command's path and the executable directory, separated by a zero byte; the first
// byte chooses which candidates "exist".
#include <algorithm>

#include "base/utf.h"
#include "commands/template_path.h"
#include "fuzz/fuzz_check.h"

namespace tavrik::fuzz {
namespace {

void Windows(std::uint8_t existing, const std::string& path8, const std::string& exe8) {
  const std::u16string path = Utf8ToUtf16(path8);
  const std::u16string exe = Utf8ToUtf16(exe8);
  int queries = 0;
  const std::u16string result = ResolveWindowsTemplatePath(
      path, exe, [&](const std::u16string&) { return ((existing >> (queries++ % 8)) & 1) != 0; });
  // One query per directory from the executable's up to its root, and one more for the root.
  const auto separators =
      std::count(exe.begin(), exe.end(), u'\\') + std::count(exe.begin(), exe.end(), u'/');
  Check(queries <= separators + 2, "one existence query per directory level at most");
  if (path.empty()) Check(result.empty(), "empty path resolves to nothing");
  // Refusing devices must never depend on how the path was spelt: both slashes are separators.
  std::u16string slashes = result;
  std::replace(slashes.begin(), slashes.end(), u'\\', u'/');
  Check(IsWindowsDevicePath(slashes) == IsWindowsDevicePath(result),
        "device test reads '/' and '\\' alike", ToUtf8(result));
  if (!path.empty() && queries > 0) {
    Check(result.find(u'/') == std::u16string::npos, "a relative result uses '\\' only");
  }
  if (queries == 0 && !path.empty()) Check(result == path, "absolute path is kept unchanged");
}

void Posix(std::uint8_t existing, const std::string& path, const std::string& exe) {
  int queries = 0;
  const std::string result = ResolvePosixTemplatePath(
      path, exe, [&](const std::string&) { return ((existing >> (queries++ % 8)) & 1) != 0; });
  const auto levels = std::count(exe.begin(), exe.end(), '/');
  Check(queries <= levels + 2, "one existence query per directory level at most");
  if (path.empty()) Check(result.empty(), "empty path resolves to nothing");
  if (!path.empty() && path[0] == '/') Check(result == path, "absolute path is kept unchanged");
  if (!path.empty() && path[0] != '/' && queries > 0) {
    Check(result.find("//") == std::string::npos, "a relative result is normalised");
  }
}

}  // namespace
}  // namespace tavrik::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto parts = tavrik::fuzz::SplitAtZero(data + 1, size - 1);
  const std::string& path = parts[0];
  const std::string exe = parts.size() > 1 ? parts[1] : std::string();
  tavrik::fuzz::Windows(data[0], path, exe);
  tavrik::fuzz::Posix(data[0], path, exe);
  return 0;
}
