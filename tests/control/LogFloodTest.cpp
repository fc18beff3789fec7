// Every line a peer can provoke is limited per source: a flood of refused logins from one
// address and of statistics requests from one client leaves a bounded log; control bytes in
// names are written escaped.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/QmClient.hpp"
#include "control/ControlPackets.hpp"
#include "platform/Clock.hpp"
#include "support/TestServer.hpp"

namespace qm {
namespace {

using client::ControlClient;
constexpr int kWaitMs = 5000;

TEST(LogFlood, RefusedLoginsAndStatisticsRequestsFromOneSourceLeaveABoundedLog) {
  // A clock that stands still: the limiter's one-second windows never roll over, so the bound
  // below does not depend on how fast this machine runs.
  TestClock clock(qm::Now(), qm::TickCount());
  SetClock(&clock);
  {
    test::TestServer t({{"General", "MaxClients", "1"}});
    ASSERT_TRUE(t.Started());
    ControlClient member;
    member.Connect("127.0.0.1", t.TcpPort());
    ASSERT_EQ(member.Login("member", "", "1.2.2"), kPktLoginAccepted);

    // Escape, bell, NUL and DEL in a name reach the log escaped.
    ControlClient odd;
    odd.SetLocalAddress("127.0.0.2");
    odd.Connect("127.0.0.1", t.TcpPort());
    EXPECT_EQ(odd.Login(std::string("a\x1b[2J\x07\x00\x7f"
                                    "b",
                                    9),
                        "", "1.2.2"),
              kReplyServerFull);
    EXPECT_TRUE(t.WaitForLog("ClientName: a\\x1b[2J\\x07\\x00\\x7fb "));

    const auto sizeBefore = std::filesystem::file_size(t.LogPath());
    const auto started = std::chrono::steady_clock::now();
    constexpr int kLogins = 1000, kRequests = 5000;
    for (int i = 0; i < kLogins; ++i) {
      ControlClient c;
      c.SetLocalAddress("127.0.0.2");
      c.Connect("127.0.0.1", t.TcpPort());
      ASSERT_EQ(c.Login("flood", "", "1.2.2"), kReplyServerFull);
    }
    for (int i = 0; i < kRequests; ++i) {  // one at a time: a burst would be read as one packet
      member.Send(ComposeCommand(kCmdServerStatsReq));
      ASSERT_TRUE(member.WaitFor({kPktServerStats}, kWaitMs)) << i;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const auto grown = std::filesystem::file_size(t.LogPath()) - sizeBefore;
    std::cout << kLogins << " refused logins and " << kRequests << " statistics requests in " << seconds
              << " s grew the log by " << grown << " bytes\n";
    // Two kinds of line for the logins, one for the requests, twenty of each at most.
    EXPECT_LT(grown, 3u * 20 * 200);
  }
  SetClock(nullptr);
}

size_t CountLines(const std::vector<std::string>& lines, const std::string& text) {
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

TEST(LogFlood, ThirtyClientsFromOneAddressAndAStopLeaveEveryCloseLineAndEveryCount) {
  TestClock clock(qm::Now(), qm::TickCount());  // one window throughout: nothing rolls over
  SetClock(&clock);
  {
    test::TestServer t({{"General", "MaxClients", "64"},
                        {"Limits", "MaxClientsPerAddress", "64"},
                        {"Passwords", "AdminPassword", "keys"}});
    ASSERT_TRUE(t.Started());
    std::vector<std::unique_ptr<ControlClient>> clients;
    for (int i = 0; i < 30; ++i) {
      clients.push_back(std::make_unique<ControlClient>());
      clients.back()->SetLocalAddress("127.0.0.2");
      clients.back()->Connect("127.0.0.1", t.TcpPort());
      ASSERT_EQ(clients.back()->Login("p" + std::to_string(i), "", "1.2.2"), kPktLoginAccepted) << i;
    }
    // An administrator's work is its record: 200 channels, 200 trace lines.
    ControlClient& admin = *clients.front();
    admin.Send(ComposeStringCommand(kCmdAdminLogin, "keys"));
    ASSERT_TRUE(admin.WaitFor({kPktPlayerIsAdmin}, kWaitMs));
    for (int i = 0; i < 200; ++i) {
      admin.Send(ComposeStringCommand(kCmdAdminCreateRoom, "room" + std::to_string(i)));
      ASSERT_TRUE(admin.WaitFor({kPktChannelAdded}, kWaitMs)) << i;
    }
    t.Stop();
    const auto lines = t.LogLines();
    EXPECT_EQ(CountLines(lines, "AdminCreateRoom RoomName: room"), 200u);
    EXPECT_EQ(CountLines(lines, "Created client p"), 30u);
    EXPECT_EQ(CountLines(lines, "Assigned playerId for client p"), 30u);
    EXPECT_EQ(CountLines(lines, " Disconnected"), 30u);
    EXPECT_EQ(CountLines(lines, "Distroying client p"), 30u);
    // Login attempts are limited per source, but none goes uncounted.
    size_t logins = 0;
    for (const auto& l : lines) {
      if (l.find("ClientLogin ClientName: p") == std::string::npos &&
          l.find("CMD <- ClientLogin from 127.0.0.2") == std::string::npos)
        continue;
      logins += l.find("ClientName: p") != std::string::npos;
      const size_t at = l.find(" (");
      if (at != std::string::npos && l.find("similar lines suppressed)", at) != std::string::npos)
        logins += std::stoul(l.substr(at + 2));
    }
    EXPECT_EQ(logins, 30u);
  }
  SetClock(nullptr);
}

}  // namespace
}  // namespace qm
