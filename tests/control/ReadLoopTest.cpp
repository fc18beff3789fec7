// The read loop: framing by arrival, dispatch, counters and the close path.
#include <netinet/tcp.h>

#include <gtest/gtest.h>

#include "control/LoginHelpers.hpp"
#include "net/Loopback.hpp"
#include "net/TcpEndpoint.hpp"

namespace qm {
namespace {

using namespace test;
using namespace test::login;

std::string Str(const Packet& p) { return std::string(p.begin(), p.end()); }

// Sends the bytes and the close in one segment, so the server finds both at once.
void SendAndClose(Socket& s, const std::string& bytes) {
  int one = 1;
  ::setsockopt(s.Get(), IPPROTO_TCP, TCP_CORK, &one, sizeof one);
  s.SendAll(bytes);
  ::shutdown(s.Get(), SHUT_WR);
}

// Log lines written after the first `from` lines.
std::vector<std::string> LinesAfter(const TestServer& t, size_t from) {
  auto lines = t.LogLines();
  return std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(std::min(from, lines.size())),
                                  lines.end());
}

TEST(ReadLoop, AFirstPacketOtherThanLoginClosesSilently) {
  TestServer t;
  ASSERT_TRUE(t.Started());
  // The workers announce themselves once they run; wait for that so only this test's lines follow.
  ASSERT_TRUE(t.WaitForLog("UDPSender.Execute") && t.WaitForLog("PingThread.Execute"));
  const size_t before = t.LogLines().size();
  for (const Packet& first : {ComposeSetup(0, 0), ComposeCommand(kCmdClientLeave), ComposeCommand(999)}) {
    Conn c = Connected(t);
    c->Send(first);
    EXPECT_TRUE(c->WaitClosed(kWaitMs));
    EXPECT_TRUE(c->DrainRaw(0).empty());
  }
  ASSERT_TRUE(Eventually([&] { return LinesAfter(t, before).size() >= 3; }));
  for (const auto& line : LinesAfter(t, before)) EXPECT_NE(line.find("TCP/IP Disconnected"), std::string::npos) << line;
  EXPECT_EQ(t.Server().Counters().TcpPacketsSent.load(), 0u);
  EXPECT_EQ(t.Server().Counters().TcpPacketsReceived.load(), 3u);
}

TEST(ReadLoop, OneByteThenCloseEndsTheConnection) {
  TestServer t;
  ASSERT_TRUE(t.Started());
  // Without a client: closed, nothing sent.
  Socket bare = ConnectTo(t.TcpPort());
  SendAndClose(bare, std::string(1, '\x01'));
  EXPECT_TRUE(bare.SeesClose());

  // With a client: the others hear of its departure once.
  Conn a = LoggedIn(t, "a");
  ASSERT_TRUE(a);
  Socket raw = ConnectTo(t.TcpPort());
  raw.SendAll(Str(ComposeLogin({"raw", "", "2.0"})));
  const std::string reply = raw.Receive(43);
  ASSERT_EQ(reply.size(), 43u);
  ASSERT_TRUE(NextOf(*a, kPktPlayerJoined));
  SendAndClose(raw, std::string(1, '\x02'));
  auto left = NextOf(*a, kPktPlayerLeft);
  ASSERT_TRUE(left);
  EXPECT_EQ(*left, ComposePlayerLeft(a->SessionKey(), 2, 0));
  EXPECT_TRUE(t.WaitForLog("Distroying client raw[2]"));
  EXPECT_FALSE(a->WaitFor({kPktPlayerLeft}, kQuietMs));
}

TEST(ReadLoop, APacketFollowedAtOnceByTheCloseIsNotHandled) {
  TestServer t;
  ASSERT_TRUE(t.Started());
  Conn a = LoggedIn(t, "a");
  ASSERT_TRUE(a);
  Socket raw = ConnectTo(t.TcpPort());
  raw.SendAll(Str(ComposeLogin({"raw", "", "2.0"})));
  ASSERT_EQ(raw.Receive(43).size(), 43u);
  SendAndClose(raw, Str(ComposeSetup(0, 0)));
  // No list packet: the close comes first.
  EXPECT_TRUE(raw.SeesClose());
  EXPECT_TRUE(NextOf(*a, kPktPlayerLeft));
}

TEST(ReadLoop, UnknownCommandIsCountedUnansweredAndTheClientStays) {
  TestServer t;
  ASSERT_TRUE(t.Started());
  Conn a = LoggedIn(t, "a");
  ASSERT_TRUE(a);
  ClientPtr rec = t.Server().Clients().FindClientByPlayerId(0);
  ASSERT_TRUE(rec);
  ASSERT_TRUE(Eventually([&] { return t.Server().Counters().TcpPacketsReceived.load() == 1; }));
  EXPECT_EQ(rec->Traffic.TcpPacketsReceived.load(), 0u);  // the login pass counts on the server only
  EXPECT_EQ(t.Server().Counters().TcpBytesReceived.load(), 101u);

  a->Send(ComposeCommand(999));
  EXPECT_TRUE(Quiet(*a));
  EXPECT_TRUE(Eventually([&] { return rec->Traffic.TcpPacketsReceived.load() == 1; }));
  EXPECT_EQ(rec->Traffic.TcpBytesReceived.load(), 8u);
  EXPECT_EQ(t.Server().Counters().TcpPacketsReceived.load(), 2u);
  EXPECT_EQ(t.Server().Counters().TcpBytesReceived.load(), 109u);
  EXPECT_EQ(WirePlayerOf(*a), 1);

  // After a leave the client's own counters are left as they were.
  const uint32_t packets = rec->Traffic.TcpPacketsReceived.load();
  a->Send(ComposeCommand(kCmdClientLeave));
  EXPECT_TRUE(a->WaitClosed(kWaitMs));
  ASSERT_TRUE(Eventually([&] { return rec->Destroyed(); }));
  EXPECT_EQ(rec->Traffic.TcpPacketsReceived.load(), packets);
  EXPECT_EQ(t.Server().Counters().TcpPacketsReceived.load(), 4u);
}

TEST(ReadLoop, TwoPacketsInOneBurstAreHandledAsOne) {
  TestServer t;
  ASSERT_TRUE(t.Started());
  Conn a = LoggedIn(t, "a");
  ASSERT_TRUE(a);
  // The second setup, were it served, would be refused and close the connection.
  Packet both = ComposeSetup(1, 0);
  const Packet second = ComposeSetup(2, 1);
  both.insert(both.end(), second.begin(), second.end());
  a->Send(both);
  ASSERT_TRUE(a->WaitFor({kPktListsNew}, kWaitMs));
  EXPECT_FALSE(a->WaitFor({kPktListsNew, kReplySetupRefused}, kQuietMs));
  EXPECT_FALSE(a->WaitClosed(kQuietMs));
}

TEST(ReadLoop, ABurstLongerThanThePacketBufferIsCutSafely) {
  TestServer t;
  ASSERT_TRUE(t.Started());
  Conn a = LoggedIn(t, "a");
  ASSERT_TRUE(a);
  ClientPtr rec = t.Server().Clients().FindClientByPlayerId(0);
  ASSERT_TRUE(Eventually([&] { return t.Server().Counters().TcpPacketsReceived.load() == 1; }));
  const uint32_t bytesBefore = t.Server().Counters().TcpBytesReceived.load();

  Packet burst = ComposeSetup(9, 0);
  burst.resize(20000, 0);  // the rest reads as command 0 should it arrive in a later pass
  a->Send(burst);
  ASSERT_TRUE(a->WaitFor({kPktListsNew}, kWaitMs));
  EXPECT_TRUE(Quiet(*a));
  // Every byte is taken and counted, none is served as a packet of its own.
  EXPECT_TRUE(Eventually([&] { return t.Server().Counters().TcpBytesReceived.load() - bytesBefore == 20000; }));
  EXPECT_EQ(WirePlayerOf(*a), 1);
}

TEST(ReadLoop, FieldsPastTheReceivedBytesReadAsZero) {
  TestServer t;
  ASSERT_TRUE(t.Started());
  // The login leaves 0x01 at offset 9 of the thread's packet buffer (the name's first byte); a
  // 9-byte setup that follows must not read it as its flag.
  Conn a = Connected(t);
  ASSERT_EQ(a->Login("\001bc", "", "2.0", kWaitMs), kPktLoginAccepted);
  const Packet setup = ComposeSetup(5, 1);
  a->Send(Packet(setup.begin(), setup.begin() + 9));
  auto lists = a->WaitFor({kPktListsNew, kReplySetupRefused}, kWaitMs);
  ASSERT_TRUE(lists);
  EXPECT_EQ(CommandOf(*lists), kPktListsNew);

  // A name whose length byte claims more than 30 characters is taken as 30.
  Packet login = ComposeLogin({std::string(30, 'n'), "", "2.0"});
  login[8] = 255;
  Conn b = Connected(t);
  b->Send(login);
  ASSERT_TRUE(b->WaitFor({kPktLoginAccepted}, kWaitMs));
  auto join = NextOf(*a, kPktPlayerJoined);
  ASSERT_TRUE(join);
  EXPECT_EQ((*join)[10], 30);
  EXPECT_EQ(std::string(join->begin() + 11, join->end()), std::string(30, 'n'));
}

TEST(ReadLoop, AConnectionShutDownBetweenPassesStillGetsItsClosePath) {
  // Another thread's timed-out write may shut a connection down just after a pass has decided
  // to keep it. While the slot holds a client, the endpoint runs one more pass, whose read fails
  // and takes the close path; without a client in the slot there is nothing to close.
  for (bool withClient : {true, false}) {
    TcpEndpoint endpoint;
    endpoint.AddBinding("127.0.0.1", 0);
    std::atomic<int> passes{0}, closePaths{0};
    endpoint.SetExecuteHandler([&](TcpContext& context) {
      if (++passes == 1) {
        if (withClient) context.SetSlot(std::make_shared<int>(1));
        context.connection->Disconnect();  // the pass returns without closing
        return;
      }
      try {
        uint8_t byte;
        context.connection->ReadExact(&byte, 1);
      } catch (const std::exception&) {
        ++closePaths;
        context.SetSlot(nullptr);
      }
    });
    endpoint.Activate();
    Socket peer = ConnectTo(endpoint.BoundPort());
    EXPECT_TRUE(peer.SeesClose());
    EXPECT_TRUE(Eventually([&] { return endpoint.ConnectionCount() == 0; }));
    endpoint.Deactivate();
    EXPECT_EQ(passes.load(), withClient ? 2 : 1);
    EXPECT_EQ(closePaths.load(), withClient ? 1 : 0);
  }
}

}  // namespace
}  // namespace qm
