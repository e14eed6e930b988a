// The DetectionLoop: the main thread's work for the life of the process.
//
// Each pass snapshots the registry, reports changes of the registered set of names, and then
// either sends an "IDLE" heartbeat every 5 s (nothing registered) or evaluates every template
// whose cooldown has passed. A pass ends with a 50 ms pause.
//
// Reading the screen: the due rectangles that may have changed (all of them without a
// DamageSource) are read, those of one window with one grab of their bounding box when it is
// compact (detect/grab_plan.h), and each rectangle's pixels are compared with its previous ones;
// a template whose rectangle shows the same pixels as at its last evaluation keeps that match
// and spot colour. Every due template is still decided and reported, in snapshot order.
//
// A template added while the screen's size was unknown is not captured until a pass knows the
// size (its evaluation reports a failed capture meanwhile); then a region larger than the screen
// is refused with the add command's "[Spec] Refused template" line and leaves the registry.
//
// The remembered pixels (one RectangleMemory per distinct watched rectangle) stay within
// kPixelBudgetBytes (detect/pixel_budget.h): the budget is enforced at add, where a template whose
// new rectangle would pass it is refused, so the loop itself never has to drop a watched rectangle.
// Beyond it each evaluating thread holds one grab buffer, at most the screen.
//
// An evaluation that ended in a contained error counts as decided for the cooldown, and its error
// line is written at most once a second per template.
//
// Threads: main thread only. It shares the registry (through SnapshotTemplates) and the hit ring
// (HitRingWriter serialises itself) with the CommandThread; it is the only reader and writer of
// TemplateInfo::lastDecisionTime.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "base/log_sink.h"
#include "detect/evaluate.h"
#include "detect/match_cache.h"
#include "ipc/hit_ring.h"
#include "registry/template_info.h"
#include "registry/template_registry.h"

namespace tavrik {

inline constexpr std::int64_t kIdleHeartbeatIntervalNs = 5'000'000'000;
inline constexpr std::int64_t kPassPauseMs = 50;
// The shortest interval between two error lines of one template.
inline constexpr std::int64_t kErrorLineIntervalNs = 1'000'000'000;

// At most this many threads evaluate templates, whatever the machine has.
inline constexpr int kMaxPoolThreads = 4;

// The evaluation pool's size for a machine with `hardwareThreads` (0: unknown): half of them,
// at least 1, at most kMaxPoolThreads. The pool never takes every core.
int PoolThreadsFor(unsigned hardwareThreads);

// Switches OpenCV's own parallel loops off when the pool runs more than one thread: the pool
// already uses the cores it may use. cv::setNumThreads is process-wide and must not run while
// another thread may be inside OpenCV (an add command prepares its template with OpenCV's
// parallel code), so the pool never calls it: start-up does, once, on the main thread before any
// other thread exists, with the size it then gives the DetectionContext.
void ConfigureImageThreads(int poolThreads);

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
  };
  std::vector<Group> groups;
  // One unit of a pass's work, run on one thread: a grab and the groups inside it, or one group
  // that is not read again (unchanged screen, or a rectangle that cannot be captured).
  struct Job {
    bool grab = false;
    IntRect box;
    std::vector<std::size_t> groups;
  };
  std::vector<Job> jobs;
  std::vector<Evaluation> evaluations;  // one per due template
  std::vector<EvaluationOutcome> outcomes;
  std::vector<std::string> errors;
  std::vector<unsigned char> evaluated;  // per due template: 1 once its evaluation has run
  // What each evaluating thread uses (index 0: the loop's own thread): its workspace and its
  // capture buffer, reused from rectangle to rectangle and from pass to pass.
  struct PassThread {
    MatchWorkspace workspace;
    SharedCapture capture;
    cv::Mat grab;              // grab buffer (bytes), released after it has been mostly unused
    std::size_t grabUsed = 0;  // the largest grab of the current pass, in bytes
    int grabSparePasses = 0;   // passes in a row that used less than half of `grab`
  };
  std::vector<std::unique_ptr<PassThread>> threads;
  // Prepared templates of the registered records, within its budget (detect/match_cache.h).
  std::unique_ptr<MatchCache> cache = std::make_unique<MatchCache>();
  std::vector<std::uint64_t> liveSerials;  // the snapshot's records, sorted
  // Records added without a known screen size whose region was found to fit, sorted.
  std::vector<std::uint64_t> fittedSerials;
  std::unique_ptr<EvaluationPool> pool;    // declared last: its threads stop before the above go
};

// Loop start: the first "IDLE" heartbeat is due 5 s after `nowNs`.
DetectionLoopState StartDetectionLoop(std::int64_t nowNs);

// The template-set line for a snapshot, or "" when the set of names is unchanged. Updates
// `loggedTemplateList`. Pure apart from the state it is given.
std::string TemplateSetLine(const TemplateSnapshot& snapshot, std::string& loggedTemplateList);

// True when a template may be evaluated at `passTimeNs`.
bool IsDue(const TemplateInfo& info, std::int64_t passTimeNs);

// The memory the detection holds between passes: the cache's prepared templates, the threads'
// workspaces, their regions' derived data and their capture buffers.
std::size_t DetectionBytes(const DetectionLoopState& state);

// One pass without its closing pause. `passTimeNs` is read from `clock` after the snapshot and
// the template-set line. Once `stop` is requested (from any thread), no further evaluation of
// the pass begins, on this thread or on the pool's: the pass reports, in snapshot order, only
// the evaluations that ran, and the templates left out are neither reported nor stamped.
void RunDetectionPass(DetectionContext& context, DetectionLoopState& state,
                      const std::function<std::int64_t()>& clock, std::stop_token stop = {});

// Passes 50 ms apart until `stop` is requested (POSIX: SIGTERM or SIGINT; never on Windows).
// A request ends the loop after the evaluation in progress, and it cuts the pause short.
void RunDetectionLoop(DetectionContext& context, std::stop_token stop = {});

}  // namespace tavrik
