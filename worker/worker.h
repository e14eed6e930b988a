// The worker process: start-up in its fixed order, then the CommandThread and the DetectionLoop
// for the rest of the process's life.
//
// Called once, on the main thread, by the platform entry point. Returns only when start-up fails
// (exit code 1); otherwise the process runs until it is terminated from outside.
#pragma once

namespace tavrik {

int RunWorker();

}  // namespace tavrik
