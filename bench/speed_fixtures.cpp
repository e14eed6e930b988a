#include "bench/speed_fixtures.h"

#include <algorithm>
#include <chrono>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "detect/template_prepare.h"

namespace tavrik::bench {

bool TransformAvailable(TransformKind kind) {
  switch (kind) {
    case TransformKind::kOpenCv:
      return true;
    case TransformKind::kFftw:
      return FftwAvailable();
    case TransformKind::kPocketFft:
      return PocketFftAvailable();
  }
  return false;
}

double PairedTiming::WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

cv::Mat NoiseBgra(int rows, int cols, std::uint64_t seed) {
  cv::Mat bgr(rows, cols, CV_8UC3);
  cv::RNG(seed).fill(bgr, cv::RNG::UNIFORM, 0, 256);
  cv::GaussianBlur(bgr, bgr, cv::Size(5, 5), 1.5);
  cv::Mat bgra;
  cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
  return bgra;
}

Frames::Frames(int rows, int cols, int count) {
  for (int i = 0; i < count; ++i) frames.push_back(NoiseBgra(rows, cols, 100 + i));
}

std::shared_ptr<TemplateInfo> GreyTemplate(const std::string& name, const cv::Mat& bgra, int x,
                                           int y) {
  auto info = std::make_shared<TemplateInfo>();
  info->name = name;
  cv::cvtColor(bgra(cv::Rect(x, y, kTemplate, kTemplate)), info->image, cv::COLOR_BGRA2BGR);
  PrepareTemplate(*info, 0.9f);
  return info;
}

std::shared_ptr<TemplateInfo> MaskedTemplate(const std::vector<cv::Mat>& bgr) {
  auto info = std::make_shared<TemplateInfo>();
  info->name = "t2:bench";
  info->image = bgr[0](cv::Rect(40, 50, kTemplate, kTemplate)).clone();
  PrepareTemplate(*info, 0.97f);
  info->rawRoi = info->roi = {0, 0, kRegion, kRegion};
  return info;
}

CaptureFunction FrameSource(const std::vector<cv::Mat>& frames, const std::size_t& index) {
  return [&frames, &index](std::int32_t, std::int32_t, std::int32_t, std::int32_t, cv::Mat& image) {
    frames[index % frames.size()].copyTo(image);
    return true;
  };
}

GridTemplates::GridTemplates(int width, int height, int count, bool masked) {
  screen = NoiseBgra(height, width, 7);
  screen2 = NoiseBgra(height, width, 8);
  // The same grid on every screen of 1280 x 1024 and up, so that figures stay comparable.
  const int stepX = std::min(100, (width - kRegion) / 9);
  const int stepY = std::min(76, (height - kRegion) / 9);
  for (int i = 0; i < std::min(count, 100); ++i) {
    const int x = (i % 10) * stepX;
    const int y = (i / 10) * stepY;
    const std::string name = (masked ? "t2:general" : "general") + std::to_string(i);
    auto info = std::make_shared<TemplateInfo>();
    info->name = name;
    cv::cvtColor(screen(cv::Rect(x + 60, y + 70, kTemplate, kTemplate)), info->image,
                 cv::COLOR_BGRA2BGR);
    PrepareTemplate(*info, masked ? 0.97f : 0.9f);
    info->rawRoi = info->roi = {x, y, kRegion, kRegion};
    registry.ReplaceOrInsert(info->name, info);
    infos.push_back(info);
  }
}

CaptureFunction MemoryScreen(const cv::Mat* const& screen) {
  return [&screen](std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                   cv::Mat& image) {
    const cv::Rect rect(x, y, width, height);
    if ((rect & cv::Rect(0, 0, screen->cols, screen->rows)) != rect) return false;
    (*screen)(rect).copyTo(image);
    return true;
  };
}

void BareMatch::Run(const cv::Mat& bgra, const TemplateInfo& info) {
  if (info.edgeMask.empty()) {
    cv::cvtColor(bgra, converted, cv::COLOR_BGRA2GRAY);
    cv::matchTemplate(converted, info.gray, map, cv::TM_CCOEFF_NORMED);
  } else {
    cv::cvtColor(bgra, converted, cv::COLOR_BGRA2BGR);
    cv::matchTemplate(converted, info.image, map, cv::TM_CCORR_NORMED, info.edgeMask);
  }
  BareBest(map);
}

// A volatile store: the optimiser may not drop the search whose result it is.
volatile double g_bestSink = 0;

void BareBest(const cv::Mat& map) {
  double maxValue = 0;
  cv::minMaxLoc(map, nullptr, &maxValue);
  g_bestSink = maxValue;
}

}  // namespace tavrik::bench
