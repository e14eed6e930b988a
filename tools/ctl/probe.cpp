#include "tools/ctl/probe.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "base/line_escape.h"
#include "base/log_sink.h"
#include "base/numeric.h"
#include "base/utf.h"
#include "capture/image_name.h"
#include "capture/screen_capture.h"
#include "capture/target_window.h"
#include "commands/template_loader.h"
#include "detect/evaluate.h"
#include "detect/evaluation.h"
#include "detect/match_score.h"
#include "detect/report.h"
#include "detect/template_prepare.h"
#include "ipc/command_codec.h"
#include "ipc/ring_layout.h"
#include "registry/template_info.h"
#include "tools/ctl/ctl_args.h"
#include "tools/ctl/ctl_help.h"
#include "tools/ctl/hit_json.h"
#include "tools/ctl/options.h"
#include "tools/ctl/probe_pictures.h"
#include "tools/ctl/template_check.h"

namespace tavrik::ctl {
namespace {

OptionKind ProbeOptionKind(std::string_view option) {
  if (option == "--exit-code" || option == "--json") return OptionKind::kFlag;
  if (option == "--name" || option == "--template" || option == "--threshold" ||
      option == "--image" || option == "--roi" || option == "--process" || option == "--out" ||
      option == "--heatmap") {
    return OptionKind::kValue;
  }
  return OptionKind::kUnknown;
}

std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// A file-name option: not empty, valid UTF-8.
bool CheckFileText(const std::string& text, const char* option, std::string& error) {
  if (text.empty()) {
    error = std::string(option) + " must not be empty";
    return false;
  }
  std::u16string ignored;
  return ConvertFieldText(text, option, std::numeric_limits<std::size_t>::max(), ignored, error);
}

bool ParseProbeOptions(const std::vector<std::string>& args, ProbeOptions& o, std::string& error) {
  ParsedOptions options;
  if (const auto failure = ParseOptions(args, 0, ProbeOptionKind, options)) {
    error = *failure;
    if (failure->rfind("unknown option", 0) == 0) error += " (try: tavrik-ctl probe --help)";
    return false;
  }
  if (!options.positional.empty()) {
    error = "unexpected argument '" + options.positional[0] + "' (try: tavrik-ctl probe --help)";
    return false;
  }
  o.help = options.help;
  if (o.help) return true;

  for (const char* required : {"--name", "--template"}) {
    if (!options.Has(required)) {
      error = std::string(required) + " is required (try: tavrik-ctl probe --help)";
      return false;
    }
  }
  // The name must be one an add command could carry, so the evaluation is one the worker can run.
  std::u16string name16;
  if (!ConvertFieldText(*options.Get("--name"), "--name", kNameUnits, name16, error)) return false;
  if (name16.empty()) {
    error = "--name must not be empty";
    return false;
  }
  o.name = *options.Get("--name");

  o.templateFile = *options.Get("--template");
  if (!CheckFileText(o.templateFile, "--template", error)) return false;

  if (const std::string* text = options.Get("--threshold")) {
    float value = 0.0f;
    if (!ParseFiniteFloat(*text, value)) {
      error = "--threshold must be a finite number, not '" + *text + "'";
      return false;
    }
    o.threshold = value;
    o.thresholdGiven = value;
  }

  const std::string* image = options.Get("--image");
  const std::string* process = options.Get("--process");
  if ((image == nullptr) == (process == nullptr)) {
    error = image == nullptr
                ? "give a screenshot (--image FILE) or a live window (--process IMAGE --roi ...)"
                : "--image and --process exclude each other";
    return false;
  }
  if (image != nullptr) {
    o.imageFile = *image;
    if (!CheckFileText(o.imageFile, "--image", error)) return false;
  } else {
    std::u16string process16;
    if (!ConvertFieldText(*process, "--process", kProcessNameUnits, process16, error)) {
      return false;
    }
    if (process16.empty()) {
      error = "--process must not be empty";
      return false;
    }
    o.processName = *process;
    if (!options.Has("--roi")) {
      error = "--process needs --roi X,Y,W,H (the region relative to the window's client area)";
      return false;
    }
  }

  if (const std::string* text = options.Get("--roi")) {
    IntRect roi;
    if (!ParseRoi(*text, roi)) {
      error = "--roi must be four integers X,Y,W,H, not '" + *text + "'";
      return false;
    }
    // As add: a width or height below 1 is raised to 1, as the worker does, with a warning.
    o.warnings = RoiWarnings(roi);
    o.roi = StoredRoi(roi);
  }

  for (const auto& [option, target] :
       {std::pair<const char*, std::string*>{"--out", &o.outFile}, {"--heatmap", &o.heatmapFile}}) {
    const std::string* text = options.Get(option);
    if (text == nullptr) continue;
    *target = *text;
    if (!CheckFileText(*target, option, error)) return false;
    const std::filesystem::path extension = PathFromUtf8(*target).extension();
    if (extension.empty() || !cv::haveImageWriter("probe" + extension.string())) {
      error = std::string(option) +
              " needs a file name with an image extension this build can write, such as .png, "
              "not '" +
              *target + "'";
      return false;
    }
  }
  o.json = options.Has("--json");
  o.exitCodeOnMiss = options.Has("--exit-code");
  return true;
}

}  // namespace

bool ParseProbeArgs(const std::vector<std::string>& args, ProbeOptions& options,
                    std::string& error) {
  if (ParseProbeOptions(args, options, error)) return true;
  // The message echoes arguments, which may hold anything: it is escaped to stay one line.
  error = LineSafe(error);
  return false;
}

namespace {

// Names the variant ScoreTemplateMatch picks for this prepared template (display only; the
// scoring itself is the worker's).
std::string MethodText(const TemplateInfo& info) {
  const char* images = MatchesInGrey(info) ? " on grey" : " on colour under the edge mask";
  switch (MatchMethod(info)) {
    case cv::TM_SQDIFF_NORMED:
      return std::string("TM_SQDIFF_NORMED") + images + " (raw = 1 - minimum; no baseline)";
    case cv::TM_CCORR_NORMED:
      return std::string("TM_CCORR_NORMED") + images;
    default:
      return std::string("TM_CCOEFF_NORMED") + images;
  }
}

// What probe reports, in order: each figure as "key=text" lines, or as one JSON object.
class Figures {
 public:
  void Text(std::string key, std::string text) {
    const std::string json = JsonString(text);
    items_.push_back({std::move(key), std::move(text), json});
  }
  void Number(std::string key, double value) {
    items_.push_back(
        {std::move(key), FormatDouble(value), std::isfinite(value) ? FormatDouble(value) : "null"});
  }
  void Integer(std::string key, long long value) {
    items_.push_back({std::move(key), std::to_string(value), std::to_string(value)});
  }
  void Flag(std::string key, bool value) {
    items_.push_back({std::move(key), value ? "true" : "false", value ? "true" : "false"});
  }
  void Point(std::string key, const IntPoint& p) {
    items_.push_back({std::move(key), FormatPoint(p),
                      "[" + std::to_string(p.x) + "," + std::to_string(p.y) + "]"});
  }
  void Rect(std::string key, const IntRect& r) {
    items_.push_back({std::move(key), FormatRect(r),
                      "[" + std::to_string(r.x) + "," + std::to_string(r.y) + "," +
                          std::to_string(r.width) + "," + std::to_string(r.height) + "]"});
  }
  void Triple(std::string key, double a, double b, double c) {
    items_.push_back({std::move(key),
                      FormatDouble(a) + "," + FormatDouble(b) + "," + FormatDouble(c),
                      "[" + JsonNumber(a) + "," + JsonNumber(b) + "," + JsonNumber(c) + "]"});
  }

  // Names and file names may carry anything; each line stays one line.
  void PrintLines(std::ostream& out) const {
    for (const Item& item : items_) out << item.key << '=' << LineSafe(item.text) << '\n';
  }
  void PrintJson(std::ostream& out) const {
    out << '{';
    for (std::size_t i = 0; i < items_.size(); ++i) {
      out << (i == 0 ? "" : ",") << JsonString(items_[i].key) << ':' << items_[i].json;
    }
    out << "}\n";
  }

 private:
  static std::string JsonNumber(double v) { return std::isfinite(v) ? FormatDouble(v) : "null"; }
  struct Item {
    std::string key;
    std::string text;
    std::string json;
  };
  std::vector<Item> items_;
};

void AddDecision(const Evaluation& e, const TemplateInfo& info, Figures& f) {
  f.Number("raw", e.raw);
  f.Number("baseline", e.baseline);
  f.Number("colorPen", e.colorPen);
  f.Flag("whitePatch", e.whitePatch);
  f.Number("satAdj", e.satAdj);
  f.Number("score", e.score);
  f.Number("adj", e.adj);
  f.Number("baselineMargin", info.baselineMargin);
  f.Flag("marginOk", e.marginOk);
  f.Number("threshold", info.threshold);
  f.Text("decision", e.hit ? "HIT" : "MISS");
  f.Text("reason", e.hit ? std::string("-") : std::string(e.reason));
  f.Point("matchLoc", e.match.matchLoc);
  f.Rect("matchRect", e.matchRect);
  f.Point("pos", e.pos);
  f.Point("abs", e.abs);
  f.Number("templateHue", info.hueSat.hue);
  f.Number("templateSat", info.hueSat.sat);
  f.Triple("templateLab", info.lab.l, info.lab.a, info.lab.b);
  f.Number("spotHue", e.spotHueSat.hue);
  f.Number("spotSat", e.spotHueSat.sat);
  f.Number("spotValue", e.spotValue);
  f.Triple("spotLab", e.spotLab.l, e.spotLab.a, e.spotLab.b);
}

int Probe(const ProbeOptions& o, std::ostream& out, std::ostream& err) {
  const char* const prefix = "tavrik-ctl: probe: ";
  for (const std::string& warning : o.warnings) err << prefix << "warning: " << warning << '\n';

  TemplateInfo info;
  info.name = o.name;
  info.path = PathFromUtf8(o.templateFile);
  info.image = LoadTemplateImage(info.path);
  if (info.image.empty()) {
    err << prefix << "cannot read the template image '" << o.templateFile
        << "' (missing, not a regular file, over 256 MiB, above 4194304 pixels, or not an "
           "image format the worker reads)\n";
    return kExitUsage;
  }
  if (!PrepareTemplate(info, o.threshold)) {
    err << prefix << "the template image '" << o.templateFile << "' is too large to prepare\n";
    return kExitUsage;
  }
  const std::string& kind = info.kindKey;
  if (o.thresholdGiven && static_cast<double>(*o.thresholdGiven) != info.threshold) {
    err << prefix << "note: --threshold " << FormatDouble(*o.thresholdGiven) << " becomes "
        << FormatDouble(info.threshold) << " for kind '" << kind
        << "', as it would in the worker\n";
  }

  // The region: a screenshot cut at the ROI (window origin (0,0)), or the screen at the target
  // window's client origin plus the ROI, exactly as the worker captures it.
  cv::Mat screenshot;
  CaptureFunction capture = CaptureScreenRegionInto;
  IntRect roi;
  std::string sourceText;
  if (!o.imageFile.empty()) {
    screenshot = LoadImageFile(PathFromUtf8(o.imageFile), kMaxCapturePixels);
    if (screenshot.empty()) {
      err << prefix << "cannot read the screenshot '" << o.imageFile
          << "' (missing, not a regular file, over 256 MiB, larger than a capture, or not an "
             "image format the worker reads)\n";
      return kExitUsage;
    }
    roi = o.roi.value_or(IntRect{0, 0, screenshot.cols, screenshot.rows});
    if (roi.x < 0 || roi.y < 0 || std::int64_t{roi.x} + roi.width > screenshot.cols ||
        std::int64_t{roi.y} + roi.height > screenshot.rows) {
      err << prefix << "--roi " << FormatRect(roi) << " does not lie inside the " << screenshot.cols
          << "x" << screenshot.rows << " screenshot '" << o.imageFile << "'\n";
      return kExitUsage;
    }
    capture = FromImageSource(
        [&screenshot](std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h) {
          const cv::Rect wanted(x, y, w, h);
          if ((wanted & cv::Rect(0, 0, screenshot.cols, screenshot.rows)) != wanted) {
            return cv::Mat();
          }
          return screenshot(wanted).clone();
        });
    sourceText = "image " + o.imageFile;
  } else {
    roi = *o.roi;
    const std::u16string wanted = NormalizeImageName(Utf8ToUtf16(o.processName));
    WindowOrigin origin;
    std::int32_t dpi = kDefaultDpi;
    if (!LocateTargetWindow(wanted, origin, &dpi)) {
      err << prefix << "no visible window of a process with image name '" << ToUtf8(wanted)
          << "' was found; nothing was captured. (The worker would still register such a "
             "template, at window origin (0,0), and capture "
          << FormatRect(roi) << " as screen coordinates.)\n";
      return kExitNoWorker;
    }
    info.windowOrigin = {origin.x, origin.y};
    info.dpi = dpi;
    sourceText = "window " + ToUtf8(wanted) + " origin=" + FormatPoint(info.windowOrigin);
  }
  info.roi = roi;
  info.rawRoi = roi;
  // A screenshot has no window to tell its DPI: a declared scale is then used as cut.
  TemplateScaling scaling;
  std::string scaleError;
  if (!ScaleAsTheWorkerWould(info, o.threshold,
                             o.imageFile.empty() ? std::optional(info.dpi) : std::nullopt, roi,
                             scaling, scaleError)) {
    err << prefix << scaleError << '\n';
    return kExitUsage;
  }

  std::vector<std::string> lines;
  const LogSink sink([&lines](std::string_view line) { lines.emplace_back(line); });
  Evaluation e;
  const EvaluationOutcome outcome = EvaluateTemplate(info, sink, nullptr, capture, &e);

  Figures figures;
  figures.Text("name", info.name);
  figures.Text("kind", kind);
  figures.Flag("knownKind", info.knownKind);
  figures.Text("method", MethodText(info));
  figures.Text("template", o.templateFile + " (" + std::to_string(info.image.cols) + "x" +
                               std::to_string(info.image.rows) + ")");
  if (scaling.result != TemplateScaling::Result::kNoDeclaration) {
    figures.Text("scale", ScaleFigure(scaling));
  }
  if (!info.edgeMask.empty()) {
    figures.Text("edgeMask", std::to_string(cv::countNonZero(info.edgeMask)) + " of " +
                                 std::to_string(info.edgeMask.total()) + " pixels");
  }
  figures.Text("source", sourceText);
  figures.Rect("roi", info.roi);
  figures.Rect("capture", e.captureRect);
  const auto print = [&] {
    if (o.json) {
      figures.Text("line", lines.empty() ? std::string() : lines.back());
      figures.PrintJson(out);
    } else {
      figures.PrintLines(out);
      for (const std::string& line : lines) out << line << '\n';
    }
  };

  if (outcome != EvaluationOutcome::kDecided) {
    figures.Flag("decided", false);
    print();
    err << prefix
        << (outcome == EvaluationOutcome::kCaptureFailed
                ? "the capture of " + FormatRect(e.captureRect) + " failed"
                : std::string("the evaluation failed"))
        << "; nothing was decided\n";
    return kExitFailure;
  }
  if (e.captured.cols < info.image.cols || e.captured.rows < info.image.rows) {
    err << prefix << "note: the region (" << e.captured.cols << "x" << e.captured.rows
        << ") is smaller than the template (" << info.image.cols << "x" << info.image.rows
        << "), so it cannot match: raw is -1\n";
  }
  AddDecision(e, info, figures);
  // Last, the worker's own line, composed by the reporting code during the evaluation.
  print();

  std::string error;
  if (!o.outFile.empty() && !WriteImage(DrawDecision(e, info), o.outFile, error)) {
    err << prefix << error << '\n';
    return kExitFailure;
  }
  if (!o.heatmapFile.empty()) {
    const cv::Mat scores = ScoreMap(e.captured, info);
    if (scores.empty()) {
      err << prefix << "no score map: the region is smaller than the template\n";
      return kExitFailure;
    }
    if (!WriteImage(DrawHeatmap(scores, info.threshold), o.heatmapFile, error)) {
      err << prefix << error << '\n';
      return kExitFailure;
    }
  }
  return o.exitCodeOnMiss && !e.hit ? kExitProbeMiss : kExitOk;
}

}  // namespace

int RunProbe(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  ProbeOptions options;
  std::string error;
  if (!ParseProbeArgs(args, options, error)) {
    err << "tavrik-ctl: probe: " << error << '\n';
    return kExitUsage;
  }
  if (options.help) {
    out << HelpText("probe");
    return kExitOk;
  }
  try {
    return Probe(options, out, err);
  } catch (const std::exception& ex) {
    err << "tavrik-ctl: probe: unexpected error: " << ex.what() << '\n';
    return kExitFailure;
  }
}

}  // namespace tavrik::ctl
