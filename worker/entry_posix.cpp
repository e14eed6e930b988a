// POSIX entry point of tavrik-worker.
#include "worker/worker.h"

// The worker takes no options; its command line is ignored.
int main() { return tavrik::RunWorker(); }
