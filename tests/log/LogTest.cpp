#include <algorithm>
#include <iostream>
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
  // The other two held-back counts had no later line: their window's end wrote them first.
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 6u);
  const std::vector<std::string> notes{lines[3].substr(22), lines[4].substr(22)};
  EXPECT_TRUE(std::is_permutation(
      notes.begin(), notes.end(),
      std::vector<std::string>{"in: TUDPSender.ProcessUDPList from 18 (499 similar lines suppressed)",
                               "ALERT UDP: from 17 (499 similar lines suppressed)"}
          .begin()))
      << lines[3] << "\n"
      << lines[4];
  EXPECT_NE(lines[5].find("exception ESocketError: no address (499 similar lines suppressed)"), std::string::npos)
      << lines[5];
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

// The number in "(N similar lines suppressed)" or after "a minute): ", 0 without one.
uint64_t CountIn(const std::string& line) {
  const size_t at = line.find("similar lines suppressed)") != std::string::npos ? line.rfind(" (") + 2
                    : line.find("a minute): ") != std::string::npos             ? line.find("a minute): ") + 11
                                                                                : std::string::npos;
  return at == std::string::npos ? 0 : std::stoull(line.substr(at));
}

TEST_F(LogTest, ManySourcesMeetOneCeilingPerKindAndEveryHeldBackLineIsCounted) {
  // 600 forged sources, 4 unknown-key datagrams a second each, for 2 minutes of clock; then
  // every window ends. Lines written, the counts they carry, notes and summaries add up.
  uint64_t sent = 0, accounted = 0;
  for (int step = 0; step < 480; ++step, clock.AdvanceMs(250)) {
    for (int source = 0; source < 600; ++source, ++sent)
      LogEventLimited("ALERT UDP", "Incoming traffic from unknown client ip: x", std::to_string(source), nullptr);
  }
  for (const uint32_t ms : {1000, 60 * 1000}) {
    clock.AdvanceMs(ms);
    FlushLogNotes();
  }
  const auto lines = Lines();
  std::cout << sent << " datagram traces over 120 s left " << lines.size() << " lines\n";
  EXPECT_LE(lines.size(), 3u * (kKindLinesPerMinute + 1));
  for (const auto& l : lines) accounted += CountIn(l) + (l.find("| ALERT UDP Incoming") != std::string::npos);
  EXPECT_EQ(accounted, sent);
  EXPECT_NE(lines.back().find("| Held back in the last 60 s (over 120 lines of a kind a minute): "), std::string::npos)
      << lines.back();
}

TEST_F(LogTest, AHeldBackCountWaitsToItsWindowsEndThenAnyLineWritesIt) {
  {
    LogSourceScope scope("10.0.0.9");
    for (int i = 0; i < 25; ++i) LogEvent("CMD <-", "PlayerStatsReq", 60);
    clock.AdvanceMs(999);
    FlushLogNotes();
    LogEvent("CMD <-", "PlayerStatsReq", 60);  // still in the window: held back
  }
  EXPECT_EQ(Lines().size(), 20u);
  clock.AdvanceMs(1);
  WriteLog("quiet", kLogProgress);
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 22u);
  EXPECT_EQ(lines[20], "07/03/2026 09:05:05 | CMD <- PlayerStatsReq from 10.0.0.9 (6 similar lines suppressed)");
}

TEST_F(LogTest, EachHeldBackCountWaitsForItsOwnWindowsEnd) {
  // Windows 1 ms apart: when the first one's count goes out, the second is 999 ms in and waits.
  for (const char* source : {"A", "B"}) {
    for (int i = 0; i < 2; ++i) WriteLogLimited("ALERT UDP: x", kLogWarning, source);
    clock.AdvanceMs(1);
  }
  clock.AdvanceMs(998);
  FlushLogNotes();
  EXPECT_EQ(Lines().size(), 3u);
  clock.AdvanceMs(1);
  FlushLogNotes();
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2].substr(22), "ALERT UDP: from A (1 similar lines suppressed)");
  EXPECT_EQ(lines[3].substr(22), "ALERT UDP: from B (1 similar lines suppressed)");
}

TEST_F(LogTest, AFullTableForgetsNoSourceBeforeItsWindowHasEnded) {
  // 256 datagram sources fill their table, one line each; four kinds keep every kind under its ceiling.
  const auto line = [](int source) {
    WriteLogLimited("kind" + std::to_string(source % 4) + " from: " + std::to_string(source), kLogWarning,
                    std::to_string(source));
  };
  for (int source = 0; source < 256; ++source) line(source);
  ASSERT_EQ(Lines().size(), 256u);
  clock.AdvanceMs(999);
  line(1000);  // a newcomer to the full table: the quiet sources are looked at, none has ended
  line(0);     // 999 ms into its window: still held back
  EXPECT_EQ(Lines().size(), 257u);
  clock.AdvanceMs(1);
  line(0);
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 258u);
  EXPECT_EQ(lines.back().substr(22), "kind0 from: 0 (1 similar lines suppressed)");
}

}  // namespace
}  // namespace qm
