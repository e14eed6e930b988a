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

#include "base/log_sink.h"
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
#include "ipc/ring_layout.h"
#include "registry/template_info.h"
#include "registry/template_kind.h"
#include "tools/ctl/ctl_args.h"
#include "tools/ctl/number_text.h"

namespace tavrik::ctl {
namespace {

const char kProbeHelp[] =
    R"(Usage: tavrik-ctl probe --name NAME --template FILE [--threshold T]
                        (--image FILE [--roi X,Y,W,H] | --process IMAGE --roi X,Y,W,H)
                        [--out FILE] [--exit-code]

Runs one evaluation of a template in this process, with the worker's own preparation, scoring,
colour and decision code, and prints how the decision came about. No worker is needed.

  --name NAME         the name the template would be registered under (required). The part
                      before the first ':' picks the kind (t1, t2, t3), and with it the matching
                      method and the decision rules, as in the worker.
  --template FILE     template image (required); a relative path is taken from the current
                      directory (add resolves it from the worker's directory instead)
  --threshold T       match threshold, same rules as add: 0 or omitted means 0.9, kind t2
                      always uses 0.97, kind t3 is clamped to 0..1
  --image FILE        evaluate a screenshot file instead of the screen
  --roi X,Y,W,H       with --image: the part of the screenshot to evaluate (default: all of it;
                      it must lie inside the image). With --process: the region relative to the
                      target window's client area, as given to add (required).
  --process IMAGE     capture live: find the first visible window of the process with this image
                      name (e.g. game.exe) the way the worker does, raise it, and capture the ROI
                      at its client origin
  --out FILE          write the evaluated region with the best-match rectangle drawn on it, green
                      for a hit and red for a miss; the extension picks the format (e.g. .png)
  --exit-code         exit 4 when the decision is a miss (default: 0 for a hit and a miss)

Output: one key=value per line (name, kind, method, threshold, raw, baseline, colorPen, satAdj,
score, adj, decision, reason, matchLoc, pos, abs, then the colours that colorPen and satAdj
compare) and, last, the [HIT] or [MISS] line the worker would log for this evaluation. With
--image the window origin is (0,0), so pos and abs are positions in the screenshot.

Exit codes:
  0  evaluated (hit or miss; see --exit-code)
  1  the capture or the evaluation failed, or --out could not be written
  2  usage error, or the template or the screenshot cannot be read
  3  no visible window of the --process was found (nothing was captured)
  4  with --exit-code: evaluated, and the decision was a miss
)";

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

bool IsFlag(std::string_view option) { return option == "--help" || option == "--exit-code"; }

bool IsOption(std::string_view option) {
  return IsFlag(option) || option == "--name" || option == "--template" ||
         option == "--threshold" || option == "--image" || option == "--roi" ||
         option == "--process" || option == "--out";
}

// Four integers X,Y,W,H with a positive width and height.
bool ParseRoi(std::string_view text, IntRect& out) {
  std::int32_t values[4] = {};
  if (!ParseFourInt32(text, values)) return false;
  if (values[2] < 1 || values[3] < 1) return false;
  out = {values[0], values[1], values[2], values[3]};
  return true;
}

std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// A command-line text as the worker would receive it: valid UTF-8 without NUL, converted to UTF-16
// and refused when it needs more than `maxUnits` units (the width of its command-slot field).
bool ConvertText(std::string_view utf8, const char* option, std::size_t maxUnits,
                 std::u16string& out, std::string& error) {
  const std::u16string wide = Utf8ToUtf16(utf8);
  if (utf8.find('\0') != std::string_view::npos || ToUtf8(wide) != utf8) {
    error = std::string(option) + " is not valid UTF-8 text";
    return false;
  }
  if (wide.size() > maxUnits) {
    error = std::string(option) + " is " + std::to_string(wide.size()) +
            " UTF-16 units long; the limit is " + std::to_string(maxUnits);
    return false;
  }
  out = wide;
  return true;
}

// A file-name option: not empty, valid UTF-8.
bool CheckFileText(const std::string& text, const char* option, std::string& error) {
  if (text.empty()) {
    error = std::string(option) + " must not be empty";
    return false;
  }
  std::u16string ignored;
  return ConvertText(text, option, std::numeric_limits<std::size_t>::max(), ignored, error);
}

bool ParseProbeArgs(const std::vector<std::string>& args, ProbeOptions& o, std::string& error) {
  std::map<std::string, std::string> options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h") {
      o.help = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0 || arg == "--") {
      error = "unexpected argument '" + arg + "' (try: tavrik-ctl probe --help)";
      return false;
    }
    std::string option = arg;
    std::optional<std::string> value;
    if (const std::size_t eq = arg.find('='); eq != std::string::npos) {
      option = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    }
    if (!IsOption(option)) {
      error = "unknown option " + option + " (try: tavrik-ctl probe --help)";
      return false;
    }
    if (IsFlag(option)) {
      if (value) {
        error = option + " takes no value";
        return false;
      }
      value = "";
    } else if (!value) {
      if (i + 1 >= args.size()) {
        error = option + " needs a value";
        return false;
      }
      value = args[++i];
    }
    if (!options.emplace(option, *value).second) {
      error = option + " given more than once";
      return false;
    }
  }
  if (options.count("--help") != 0) o.help = true;
  if (o.help) return true;

  const auto get = [&options](const char* key) -> const std::string* {
    const auto it = options.find(key);
    return it == options.end() ? nullptr : &it->second;
  };
  for (const char* required : {"--name", "--template"}) {
    if (get(required) == nullptr) {
      error = std::string(required) + " is required (try: tavrik-ctl probe --help)";
      return false;
    }
  }
  // The name must be one an add command could carry, so the evaluation is one the worker can run.
  std::u16string name16;
  if (!ConvertText(*get("--name"), "--name", kNameUnits, name16, error)) return false;
  if (name16.empty()) {
    error = "--name must not be empty";
    return false;
  }
  o.name = *get("--name");

  o.templateFile = *get("--template");
  if (!CheckFileText(o.templateFile, "--template", error)) return false;

  if (const std::string* text = get("--threshold")) {
    float value = 0.0f;
    if (!ParseFiniteFloat(*text, value)) {
      error = "--threshold must be a finite number, not '" + *text + "'";
      return false;
    }
    o.threshold = value;
    o.thresholdGiven = value;
  }

  const std::string* image = get("--image");
  const std::string* process = get("--process");
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
    if (!ConvertText(*process, "--process", kProcessNameUnits, process16, error)) {
      return false;
    }
    if (process16.empty()) {
      error = "--process must not be empty";
      return false;
    }
    o.processName = *process;
    if (get("--roi") == nullptr) {
      error = "--process needs --roi X,Y,W,H (the region relative to the window's client area)";
      return false;
    }
  }

  if (const std::string* text = get("--roi")) {
    IntRect roi;
    if (!ParseRoi(*text, roi)) {
      error = "--roi must be four integers X,Y,W,H with W and H at least 1, not '" + *text + "'";
      return false;
    }
    o.roi = roi;
  }

  if (const std::string* text = get("--out")) {
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
  o.exitCodeOnMiss = get("--exit-code") != nullptr;
  return true;
}

std::string Num(double value) {
  std::string text;
  AppendDouble(text, value);
  return text;
}

std::string PointText(const IntPoint& p) {
  return "(" + std::to_string(p.x) + "," + std::to_string(p.y) + ")";
}

std::string RectText(const IntRect& r) {
  return "(" + std::to_string(r.x) + "," + std::to_string(r.y) + "," + std::to_string(r.width) +
         "x" + std::to_string(r.height) + ")";
}

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
  out << "raw=" << Num(e.raw) << '\n'
      << "baseline=" << Num(e.baseline) << '\n'
      << "colorPen=" << Num(e.colorPen) << '\n'
      << "whitePatch=" << Bool(e.whitePatch) << '\n'
      << "satAdj=" << Num(e.satAdj) << '\n'
      << "score=" << Num(e.score) << '\n'
      << "adj=" << Num(e.adj) << '\n'
      << "baselineMargin=" << Num(info.baselineMargin) << '\n'
      << "marginOk=" << Bool(e.marginOk) << '\n'
      << "threshold=" << Num(info.threshold) << '\n'
      << "decision=" << (e.hit ? "HIT" : "MISS") << '\n'
      << "reason=" << (e.hit ? std::string_view("-") : e.reason) << '\n'
      << "matchLoc=" << PointText(e.match.matchLoc) << '\n'
      << "matchRect=" << RectText(e.matchRect) << '\n'
      << "pos=" << PointText(e.pos) << '\n'
      << "abs=" << PointText(e.abs) << '\n'
      << "templateHue=" << Num(info.hueSat.hue) << '\n'
      << "templateSat=" << Num(info.hueSat.sat) << '\n'
      << "templateLab=" << Num(info.lab.l) << "," << Num(info.lab.a) << "," << Num(info.lab.b)
      << '\n'
      << "spotHue=" << Num(e.spotHueSat.hue) << '\n'
      << "spotSat=" << Num(e.spotHueSat.sat) << '\n'
      << "spotValue=" << Num(e.spotValue) << '\n'
      << "spotLab=" << Num(e.spotLab.l) << "," << Num(e.spotLab.a) << "," << Num(e.spotLab.b)
      << '\n';
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
        << "' (missing, not a regular file, over 256 MiB, or not an image format OpenCV reads)\n";
    return kExitUsage;
  }
  if (!PrepareTemplate(info, o.threshold)) {
    err << prefix << "the template image '" << o.templateFile << "' is too large to prepare\n";
    return kExitUsage;
  }
  const std::string kind = TemplateKind(info.name);
  if (o.thresholdGiven && static_cast<double>(*o.thresholdGiven) != info.threshold) {
    err << prefix << "note: --threshold " << Num(*o.thresholdGiven) << " becomes "
        << Num(info.threshold) << " for kind '" << kind << "', as it would in the worker\n";
  }

  // The region: a screenshot cut at the ROI (window origin (0,0)), or the screen at the target
  // window's client origin plus the ROI, exactly as the worker captures it.
  cv::Mat screenshot;
  CaptureFunction capture = CaptureScreenRegion;
  IntRect roi;
  std::string sourceText;
  if (!o.imageFile.empty()) {
    screenshot = LoadTemplateImage(PathFromUtf8(o.imageFile));
    if (screenshot.empty()) {
      err << prefix << "cannot read the screenshot '" << o.imageFile
          << "' (missing, not a regular file, over 256 MiB, or not an image format OpenCV "
             "reads)\n";
      return kExitUsage;
    }
    roi = o.roi.value_or(IntRect{0, 0, screenshot.cols, screenshot.rows});
    if (roi.x < 0 || roi.y < 0 || std::int64_t{roi.x} + roi.width > screenshot.cols ||
        std::int64_t{roi.y} + roi.height > screenshot.rows) {
      err << prefix << "--roi " << RectText(roi) << " does not lie inside the " << screenshot.cols
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
          << RectText(roi) << " as screen coordinates.)\n";
      return kExitNoWorker;
    }
    info.windowOrigin = {origin.x, origin.y};
    info.dpi = dpi;
    sourceText = "window " + ToUtf8(wanted) + " origin=" + PointText(info.windowOrigin);
  }
  info.roi = roi;
  info.rawRoi = roi;

  std::vector<std::string> lines;
  const LogSink sink([&lines](std::string_view line) { lines.emplace_back(line); });
  Evaluation e;
  const EvaluationOutcome outcome = EvaluateTemplate(info, sink, nullptr, capture, &e);

  out << "name=" << info.name << '\n'
      << "kind=" << kind << '\n'
      << "knownKind=" << Bool(info.knownKind) << '\n'
      << "method=" << MethodText(info) << '\n'
      << "template=" << o.templateFile << " (" << info.image.cols << "x" << info.image.rows
      << ")\n";
  if (!info.edgeMask.empty()) {
    out << "edgeMask=" << cv::countNonZero(info.edgeMask) << " of " << info.edgeMask.total()
        << " pixels\n";
  }
  out << "source=" << sourceText << '\n'
      << "roi=" << RectText(info.roi) << '\n'
      << "capture=" << RectText(e.captureRect) << '\n';

  if (outcome != EvaluationOutcome::kDecided) {
    for (const std::string& line : lines) out << line << '\n';
    err << prefix
        << (outcome == EvaluationOutcome::kCaptureFailed
                ? "the capture of " + RectText(e.captureRect) + " failed"
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
    out << kProbeHelp;
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
