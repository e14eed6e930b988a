#include "tools/ctl/probe_pictures.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "base/numeric.h"
#include "detect/match_score.h"

namespace tavrik::ctl {
namespace {

constexpr int kMargin = 12;
constexpr int kCaptionLine = 20;
constexpr int kMinCanvasWidth = 440;
// Small maps are magnified so that their longer side reaches at least this many pixels.
constexpr double kHeatmapSide = 360.0;
const cv::Scalar kBackground(40, 40, 40);
const cv::Scalar kRoiColour(0, 215, 255);  // amber
const cv::Scalar kHitColour(0, 220, 0);
const cv::Scalar kMissColour(0, 0, 235);
const cv::Scalar kOutline(0, 0, 0);
const cv::Scalar kText(235, 235, 235);

constexpr int kFont = cv::FONT_HERSHEY_SIMPLEX;
constexpr double kFontScale = 0.45;

void Caption(cv::Mat& canvas, int top, const std::vector<std::string>& lines) {
  int y = top + 15;
  for (const std::string& line : lines) {
    cv::putText(canvas, line, {kMargin, y}, kFont, kFontScale, kText, 1, cv::LINE_AA);
    y += kCaptionLine;
  }
}

// A canvas for `content` (placed at the margin) with the caption band below, wide enough for both.
cv::Mat Canvas(const cv::Mat& content, const std::vector<std::string>& caption) {
  int width = std::max(content.cols + 2 * kMargin, kMinCanvasWidth);
  for (const std::string& line : caption) {
    int baseline = 0;
    width =
        std::max(width, cv::getTextSize(line, kFont, kFontScale, 1, &baseline).width + 2 * kMargin);
  }
  const int captionTop = content.rows + 2 * kMargin;
  cv::Mat canvas(captionTop + static_cast<int>(caption.size()) * kCaptionLine + 8, width, CV_8UC3,
                 kBackground);
  content.copyTo(canvas(cv::Rect(kMargin, kMargin, content.cols, content.rows)));
  Caption(canvas, captionTop, caption);
  return canvas;
}

cv::Mat AsBgr(const cv::Mat& image) {
  cv::Mat bgr;
  if (image.channels() == 4) {
    cv::cvtColor(image, bgr, cv::COLOR_BGRA2BGR);
  } else if (image.channels() == 1) {
    cv::cvtColor(image, bgr, cv::COLOR_GRAY2BGR);
  } else {
    bgr = image.clone();
  }
  return bgr;
}

}  // namespace

cv::Mat DrawDecision(const Evaluation& e, const TemplateInfo& info) {
  const cv::Mat region = AsBgr(e.captured);
  const std::vector<std::string> caption = {
      info.name + "   " + (e.hit ? "HIT" : "MISS") +
          (e.hit ? std::string() : "  reason=" + std::string(e.reason)),
      "score=" + FormatDouble(e.score) + "  threshold=" + FormatDouble(info.threshold) +
          "  raw=" + FormatDouble(e.raw) + "  baseline=" + FormatDouble(e.baseline),
      "match at " + FormatPoint(e.pos) + " in roi " + FormatRect(e.screenRoi),
  };
  cv::Mat canvas = Canvas(region, caption);
  // The ROI's edge, just outside the region.
  cv::rectangle(canvas, cv::Rect(kMargin - 2, kMargin - 2, region.cols + 4, region.rows + 4),
                kRoiColour, 1, cv::LINE_8);
  if (e.matchRect.width > 0 && e.matchRect.height > 0) {
    const cv::Rect box(kMargin + e.matchRect.x, kMargin + e.matchRect.y, e.matchRect.width,
                       e.matchRect.height);
    const cv::Rect outer(box.x - 3, box.y - 3, box.width + 6, box.height + 6);
    const cv::Rect inner(box.x - 1, box.y - 1, box.width + 2, box.height + 2);
    cv::rectangle(canvas, outer, kOutline, 1, cv::LINE_8);
    cv::rectangle(canvas, cv::Rect(box.x - 2, box.y - 2, box.width + 4, box.height + 4),
                  e.hit ? kHitColour : kMissColour, 2, cv::LINE_8);
    cv::rectangle(canvas, inner, kOutline, 1, cv::LINE_8);
  }
  return canvas;
}

cv::Mat ScoreMap(const cv::Mat& region, const TemplateInfo& info) {
  if (region.cols < info.image.cols || region.rows < info.image.rows) return cv::Mat();
  // The worker's own matcher, so that the picture and the printed score cannot disagree.
  RegionPixels pixels;
  pixels.Reset(region);
  MatchWorkspace& workspace = ThreadMatchWorkspace();
  cv::Mat map;
  TemplateMatchMap(pixels, info, DefaultTransformKind(), workspace, map);
  map = map.clone();
  const bool sqDiff = MatchMethod(info) == cv::TM_SQDIFF_NORMED;
  map.forEach<float>([sqDiff](float& v, const int*) {
    // The raw-score scale: larger is better; the fallback's non-finite values read as empty.
    if (!std::isfinite(v)) v = sqDiff ? 1.0f : 0.0f;
    if (sqDiff) v = std::clamp(1.0f - v, 0.0f, 1.0f);
  });
  return map;
}

namespace {

// Small maps are magnified so that single placements stay visible.
int HeatmapFactor(cv::Size scores) {
  return std::max(
      1, static_cast<int>(std::ceil(kHeatmapSide / std::max(scores.width, scores.height))));
}

}  // namespace

cv::Point HeatmapCentreOf(cv::Size scores, cv::Point placement) {
  const int factor = HeatmapFactor(scores);
  return {kMargin + placement.x * factor + factor / 2, kMargin + placement.y * factor + factor / 2};
}

cv::Mat DrawHeatmap(const cv::Mat& scores, double threshold) {
  double low = 0.0;
  double high = 0.0;
  cv::Point best;
  cv::minMaxLoc(scores, &low, &high, nullptr, &best);
  cv::Mat scaled;
  const double span = high > low ? high - low : 1.0;
  scores.convertTo(scaled, CV_8U, 255.0 / span, -low * 255.0 / span);
  cv::Mat colour;
  cv::applyColorMap(scaled, colour, cv::COLORMAP_JET);

  const int factor = HeatmapFactor(scores.size());
  cv::Mat big;
  cv::resize(colour, big, {}, factor, factor, cv::INTER_NEAREST);
  cv::Mat above = scores >= threshold;
  cv::Mat aboveBig;
  cv::resize(above, aboveBig, big.size(), 0, 0, cv::INTER_NEAREST);
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(aboveBig, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  cv::drawContours(big, contours, -1, cv::Scalar(255, 255, 255), 2, cv::LINE_8);
  const cv::Point centre = HeatmapCentreOf(scores.size(), best) - cv::Point(kMargin, kMargin);
  cv::drawMarker(big, centre, cv::Scalar(0, 0, 0), cv::MARKER_CROSS, 17, 4, cv::LINE_8);
  cv::drawMarker(big, centre, cv::Scalar(255, 255, 255), cv::MARKER_CROSS, 15, 2, cv::LINE_8);

  const std::vector<std::string> caption = {
      "score map " + std::to_string(scores.cols) + "x" + std::to_string(scores.rows) +
          " placements, x" + std::to_string(factor),
      "colour: blue " + FormatDouble(low) + " .. red " + FormatDouble(high),
      "white outline: raw score >= threshold " + FormatDouble(threshold),
      "cross: best " + FormatDouble(high) + " at " + FormatPoint({best.x, best.y}),
  };
  return Canvas(big, caption);
}

bool WriteImage(const cv::Mat& image, const std::string& fileUtf8, std::string& error) {
  const std::filesystem::path path(std::u8string(fileUtf8.begin(), fileUtf8.end()));
  std::vector<unsigned char> bytes;
  try {
    if (!cv::imencode(path.extension().string(), image, bytes)) {
      error = "cannot encode the picture as " + path.extension().string();
      return false;
    }
  } catch (const cv::Exception& ex) {
    error = "cannot encode the picture: " + ex.msg;
    return false;
  }
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  stream.close();
  if (!stream) {
    error = "cannot write '" + fileUtf8 + "'";
    return false;
  }
  return true;
}

}  // namespace tavrik::ctl
