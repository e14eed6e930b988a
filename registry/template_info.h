// TemplateInfo: everything the detection needs about one registered template, prepared once when
// the template is added, plus the colour records it shares with the detection.
//
// A TemplateInfo is built completely by the add handler and then published through a
// shared_ptr<const TemplateInfo>-like discipline: after publication nothing changes except
// lastDecisionTime and lastErrorLineTime, which only the DetectionLoop (main thread) reads and
// writes. Replacing a template publishes a new record; old records live on while a snapshot holds
// them. What the detection derives from a record (prepared spectra, remembered pixels) is kept by
// the DetectionLoop, keyed by the record's serial or its pointer, never in the record.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <opencv2/core/mat.hpp>
#include <string>

#include "base/geometry.h"
#include "registry/template_kind.h"

namespace tavrik {

// Means of an image's colour; -1 in every field marks a mean that was not computed.
struct HueSatMean {
  double hue = 0.0;  // mean 8-bit hue / 180
  double sat = 0.0;  // mean saturation / 255
};
struct LabMean {
  double l = 0.0;  // 8-bit units
  double a = 0.0;
  double b = 0.0;
};

inline constexpr std::int64_t kNeverDecided = std::numeric_limits<std::int64_t>::min();

// A process-unique number per record, for the caches the detection keeps per record. A copy or
// a moved-to record gets a new number: it is a new record (a replaced or re-added template), and
// nothing prepared or remembered for the old one may be taken for it. Never reused, so a record
// freed and another allocated at the same address cannot be confused.
class RecordSerial {
 public:
  RecordSerial() noexcept : value_(Next()) {}
  RecordSerial(const RecordSerial&) noexcept : value_(Next()) {}
  RecordSerial& operator=(const RecordSerial&) noexcept {
    value_ = Next();
    return *this;
  }
  ~RecordSerial() = default;
  std::uint64_t Value() const noexcept { return value_; }

 private:
  static std::uint64_t Next() noexcept {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
  }
  std::uint64_t value_;
};

struct TemplateInfo {
  std::string name;            // UTF-8, also the registry key
  std::filesystem::path path;  // resolved template file
  cv::Mat image;               // 8-bit BGR
  cv::Mat gray;                // 8-bit single channel
  cv::Mat edgeMask;            // kind "t2" only
  double threshold = 0.9;
  double baselineMargin = 0.02;
  double whitePatchSatMax = 35.0;
  double whitePatchValueMin = 215.0;
  HueSatMean hueSat;
  LabMean lab;
  std::string kindKey;                             // TemplateKind(name), kept for reporting
  TemplateKindId kind = TemplateKindId::kGeneral;  // parsed once from kindKey
  bool knownKind = false;                          // kind is t1, t2 or t3
  bool isT3 = false;                               // kind is t3
  IntRect rawRoi;                                  // captured pixels, relative to windowOrigin
  // The screen's size was unknown at add (no display), so the region has not been held against
  // it: the DetectionLoop does that at the first pass that knows the size, before any capture.
  bool regionUnchecked = false;
  IntPoint windowOrigin;  // client-area corner in screen pixels, cached at add time
  std::int32_t dpi = kDefaultDpi;
  double scale = 1.0;
  IntRect roi;  // logical units, used for reported positions and sizes
  std::int64_t cooldownMs = 0;
  std::int64_t lastDecisionTime = kNeverDecided;   // monotonic ns; DetectionLoop only
  std::int64_t lastErrorLineTime = kNeverDecided;  // monotonic ns of the last error line; same
  std::u16string processName;                      // normalised image name of the target process
  RecordSerial serial;                             // this record's identity for caches
};

}  // namespace tavrik
