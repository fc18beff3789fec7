#include <thread>

#include <gtest/gtest.h>

#include "control/AdminTestSupport.hpp"
#include "platform/Clock.hpp"

namespace qm::test {
namespace {

constexpr uint32_t kDayMs = 86400000;

// Installs a frozen clock for the test's life (declare it before the server, so it outlives it).
struct FrozenClock {
  TestClock clock{EncodeDateTime(2024, 3, 1, 10, 0, 0, 0), 1000};
  const double t0 = clock.Now();
  FrozenClock() { SetClock(&clock); }
  ~FrozenClock() { SetClock(nullptr); }
  void At(uint64_t msAfterStart) { clock.SetNow(t0 + static_cast<double>(msAfterStart) / kDayMs); }
};

ClientPtr Record(TestServer& t, const Player& p) {
  return t.Server().Clients().FindClientByPlayerId(FromWireByte(p.wire));
}

TEST(PlayerStatsTest, NewLayoutForAnOrdinaryClientCountsWhatItSent) {
  FrozenClock time;
  TestServer t;
  ASSERT_TRUE(t.Started());
  Player a = Join(t, "Ann"), b = Join(t, "Bob");
  // Bob so far: received the setup (10 bytes); sent the login reply (43) and the lists for two
  // players and one channel (12 + 32 + 2 * 34 = 112).
  time.At(500);
  b->Send(ComposeByteCommand(kCmdClientChangeRoom, 5));
  ASSERT_TRUE(b->WaitFor({kPktPlayerChangedChannel}, kWaitMs));
  // A reply written after the pass has counted its packet: Bob's counters are settled.
  b->Send(ComposeCommand(kCmdServerStatsReq));
  ASSERT_TRUE(b->WaitFor({kPktServerStats}, kWaitMs));
  Clear(a);

  // A day and an hour later: whole days are dropped from both times.
  time.At(kDayMs + 3600000 + 250);
  a->Send(ComposeByteCommand(kCmdPlayerStatsReq, b.wire));
  const Bytes expected = Expect(a.key, 104, 61)
                             .U32(3600250)  // connected
                             .F32(0.0f)     // no datagram, no loss
                             .U32(3599750)  // idle since the statistics request at 500 ms
                             .U16(0)
                             .U16(0)
                             .Str("", 15)
                             .Str(kNewVersion, 30)
                             .U32(0)
                             .U32(0)
                             .U32(0)
                             .U32(0)
                             .U32(4)
                             .U32(43 + 112 + 10 + 75)  // TCP sent
                             .U32(3)
                             .U32(10 + 9 + 8)  // TCP received
                             .U8(b.wire);
  EXPECT_EQ(Next(a), expected);
  EXPECT_TRUE(t.WaitForLog("CMD <- ClientId: 1 ClientName: Ann hReply: 60 PlayerStatsReq"));
}

TEST(PlayerStatsTest, OldLayoutAndTheAddressOnlyForAdministrators) {
  FrozenClock time;
  TestServer t({{"Passwords", "AdminPassword", "boss"}});
  ASSERT_TRUE(t.Started());
  Player a = Join(t, "Ann"), o = Join(t, "Old", kOldVersion);
  o->Send(ComposeStringCommand(kCmdAdminLogin, "boss"));
  ASSERT_TRUE(o->WaitFor({kReplyAdminLoginOk}, kWaitMs));
  ClientPtr target = Record(t, a);
  ASSERT_TRUE(target);
  NetAddress peer;
  ASSERT_TRUE(NetAddress::FromDotted("127.0.0.1", 40001, peer));
  target->SetPeer(peer);
  target->BadPackets = 1;
  target->Traffic.UdpPacketsReceived = 3;
  target->Traffic.UdpBytesReceived = 99;
  target->Traffic.UdpPacketsSent = 7;
  target->Traffic.UdpBytesSent = 700;
  target->PingRoundTrip = 70000;  // travels as its low 16 bits
  // Ann: received her setup (10); sent the login reply (43), her lists (12 + 32 + 34 = 78), the
  // notice of Old's login (41) and the notice of Old becoming administrator (9).
  ASSERT_TRUE(Eventually([&] { return target->Traffic.TcpPacketsSent == 4; }));

  time.At(1234);
  o->Send(ComposeByteCommand(kCmdPlayerStatsReq, a.wire));
  const Bytes expected = Expect(o.key, 73, 60)
                             .U32(1234)
                             .F32(static_cast<float>(1.0 / 3.0 * 100.0))
                             .U32(1234)
                             .U16(static_cast<uint16_t>(70000))
                             .U16(40001)
                             .Str("127.0.0.1", 15)
                             .U32(7)
                             .U32(700)
                             .U32(3)
                             .U32(99)
                             .U32(4)
                             .U32(43 + 78 + 41 + 9)
                             .U32(1)
                             .U32(10)
                             .U8(a.wire);
  EXPECT_EQ(Next(o), expected);
  // Exactly 73 bytes are a whole old-layout reply; one fewer is none.
  ASSERT_EQ(expected.size(), 73u);
  PlayerStats parsedOld;
  bool isOld = false;
  ASSERT_TRUE(ParsePlayerStats(expected.data(), 73, parsedOld, isOld));
  EXPECT_TRUE(isOld);
  EXPECT_EQ(parsedOld.counters[7], 10u);  // TCP bytes received
  EXPECT_EQ(parsedOld.requestByte, a.wire);
  EXPECT_FALSE(ParsePlayerStats(expected.data(), 72, parsedOld, isOld));

  // Without the right: port 0 and an empty address, the rest as for anyone.
  Player n = Join(t, "New");
  n->Send(ComposeByteCommand(kCmdPlayerStatsReq, a.wire));
  const Bytes reply = NextOf(n, {kPktPlayerStatsNew}).value_or(Bytes{});
  ASSERT_EQ(reply.size(), 104u);
  EXPECT_EQ(reply[22], 0);
  EXPECT_EQ(reply[23], 0);
  EXPECT_EQ(reply[24], 0);
  PlayerStats s;
  bool old = true;
  ASSERT_TRUE(ParsePlayerStats(reply.data(), reply.size(), s, old));
  EXPECT_FALSE(old);
  EXPECT_EQ(s.version, kNewVersion);
  EXPECT_EQ(s.counters[1], 700u);  // UDP bytes sent
  EXPECT_FLOAT_EQ(s.lossPercent, 100.0f / 3.0f);
}

TEST(PlayerStatsTest, UnknownIdOwnIdAndAdministratorBeforeAnyDatagram) {
  TestServer t({{"Passwords", "AdminPassword", "boss"}});
  ASSERT_TRUE(t.Started());
  Player a = Join(t, "Ann");
  BecomeAdmin(a, "boss");
  a->Send(ComposeByteCommand(kCmdPlayerStatsReq, 9));
  EXPECT_EQ(Next(a), Bytes({0xBA, 0xB0, uint8_t(a.key), uint8_t(a.key >> 8), 8, 0, 0xC4, 0xFF}));
  a->Send(ComposeByteCommand(kCmdPlayerStatsReq, 0));  // stored id 255
  EXPECT_EQ(Next(a), Reply(a.key, -60));

  a->Send(ComposeByteCommand(kCmdPlayerStatsReq, a.wire));
  const Bytes own = Next(a);
  PlayerStats s;
  bool old = true;
  ASSERT_TRUE(ParsePlayerStats(own.data(), own.size(), s, old));
  EXPECT_EQ(s.requestByte, a.wire);
  EXPECT_EQ(s.address, "");  // no datagram yet, even for an administrator
  EXPECT_EQ(s.port, 0);
  EXPECT_EQ(s.counters[6], 4u);  // TCP packets received: setup, administrator login and the two refused requests
}

TEST(PlayerStatsTest, TargetLeavingWhileAskedAboutNeverHurts) {
  TestServer t({{"General", "MaxClients", "8"}});
  ASSERT_TRUE(t.Started());
  Player a = Join(t, "Ann");
  int answered = 0;
  for (int round = 0; round < 25; ++round) {
    client::ControlClient target;
    target.Connect("127.0.0.1", t.TcpPort());
    ASSERT_EQ(target.Login("T" + std::to_string(round), "", kNewVersion), kPktLoginAccepted);
    std::thread closer([&] { target.Close(); });
    for (int i = 0; i < 3; ++i) {
      a->Send(ComposeByteCommand(kCmdPlayerStatsReq, 2));
      if (a->WaitFor({kPktPlayerStatsNew, kReplyNoSuchPlayerStats}, kWaitMs)) ++answered;
    }
    closer.join();
    ASSERT_TRUE(Eventually([&] { return t.Server().Clients().ClientCount() == 1; }));
  }
  EXPECT_EQ(answered, 75);
}

TEST(ServerStatsTest, CountersMatchTheTrafficAndUptimeDropsWholeDays) {
  FrozenClock time;
  TestServer t;
  ASSERT_TRUE(t.Started());
  Player a = Join(t, "Ann");
  // Received: login (101) and setup (10). Sent: login reply (43) and lists (78).
  const TrafficCounters& counters = t.Server().Counters();
  ASSERT_TRUE(Eventually([&] { return counters.TcpPacketsSent == 2; }));
  client::VoiceClient voice;
  const Bytes junk(20, 0);
  for (int i = 0; i < 3; ++i) voice.SendTo(t.UdpPort(), junk);
  ASSERT_TRUE(Eventually([&] { return counters.UdpPacketsReceived == 3; }));

  time.At(kDayMs + 3600000 + 42);
  a->Send(ComposeCommand(kCmdServerStatsReq));
  const Bytes expected = Expect(a.key, 75, 70)
                             .U32(3600042)
                             .U32(0)
                             .U32(0)
                             .U32(3)
                             .U32(60)
                             .U32(2)
                             .U32(121)
                             .U32(2)
                             .U32(111)
                             .Str("v1.2.2 Win32 Service", 30);
  EXPECT_EQ(Next(a), expected);

  // The next answer counts the request before it and its reply.
  a->Send(ComposeCommand(kCmdServerStatsReq));
  ServerStats s;
  const Bytes second = Next(a);
  ASSERT_TRUE(ParseServerStats(second.data(), second.size(), s));
  EXPECT_EQ(s.counters[4], 3u);
  EXPECT_EQ(s.counters[5], 121u + 75u);
  EXPECT_EQ(s.counters[6], 3u);
  EXPECT_EQ(s.counters[7], 111u + 8u);
  EXPECT_TRUE(t.WaitForLog("hReply: 70 ServerStatsReq"));
}

}  // namespace
}  // namespace qm::test
