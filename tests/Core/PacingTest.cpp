#include "Core/Pacing.h"

#include <gtest/gtest.h>

#include <tuple>

namespace vl {
namespace {

TEST(Pacing, TimestampsCatchUpAndKeyframeDeadlines) {
  // 29.97 fps: 3003.003 ticks a frame, rounded from the start each time.
  EXPECT_EQ(timestamp90k(1, 29.97), 3003);
  EXPECT_EQ(timestamp90k(1000, 29.97), 3003003);
  EXPECT_EQ(timestamp90k(333, 29.97), 1000000);  // 999999.999 rounds up
  // 30000/1001 keeps exact whole steps.
  EXPECT_EQ(timestamp90k(30000, 30000.0 / 1001.0), 90090000);

  // One second stalled at 25 fps after picture 10: the next one is number 35.
  EXPECT_EQ(catchUp(11, 1.4, 25.0), 35u);
  EXPECT_EQ(timestamp90k(catchUp(11, 1.4, 25.0), 25.0) - timestamp90k(10, 25.0), 90000);
  // Just late: keep counting.
  EXPECT_EQ(catchUp(11, 0.41, 25.0), 11u);
  EXPECT_EQ(catchUp(5, -1.0, 25.0), 5u);

  // 29.97 fps: picture 29 is at 87087 ticks, 30 at 90090.
  for (auto [pts, fps, n] : {std::tuple<std::int64_t, double, std::uint64_t>{90000, 29.97, 29}, {90090, 29.97, 30},
                             {3599, 25.0, 0}, {3600, 25.0, 1}, {-5, 25.0, 0}, {INT64_MAX, 25.0, UINT64_MAX}})
    EXPECT_EQ(lastPictureBy(pts, fps), n) << pts << " at " << fps;
}

}  // namespace
}  // namespace vl
