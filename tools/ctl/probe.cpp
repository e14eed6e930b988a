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
#include "tools/ctl/options.h"

namespace tavrik::ctl {
namespace {

OptionKind ProbeOptionKind(std::string_view option) {
  if (option == "--exit-code") return OptionKind::kFlag;
  if (option == "--name" || option == "--template" || option == "--threshold" ||
      option == "--image" || option == "--roi" || option == "--process" || option == "--out") {
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
    if (!ParseRoi(*text, roi) || roi.width < 1 || roi.height < 1) {
      error = "--roi must be four integers X,Y,W,H with W and H at least 1, not '" + *text + "'";
      return false;
    }
    o.roi = roi;
  }

  if (const std::string* text = options.Get("--out")) {
    o.outFile = *text;
    if (!CheckFileText(o.outFile, "--out", error)) return false;
    const std::filesystem::path extension = PathFromUtf8(o.outFile).extension();
    if (extension.empty() || !cv::haveImageWriter("probe" + extension.string())) {
      error =
          "--out needs a file name with an image extension this build can write, such as "
          ".png, not '" +
          o.outFile + "'";
      return false;
    }
  }
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

const char* Bool(bool value) { return value ? "true" : "false"; }

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

void PrintDecision(const Evaluation& e, const TemplateInfo& info, std::ostream& out) {
  out << "raw=" << FormatDouble(e.raw) << '\n'
      << "baseline=" << FormatDouble(e.baseline) << '\n'
      << "colorPen=" << FormatDouble(e.colorPen) << '\n'
      << "whitePatch=" << Bool(e.whitePatch) << '\n'
      << "satAdj=" << FormatDouble(e.satAdj) << '\n'
      << "score=" << FormatDouble(e.score) << '\n'
      << "adj=" << FormatDouble(e.adj) << '\n'
      << "baselineMargin=" << FormatDouble(info.baselineMargin) << '\n'
      << "marginOk=" << Bool(e.marginOk) << '\n'
      << "threshold=" << FormatDouble(info.threshold) << '\n'
      << "decision=" << (e.hit ? "HIT" : "MISS") << '\n'
      << "reason=" << (e.hit ? std::string_view("-") : e.reason) << '\n'
      << "matchLoc=" << FormatPoint(e.match.matchLoc) << '\n'
      << "matchRect=" << FormatRect(e.matchRect) << '\n'
      << "pos=" << FormatPoint(e.pos) << '\n'
      << "abs=" << FormatPoint(e.abs) << '\n'
      << "templateHue=" << FormatDouble(info.hueSat.hue) << '\n'
      << "templateSat=" << FormatDouble(info.hueSat.sat) << '\n'
      << "templateLab=" << FormatDouble(info.lab.l) << "," << FormatDouble(info.lab.a) << ","
      << FormatDouble(info.lab.b) << '\n'
      << "spotHue=" << FormatDouble(e.spotHueSat.hue) << '\n'
      << "spotSat=" << FormatDouble(e.spotHueSat.sat) << '\n'
      << "spotValue=" << FormatDouble(e.spotValue) << '\n'
      << "spotLab=" << FormatDouble(e.spotLab.l) << "," << FormatDouble(e.spotLab.a) << ","
      << FormatDouble(e.spotLab.b) << '\n';
}

// The evaluated region with the best-match rectangle (1 px, inside the clipped match rectangle).
bool WriteMarkedRegion(const Evaluation& e, const std::string& file, std::string& error) {
  const std::filesystem::path path = PathFromUtf8(file);
  std::vector<unsigned char> bytes;
  try {
    cv::Mat canvas = e.captured.clone();
    const cv::Scalar colour = e.hit ? cv::Scalar(0, 255, 0) : cv::Scalar(0, 0, 255);
    if (e.matchRect.width > 0 && e.matchRect.height > 0) {
      cv::rectangle(canvas,
                    cv::Rect(e.matchRect.x, e.matchRect.y, e.matchRect.width, e.matchRect.height),
                    colour, 1, cv::LINE_8);
    }
    if (!cv::imencode(path.extension().string(), canvas, bytes)) {
      error = "cannot encode the region as " + path.extension().string();
      return false;
    }
  } catch (const cv::Exception& ex) {
    error = "cannot encode the region: " + ex.msg;
    return false;
  }
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  stream.close();
  if (!stream) {
    error = "cannot write '" + file + "'";
    return false;
  }
  return true;
}

int Probe(const ProbeOptions& o, std::ostream& out, std::ostream& err) {
  const char* const prefix = "tavrik-ctl: probe: ";

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
  CaptureFunction capture = CaptureScreenRegion;
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
    capture = [&screenshot](std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h) {
      const cv::Rect wanted(x, y, w, h);
      if ((wanted & cv::Rect(0, 0, screenshot.cols, screenshot.rows)) != wanted) return cv::Mat();
      return screenshot(wanted).clone();
    };
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

  std::vector<std::string> lines;
  const LogSink sink([&lines](std::string_view line) { lines.emplace_back(line); });
  Evaluation e;
  const EvaluationOutcome outcome = EvaluateTemplate(info, sink, nullptr, capture, &e);

  // Names and file names may carry anything; each output line must stay one line.
  out << "name=" << LineSafe(info.name) << '\n'
      << "kind=" << kind << '\n'
      << "knownKind=" << Bool(info.knownKind) << '\n'
      << "method=" << MethodText(info) << '\n'
      << "template=" << LineSafe(o.templateFile) << " (" << info.image.cols << "x"
      << info.image.rows << ")\n";
  if (!info.edgeMask.empty()) {
    out << "edgeMask=" << cv::countNonZero(info.edgeMask) << " of " << info.edgeMask.total()
        << " pixels\n";
  }
  out << "source=" << LineSafe(sourceText) << '\n'
      << "roi=" << FormatRect(info.roi) << '\n'
      << "capture=" << FormatRect(e.captureRect) << '\n';

  if (outcome != EvaluationOutcome::kDecided) {
    for (const std::string& line : lines) out << line << '\n';
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
  PrintDecision(e, info, out);
  // The worker's own line, composed by the reporting code during the evaluation.
  for (const std::string& line : lines) out << line << '\n';

  if (!o.outFile.empty()) {
    std::string error;
    if (!WriteMarkedRegion(e, o.outFile, error)) {
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
