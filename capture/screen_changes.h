// Where the screen has been drawn on since the last look, so that the DetectionLoop reads only
// rectangles that may have changed.
//
// X11 (screen_changes_x11.cpp): a DAMAGE object on the root window, on a connection of its own,
// reporting every drawing operation as a rectangle. Each Take() first makes one round trip, so
// every drawing the server carried out before Take() returns is in the answer; what is drawn
// later comes with the next Take(). The server queues one event per drawing operation until it
// is read, so Take() is to be called often (the DetectionLoop does in every pass, due templates
// or not); it reads the events a socket read at a time, never holding many at once. Whenever
// the answer cannot be vouched for (the first Take() after the tracking started or restarted, a
// connection that broke or stopped answering, an X error, a root window that changed size, a
// server without the extension), Take() answers "unknown", and the caller must treat the whole
// screen as changed.
// Windows (screen_changes_win.cpp): always "unknown"; the caller compares pixels instead.
//
// Threads: one owner thread calls Take() (the DetectionLoop's). Independent of the per-thread
// sessions of capture and window lookup.
#pragma once

#include <memory>
#include <vector>

#include "base/geometry.h"

namespace tavrik {

class ScreenChanges {
 public:
  ScreenChanges();
  ~ScreenChanges();
  ScreenChanges(const ScreenChanges&) = delete;
  ScreenChanges& operator=(const ScreenChanges&) = delete;

  // At most this many rectangles per answer: beyond it they are merged into their bounding box,
  // which still covers every change.
  static constexpr std::size_t kMaxRectangles = 256;

  // True: `damaged` (cleared first) holds rectangles, in screen pixels, that together cover
  // everything drawn since the previous Take(). False: unknown, assume everything changed.
  // Connects (or reconnects) as needed; never throws.
  bool Take(std::vector<IntRect>& damaged) noexcept;

  // Stops tracking until the next Take(), which then starts afresh (and answers "unknown"): for
  // times when nothing is watched, so that neither side spends anything on it.
  void Pause() noexcept;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace tavrik
