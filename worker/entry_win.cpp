// Win32 entry point of tavrik-worker: a GUI-subsystem WinMain, so no console is created.
#include <windows.h>

#include "worker/worker.h"

// A GUI-subsystem entry: no console window is created for the worker. The command line is ignored.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return tavrik::RunWorker(); }
