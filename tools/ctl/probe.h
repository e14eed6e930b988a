// tavrik-ctl probe: one evaluation of one template, run in-process with the worker's own
// preparation, scoring, colour and decision code, so that a user can see why a template hits or
// misses and tune its threshold or image without guessing.
//
// The region comes from a screenshot file (optionally cut by --roi) or from a live capture of the
// target window found by process image name, placed at the window's client origin plus --roi,
// exactly as the worker captures it. The breakdown is printed as key=value lines, followed by the
// "[HIT] " / "[MISS] " line the worker would log for the same evaluation. --out writes the region
// with the best-match rectangle drawn on it.
//
// Two builds provide RunProbe: probe.cpp (with OpenCV and the detection libraries) and
// probe_unavailable.cpp (the IPC-only build, which has no OpenCV and refuses with exit code 1).
//
// Threads: the caller's thread only. A live capture raises the target window, as adding a
// template does.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "base/geometry.h"

namespace tavrik::ctl {

// The options of `tavrik-ctl probe`, as parsed.
struct ProbeOptions {
  bool help = false;
  std::string name;
  std::string templateFile;
  float threshold = 0.0f;  // as an add command carries it; 0 takes the default
  std::optional<float> thresholdGiven;
  std::string imageFile;
  std::string processName;
  std::optional<IntRect> roi;
  std::string outFile;
  bool exitCodeOnMiss = false;
};

// Parses the arguments after "probe"; false with a one-line `error` (no program name) when they
// are not usable. Pure apart from asking OpenCV which image extensions it can write.
bool ParseProbeArgs(const std::vector<std::string>& args, ProbeOptions& options,
                    std::string& error);

// Exit code of `probe --exit-code` when the evaluation decided a miss.
inline constexpr int kExitProbeMiss = 4;

// Runs `tavrik-ctl probe ARGS...` (the arguments after "probe"); returns the exit code: 0 when an
// evaluation was decided (hit or miss, unless --exit-code), 1 for a failed capture, evaluation
// or --out file, 2 for a usage error or an unreadable template or screenshot, 3 when the target
// window is not found.
int RunProbe(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace tavrik::ctl
