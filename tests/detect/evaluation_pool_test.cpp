// The DetectionLoop with an evaluation pool: templates that watch the same rectangle share one
// capture, evaluations run on several threads, and the decisions are still reported in snapshot
// order with the lines a single thread composes. Labelled "threads" (CI runs it under TSan), and
// run with up to four threads whatever the machine has.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <thread>
#include <vector>

#include "base/cpu_load.h"
#include "detect/color_metrics.h"
#include "detect/detection_loop.h"
#include "detect/template_prepare.h"

namespace tavrik {
namespace {

constexpr std::int64_t kSecond = 1'000'000'000;

class PoolPass {
 public:
  explicit PoolPass(int threads) { context_.poolThreads = threads; }

  // `roi` on the screen; with `ownWindow` the rectangle is a window of its own (its origin at
  // the rectangle's corner), so that rectangles are grabbed apart and can be evaluated on
  // different threads; otherwise every rectangle is in one window at (0, 0).
  void Add(const std::string& name, IntRect roi, cv::Rect cut, bool ownWindow = true) {
    auto info = std::make_shared<TemplateInfo>();
    info->name = name;
    info->image = screen_(cut).clone();
    ASSERT_TRUE(PrepareTemplate(*info, 0.9f));
    if (ownWindow) {
      info->windowOrigin = {roi.x, roi.y};
      roi.x = 0;
      roi.y = 0;
    }
    info->rawRoi = info->roi = roi;
    registry_.ReplaceOrInsert(name, info);
  }
  // The line the template composes when it is evaluated alone, from a capture of its own.
  std::string LineAlone(const std::string& name) {
    for (const TemplatePtr& info : registry_.SnapshotTemplates()) {
      if (info->name != name) continue;
      std::vector<std::string> lines;
      const LogSink alone{[&](std::string_view l) { lines.emplace_back(l); }};
      EvaluateTemplate(*info, alone, nullptr, context_.capture);
      return lines.empty() ? "" : lines.back();
    }
    return "";
  }
  std::vector<std::string> LastBoxes() const { return boxes_; }
  void Pass(std::int64_t now) {
    RunDetectionPass(context_, state_, [now] { return now; });
  }

  std::vector<std::string> DecisionLines() const {
    std::vector<std::string> out;
    for (const std::string& line : lines_) {
      if (line.rfind("[Loop]", 0) != 0) out.push_back(line);
    }
    return out;
  }
  std::vector<std::string> SnapshotOrder() const {
    std::vector<std::string> names;
    for (const TemplatePtr& info : registry_.SnapshotTemplates()) names.push_back(info->name);
    return names;
  }
  std::vector<std::string> LineOrder() const {
    std::vector<std::string> names;
    for (const std::string& line : DecisionLines()) {
      const std::size_t start = line.find(' ') + 1;
      names.push_back(line.substr(start, line.find(' ', start) - start));
    }
    return names;
  }
  int Captures() const { return captures_.load(); }

 private:
  cv::Mat screen_ = [] {
    cv::Mat m(200, 300, CV_8UC3);
    cv::RNG(9).fill(m, cv::RNG::UNIFORM, 0, 256);
    cv::GaussianBlur(m, m, cv::Size(5, 5), 1.5);
    return m;
  }();
  std::atomic<int> captures_{0};
  std::mutex boxesMutex_;
  std::vector<std::string> boxes_;
  TemplateRegistry registry_;
  std::vector<std::string> lines_;  // LogSink serialises Emit; only the loop's thread emits
  LogSink log_{[this](std::string_view l) { lines_.emplace_back(l); }};
  DetectionContext context_{
      registry_, nullptr, log_,
      FromImageSource([this](std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h) {
        ++captures_;
        {
          const std::lock_guard<std::mutex> lock(boxesMutex_);
          boxes_.push_back(std::to_string(x) + "," + std::to_string(y) + "," + std::to_string(w) +
                           "x" + std::to_string(h));
        }
        cv::Mat out;
        cv::cvtColor(screen_(cv::Rect(x, y, w, h)), out, cv::COLOR_BGR2BGRA);
        return out;
      })};
  DetectionLoopState state_ = StartDetectionLoop(0);
};

void AddSix(PoolPass& p, bool ownWindows = true) {
  const IntRect a{0, 0, 120, 100};
  const IntRect b{100, 50, 150, 120};
  const IntRect c{30, 80, 200, 100};
  p.Add("t1:one", a, cv::Rect(20, 30, 24, 24), ownWindows);
  p.Add("t2:two", b, cv::Rect(150, 90, 32, 20), ownWindows);
  p.Add("t3:three", c, cv::Rect(60, 100, 16, 16), ownWindows);
  p.Add("general:four", a, cv::Rect(50, 10, 30, 30), ownWindows);
  p.Add("t2:five", c, cv::Rect(100, 120, 20, 20), ownWindows);
  p.Add("t3:six", b, cv::Rect(180, 60, 40, 30), ownWindows);
}

TEST(EvaluationPoolTest, OneThreadPerCoreLeftFreeByOthersAtMostFour) {
  for (const auto& [cores, threads] :
       {std::pair{0u, 1}, {1u, 1}, {2u, 2}, {3u, 3}, {64u, kMaxPoolThreads}, {~0u, kMaxPoolThreads}}) {
    EXPECT_EQ(PoolThreadsFor(cores), threads) << cores;
  }
  // Readings 100 ticks apart on 2 cores (200 in all): others' busy time is the system's busy time
  // less ours.
  struct Row {
    std::uint64_t busy, ours;
    int wanted, threads;
  };
  for (const Row row : {Row{200, 200, 2, 2},    // only we were busy
                        Row{200, 100, 2, 1},    // another program kept one core
                        Row{200, 0, 2, 1},      // others kept both: still the caller's own
                        Row{60, 0, 2, 1},       // 0.6 of a core taken: 1.4 free, rounded
                        Row{40, 0, 2, 2},       // 0.4 taken: 1.6 free
                        Row{0, 0, 1, 1}}) {     // a pool of one stays one
    const CpuTimes from{1000, 5000, 300};
    const CpuTimes to{1000 + row.busy, 5200, 300 + row.ours};
    EXPECT_EQ(PassThreads(row.wanted, FreeCoresBetween(from, to, 2)), row.threads)
        << row.busy << " " << row.ours;
  }
  // Readings out of order say nothing: every core counts as free.
  EXPECT_EQ(FreeCoresBetween({10, 100, 0}, {5, 50, 0}, 2), 2.0);
}

TEST(EvaluationPoolTest, PooledPassReportsInSnapshotOrderWithTheSameLines) {
  PoolPass single(1);
  AddSix(single);
  single.Pass(1 * kSecond);
  EXPECT_EQ(single.Captures(), 3) << "one capture per distinct rectangle";
  ASSERT_EQ(single.DecisionLines().size(), 6u);
  EXPECT_EQ(single.LineOrder(), single.SnapshotOrder());

  for (int threads : {2, 3, 4}) {
    PoolPass pooled(threads);
    AddSix(pooled);
    for (int pass = 1; pass <= 3; ++pass) pooled.Pass(pass * kSecond);
    EXPECT_EQ(pooled.Captures(), 9) << threads;
    const std::vector<std::string> lines = pooled.DecisionLines();
    ASSERT_EQ(lines.size(), 18u) << threads;
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 6), single.DecisionLines())
        << threads;
    // The later passes see the same pixels: reused evaluations, the same lines.
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 6, lines.begin() + 12),
              single.DecisionLines());
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 12, lines.end()), single.DecisionLines());
  }
}

// OpenCV's thread setting is process-wide, so the pool leaves it to start-up: passes on four
// threads while another thread prepares a large template (an add, in OpenCV's parallel code)
// change nothing of it.
TEST(EvaluationPoolTest, PooledPassesLeaveOpenCvsThreadSettingToStartUp) {
  const int original = cv::getNumThreads();
  cv::setNumThreads(3);
  if (cv::getNumThreads() != 3) {
    cv::setNumThreads(original);
    // An OpenCV built without a parallel framework (the static Win32 one) has no setting to keep.
    GTEST_SKIP() << "OpenCV has no thread setting here";
  }
  std::atomic<bool> passesDone{false};
  std::atomic<int> prepared{0};
  std::thread add([&] {
    cv::Mat large(1080, 1920, CV_8UC3);
    cv::RNG(4).fill(large, cv::RNG::UNIFORM, 0, 256);
    while (!passesDone || prepared == 0) {
      TemplateInfo info;
      info.name = "t2:large";
      info.image = large;
      if (PrepareTemplate(info, 0.5f)) ++prepared;
    }
  });
  PoolPass pooled(kMaxPoolThreads);
  AddSix(pooled);
  for (int pass = 1; pass <= 3; ++pass) pooled.Pass(pass * kSecond);
  passesDone = true;
  add.join();
  EXPECT_EQ(pooled.DecisionLines().size(), 18u);
  EXPECT_EQ(cv::getNumThreads(), 3);

  // Start-up's own call: OpenCV's loops off only where the pool runs several threads.
  ConfigureImageThreads(1);
  EXPECT_EQ(cv::getNumThreads(), 3);
  ConfigureImageThreads(kMaxPoolThreads);
  EXPECT_EQ(cv::getNumThreads(), 1);
  cv::setNumThreads(original);
}

TEST(EvaluationPoolTest, RectanglesOfOneWindowAreReadWithOneGrabAndDecideAsAlone) {
  // The three rectangles of one window overlap: their bounding box (250x180) is compact, so one
  // grab serves all six templates, each reading its rectangle as a view into it.
  for (int threads : {1, 3}) {
    PoolPass p(threads);
    AddSix(p, /*ownWindows=*/false);
    p.Pass(1 * kSecond);
    EXPECT_EQ(p.Captures(), 1) << threads;
    EXPECT_EQ(p.LastBoxes(), std::vector<std::string>{"0,0,250x180"}) << threads;
    const std::vector<std::string> lines = p.DecisionLines();
    ASSERT_EQ(lines.size(), 6u) << threads;
    EXPECT_EQ(p.LineOrder(), p.SnapshotOrder()) << threads;
    for (const std::string& line : lines) {
      const std::size_t start = line.find(' ') + 1;
      const std::string name = line.substr(start, line.find(' ', start) - start);
      EXPECT_EQ(line, p.LineAlone(name)) << threads;
    }
  }
}

}  // namespace
}  // namespace tavrik
