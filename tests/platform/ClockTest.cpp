#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "platform/Clock.hpp"

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

}  // namespace
}  // namespace qm
