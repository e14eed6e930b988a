// Process-level preparation that differs per platform: DPI awareness and the console. Called once by start-up on the main thread before any other thread exists.
#pragma once

namespace tavrik {

// Per-monitor DPI awareness where the system offers it, so that window positions and captures are
// in physical pixels. Nothing to do on X11.
void DeclareDpiAwareness();

// Hides a console window the process may have been given. Nothing to do on X11.
void HideConsoleWindow();

}  // namespace tavrik
