// POSIX backend of template_path.h: the POSIX grammar with the XDG data directories, stat() as
// the existence test, and UTF-8 bytes as the decoder's narrow form.
#include <sys/stat.h>

#include <cstdlib>

#include "base/utf.h"
#include "commands/template_path.h"

namespace tavrik {

std::filesystem::path ResolveTemplatePath(std::u16string_view path,
                                          const std::filesystem::path& exeDirectory) {
  const auto exists = [](const std::string& candidate) {
    struct stat st {};
    return ::stat(candidate.c_str(), &st) == 0;  // follows links; any failure means "not there"
  };
  return std::filesystem::path(ResolvePosixTemplatePath(
      ToUtf8(path), exeDirectory.native(), exists,
      XdgTemplateDirectories(std::getenv("XDG_DATA_HOME"), std::getenv("HOME"),
                             std::getenv("XDG_DATA_DIRS"))));
}

DecoderPath NarrowPathForDecoder(const std::filesystem::path& resolved) {
  return DecoderPath{resolved.native(), true};
}

}  // namespace tavrik
