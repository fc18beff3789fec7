// Limits on connections that have not logged in: a cap on how many may wait at once (at the cap
// the host holding the most makes room) and a deadline for their login. Logged-in clients are never touched by either.
#include <algorithm>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "Loopback.hpp"
#include "client/QmClient.hpp"
#include "platform/Clock.hpp"
#include "support/ClockScope.hpp"
#include "support/TestServer.hpp"

namespace qm {
namespace {

using client::ControlClient;

using test::ClockScope;

// True when the peer closed the socket within the wait; false when it is still open then.
bool ClosedWithin(const test::Socket& s, int timeoutMs) {
  if (platform::WaitReadable(s.Get(), timeoutMs) <= 0) return false;
  char byte;
  return ::recv(s.Get(), &byte, 1, 0) <= 0;
}

// Logs in, completes setup and waits for the lists: a client the server serves in full.
bool LogInFully(ControlClient& c, uint16_t port, const std::string& name) {
  c.Connect("127.0.0.1", port);
  if (c.Login(name, "", "1.2.2") != kPktLoginAccepted) return false;
  c.Send(ComposeSetup(0, 0));
  return c.WaitFor({kPktListsNew}, test::kTestWaitMs).has_value();
}

class LimitsTest : public ::testing::Test {
 protected:
  ClockScope time;  // before the server, so every accept is stamped by the test clock
  test::TestServer server;
  TcpEndpoint& Endpoint() { return *server.Probe().tcpServer; }
};

TEST_F(LimitsTest, DefaultsAreSixtyFourWaitingConnectionsAndThirtySeconds) {
  EXPECT_EQ(TcpEndpoint::kDefaultMaxPendingConnections, 64u);
  EXPECT_EQ(TcpEndpoint::kDefaultLoginTimeoutMs, 30000u);
}

TEST_F(LimitsTest, IdleConnectionsFromOneHostDoNotLockOutAnotherAndLoggedInClientsKeepWorking) {
  ASSERT_TRUE(server.Started());
  ControlClient member;
  ASSERT_TRUE(LogInFully(member, server.TcpPort(), "member"));

  // Below the cap one host may keep as many waiting as it likes.
  std::vector<test::Socket> idle;
  for (int i = 0; i < 12; ++i) idle.push_back(test::ConnectFrom("127.0.0.2", server.TcpPort()));
  ASSERT_TRUE(test::Eventually([&] { return Endpoint().PendingConnectionCount() == 12; }));
  EXPECT_EQ(Endpoint().EvictedConnections(), 0u);

  // Eight more hosts fill the global cap of 64 and pass it by 12: each newcomer closes the
  // longest-waiting connection of the host with the most, first the five the busiest host held
  // beyond the others' share, then one of each host in turn.
  for (int host = 10; host < 18; ++host)
    for (int i = 0; i < 8; ++i)
      idle.push_back(test::ConnectFrom(("127.0.0." + std::to_string(host)).c_str(), server.TcpPort()));
  ASSERT_TRUE(test::Eventually([&] { return Endpoint().EvictedConnections() == 12; }));
  EXPECT_EQ(Endpoint().PendingConnectionCount(), 64u);
  std::vector<bool> closed;
  for (auto& s : idle) closed.push_back(ClosedWithin(s, 20));
  EXPECT_EQ(std::count(closed.begin(), closed.end(), true), 12);
  EXPECT_EQ(std::count(closed.begin(), closed.begin() + 12, true), 5);
  EXPECT_TRUE(std::all_of(closed.begin(), closed.begin() + 5, [](bool c) { return c; }));
  // Sixty-four waiting threads plus the member's: the cap still holds the thread count.
  EXPECT_EQ(Endpoint().ConnectionCount(), 65u);

  // Logins from a host with nothing waiting all get through while the cap is full.
  for (int i = 0; i < 10; ++i) {
    ControlClient newcomer;
    EXPECT_TRUE(LogInFully(newcomer, server.TcpPort(), "newcomer")) << i;
  }
  member.Send(ComposeSetup(0, 0));
  EXPECT_TRUE(member.WaitFor({kPktListsNew}, test::kTestWaitMs).has_value());

  // The waiting ones still miss their deadline.
  time.clock.AdvanceMs(TcpEndpoint::kDefaultLoginTimeoutMs);
  ASSERT_TRUE(test::Eventually([&] { return Endpoint().PendingConnectionCount() == 0; }));
  EXPECT_EQ(Endpoint().ExpiredConnections() + Endpoint().EvictedConnections(), 76u);  // all that were admitted
}

TEST_F(LimitsTest, AnIdleConnectionIsClosedWhenItMissesTheLoginDeadline) {
  ASSERT_TRUE(server.Started());
  Endpoint().SetLoginTimeout(1000);
  test::Socket idle = test::ConnectTo(server.TcpPort());
  ASSERT_TRUE(test::Eventually([&] { return Endpoint().PendingConnectionCount() == 1; }));

  time.clock.AdvanceMs(999);
  EXPECT_FALSE(ClosedWithin(idle, 600));  // the watchdog looks every quarter second
  time.clock.AdvanceMs(1);
  EXPECT_TRUE(ClosedWithin(idle, test::kTestWaitMs));
  EXPECT_TRUE(test::Eventually([&] { return Endpoint().ConnectionCount() == 0; }));
  EXPECT_EQ(Endpoint().ExpiredConnections(), 1u);
}

TEST_F(LimitsTest, ALoggedInClientIsNeverClosedByTheLimits) {
  ASSERT_TRUE(server.Started());
  Endpoint().SetLoginTimeout(1000);
  Endpoint().SetMaxPendingConnections(1);
  ControlClient member;
  ASSERT_TRUE(LogInFully(member, server.TcpPort(), "member"));

  // It logged in well inside its deadline; long past it, it is still served.
  time.clock.AdvanceMs(10 * 1000);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // two watchdog rounds
  EXPECT_EQ(Endpoint().ExpiredConnections(), 0u);
  member.Send(ComposeSetup(0, 0));
  EXPECT_TRUE(member.WaitFor({kPktListsNew}, test::kTestWaitMs).has_value());

  // Nor does it count against the cap of one waiting connection.
  ControlClient second;
  EXPECT_TRUE(LogInFully(second, server.TcpPort(), "second"));
  EXPECT_EQ(Endpoint().EvictedConnections(), 0u);
}

TEST_F(LimitsTest, ZeroLiftsBothLimits) {
  ASSERT_TRUE(server.Started());
  Endpoint().SetLoginTimeout(0);
  Endpoint().SetMaxPendingConnections(0);
  std::vector<test::Socket> idle;
  for (int i = 0; i < 3; ++i) idle.push_back(test::ConnectTo(server.TcpPort()));
  ASSERT_TRUE(test::Eventually([&] { return Endpoint().PendingConnectionCount() == 3; }));
  time.clock.AdvanceMs(24u * 3600 * 1000);
  for (auto& s : idle) EXPECT_FALSE(ClosedWithin(s, 300));
  EXPECT_EQ(Endpoint().EvictedConnections() + Endpoint().ExpiredConnections(), 0u);
}

}  // namespace
}  // namespace qm
