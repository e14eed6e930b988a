// Where the running program lives. The worker anchors relative template paths there, and
// tavrik-ctl, installed beside the worker, uses it to show where the worker will look.
// Safe from any thread.
#pragma once

#include <filesystem>

namespace tavrik {

// The directory holding the running executable (its last component and the separators before it
// dropped; a root keeps its separator). Empty when the system cannot tell.
std::filesystem::path ExecutableDirectory();

}  // namespace tavrik
