// Process-level preparation that differs per platform: where the executable lives, DPI awareness
// and the console. Called once by start-up on the main thread before any other thread exists.
#pragma once

#include <filesystem>

namespace tavrik {

// The directory holding the running executable (its last component and the separators before it
// dropped; a root keeps its separator). Empty when the system cannot tell.
std::filesystem::path ExecutableDirectory();

// Per-monitor DPI awareness where the system offers it, so that window positions and captures are
// in physical pixels. Nothing to do on X11.
void DeclareDpiAwareness();

// Hides a console window the process may have been given. Nothing to do on X11.
void HideConsoleWindow();

}  // namespace tavrik
