// POSIX side of template path resolution: the POSIX grammar, stat() as the existence test, and
// UTF-8 bytes as the decoder's narrow form.
#include <sys/stat.h>

#include "base/utf.h"
#include "commands/template_path.h"

namespace tavrik {

std::filesystem::path ResolveTemplatePath(std::u16string_view path,
                                          const std::filesystem::path& exeDirectory) {
  const auto exists = [](const std::string& candidate) {
    struct stat st {};
    return ::stat(candidate.c_str(), &st) == 0;  // follows links; any failure means "not there"
  };
  return std::filesystem::path(
      ResolvePosixTemplatePath(ToUtf8(path), exeDirectory.native(), exists));
}

DecoderPath NarrowPathForDecoder(const std::filesystem::path& resolved) {
  return DecoderPath{resolved.native(), true};
}

}  // namespace tavrik
