// The MatchCache's bound: the entries that fit stay (a stable subset), one that does not is handed
// out for its use only, and Retain drops whatever the caller no longer has.
#include "match/match_cache.h"
#include "match/tile_layout.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <span>
#include <string>
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

// What NeedFor states one template may hold is an upper bound of what it does hold: its prepared
// spectra, and a thread's workspace and region planes after matching it, for each kind across the
// tile sizes (standard tiles, a single tile of the region, twice-the-class tiles).
TEST(MatchCacheTest, NeedForBoundsWhatOneTemplateHolds) {
  struct Row {
    cv::Size region;
    int side;
  };
  const Row rows[] = {{{256, 256}, 64}, {{700, 500}, 40}, {{1100, 700}, 300}, {{330, 300}, 200}};
  cv::RNG rng(5);
  for (const Row& row : rows) {
    cv::Mat pixels(row.region, CV_8UC3);
    rng.fill(pixels, cv::RNG::UNIFORM, 0, 256);
    for (const int method : {cv::TM_CCOEFF_NORMED, cv::TM_SQDIFF_NORMED, cv::TM_CCORR_NORMED}) {
      SCOPED_TRACE(std::to_string(row.region.width) + " " + std::to_string(row.side) + " " +
                   std::to_string(method));
      MatchTemplate t;
      t.colour = pixels(cv::Rect(0, 0, row.side, row.side)).clone();
      cv::cvtColor(t.colour, t.greyPlane, cv::COLOR_BGR2GRAY);
      t.grey = method != cv::TM_CCORR_NORMED;
      t.method = method;
      t.kind = KindOf(t);
      ASSERT_NE(t.kind, MatchKind::kFallback);
      const EngineNeed need = NeedFor(t.kind, row.region, t.Size());
      MatchWorkspace workspace;
      const auto prepared = PrepareMatch(t, GeometryFor(row.region, t.Size()).dft,
                                         DefaultTransformKind(), workspace);
      RegionPixels region;
      region.Reset(pixels);
      MatchRequest request{&t, prepared.get(), {}, false};
      ASSERT_TRUE(MatchRegion(region, std::span<MatchRequest>(&request, 1), workspace));
      EXPECT_LE(prepared->Bytes(), need.prepared + sizeof(PreparedMatch));
      EXPECT_LE(workspace.Bytes() + region.Bytes(), need.perThread);
      EXPECT_GT(need.transforms, 0u);
    }
  }
}

// Admission asks about regions no capture could give (unchecked without a screen): the tiles of
// the largest int32 region still cover its map, and its need, however many threads, stays at least
// the region's own plane rather than wrapping to a small number.
TEST(MatchCacheTest, NeedForTheLargestRegionsDoesNotWrap) {
  constexpr int kMax = std::numeric_limits<int>::max();
  for (const cv::Size region : {cv::Size(kMax, kMax), cv::Size(kMax, 64), cv::Size(64, kMax)}) {
    for (const MatchKind kind : {MatchKind::kCoeffNormed, MatchKind::kMaskedCorr,
                                 MatchKind::kFallback}) {
      SCOPED_TRACE(std::to_string(region.width) + "x" + std::to_string(region.height) + " " +
                   std::to_string(static_cast<int>(kind)));
      const cv::Size templ(64, 64);
      const TileGrid grid = GridFor(GeometryFor(region, templ), region, templ);
      EXPECT_GE(std::int64_t{grid.tilesX} * grid.block.width, grid.corr.width);
      EXPECT_GE(std::int64_t{grid.tilesY} * grid.block.height, grid.corr.height);
      const EngineNeed need = NeedFor(kind, region, templ);
      const std::size_t plane =
          static_cast<std::size_t>(region.width) * static_cast<std::size_t>(region.height);
      std::size_t previous = 0;
      for (const int threads : {1, 2, 8, 64, 1 << 20}) {
        EXPECT_GE(need.Bytes(threads), plane) << threads;
        EXPECT_GE(need.Bytes(threads), previous) << threads;
        previous = need.Bytes(threads);
      }
    }
  }
}

}  // namespace
}  // namespace tavrik
