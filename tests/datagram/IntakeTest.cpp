// UDP intake over loopback: counters, pongs, sequence and checksum findings, hostile input.
#include <random>

#include <gtest/gtest.h>

#include "datagram/TUDPSender.hpp"
#include "datagram/VoiceTestClients.hpp"
#include "platform/Clock.hpp"
#include "support/ClockScope.hpp"

namespace qm {
namespace {

using test::VoicePeer;
using test::VoiceRig;
using Bytes = std::vector<uint8_t>;

size_t CountLines(VoiceRig& rig, const std::string& text) { return test::CountLines(rig.server, text); }

// Sends a datagram and waits until intake has counted it, so the test reads settled fields.
void SendCounted(VoiceRig& rig, client::VoiceClient& from, const Bytes& d) {
  const uint32_t before = rig.Server().Counters().UdpPacketsReceived.load();
  from.SendTo(rig.server.UdpPort(), d);
  ASSERT_TRUE(test::Eventually([&] { return rig.Server().Counters().UdpPacketsReceived.load() != before; }));
}

TEST(Intake, ClientPingGetsItsPongWithTheSameEchoAndOnlyTheServerCountsIt) {
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  // The announcing pong is counted just after it left.
  ASSERT_TRUE(test::Eventually([&] { return rig.Server().Counters().UdpPacketsSent.load() == 1; }));
  const uint32_t sent = rig.Server().Counters().UdpPacketsSent.load(),
                 bytes = rig.Server().Counters().UdpBytesSent.load();
  const uint32_t received = a.record->Traffic.UdpPacketsReceived.load();
  const PingDatagram ping = ComposePing(a.key, kPingRequest, 3);
  a.voice->SendTo(rig.server.UdpPort(), ping.data(), ping.size());
  auto pong = a.voice->Receive(2000);
  ASSERT_TRUE(pong);
  const Bytes expected{
      0xBB, 0xAA, static_cast<uint8_t>(a.key), static_cast<uint8_t>(a.key >> 8), 12, 0, 2, 3, 0xFF, 0xEE, 0, 0};
  EXPECT_EQ(*pong, expected);
  EXPECT_TRUE(test::Eventually([&] { return rig.Server().Counters().UdpPacketsSent.load() == sent + 1; }));
  EXPECT_EQ(rig.Server().Counters().UdpBytesSent.load(), bytes + 12);
  EXPECT_EQ(a.record->Traffic.UdpPacketsSent.load(), 0u);
  EXPECT_EQ(a.record->Traffic.UdpPacketsReceived.load(), received + 1);
}

TEST(Intake, AnswersToServerPingsCompleteThePendingPingAndGetNoReply) {
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  // Kind 1 with echo 200 is an answer all the same.
  a.record->PingSentTick.store(TickCount() - 40);
  a.record->PingPending.store(true);
  a.record->PingTries.store(2);
  SendCounted(rig, *a.voice, [&] {
    auto p = ComposePing(a.key, kPingRequest, 200);
    return Bytes(p.begin(), p.end());
  }());
  EXPECT_FALSE(a.record->PingPending.load());
  EXPECT_EQ(a.record->PingTries.load(), 0);
  EXPECT_EQ(a.record->PingSentTick.load(), 0u);
  EXPECT_GE(a.record->PingRoundTrip.load(), 40u);
  EXPECT_LT(a.record->PingRoundTrip.load(), 5000u);
  EXPECT_FALSE(a.voice->Receive(100));

  // A pong with nothing pending keeps the round trip and still clears the tries.
  a.record->PingRoundTrip.store(77);
  a.record->PingTries.store(3);
  SendCounted(rig, *a.voice, [&] {
    auto p = ComposePing(a.key, kPingAnswer, 0);
    return Bytes(p.begin(), p.end());
  }());
  EXPECT_EQ(a.record->PingRoundTrip.load(), 77u);
  EXPECT_EQ(a.record->PingTries.load(), 0);
}

// 4 is the largest echo a client's ping may carry; from 5 up a kind-1 datagram is an answer.
TEST(Intake, EchoFourIsStillAPingWhileEchoFiveAnswersTheServer) {
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  const PingDatagram four = ComposePing(a.key, kPingRequest, 4);
  a.voice->SendTo(rig.server.UdpPort(), four.data(), four.size());
  auto pong = a.voice->Receive(2000);
  ASSERT_TRUE(pong);
  const Bytes expected{
      0xBB, 0xAA, static_cast<uint8_t>(a.key), static_cast<uint8_t>(a.key >> 8), 12, 0, 2, 4, 0xFF, 0xEE, 0, 0};
  EXPECT_EQ(*pong, expected);

  a.record->PingSentTick.store(TickCount() - 40);
  a.record->PingPending.store(true);
  a.record->PingTries.store(2);
  SendCounted(rig, *a.voice, [&] {
    auto p = ComposePing(a.key, kPingRequest, 5);
    return Bytes(p.begin(), p.end());
  }());
  EXPECT_FALSE(a.record->PingPending.load());
  EXPECT_EQ(a.record->PingTries.load(), 0);
  EXPECT_FALSE(a.voice->Receive(100));
}

TEST(Intake, SequenceGapAndBadCrcCountOnceEachAndAreStillRelayed) {
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  VoicePeer& b = rig.Add("B");
  const Bytes body{1, 2, 3};
  // The first datagram is never a loss, whatever its id.
  a.voice->SendTo(rig.server.UdpPort(), ComposeVoice(a.key, kVoiceChannel, 0, 1000, body.data(), body.size()));
  ASSERT_TRUE(VoiceRig::ReceiveVoice(b));
  EXPECT_EQ(a.record->BadPackets.load(), 0u);
  // A gap and a broken crc at once: one finding (the crc is not checked after a gap).
  Bytes gap = ComposeVoice(a.key, kVoiceChannel, 0, 1005, body.data(), body.size());
  gap[12] ^= 0xFF;
  a.voice->SendTo(rig.server.UdpPort(), gap);
  auto relayed = VoiceRig::ReceiveVoice(b);
  ASSERT_TRUE(relayed);
  EXPECT_EQ(a.record->BadPackets.load(), 1u);
  EXPECT_EQ(a.record->LastPacketId.load(), 1005u);
  EXPECT_TRUE(rig.server.WaitForLog("UDP Error ClientId: 1 ClientName: A lost packet 1005"));
  // In sequence but with a wrong crc: counted, relayed with a fresh crc. (Its line is held back
  // by the per-client limit on "UDP Error" lines, so B's own bad crc shows the text.)
  Bytes wrong = ComposeVoice(a.key, kVoiceChannel, 0, 1006, body.data(), body.size());
  wrong[15] ^= 0x01;
  a.voice->SendTo(rig.server.UdpPort(), wrong);
  relayed = VoiceRig::ReceiveVoice(b);
  ASSERT_TRUE(relayed);
  EXPECT_EQ(a.record->BadPackets.load(), 2u);
  Bytes wrongFromB = ComposeVoice(b.key, kVoiceChannel, 0, 1, body.data(), body.size());
  wrongFromB[13] ^= 0x01;
  b.voice->SendTo(rig.server.UdpPort(), wrongFromB);
  relayed = VoiceRig::ReceiveVoice(a);
  ASSERT_TRUE(relayed);
  EXPECT_EQ(b.record->BadPackets.load(), 1u);
  EXPECT_TRUE(rig.server.WaitForLog("UDP Error ClientId: 2 ClientName: B false CRC32"));
  // After packet id 0 the next is not checked.
  a.voice->SendTo(rig.server.UdpPort(), ComposeVoice(a.key, kVoiceChannel, 0, 0, body.data(), body.size()));
  ASSERT_TRUE(VoiceRig::ReceiveVoice(b));
  a.voice->SendTo(rig.server.UdpPort(), ComposeVoice(a.key, kVoiceChannel, 0, 77, body.data(), body.size()));
  ASSERT_TRUE(VoiceRig::ReceiveVoice(b));
  EXPECT_EQ(a.record->BadPackets.load(), 3u);                       // 0 after 1006 is a gap; 77 after 0 is not
  EXPECT_EQ(a.record->Traffic.UdpPacketsReceived.load(), 1u + 5u);  // the announcing ping and five voice
  // A gap moves the sequence on: the clean datagram in order after it is good.
  for (const uint32_t id : {200u, 201u}) {
    a.voice->SendTo(rig.server.UdpPort(), ComposeVoice(a.key, kVoiceChannel, 0, id, body.data(), body.size()));
    ASSERT_TRUE(VoiceRig::ReceiveVoice(b));
  }
  EXPECT_EQ(a.record->BadPackets.load(), 4u);
  EXPECT_EQ(a.record->LastPacketId.load(), 201u);
}

TEST(Intake, ACheckedDatagramHasItsCrcFieldZeroedInTheListenersBuffer) {
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  std::vector<VoiceRig::Fed> batch{rig.Voice(a, 2, {})};  // kind 2 is checked; the relay drops it
  batch[0].bytes[12] ^= 0x10;
  rig.Feed(batch);
  EXPECT_EQ(Bytes(batch[0].bytes.begin() + 12, batch[0].bytes.end()), Bytes({0, 0, 0, 0}));
  EXPECT_EQ(a.record->BadPackets.load(), 1u);
}

TEST(Intake, UnknownKeysTouchOnlyTheServerCountersAndCannotFloodTheLog) {
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  const uint32_t clientReceived = a.record->Traffic.UdpPacketsReceived.load();
  const uint16_t stranger = static_cast<uint16_t>(a.key == 60000 ? 60001 : 60000);  // keys stop at 50,000
  client::VoiceClient outsider;
  const uint32_t start = rig.Server().Counters().UdpPacketsReceived.load();
  const uint32_t startBytes = rig.Server().Counters().UdpBytesReceived.load();
  // In bursts the receive buffer holds, so none is lost on the way.
  for (int burst = 0; burst < 6; ++burst) {
    for (int i = 0; i < 50; ++i) {
      Bytes d = ComposeVoice(stranger, kVoiceChannel, 0, static_cast<uint32_t>(i), nullptr, 0);
      outsider.SendTo(rig.server.UdpPort(), d);
    }
    ASSERT_TRUE(test::Eventually(
        [&] { return rig.Server().Counters().UdpPacketsReceived.load() == start + 50u * (burst + 1); }));
  }
  EXPECT_EQ(rig.Server().Counters().UdpBytesReceived.load() - startBytes, 300u * 16u);
  EXPECT_EQ(a.record->Traffic.UdpPacketsReceived.load(), clientReceived);
  EXPECT_FALSE(a.voice->Receive(100));
  const size_t lines = CountLines(rig, "ALERT UDP Incoming traffic from unknown client ip: 127.0.0.1");
  EXPECT_GE(lines, 1u);
  EXPECT_LE(lines, 3u);  // one a second at most
}

TEST(Intake, ShortAndGarbageDatagramsAreDroppedSafely) {
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  VoicePeer& b = rig.Add("B");
  client::VoiceClient other;
  const uint32_t received = a.record->Traffic.UdpPacketsReceived.load();
  const uint8_t k0 = static_cast<uint8_t>(a.key), k1 = static_cast<uint8_t>(a.key >> 8);
  // Too short for a key: counted by the server only.
  SendCounted(rig, other, Bytes{0xBA, 0xB0, k0});
  EXPECT_NE(a.record->PeerPort(), other.LocalPort());
  // A key but too short for the voice header, then for the ping fields: the address follows
  // (the drop comes after the address update), the client's counters do not move, nothing queued.
  SendCounted(rig, other, Bytes{0xBA, 0xB0, k0, k1, 16, 0, 0});
  EXPECT_EQ(a.record->PeerPort(), other.LocalPort());
  SendCounted(rig, *a.voice, Bytes{0xBB, 0xAA, k0, k1, 12, 0, 1});
  EXPECT_EQ(a.record->PeerPort(), a.voice->LocalPort());
  EXPECT_FALSE(a.voice->Receive(100));  // no pong for a ping without its echo
  // Unknown magic: address and activity move, no client counter.
  SendCounted(rig, other, Bytes{0x34, 0x12, k0, k1, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(a.record->PeerPort(), other.LocalPort());
  EXPECT_EQ(a.record->Traffic.UdpPacketsReceived.load(), received);
  EXPECT_EQ(a.record->BadPackets.load(), 0u);

  // Garbage of every short length and random content, some with a valid key.
  std::mt19937 rng(4);
  const uint32_t start = rig.Server().Counters().UdpPacketsReceived.load();
  for (int i = 0; i < 400; ++i) {
    Bytes junk(rng() % 40);
    for (auto& x : junk) x = static_cast<uint8_t>(rng());
    if (junk.size() >= 4 && i % 2) junk[2] = k0, junk[3] = k1;
    // A random key that happens to be b's would move b's address away from its socket.
    if (junk.size() >= 4 && (junk[2] | junk[3] << 8) == b.key) junk[2] ^= 1;
    other.SendTo(rig.server.UdpPort(), junk.data(), junk.size());
    if (i % 50 == 49) {  // in bursts the receive buffer holds
      ASSERT_TRUE(test::Eventually([&] { return rig.Server().Counters().UdpPacketsReceived.load() == start + i + 1; }));
    }
  }
  // Still serving: a registers its own address again and b hears it.
  const PingDatagram ping = ComposePing(a.key, kPingRequest, 1);
  a.voice->SendTo(rig.server.UdpPort(), ping.data(), ping.size());
  ASSERT_TRUE(VoiceRig::ReceiveFamily(a, kPingMagic, 2000));
  a.record->LastPacketId.store(0);
  rig.SendVoice(a, kVoiceChannel, {0x5E});
  bool heard = false;
  for (int i = 0; i < 50 && !heard; ++i) {
    auto got = VoiceRig::ReceiveVoice(b, 2000);
    ASSERT_TRUE(got);
    heard = got->size() == 17 && got->back() == 0x5E;
  }
  EXPECT_TRUE(heard);
}

TEST(Intake, LeavingClientsAreRefusedWithoutMovingTheirAddress) {
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  a.record->SetLeaving();
  const double activity = a.record->LastActivity();
  client::VoiceClient other;
  const PingDatagram ping = ComposePing(a.key, kPingRequest, 1);
  SendCounted(rig, other, Bytes(ping.begin(), ping.end()));
  EXPECT_EQ(a.record->PeerPort(), a.voice->LocalPort());
  EXPECT_EQ(a.record->LastActivity(), activity);
  EXPECT_FALSE(other.Receive(100));
  EXPECT_TRUE(rig.server.WaitForLog("ALERT UDP: Incoming traffic from leaving client :A"));
}

// A test clock at a chosen tick, installed for the test's scope.
struct InstalledClock : test::ClockScope {
  explicit InstalledClock(uint32_t tick) : ClockScope(qm::Now(), tick) {}
  void AdvanceMs(uint32_t ms) { clock.AdvanceMs(ms); }
};

// A fixed "now" on the receive stamps' clock: delays are exactly what the stamps make them.
constexpr int64_t kNowNs = 1'000'000'000'000;
int64_t FixedNow() { return kNowNs; }

TEST(Intake, LateVoiceIsDroppedAndCountedWhileTheRestIsRelayedAndTimed) {
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  VoicePeer& b = rig.Add("B");
  const VoiceStats& stats = rig.Server().Voice();
  const uint64_t late = stats.droppedLate.load();
  const auto delays = stats.relayDelay.Counts();
  const uint32_t received = a.record->Traffic.UdpPacketsReceived.load();
  std::vector<VoiceRig::Fed> batch{rig.Voice(a, kVoiceChannel, {0x01}, kNowNs - 150'000'000),
                                   rig.Voice(a, kVoiceChannel, {0x02}, kNowNs - 30'000'000),
                                   rig.Voice(a, kVoiceChannel, {0x03}, kNowNs - 100'000'000)};
  rig.Feed(batch, FixedNow);
  auto got = VoiceRig::ReceiveVoice(b);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->back(), 0x02);
  got = VoiceRig::ReceiveVoice(b);  // 100 ms exactly is not yet late
  ASSERT_TRUE(got);
  EXPECT_EQ(got->back(), 0x03);
  EXPECT_FALSE(VoiceRig::ReceiveVoice(b, 150));
  EXPECT_EQ(stats.droppedLate.load(), late + 1);
  EXPECT_EQ(a.record->Traffic.UdpPacketsReceived.load(), received + 3);  // received all the same
  EXPECT_EQ(a.record->BadPackets.load(), 0u);                            // the drop is no loss
  const auto after = stats.relayDelay.Counts();
  EXPECT_EQ(after[9] - delays[9], 1u);    // 30 ms: the bucket up to 50 ms
  EXPECT_EQ(after[10] - delays[10], 1u);  // 100 ms
}

TEST(Intake, OverBudgetVoiceIsDroppedBeforeTheCrcAndItsSpeakerNamedOnceAMinute) {
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  VoicePeer& b = rig.Add("B");
  InstalledClock clock(5'000'000);
  const uint64_t dropped = rig.Server().Voice().droppedBudget.load();
  const uint32_t received = rig.Server().Counters().UdpPacketsReceived.load();
  // A full budget of 100 at one instant, then 20 more with broken crcs: those are not checked.
  std::vector<VoiceRig::Fed> batch;
  for (int i = 0; i < 120; ++i) {
    batch.push_back(rig.Voice(a, kVoiceChannel, {static_cast<uint8_t>(i)}));
    if (i >= 100) batch.back().bytes[12] ^= 0xFF;
  }
  rig.Feed(batch);
  int copies = 0;
  while (VoiceRig::ReceiveVoice(b, 150)) ++copies;
  EXPECT_EQ(copies, 100);
  EXPECT_EQ(rig.Server().Voice().droppedBudget.load(), dropped + 20);
  EXPECT_EQ(rig.Server().Counters().UdpPacketsReceived.load(), received + 120);
  EXPECT_EQ(a.record->BadPackets.load(), 0u);
  // A minute on, the next batch writes the line; the budget has refilled meanwhile.
  clock.AdvanceMs(60'000);
  std::vector<VoiceRig::Fed> next{rig.Voice(a, kVoiceChannel, {0xFE})};
  rig.Feed(next);
  EXPECT_TRUE(VoiceRig::ReceiveVoice(b));
  // The drops moved the sequence on: the datagram after them is in order, no loss.
  EXPECT_EQ(a.record->BadPackets.load(), 0u);
  EXPECT_EQ(CountLines(rig, "lost packet"), 0u);
  EXPECT_TRUE(rig.server.WaitForLog("Voice budget exceeded by client :A (20 datagrams dropped in 60 s)"));
  EXPECT_EQ(CountLines(rig, "Voice budget exceeded"), 1u);
}

// An intake made with settings and a clock of its own reads its budget from them, whatever the
// process's are (100 a second, and the system's clock).
TEST(Intake, AnIntakeOfItsOwnTakesTheBudgetFromItsSettingsAndItsClock) {
  ServerSettings settings;
  settings.VoicePacketsPerSecond = 2;
  TestClock clock(qm::Now(), 5'000'000);
  ClientList clients;
  auto speaker = std::make_shared<TServerClient>(nullptr, nullptr, nullptr);
  speaker->SetSessionKey(7);
  speaker->SetControlHost(0x7F000001);
  clients.Append(speaker);
  UdpEndpoint udp;  // never opened: the speaker has no listeners, so nothing is sent
  TrafficCounters counters;
  VoiceStats stats;
  TUDPSender relay(udp, counters, stats);
  UdpIntake intake(IntakeServices{clients, counters, relay, stats, settings, clock});
  uint32_t packetId = 1;
  const uint8_t body[4] = {};
  const auto threeAtOnce = [&] {
    std::vector<VoiceRig::Fed> batch;
    for (int i = 0; i < 3; ++i)
      batch.push_back({ComposeVoice(7, kVoiceChannel, 0, packetId++, body, sizeof body), 40000});
    VoiceRig::FeedTo(intake, batch, platform::DatagramClockNs());
  };
  threeAtOnce();
  EXPECT_EQ(stats.droppedBudget.load(), 1u);  // two a second, and one second's burst
  clock.AdvanceMs(1000);                      // refills both on this clock alone
  threeAtOnce();
  EXPECT_EQ(stats.droppedBudget.load(), 2u);
  EXPECT_EQ(speaker->Traffic.UdpPacketsReceived.load(), 6u);
}

TEST(Intake, PingsBeyondTenASecondGetNoPong) {
  InstalledClock clock(7'000'000);  // before the server: its listener counts on the clock it started with
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  const auto pongs = [&](int pings) {
    const uint32_t before = rig.Server().Counters().UdpPacketsReceived.load();
    for (int i = 0; i < pings; ++i) {
      const PingDatagram ping = ComposePing(a.key, kPingRequest, 1);
      a.voice->SendTo(rig.server.UdpPort(), ping.data(), ping.size());
    }
    EXPECT_TRUE(test::Eventually([&] { return rig.Server().Counters().UdpPacketsReceived.load() == before + pings; }));
    int n = 0;
    while (VoiceRig::ReceiveFamily(a, kPingMagic, 150)) ++n;
    return n;
  };
  // A second after the announcing ping the whole burst of ten is there again.
  clock.AdvanceMs(1000);
  EXPECT_EQ(pongs(15), 10);
  clock.AdvanceMs(300);
  EXPECT_EQ(pongs(5), 3);
}

}  // namespace
}  // namespace qm
