// tavrik-ctl's argument parser: the input is the argument list, split at zero bytes. A request
// it accepts must survive the trip through a command slot unchanged.
#include <cmath>

#include "fuzz/fuzz_check.h"
#include "ipc/command_codec.h"
#include "tools/ctl/ctl_args.h"

namespace {

bool SameFloat(float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavrik;
  const ctl::ParseResult parsed = ctl::ParseCtlArgs(fuzz::SplitAtZero(data, size));
  if (!parsed.ok) {
    fuzz::Check(!parsed.error.empty(), "a refusal says why");
    fuzz::Check(parsed.error.find('\n') == std::string::npos, "a refusal is one line");
    return 0;
  }
  const SpecCommand& sent = parsed.request.command;
  const SpecCommand back = DecodeCommandSlot(EncodeCommandSlot(sent));
  fuzz::Check(back.commandType == sent.commandType, "command type arrives");
  fuzz::Check(
      back.name == sent.name && back.path == sent.path && back.processName == sent.processName,
      "accepted texts arrive whole");
  fuzz::Check(back.roiX == sent.roiX && back.roiY == sent.roiY && back.roiWidth == sent.roiWidth &&
                  back.roiHeight == sent.roiHeight && back.cooldownMs == sent.cooldownMs,
              "integers arrive");
  fuzz::Check(SameFloat(back.threshold, sent.threshold) &&
                  SameFloat(back.baselineMargin, sent.baselineMargin) &&
                  SameFloat(back.spare, sent.spare),
              "floats arrive");
  if (parsed.request.verb == ctl::Verb::kAdd) {
    fuzz::Check(!sent.name.empty() && !sent.path.empty(), "an add carries a name and a path");
    fuzz::Check(std::isfinite(sent.threshold), "an add carries a finite threshold");
  }
  return 0;
}
