#include "base/numeric.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/unique_handle.h"

namespace tavrik {
namespace {

TEST(NumberTextTest, DoublesLookLikeTheDefaultStream) {
  EXPECT_EQ(FormatDouble(0.9), "0.9");
  EXPECT_EQ(FormatDouble(-1.0), "-1");
  EXPECT_EQ(FormatDouble(0.0), "0");
  EXPECT_EQ(FormatDouble(1e-07), "1e-07");
  EXPECT_EQ(FormatDouble(0.123456789), "0.123457");
  EXPECT_EQ(FormatDouble(1234567.0), "1.23457e+06");
  EXPECT_EQ(FormatDouble(100000.0), "100000");
  EXPECT_EQ(FormatDouble(0.0001), "0.0001");
  EXPECT_EQ(FormatDouble(0.00001), "1e-05");

  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
  std::uniform_int_distribution<int> exponent(-12, 12);
  for (int i = 0; i < 2000; ++i) {
    const double v = mantissa(rng) * std::pow(10.0, exponent(rng));
    std::ostringstream stream;
    stream << v;
    ASSERT_EQ(FormatDouble(v), stream.str());
    // Floats are written widened, as the stream writes them: 0.85f shows as 0.85.
    const auto f = static_cast<float>(v);
    std::ostringstream floatStream;
    floatStream << f;
    ASSERT_EQ((LineText() << f).str(), floatStream.str());
  }
}

TEST(NumberTextTest, LinesComposeTextIntegersPointsAndRectangles) {
  const std::string line =
      (LineText() << "[X] " << std::int32_t{-5} << ' ' << std::uint64_t{7} << " at "
                  << IntPoint{3, -4} << " roi=" << IntRect{1, 2, 30, 40} << " t=" << 0.97f)
          .str();
  EXPECT_EQ(line, "[X] -5 7 at (3,-4) roi=(1,2,30x40) t=0.97");
  EXPECT_EQ(FormatRect({std::numeric_limits<std::int32_t>::min(), 0, 0, -1}),
            "(-2147483648,0,0x-1)");
}

TEST(NumberTextTest, RoundingAndSaturation) {
  EXPECT_EQ(NearestInt32(2.5), 3);
  EXPECT_EQ(NearestInt32(-2.5), -3);
  EXPECT_EQ(NearestInt32(2.4999), 2);
  EXPECT_EQ(NearestInt32(1e12), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(NearestInt32(-1e12), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(NearestInt32(std::numeric_limits<double>::infinity()),
            std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(NearestInt32(std::numeric_limits<double>::quiet_NaN()), 0);
  EXPECT_EQ(SaturateInt32(std::int64_t{1} << 40), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(SaturateInt32(-(std::int64_t{1} << 40)), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(SaturateInt32(-7), -7);
  const std::size_t half = SIZE_MAX / 2 + 1;
  EXPECT_EQ(SaturatingAdd(half, half), SIZE_MAX);
  EXPECT_EQ(SaturatingAdd(half, half - 1), SIZE_MAX);
  EXPECT_EQ(SaturatingMul(half, 2), SIZE_MAX);
  EXPECT_EQ(SaturatingMul(half - 1, 2), SIZE_MAX - 1);
  EXPECT_EQ(SaturatingMul(0, SIZE_MAX), 0u);
}

// Records every Close so that a double release or a leak shows up.
struct CountingTraits {
  using Value = int;
  static constexpr Value Invalid() noexcept { return -1; }
  static void Close(Value value) noexcept { closed.push_back(value); }
  static inline std::vector<int> closed;
};
using Counted = UniqueHandle<CountingTraits>;

TEST(UniqueHandleTest, ReleasesEachValueExactlyOnceAcrossMoves) {
  CountingTraits::closed.clear();
  {
    Counted a(1);
    Counted b(std::move(a));
    EXPECT_FALSE(a.Valid());
    Counted c(2);
    c = std::move(b);  // 2 is closed here; 1 moves into c
    EXPECT_EQ(CountingTraits::closed, std::vector<int>{2});
    EXPECT_EQ(c.Get(), 1);
    Counted d(3);
    EXPECT_EQ(d.Release(), 3);  // given up, never closed
    Counted e;
    e.Reset(4);
    e.Reset(5);
  }
  EXPECT_EQ(CountingTraits::closed, (std::vector<int>{2, 4, 5, 1}));
}

}  // namespace
}  // namespace tavrik
