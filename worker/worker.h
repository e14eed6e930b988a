// The worker process: start-up in its fixed order, then the CommandThread and the DetectionLoop
// for the rest of the process's life, or until it is asked to stop.
//
// Called once, on the main thread, by the platform entry point. Returns when start-up fails
// (kExitStartFailure, kExitAnotherWorker), or with 0 once a stop request (POSIX: SIGTERM or
// SIGINT, or the end of the parent named by TAVRIK_PARENT_PID) has been carried out; otherwise
// the process runs until it is terminated from outside. A fatal start-up line goes to the log and
// also to the standard error, unless the log already writes there, so that someone who started
// the worker by hand sees why it ended.
#pragma once

namespace tavrik {

// the namespace or TAVRIK_PARENT_PID is wrong, or the command ring or the worker lock is unusable
inline constexpr int kExitStartFailure = 1;
inline constexpr int kExitAnotherWorker = 3;  // a worker already runs on these rings

int RunWorker();

}  // namespace tavrik
