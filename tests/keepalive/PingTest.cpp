// The ping pass driven by a test clock: the schedule, the give-up and its notice, midnight and the
// tick wrapping, one give-up per pass, clients that cannot be pinged.
#include <gtest/gtest.h>

#include "datagram/VoiceTestClients.hpp"
#include "platform/Clock.hpp"
#include "support/ClockScope.hpp"

namespace qm {
namespace {

using test::VoicePeer;
using test::VoiceRig;
using Bytes = std::vector<uint8_t>;

using test::ClockScope;

struct Schedule {
  std::vector<uint32_t> pingsAt;  // ms of silence when each ping went out
  uint32_t givenUpAt = 0;
};

// Runs 500 ms passes until the client is given up (or maxMs of silence), noting when pings go out.
Schedule RunPasses(VoiceRig& rig, TestClock& clock, VoicePeer& p, uint32_t maxMs = 90000) {
  Schedule s;
  uint32_t pings = p.record->Traffic.UdpPacketsSent.load();
  for (uint32_t elapsed = 500; elapsed <= maxMs; elapsed += 500) {
    clock.AdvanceMs(500);
    rig.Probe().pingThread->PingClients();
    if (p.record->Traffic.UdpPacketsSent.load() != pings) {
      pings = p.record->Traffic.UdpPacketsSent.load();
      s.pingsAt.push_back(elapsed);
    }
    if (p.record->PingDisconnect.load()) {
      s.givenUpAt = elapsed;
      break;
    }
  }
  return s;
}

void ExpectServerPings(VoicePeer& p, size_t count) {
  const auto key = p.key;
  const Bytes expected{0xBB, 0xAA, static_cast<uint8_t>(key), static_cast<uint8_t>(key >> 8), 12, 0, 1, 200, 0xFF, 0xEE,
                       0,    0};
  for (size_t i = 0; i < count; ++i) {
    auto d = p.voice->Receive(2000);
    ASSERT_TRUE(d) << "ping " << i;
    EXPECT_EQ(*d, expected);
  }
  EXPECT_FALSE(p.voice->Receive(50));
}

void ExpectPingTimeoutNotice(VoicePeer& p) {
  auto left = p.control->WaitFor({kPktPlayerLeft}, 2000);
  ASSERT_TRUE(left);
  ASSERT_EQ(left->size(), 10u);
  EXPECT_EQ((*left)[8], p.record->PlayerId() + 1);
  EXPECT_EQ((*left)[9], 2);
}

TEST(Ping, SilentClientIsPingedOnScheduleAndGivenUpWithItsOwnNotice) {
  ClockScope cs(EncodeDateTime(2024, 3, 1, 12, 0, 0, 0), 100000);
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  VoicePeer& quiet = rig.Add("NoAddress", false);  // logged in, never sent a datagram
  const Schedule s = RunPasses(rig, cs.clock, a);
  EXPECT_EQ(s.pingsAt, (std::vector<uint32_t>{5000, 20000, 35000, 50000}));
  EXPECT_EQ(s.givenUpAt, 65000u);
  ExpectServerPings(a, 4);
  ExpectPingTimeoutNotice(a);
  EXPECT_TRUE(rig.server.WaitForLog("TCP/IP ClientId: 1 ClientName: A Initiated Ping Disconnect"));
  EXPECT_EQ(a.record->Traffic.UdpPacketsSent.load(), 4u);
  EXPECT_EQ(a.record->Traffic.UdpBytesSent.load(), 48u);

  // The client without an address: never pinged, never given up, told nothing.
  EXPECT_FALSE(quiet.record->PingDisconnect.load());
  EXPECT_EQ(quiet.record->Traffic.UdpPacketsSent.load(), 0u);
  EXPECT_FALSE(quiet.control->WaitFor({kPktPlayerLeft}, 100));
  // A given-up client is never pinged again.
  RunPasses(rig, cs.clock, a, 30000);
  EXPECT_EQ(a.record->Traffic.UdpPacketsSent.load(), 4u);
}

TEST(Ping, MidnightAndTheTickWrapChangeNothing) {
  // Falls silent two seconds before midnight, with the tick about to wrap.
  ClockScope cs(EncodeDateTime(2024, 3, 1, 23, 59, 58, 0), 0xFFFFF000u);
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  const Schedule s = RunPasses(rig, cs.clock, a);
  EXPECT_EQ(s.pingsAt, (std::vector<uint32_t>{5000, 20000, 35000, 50000}));
  EXPECT_EQ(s.givenUpAt, 65000u);
  ExpectPingTimeoutNotice(a);
}

TEST(Ping, OneClientIsGivenUpPerPass) {
  ClockScope cs(EncodeDateTime(2024, 3, 1, 8, 0, 0, 0), 5000);
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  VoicePeer& b = rig.Add("B");
  const Schedule s = RunPasses(rig, cs.clock, a);
  ASSERT_EQ(s.givenUpAt, 65000u);
  EXPECT_FALSE(b.record->PingDisconnect.load());  // due too, but after A in the list
  cs.clock.AdvanceMs(500);
  rig.Probe().pingThread->PingClients();
  EXPECT_TRUE(b.record->PingDisconnect.load());
  ExpectPingTimeoutNotice(a);
  ExpectPingTimeoutNotice(b);
  // Each notice went to its own client alone.
  EXPECT_FALSE(a.control->WaitFor({kPktPlayerLeft}, 100));
}

TEST(Ping, PongResetsTheTriesAndFourFurtherWaitsAreNeeded) {
  ClockScope cs(EncodeDateTime(2024, 3, 1, 8, 0, 0, 0), 5000);
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  const Schedule first = RunPasses(rig, cs.clock, a, 35000);
  ASSERT_EQ(first.pingsAt.size(), 3u);
  EXPECT_EQ(a.record->PingTries.load(), 2);
  cs.clock.AdvanceMs(1000);
  const PingDatagram pong = ComposePing(a.key, kPingAnswer, 200);
  a.voice->SendTo(rig.server.UdpPort(), pong.data(), pong.size());
  ASSERT_TRUE(test::Eventually([&] { return !a.record->PingPending.load(); }));
  EXPECT_EQ(a.record->PingTries.load(), 0);
  EXPECT_EQ(a.record->PingRoundTrip.load(), 1000u);
  const Schedule again = RunPasses(rig, cs.clock, a);
  EXPECT_EQ(again.pingsAt, (std::vector<uint32_t>{5000, 20000, 35000, 50000}));
  EXPECT_EQ(again.givenUpAt, 65000u);
}

TEST(Ping, LeavingClientsAreNeverPinged) {
  ClockScope cs(EncodeDateTime(2024, 3, 1, 8, 0, 0, 0), 5000);
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  a.record->SetLeaving();
  const Schedule s = RunPasses(rig, cs.clock, a, 80000);
  EXPECT_TRUE(s.pingsAt.empty());
  EXPECT_EQ(s.givenUpAt, 0u);
}

TEST(Ping, TheThreadPingsOnItsOwnEveryHalfSecond) {
  VoiceRig rig({{"Ping", "IdleTimeBeforePing", "100"}}, /*stopPinger=*/false);
  VoicePeer& a = rig.Add("A");
  auto d = VoiceRig::ReceiveFamily(a, kPingMagic, 3000);
  ASSERT_TRUE(d);
  EXPECT_EQ((*d)[7], 200);
  EXPECT_TRUE(test::Eventually([&] { return a.record->PingPending.load(); }));  // set once the send returned
}

}  // namespace
}  // namespace qm
