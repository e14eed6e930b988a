// The state of the DetectionLoop and what it is given: one owner (the loop's thread) for every
// piece of mutable evaluation state, from pass to pass. The pass's steps (detect/pass_plan.h,
// detect/pass_jobs.h, detect/pass_memory.h) read and write it; the pool's threads touch only the
// parts a job hands them (a PassThread, a group's RectangleMemory, a due template's RecordMemory
// and its slot in `evaluations`, `outcomes`, `errors` and `evaluated`).
//
// Threads: the DetectionLoop's thread, and the pool's threads inside a pass as said above.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "base/cpu_load.h"
#include "base/log_sink.h"
#include "detect/color_metrics.h"
#include "detect/evaluate.h"
#include "detect/match_score.h"
#include "ipc/hit_ring.h"
#include "match/match_cache.h"
#include "registry/template_info.h"
#include "registry/template_registry.h"

namespace tavrik {

// Where the screen was drawn on. With `damaged`: fills it (cleared first) with rectangles in
// screen pixels that cover everything drawn since the previous call and returns true, or returns
// false when it cannot say (then everything counts as changed). Called once per busy pass on the
// loop's thread, whether or not a template is due, before any capture of the pass, so that what
// is drawn during a capture shows in the next call and the source never holds more than one
// pass of drawing. With null: nothing is watched for now (an idle pass); the source may stop
// tracking until it is asked again.
using DamageSource = std::function<bool(std::vector<IntRect>* damaged)>;

struct DetectionContext {
  TemplateRegistry& registry;
  HitRingWriter* writer = nullptr;
  const LogSink& log;
  CaptureFunction capture;  // CaptureScreenRegionView unless a test injects another source
  // Threads evaluating the due templates of a pass (the calling thread is one of them); 0 means
  // PoolThreadsFor(std::thread::hardware_concurrency()). Decisions are reported in snapshot order
  // whatever the number.
  int poolThreads = 0;
  // Whether a pass takes only the cores the other programs left free in the previous one (the
  // worker's choice; a size of 0 implies it). Tests that set a size keep it fixed.
  bool onlyFreeCores = false;
  TransformKind transform = DefaultTransformKind();
  // The screen's changes (X11: ScreenChanges on DAMAGE). Without one every due rectangle is read
  // in every pass and compared with its previous pixels byte for byte.
  DamageSource damage = nullptr;
  // Gives back the calling thread's capture buffers (ReleaseThreadCaptureBuffers); called on the
  // loop's thread when the last template has gone. Null: nothing to give back.
  std::function<void()> releaseCapture = nullptr;
  // The screen's size now, or nothing without a display (X11: ScreenBounds, on the loop's own
  // connection). Asked only while a template added without a known screen size waits for its
  // check. Null: such templates are taken as they are.
  std::function<std::optional<IntRect>()> screenBounds = nullptr;
};

class EvaluationPool;

struct DetectionLoopState {
  DetectionLoopState();
  ~DetectionLoopState();
  DetectionLoopState(DetectionLoopState&&) noexcept;
  DetectionLoopState& operator=(DetectionLoopState&&) noexcept;

  std::int64_t idleDeadline = 0;
  std::string loggedTemplateList;

  // What is remembered so that an unchanged screen is neither read nor matched again: per
  // capture rectangle its last pixels, per record its last match and spot colour. An entry goes
  // as soon as a pass's snapshot no longer has its rectangle or its record.
  struct RectangleEntry {
    RectangleMemory memory;
    bool watched = false;
  };
  struct RecordEntry {
    std::weak_ptr<TemplateInfo> record;  // tells a new record at a reused address apart
    RecordMemory memory;
    bool watched = false;
  };
  struct RectLess {
    bool operator()(const IntRect& a, const IntRect& b) const {
      return std::tie(a.x, a.y, a.width, a.height) < std::tie(b.x, b.y, b.width, b.height);
    }
  };
  std::map<IntRect, RectangleEntry, RectLess> rectangles;
  std::unordered_map<const TemplateInfo*, RecordEntry> records;
  std::unique_ptr<ReuseCounters> counters = std::make_unique<ReuseCounters>();
  std::vector<IntRect> damaged;

  // Kept from pass to pass so that a steady state allocates little.
  struct DueEntry {
    TemplateInfo* info = nullptr;
    std::size_t group = 0;
    RecordMemory* memory = nullptr;
  };
  std::vector<DueEntry> due;
  // The distinct capture rectangles of a pass.
  struct Group {
    IntRect rect;
    IntPoint origin;                    // the window's: rectangles of one window may share a grab
    RectangleMemory* memory = nullptr;  // null when the rectangle cannot be captured at all
    bool captured = false;              // its pixels of this pass are in `memory`
  };
  std::vector<Group> groups;
  // The grabs of a pass: one box read at once, and the groups inside it.
  struct GrabJob {
    IntRect box;
    std::vector<std::size_t> groups;
  };
  std::vector<GrabJob> grabs;
  // The scoring work of a pass: the due templates of one group, `order[first, first + count)`,
  // evaluated on one thread. A group with many templates is cut into several slices so that
  // every thread takes part; each slice transforms the region's tiles once for its templates.
  struct Slice {
    std::size_t group = 0;
    std::size_t first = 0;
    std::size_t count = 0;
  };
  std::vector<std::size_t> order;  // due indices, by group, each group in snapshot order
  std::vector<Slice> slices;
  // The matching of a pass, planned on the loop's thread once the grabs are in: per group, the
  // due templates that must be matched and whose prepared spectra the cache keeps, as one
  // RegionWork; its units, from every group, are the pool's jobs.
  struct GroupWork {
    std::vector<MatchTemplate> templates;
    std::vector<std::shared_ptr<const PreparedMatch>> prepared;
    std::vector<MatchRequest> requests;
    std::vector<std::size_t> due;  // the due index of each request
    RegionWork work;
    std::size_t firstUnit = 0;     // its units in `unitFailed`
  };
  std::vector<GroupWork> work;  // per group
  struct UnitRef {
    std::size_t group = 0;
    std::size_t unit = 0;
  };
  std::vector<UnitRef> units;
  std::vector<unsigned char> unitFailed;  // per unit: 1 when it threw or was left out
  // Per due template: the score the units gave it, when they did.
  std::vector<MatchScore> scores;
  std::vector<unsigned char> scored;
  std::vector<Evaluation> evaluations;  // one per due template
  std::vector<EvaluationOutcome> outcomes;
  std::vector<std::string> errors;
  std::vector<unsigned char> evaluated;  // per due template: 1 once its evaluation has run
  // What each evaluating thread uses (index 0: the loop's own thread): its workspace and its
  // capture buffer, reused from rectangle to rectangle and from pass to pass.
  struct PassThread {
    MatchWorkspace workspace;
    SpotScratch spot;
    SharedCapture capture;
    RegionPixels unitRegion;  // the pixels of the group whose units it runs
    std::size_t unitGroup = SIZE_MAX;
    cv::Mat grab;              // grab buffer (bytes), released after it has been mostly unused
    std::size_t grabUsed = 0;  // the largest grab of the current pass, in bytes
    int grabSparePasses = 0;   // passes in a row that used less than half of `grab`
  };
  std::vector<std::unique_ptr<PassThread>> threads;
  // Prepared templates of the registered records, within its budget (match/match_cache.h).
  std::unique_ptr<MatchCache> cache = std::make_unique<MatchCache>();
  std::vector<std::uint64_t> liveSerials;  // the snapshot's records, sorted
  // Records added without a known screen size whose region was found to fit, sorted.
  std::vector<std::uint64_t> fittedSerials;
  CpuLoad cpuLoad;   // what the other programs left free, pass to pass
  int poolSize = 0;  // the most threads a pass may use: the pool's size
  int cores = 0;     // the machine's, asked once
  std::unique_ptr<EvaluationPool> pool;    // declared last: its threads stop before the above go
};

}  // namespace tavrik
