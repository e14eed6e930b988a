// POSIX backend of process_env.h: DPI awareness and the console do not apply.
#include "worker/process_env.h"

namespace tavrik {

void DeclareDpiAwareness() {}

void HideConsoleWindow() {}

}  // namespace tavrik
