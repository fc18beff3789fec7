#include <thread>

#include <gtest/gtest.h>

#include "clients/ClientLog.hpp"
#include "clients/TServerClient.hpp"
#include "log/Log.hpp"
#include "platform/Clock.hpp"
#include "support/TestServer.hpp"

namespace qm {
namespace {

using test::ReadLines;
using test::TempDir;

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogFileName((dir.Path() / "test.log").string());
    SetClock(&clock);
    ResetLogRateLimiter();
  }
  void TearDown() override {
    SetClock(nullptr);
    SetLogFileName("qmserver.log");
  }
  std::vector<std::string> Lines() { return ReadLines(dir.Path() / "test.log"); }
  TempDir dir;
  TestClock clock{EncodeDateTime(2026, 3, 7, 9, 5, 4, 0), 1000};
};

TEST_F(LogTest, LineLayoutAndLineBreakHandling) {
  const double t = EncodeDateTime(2026, 3, 7, 9, 5, 4, 0);
  EXPECT_EQ(FormatLogLine(t, "hello"), "07/03/2026 09:05:04 | hello");
  EXPECT_EQ(FormatLogLine(t, "two\r\nwords"), "07/03/2026 09:05:04 | two : words");
  EXPECT_EQ(FormatLogLine(t, "a\nb"), "07/03/2026 09:05:04 | ab");
  EXPECT_EQ(FormatLogLine(t, "a\rb"), "07/03/2026 09:05:04 | a : b");
  EXPECT_EQ(FormatLogLine(t, ""), "07/03/2026 09:05:04 | ");
}

TEST_F(LogTest, EachLineEndsInCrLfAndAppends) {
  WriteLog("first", kLogProgress);
  WriteLog("second", kLogException);
  EXPECT_EQ(test::ReadFile(dir.Path() / "test.log"), "07/03/2026 09:05:04 | first\r\n07/03/2026 09:05:04 | second\r\n");
}

TEST_F(LogTest, UnwritableLogIsSilentlyIgnored) {
  SetLogFileName((dir.Path() / "missing-dir" / "x.log").string());
  WriteLog("lost", kLogProgress);  // must neither throw nor crash
  SUCCEED();
}

TEST_F(LogTest, ConcurrentWritersProduceWholeLines) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i)
        WriteLog("thread " + std::to_string(t) + " line " + std::to_string(i), kLogProgress);
    });
  for (auto& th : threads) th.join();
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 800u);
  for (const auto& l : lines) EXPECT_EQ(l.rfind("07/03/2026 09:05:04 | thread ", 0), 0u) << l;
}

TEST_F(LogTest, EventTraceComposesClientAndReplyParts) {
  TServerClient c(nullptr, nullptr, nullptr);
  c.SetClientName("Bob");
  c.SetPlayerId(4);
  LogEvent("CMD <-", "PlayerStatsReq", 60, &c);
  LogEvent("TCP/IP", "Disconnected", 0, nullptr);
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "07/03/2026 09:05:04 | CMD <- ClientId: 5 ClientName: Bob hReply: 60 PlayerStatsReq");
  EXPECT_EQ(lines[1], "07/03/2026 09:05:04 | TCP/IP Disconnected");
}

TEST_F(LogTest, NetworkTracesAreRateLimitedPerSourceWithASuppressedCount) {
  for (int i = 0; i < 1000; ++i)
    LogEventLimited("ALERT UDP", "Incoming traffic from unknown client ip: 10.0.0.1", "10.0.0.1", nullptr);
  LogEventLimited("ALERT UDP", "Incoming traffic from unknown client ip: 10.0.0.2", "10.0.0.2", nullptr);
  EXPECT_EQ(Lines().size(), 2u);
  clock.AdvanceMs(1000);
  LogEventLimited("ALERT UDP", "Incoming traffic from unknown client ip: 10.0.0.1", "10.0.0.1", nullptr);
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[2].find("(999 similar lines suppressed)"), std::string::npos) << lines[2];
}

TEST_F(LogTest, LimitedLinesAreLimitedPerKindAndSource) {
  for (int i = 0; i < 500; ++i) {
    WriteLogLimited("in: TUDPSender.ProcessUDPList exception ESocketError: no address", kLogWarning, "17");
    WriteLogLimited("in: TUDPSender.ProcessUDPList exception ESocketError: no address", kLogWarning, "18");
    WriteLogLimited("ALERT UDP: Incoming traffic from leaving client :Bob", kLogWarning, "17");
  }
  EXPECT_EQ(Lines().size(), 3u);
  clock.AdvanceMs(1000);
  WriteLogLimited("in: TUDPSender.ProcessUDPList exception ESocketError: no address", kLogWarning, "17");
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[3].find("exception ESocketError: no address (499 similar lines suppressed)"), std::string::npos)
      << lines[3];
}

TEST_F(LogTest, FloodFromEverNewSourcesStaysBounded) {
  for (int i = 0; i < 20000; ++i) LogEventLimited("ALERT UDP", "x", "src" + std::to_string(i), nullptr);
  EXPECT_LE(Lines().size(), 300u);
  // Forged datagram sources fill only their own table: a connection's lines are still written.
  const size_t before = Lines().size();
  for (int peer = 1; peer <= 30; ++peer) {
    LogSourceScope scope("127.0.1." + std::to_string(peer));
    WriteLog("Distroying client p[" + std::to_string(peer) + "]", kLogProgress);
  }
  EXPECT_EQ(Lines().size(), before + 30);
}

}  // namespace
}  // namespace qm
