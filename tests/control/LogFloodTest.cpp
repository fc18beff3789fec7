// Every line a peer can provoke is limited per source: a flood of refused logins from one
// address and of statistics requests from one client leaves a bounded log; control bytes in
// names are written escaped.
#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
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
using test::kWaitMs;

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

TEST(LogFlood, ThirtyClientsFromOneAddressAnAdministratorsWorkAndAStopLeaveEveryLineOrItsCount) {
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
      ASSERT_EQ(clients.back()->Login("p", "", "1.2.2"), kPktLoginAccepted) << i;
    }
    clients[0]->Send(ComposeStringCommand(kCmdAdminLogin, "keys"));
    ASSERT_TRUE(clients[0]->WaitFor({kPktPlayerIsAdmin}, kWaitMs));
    for (int i = 0; i < 200; ++i) {
      clients[0]->Send(ComposeStringCommand(kCmdAdminCreateRoom, "room" + std::to_string(i)));
      ASSERT_TRUE(clients[0]->WaitFor({kPktChannelAdded}, kWaitMs)) << i;
    }
    t.Stop();
    std::map<std::string, uint64_t> seen;
    for (const auto& l : t.LogLines()) {
      for (const char* text : {"AdminCreateRoom RoomName: room", "Created client p", "Assigned playerId for client p",
                               " Disconnected", "Distroying client p", "ClientLogin ClientName: p"})
        seen[text] += l.find(text) != std::string::npos;
      // Each login that got in is traced on its own line, none held back to a count.
      EXPECT_EQ(l.find("| CMD <- ClientLogin from 127.0.0.2 ("), std::string::npos) << l;
    }
    EXPECT_EQ(seen, (std::map<std::string, uint64_t>{{"AdminCreateRoom RoomName: room", 200},
                                                     {"Created client p", 30},
                                                     {"Assigned playerId for client p", 30},
                                                     {" Disconnected", 30},
                                                     {"Distroying client p", 30},
                                                     {"ClientLogin ClientName: p", 30}}));
  }
  SetClock(nullptr);
}

}  // namespace
}  // namespace qm
