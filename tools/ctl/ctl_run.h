// The verbs of tavrik-ctl: each opens the rings of a running worker (never creates them), and
// publishes through the command ring's producer or reads the hit ring (ipc/).
//
// Threads: everything runs on the caller's thread; RunCtl may block up to the request's timeout.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace tavrik::ctl {

// Runs one invocation (the arguments after the program name); returns the exit code.
int RunCtl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace tavrik::ctl
