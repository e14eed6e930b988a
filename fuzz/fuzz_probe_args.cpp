// The probe's argument parser: the input is the argument list after "probe", split at zero
// bytes. What it accepts must be an evaluation the worker could run.
#include <opencv2/core/utils/logger.hpp>

#include "base/utf.h"
#include "fuzz/fuzz_check.h"
#include "ipc/command_codec.h"
#include "tools/ctl/probe.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavrik;
  ctl::ProbeOptions options;
  std::string error;
  if (!ctl::ParseProbeArgs(fuzz::SplitAtZero(data, size), options, error)) {
    fuzz::Check(!error.empty(), "a refusal says why");
    fuzz::Check(error.find('\n') == std::string::npos, "a refusal is one line");
    return 0;
  }
  if (options.help) return 0;
  const std::u16string name = Utf8ToUtf16(options.name);
  fuzz::Check(!name.empty() && name.size() <= kNameUnits, "the name fits an add command");
  fuzz::Check(ToUtf8(name) == options.name, "the name is well-formed UTF-8");
  fuzz::Check(!options.templateFile.empty(), "a template file is named");
  fuzz::Check(options.imageFile.empty() != options.processName.empty(),
              "exactly one source: a screenshot or a window");
  if (!options.processName.empty()) {
    fuzz::Check(options.roi.has_value(), "a live window needs a region");
  }
  if (options.roi) {
    fuzz::Check(options.roi->width >= 1 && options.roi->height >= 1, "regions are not empty");
  }
  return 0;
}
