// The MatchCache's bound: the entries that fit stay (a stable subset), one that does not is handed
// out for its use only, and Retain drops whatever the caller no longer has.
#include "match/match_cache.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

namespace tavrik {
namespace {

MatchTemplate Template(int seed) {
  MatchTemplate t;
  t.colour = cv::Mat(16, 16, CV_8UC3);
  cv::RNG rng(static_cast<std::uint64_t>(seed));
  rng.fill(t.colour, cv::RNG::UNIFORM, 0, 256);
  cv::cvtColor(t.colour, t.greyPlane, cv::COLOR_BGR2GRAY);
  t.grey = true;
  t.method = cv::TM_CCOEFF_NORMED;
  t.kind = KindOf(t);
  return t;
}

TEST(MatchCacheTest, KeepsAStableSubsetAndPreparesOnlyWhatDoesNotFit) {
  MatchWorkspace workspace;
  const cv::Size dft(64, 64);
  const MatchTemplate templates[] = {Template(1), Template(2), Template(3), Template(4)};
  const std::size_t entry =
      PrepareMatch(templates[0], dft, TransformKind::kOpenCv, workspace)->Bytes();
  struct Row {
    std::size_t room;  // entries the budget holds
    int passes;
  };
  for (const Row row : {Row{4, 3}, Row{2, 3}, Row{0, 2}}) {
    MatchCache cache(entry * row.room + entry / 2);
    for (int pass = 0; pass < row.passes; ++pass) {
      const std::uint64_t before = cache.Preparations();
      for (std::uint64_t id = 0; id < 4; ++id) {
        bool kept = false;
        const auto prepared =
            cache.Get(id, templates[id], dft, TransformKind::kOpenCv, workspace, &kept);
        ASSERT_NE(prepared, nullptr);
        EXPECT_EQ(kept, id < row.room) << "room " << row.room << " id " << id;
        EXPECT_EQ(kept, cache.Holds(id, dft, TransformKind::kOpenCv));
      }
      // Every pass prepares the templates that do not fit, and only those (all in the first).
      const std::size_t unfit = 4 - std::min<std::size_t>(row.room, 4);
      EXPECT_EQ(cache.Preparations() - before, pass == 0 ? 4u : unfit) << "room " << row.room;
      EXPECT_LE(cache.Bytes(), cache.Budget());
      EXPECT_EQ(cache.Entries(), std::min<std::size_t>(row.room, 4));
    }
  }
}

TEST(MatchCacheTest, RetainKeepsOnlyTheLiveIdsAndFreesTheirRoomForOthers) {
  MatchWorkspace workspace;
  MatchCache cache;
  const MatchTemplate t = Template(7);
  for (std::uint64_t id : {1u, 2u, 3u}) {
    cache.Get(id, t, cv::Size(64, 64), TransformKind::kOpenCv, workspace);
    cache.Get(id, t, cv::Size(32, 32), TransformKind::kOpenCv, workspace);
  }
  const std::size_t all = cache.Bytes();
  cache.Retain({2});
  EXPECT_EQ(cache.Entries(), 2u);
  EXPECT_EQ(cache.Bytes() * 3, all);
  cache.Get(2, t, cv::Size(64, 64), TransformKind::kOpenCv, workspace);
  EXPECT_EQ(cache.Preparations(), 6u);  // 2's entries survived
  cache.Retain({});
  EXPECT_EQ(cache.Entries(), 0u);
  EXPECT_EQ(cache.Bytes(), 0u);
}

}  // namespace
}  // namespace tavrik
