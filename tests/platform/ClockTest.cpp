#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "platform/Clock.hpp"
#include "platform/TokenBucket.hpp"

namespace qm {
namespace {

std::string Decoded(double t) {
  const DateTimeParts p = DecodeDateTime(t);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", p.year, p.month, p.day, p.hour, p.minute,
                p.second, p.millisecond);
  return text;
}

TEST(DateTime, EncodesKnownDaysSinceEpoch) {
  EXPECT_DOUBLE_EQ(EncodeDateTime(1899, 12, 30, 0, 0, 0, 0), 0.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime(2000, 1, 1, 0, 0, 0, 0), 36526.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime(2000, 1, 1, 12, 0, 0, 0), 36526.5);
  EXPECT_DOUBLE_EQ(EncodeDateTime(2000, 3, 1, 0, 0, 0, 0) - EncodeDateTime(2000, 2, 28, 0, 0, 0, 0), 2.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime(1900, 3, 1, 0, 0, 0, 0) - EncodeDateTime(1900, 2, 28, 0, 0, 0, 0), 1.0);
}

TEST(DateTime, DecodeRoundTripsLeapDayAndMilliseconds) {
  EXPECT_EQ(Decoded(0.0), "1899-12-30 00:00:00.000");
  EXPECT_EQ(Decoded(EncodeDateTime(2024, 2, 29, 23, 59, 59, 999)), "2024-02-29 23:59:59.999");
  EXPECT_EQ(Decoded(EncodeDateTime(2038, 1, 19, 3, 14, 8, 1)), "2038-01-19 03:14:08.001");
}

TEST(DateTime, MillisecondsOfKeepsOnlyTimeOfDay) {
  EXPECT_EQ(MillisecondsOf(EncodeDateTime(2000, 1, 1, 1, 2, 3, 4)), 3723004u);
  EXPECT_EQ(MillisecondsOf(36526.0), 0u);
  EXPECT_EQ(MillisecondsOf(25.0 / 24.0), 3600000u);  // an uptime of 25 hours reads as 1 hour
  const double start = EncodeDateTime(2000, 1, 1, 23, 0, 0, 0);
  EXPECT_EQ(MillisecondsOf(EncodeDateTime(2000, 1, 2, 0, 30, 0, 0) - start), 5400000u);
}

TEST(TestClockTest, StepsNowAndTickTogetherAndWraps) {
  TestClock clock(EncodeDateTime(2000, 1, 1, 0, 0, 0, 0), 0xFFFFFF00u);
  clock.AdvanceMs(1500);
  EXPECT_EQ(clock.TickCount(), 0xFFFFFF00u + 1500u);  // wraps like the system counter
  EXPECT_EQ(MillisecondsOf(clock.Now()), 1500u);
  clock.SetTick(7);
  EXPECT_EQ(clock.TickCount(), 7u);
}

TEST(TestClockTest, SetClockInstallsAndRemoves) {
  TestClock clock(123.25, 42);
  SetClock(&clock);
  EXPECT_EQ(&Clock(), &clock);
  EXPECT_DOUBLE_EQ(Now(), 123.25);
  EXPECT_EQ(TickCount(), 42u);
  SetClock(nullptr);
  EXPECT_NE(&Clock(), &clock);
  EXPECT_GT(Now(), EncodeDateTime(2000, 1, 1, 0, 0, 0, 0));
}

// The budget every per-client limit draws on: burst at once, then the rate, across the tick's wrap.
TEST(TokenBucket, BurstThenRateAcrossTheTickWrap) {
  const uint32_t start = 0xFFFFFF00u;  // wraps 256 ms in
  TokenBucket b;
  b.Configure(10, 20, start);
  int taken = 0;
  while (b.TryTake(start)) ++taken;
  EXPECT_EQ(taken, 20);
  EXPECT_EQ(b.WaitMs(start), 100u);
  EXPECT_FALSE(b.TryTake(start + 99));
  EXPECT_TRUE(b.TryTake(start + 100));
  // A quiet second and a half refills 15, never above the burst.
  EXPECT_EQ(b.WaitMs(start + 1600, 15), 0u);
  EXPECT_FALSE(b.TryTake(start + 1600, 16));
  b.Configure(32000, 32000, 5);
  EXPECT_TRUE(b.TryTake(5, 32000));
  EXPECT_FALSE(b.TryTake(5, 1));
  EXPECT_EQ(b.WaitMs(5, 500), 16u);
  b.Configure(0, 0, 0);
  EXPECT_TRUE(b.TryTake(0, 1u << 30));
  EXPECT_EQ(b.WaitMs(0, 1u << 30), 0u);
}

}  // namespace
}  // namespace qm
