// The MatchCache's bound: least recently used entries go first, an entry is never evicted while
// being handed out, and Retain drops whatever the registry no longer has.
#include "detect/match_cache.h"

#include <gtest/gtest.h>

#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "detect/color_metrics.h"

namespace tavrik {
namespace {

std::shared_ptr<TemplateInfo> Template(int seed) {
  auto info = std::make_shared<TemplateInfo>();
  info->name = "t" + std::to_string(seed);
  cv::Mat image(16, 16, CV_8UC3);
  cv::RNG rng(static_cast<std::uint64_t>(seed));
  rng.fill(image, cv::RNG::UNIFORM, 0, 256);
  info->image = image;
  cv::cvtColor(image, info->gray, cv::COLOR_BGR2GRAY);
  info->hueSat = MeanHueSat(image);
  info->lab = MeanLab(image);
  return info;
}

class MatchCacheTest : public ::testing::Test {
 protected:
  std::size_t EntryBytes() {
    MatchCache probe;
    return probe.Get(*Template(99), kRegion, TransformKind::kOpenCv, workspace_)->Bytes();
  }
  const cv::Size kRegion{64, 48};
  MatchWorkspace workspace_;
  std::shared_ptr<TemplateInfo> a_ = Template(1), b_ = Template(2), c_ = Template(3);
};

TEST_F(MatchCacheTest, PreparesOncePerRegionSizeAndEvictsTheLeastRecentlyUsed) {
  const std::size_t entry = EntryBytes();
  ASSERT_GT(entry, 0u);
  MatchCache cache(entry * 5 / 2);  // room for two
  const auto get = [&](const TemplateInfo& info) {
    return cache.Get(info, kRegion, TransformKind::kOpenCv, workspace_);
  };
  get(*a_);
  get(*b_);
  get(*a_);  // a is now the most recently used
  EXPECT_EQ(cache.Preparations(), 2u);
  get(*c_);  // b goes
  EXPECT_EQ(cache.Entries(), 2u);
  EXPECT_LE(cache.Bytes(), cache.Budget());
  get(*a_);
  EXPECT_EQ(cache.Preparations(), 3u);
  get(*b_);  // prepared again: slower, never wrong
  EXPECT_EQ(cache.Preparations(), 4u);

  // Another region size is another entry of the same template.
  cache.Get(*a_, cv::Size(80, 48), TransformKind::kOpenCv, workspace_);
  EXPECT_EQ(cache.Preparations(), 5u);
}

TEST_F(MatchCacheTest, AnEntryLargerThanTheBudgetIsHandedOutThenGoesWithTheNextTrim) {
  MatchCache cache(1);
  const auto prepared = cache.Get(*a_, kRegion, TransformKind::kOpenCv, workspace_);
  ASSERT_NE(prepared, nullptr);
  EXPECT_EQ(cache.Entries(), 1u);  // the one just made is never its own victim
  cache.Get(*b_, kRegion, TransformKind::kOpenCv, workspace_);
  EXPECT_EQ(cache.Entries(), 1u);
  cache.EvictTo(0);
  EXPECT_EQ(cache.Entries(), 0u);
  EXPECT_EQ(cache.Bytes(), 0u);
  EXPECT_GT(prepared->Bytes(), 0u);  // still alive for whoever holds it
}

TEST_F(MatchCacheTest, RetainKeepsOnlyTheLiveRecords) {
  MatchCache cache;
  for (const auto& info : {a_, b_, c_}) {
    cache.Get(*info, kRegion, TransformKind::kOpenCv, workspace_);
    cache.Get(*info, cv::Size(32, 32), TransformKind::kOpenCv, workspace_);
  }
  const std::size_t all = cache.Bytes();
  std::vector<std::uint64_t> live{b_->serial.Value()};
  cache.Retain(live);
  EXPECT_EQ(cache.Entries(), 2u);
  EXPECT_LT(cache.Bytes(), all);
  cache.Get(*b_, kRegion, TransformKind::kOpenCv, workspace_);
  EXPECT_EQ(cache.Preparations(), 6u);  // b's entries survived
  cache.Retain({});
  EXPECT_EQ(cache.Entries(), 0u);
  EXPECT_EQ(cache.Bytes(), 0u);
}

}  // namespace
}  // namespace tavrik
