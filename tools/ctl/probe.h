// The parts of tavrik-ctl that run the worker's own image code in-process.
//
// probe: one evaluation of one template, with the worker's own preparation, scoring, colour and
// decision code, so that a user can see why a template hits or misses and tune its threshold or
// image without guessing.
//
// The region comes from a screenshot file (optionally cut by --roi) or from a live capture of the
// target window found by process image name, placed at the window's client origin plus --roi,
// exactly as the worker captures it. The breakdown is printed as key=value lines, followed by the
// "[HIT] " / "[MISS] " line the worker would log for the same evaluation (--json gives the same
// figures as one object). --out writes the region with the match, the ROI and a caption drawn on
// it; --heatmap writes the score map in colour with the threshold as a contour.
//
// add's local checks: where the worker will look for a relative template path, and add --check,
// which loads and prepares the template as the worker would and publishes nothing. A template
// whose file name declares the scale it was cut at is resized for the window's DPI as the worker
// resizes it, and both say so; the heat map is the scaled template's.
//
// Two builds provide these: probe.cpp, probe_pictures.cpp and template_check.cpp (with OpenCV and
// the detection libraries) and probe_unavailable.cpp (the IPC-only build, which has no OpenCV:
// probe and --check refuse with exit code 1, and there are no path warnings).
//
// Threads: the caller's thread only. A live capture raises the target window, as adding a
// template does.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "base/geometry.h"
#include "ipc/command_codec.h"

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
  std::string heatmapFile;
  bool json = false;
  bool exitCodeOnMiss = false;
  std::vector<std::string> warnings;  // accepted, but worth telling the user
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

// Warnings for add: a relative --path that exists in the current directory but that the worker,
// which resolves relative paths from its own directory (assumed to be tavrik-ctl's, as they are
// installed side by side) and the data directories, will look for elsewhere.
std::vector<std::string> TemplatePathWarnings(const SpecCommand& add);

// add --check: resolves, loads and prepares the template with the worker's code and prints its
// size, kind, stored threshold, mask coverage and colour means. 0 when the worker could register
// it, 1 when it could not load it. Publishes nothing.
int CheckTemplate(const SpecCommand& add, std::ostream& out, std::ostream& err);

}  // namespace tavrik::ctl
