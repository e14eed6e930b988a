#include "detect/grab_plan.h"

#include <gtest/gtest.h>

#include <vector>

namespace tavrik {
namespace {

std::vector<Grab> Plan(const std::vector<IntRect>& rects) {
  std::vector<Grab> grabs;
  PlanWindowGrabs(rects, grabs);
  return grabs;
}

TEST(GrabPlan, UnionAreaCountsOverlapOnce) {
  EXPECT_EQ(UnionArea(std::vector<IntRect>{}), 0);
  EXPECT_EQ(UnionArea(std::vector<IntRect>{{5, 5, 10, 20}}), 200);
  // Disjoint, touching, nested, crossing, repeated, and sides below 1 (which cover nothing).
  EXPECT_EQ(UnionArea(std::vector<IntRect>{{0, 0, 10, 10}, {20, 20, 10, 10}}), 200);
  EXPECT_EQ(UnionArea(std::vector<IntRect>{{0, 0, 10, 10}, {10, 0, 10, 10}}), 200);
  EXPECT_EQ(UnionArea(std::vector<IntRect>{{0, 0, 10, 10}, {2, 2, 3, 3}}), 100);
  EXPECT_EQ(UnionArea(std::vector<IntRect>{{0, 4, 10, 2}, {4, 0, 2, 10}}), 36);
  EXPECT_EQ(UnionArea(std::vector<IntRect>(5, IntRect{-7, -3, 4, 4})), 16);
  EXPECT_EQ(UnionArea(std::vector<IntRect>{{0, 0, 0, 10}, {0, 0, 10, -1}}), 0);
  // Large coordinates do not overflow.
  EXPECT_EQ(UnionArea(std::vector<IntRect>{{INT32_MAX - 100, INT32_MIN, 100, 70000}}), 7'000'000);
}

TEST(GrabPlan, BoundingBoxSpansEveryRectangle) {
  EXPECT_EQ(BoundingBox(std::vector<IntRect>{{10, 20, 5, 5}, {-5, 30, 10, 10}}),
            (IntRect{-5, 20, 20, 20}));
}

TEST(GrabPlan, CompactRectanglesOfAWindowShareOneGrab) {
  // Two 100x100 side by side with a 50-pixel gap: box 250x100 = 25,000 <= 2 x 20,000.
  const std::vector<Grab> grabs = Plan({{0, 0, 100, 100}, {150, 0, 100, 100}});
  ASSERT_EQ(grabs.size(), 1u);
  EXPECT_EQ(grabs[0].box, (IntRect{0, 0, 250, 100}));
  EXPECT_EQ(grabs[0].members, (std::vector<std::size_t>{0, 1}));
  // Exactly twice the covered area is still compact; one column more is not.
  EXPECT_EQ(Plan({{0, 0, 100, 100}, {300, 0, 100, 100}}).size(), 1u);
  EXPECT_EQ(Plan({{0, 0, 100, 100}, {301, 0, 100, 100}}).size(), 2u);
  EXPECT_EQ(Plan({{0, 0, 100, 100}, {100, 100, 100, 100}}).size(), 1u);  // 40,000 = 2 x 20,000
}

TEST(GrabPlan, SparseRectanglesAreGrabbedAlone) {
  const std::vector<Grab> grabs = Plan({{0, 0, 64, 64}, {1000, 800, 64, 64}, {0, 0, 64, 64}});
  ASSERT_EQ(grabs.size(), 2u);
  EXPECT_EQ(grabs[0].box, (IntRect{0, 0, 64, 64}));
  EXPECT_EQ(grabs[0].members, (std::vector<std::size_t>{0, 2}));  // equal ones share a read
  EXPECT_EQ(grabs[1].box, (IntRect{1000, 800, 64, 64}));
  EXPECT_EQ(grabs[1].members, (std::vector<std::size_t>{1}));
}

TEST(GrabPlan, OverlapDoesNotMakeASparseSetLookCompact) {
  // Ten copies of one rectangle and one far away: by the sum of areas the box would pass
  // (11 x 10,000 = 110,000 covered against a 100,000 box), by the union it must not.
  std::vector<IntRect> rects(10, IntRect{0, 0, 100, 100});
  rects.push_back({900, 0, 100, 100});
  const std::vector<Grab> grabs = Plan(rects);
  ASSERT_EQ(grabs.size(), 2u);
  EXPECT_EQ(grabs[0].members.size(), 10u);
  EXPECT_EQ(grabs[1].members, (std::vector<std::size_t>{10}));
}

TEST(GrabPlan, HugeBoxesAndEmptyRectanglesAreNotGrouped) {
  // Compact, but beyond the grouped-grab bound.
  EXPECT_EQ(Plan({{0, 0, 4096, 4096}, {4096, 0, 4096, 4096}}).size(), 2u);
  EXPECT_EQ(Plan({{0, 0, 4096, 2048}, {0, 2048, 4096, 2048}}).size(), 1u);  // 2^24 exactly
  EXPECT_EQ(Plan({{0, 0, 10, 10}, {5, 5, 0, 0}}).size(), 2u);
  EXPECT_TRUE(Plan({}).empty());
}

}  // namespace
}  // namespace tavrik
