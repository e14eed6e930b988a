// add's local view of its template: where the worker will look for it, and add --check.
#include <filesystem>
#include <opencv2/core.hpp>
#include <string>
#include <system_error>

#include "base/executable_path.h"
#include "base/numeric.h"
#include "base/utf.h"
#include "commands/template_loader.h"
#include "commands/template_path.h"
#include "detect/template_prepare.h"
#include "registry/template_info.h"
#include "tools/ctl/ctl_args.h"
#include "tools/ctl/probe.h"

namespace tavrik::ctl {
namespace {

std::filesystem::path FromUtf16(const std::u16string& text) {
  const std::string utf8 = ToUtf8(text);
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Shown(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace

std::vector<std::string> TemplatePathWarnings(const SpecCommand& add) {
  const std::filesystem::path given = FromUtf16(add.path);
  if (given.empty() || given.is_absolute()) return {};
  std::error_code ec;
  const std::filesystem::path here = std::filesystem::absolute(given, ec);
  if (ec || !std::filesystem::exists(here, ec)) return {};
  const std::filesystem::path workerDirectory = ExecutableDirectory();
  const std::filesystem::path resolved = ResolveTemplatePath(add.path, workerDirectory);
  if (std::filesystem::equivalent(here, resolved, ec) && !ec) return {};
  return {"--path " + Shown(given) +
          " is relative: it exists in the current directory, but the worker resolves relative "
          "paths from its own directory (" +
          Shown(workerDirectory) + ") upward, then in the data directories, and will try " +
          Shown(resolved) + ". Give an absolute path (" + Shown(here) + ") to use this file."};
}

int CheckTemplate(const SpecCommand& add, std::ostream& out, std::ostream& err) {
  TemplateInfo info;
  info.name = ToUtf8(add.name);
  info.path = ResolveTemplatePath(add.path, ExecutableDirectory());
  const DecoderPath narrow = NarrowPathForDecoder(info.path);
  info.image = narrow.exact ? LoadTemplateImage(info.path) : cv::Mat();
  if (info.image.empty()) {
    err << "tavrik-ctl: add --check: the worker could not load " << Shown(info.path)
        << " (missing, not a regular file, too large, or not an image format it reads)\n";
    return kExitFailure;
  }
  if (!PrepareTemplate(info, add.threshold)) {
    err << "tavrik-ctl: add --check: " << Shown(info.path) << " is too large to prepare\n";
    return kExitFailure;
  }
  out << "template=" << Shown(info.path) << '\n'
      << "size=" << info.image.cols << "x" << info.image.rows << '\n'
      << "kind=" << (info.kindKey.empty() ? "(none)" : info.kindKey)
      << (info.knownKind ? "" : " (general)") << '\n'
      << "threshold=" << FormatDouble(info.threshold);
  if (static_cast<double>(add.threshold) != info.threshold) {
    out << " (asked " << FormatDouble(add.threshold) << ")";
  }
  out << '\n';
  if (info.edgeMask.empty()) {
    out << "mask=none (the whole template is compared)\n";
  } else {
    const int on = cv::countNonZero(info.edgeMask);
    out << "mask=" << on << " of " << info.edgeMask.total() << " pixels ("
        << FormatDouble(100.0 * on / static_cast<double>(info.edgeMask.total())) << "%)\n";
  }
  out << "hue=" << FormatDouble(info.hueSat.hue) << " sat=" << FormatDouble(info.hueSat.sat) << '\n'
      << "lab=" << FormatDouble(info.lab.l) << "," << FormatDouble(info.lab.a) << ","
      << FormatDouble(info.lab.b) << '\n';
  return kExitOk;
}

}  // namespace tavrik::ctl
