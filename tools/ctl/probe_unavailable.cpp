// The IPC-only build has no OpenCV, hence no detection code to run a probe or add --check with.
#include "tools/ctl/probe.h"

namespace tavrik::ctl {

int RunProbe(const std::vector<std::string>& /*args*/, std::ostream& /*out*/, std::ostream& err) {
  err << "tavrik-ctl: probe is not available in this build (it was built without OpenCV)\n";
  return 1;
}

std::vector<std::string> TemplatePathWarnings(const SpecCommand& /*add*/) { return {}; }

int CheckTemplate(const SpecCommand& /*add*/, std::ostream& /*out*/, std::ostream& err) {
  err << "tavrik-ctl: add --check is not available in this build (it was built without OpenCV)\n";
  return 1;
}

}  // namespace tavrik::ctl
