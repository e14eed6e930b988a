// Starts tavrik-pattern.exe (pattern_window_win.cpp) for a Windows test and waits for its "ready"
// line. Used from a test's main thread only.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <opencv2/core.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/capture/pattern_scene.h"
#include "tests/support/child_process.h"
#include "tests/support/test_support.h"

namespace tavrik::test {

struct PatternTarget {
  ChildProcess process;
  HWND window = nullptr;
  int clientX = 0;  // client corner in screen pixels, as the target itself read it
  int clientY = 0;
  bool Ready() const { return window != nullptr; }
};

// The image name the target runs under, normalised.
inline constexpr char16_t kPatternImageName[] = u"tavrik-pattern";

inline PatternTarget StartPatternTarget(const std::vector<std::string>& args) {
  static std::atomic<int> counter{0};
  const std::filesystem::path out = std::filesystem::temp_directory_path() /
                                    ("tavrik-pattern-" + std::to_string(GetCurrentProcessId()) +
                                     "-" + std::to_string(counter++) + ".out");
  std::error_code ec;
  std::filesystem::remove(out, ec);
  PatternTarget target;
  target.process = ChildProcess::Start(BuiltExecutable("tavrik-pattern"), args, out);
  if (!target.process.Started()) return target;
  std::string line;
  WaitUntil(
      [&] {
        const std::string text = ReadFile(out.string());
        const auto at = text.find("ready ");
        if (at == std::string::npos || text.find('\n', at) == std::string::npos) return false;
        line = text.substr(at, text.find('\n', at) - at);
        return true;
      },
      std::chrono::seconds(30));
  std::istringstream in(line);
  std::string word;
  unsigned long long handle = 0;
  if (in >> word >> handle >> target.clientX >> target.clientY) {
    target.window = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(handle));
  }
  std::filesystem::remove(out, ec);
  return target;
}

// The scene as an 8-bit BGR image of the given size.
inline cv::Mat SceneImage(int variant, int width, int height) {
  cv::Mat image(height, width, CV_8UC3);
  for (int row = 0; row < height; ++row) {
    for (int col = 0; col < width; ++col) {
      const PatternBgr p = ScenePixel(variant, col, row);
      image.at<cv::Vec3b>(row, col) = cv::Vec3b(p.b, p.g, p.r);
    }
  }
  return image;
}

}  // namespace tavrik::test
