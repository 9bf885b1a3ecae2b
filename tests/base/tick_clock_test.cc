// The task clock keeps counting across the 32-bit tick's wrap.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "base/tick_clock.h"

namespace nbase {
namespace {

uint32_t g_fake_ticks = 0;
uint32_t FakeTicks() { return g_fake_ticks; }

TEST(TickClockTest, ExtendsTheTickAcrossRollOvers) {
  TickClock clock(&FakeTicks);
  constexpr int64_t k2To32 = int64_t{1} << 32;
  struct Step {
    uint32_t ticks;
    int64_t expected_ms;
  };
  const std::vector<Step> steps = {
      {0xFFFFFF00u, 0xFFFFFF00LL},
      {0xFFFFFFFFu, 0xFFFFFFFFLL},
      {5u, k2To32 + 5},  // wrapped
      {5u, k2To32 + 5},  // same reading: no second wrap
      {1000u, k2To32 + 1000},
      {0xFFFFFFF0u, k2To32 + 0xFFFFFFF0LL},
      {3u, 2 * k2To32 + 3},  // second wrap
  };
  for (const Step& s : steps) {
    g_fake_ticks = s.ticks;
    EXPECT_EQ(clock.NowMilliseconds(), s.expected_ms) << s.ticks;
  }
  g_fake_ticks = 4;
  EXPECT_EQ(clock.NowMicroseconds(), (2 * k2To32 + 4) * 1000);
}

TEST(TickClockTest, ProcessClockNeverGoesBackwards) {
  int64_t last = TickClock::Instance().NowMilliseconds();
  for (int i = 0; i < 10000; ++i) {
    const int64_t now = TickClock::Instance().NowMilliseconds();
    ASSERT_GE(now, last);
    last = now;
  }
  EXPECT_EQ(NowMicroseconds() / 1000 >= last, true);
}

}  // namespace
}  // namespace nbase
