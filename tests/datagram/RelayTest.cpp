// The relay over loopback: real UDP sockets, a real server, copies checked byte by byte.
#include <gtest/gtest.h>

#include "control/Notices.hpp"
#include "datagram/PacketCrc32.hpp"
#include "datagram/TUDPSender.hpp"
#include "datagram/VoiceTestClients.hpp"

namespace qm {
namespace {

using test::VoicePeer;
using test::VoiceRig;
using Bytes = std::vector<uint8_t>;

constexpr int kSilenceMs = 150;  // how long "nothing arrives" is watched for

uint16_t KeyOf(const Bytes& d) { return static_cast<uint16_t>(d[2] | d[3] << 8); }

// The copy's crc is valid for the copy's own bytes.
void ExpectValidCrc(Bytes d) {
  const uint32_t stored = d[12] | d[13] << 8 | d[14] << 16 | static_cast<uint32_t>(d[15]) << 24;
  d[12] = d[13] = d[14] = d[15] = 0;
  EXPECT_EQ(PacketCrc32(d.data(), d.size()), stored);
}

// Everything but key and crc as the speaker sent it.
void ExpectSameButKeyAndCrc(const Bytes& sent, const Bytes& got) {
  ASSERT_EQ(sent.size(), got.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    if ((i >= 2 && i < 4) || (i >= 12 && i < 16)) continue;
    EXPECT_EQ(sent[i], got[i]) << "byte " << i;
  }
}

TEST(Relay, ChannelVoiceReachesTheOthersOfTheChannelEachWithItsKeyAndCrc) {
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  VoicePeer& b = rig.Add("B");
  VoicePeer& c = rig.Add("C");
  VoicePeer& d = rig.Add("D");
  d.record->SetChannelId(1);
  const Bytes body{10, 20, 30, 40, 50, 60};
  const Bytes sent = ComposeVoice(a.key, kVoiceChannel, 0x5A, 1, body.data(), body.size());
  a.voice->SendTo(rig.server.UdpPort(), sent);
  for (VoicePeer* r : {&b, &c}) {
    auto got = VoiceRig::ReceiveVoice(*r);
    ASSERT_TRUE(got);
    EXPECT_EQ(KeyOf(*got), r->key);
    ExpectValidCrc(*got);
    ExpectSameButKeyAndCrc(sent, *got);
    // Counted after the send returns, so possibly just after the copy arrived.
    EXPECT_TRUE(test::Eventually([&] { return r->record->Traffic.UdpPacketsSent.load() == 1; }));
    EXPECT_TRUE(test::Eventually([&] { return r->record->Traffic.UdpBytesSent.load() == sent.size(); }));
  }
  EXPECT_FALSE(VoiceRig::ReceiveVoice(a, kSilenceMs));
  EXPECT_FALSE(VoiceRig::ReceiveVoice(d, kSilenceMs));
  EXPECT_EQ(a.record->Traffic.UdpPacketsSent.load(), 0u);
  EXPECT_EQ(d.record->Traffic.UdpPacketsSent.load(), 0u);
}

TEST(Relay, WhisperIsConvertedAndReachesItsTargetAcrossChannels) {
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  VoicePeer& b = rig.Add("B");
  VoicePeer& d = rig.Add("D");
  d.record->SetChannelId(3);
  const uint8_t dWire = ToWireByte(d.record->PlayerId());
  const uint8_t aWire = ToWireByte(a.record->PlayerId());
  // targets: D, the speaker itself, and an id nobody holds
  const Bytes body{3, dWire, aWire, 200, 0xC1, 0xC2, 0xC3, 0xC4};
  const Bytes sent = ComposeVoice(a.key, kVoiceWhisper, 0x33, 1, body.data(), body.size());
  a.voice->SendTo(rig.server.UdpPort(), sent);
  auto got = VoiceRig::ReceiveVoice(d);
  ASSERT_TRUE(got);
  ASSERT_EQ(got->size(), sent.size() - 4);
  EXPECT_EQ(got->size(), static_cast<size_t>((*got)[4] | (*got)[5] << 8));
  EXPECT_EQ((*got)[0], 0xBA);
  EXPECT_EQ((*got)[1], 0xB0);
  EXPECT_EQ(KeyOf(*got), d.key);
  EXPECT_EQ((*got)[6], kVoiceChannel);
  EXPECT_EQ((*got)[7], 0x33);
  EXPECT_EQ(Bytes(got->begin() + 8, got->begin() + 12), Bytes(sent.begin() + 8, sent.begin() + 12));
  EXPECT_EQ(Bytes(got->begin() + 16, got->end()), Bytes({0xC1, 0xC2, 0xC3, 0xC4}));
  ExpectValidCrc(*got);
  EXPECT_FALSE(VoiceRig::ReceiveVoice(a, kSilenceMs));
  EXPECT_FALSE(VoiceRig::ReceiveVoice(b, kSilenceMs));
}

TEST(Relay, NothingReachesAnyoneForKindFiveEmptyOrShortWhispers) {
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  VoicePeer& b = rig.Add("B");
  const uint8_t bWire = ToWireByte(b.record->PlayerId());
  rig.SendVoice(a, 5, {1, 2, 3});
  rig.SendVoice(a, kVoiceWhisper, {0, 9, 9});          // no targets
  rig.SendVoice(a, kVoiceWhisper, {4, bWire, bWire});  // says 4 targets, holds 2
  rig.SendVoice(a, kVoiceWhisper, {});                 // not even a count: the conversion fails
  rig.SendVoice(a, kVoiceChannel, {0xEE});             // still relayed after all of them
  auto got = VoiceRig::ReceiveVoice(b);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->back(), 0xEE);
  EXPECT_FALSE(VoiceRig::ReceiveVoice(b, kSilenceMs));
  EXPECT_TRUE(rig.server.WaitForLog("Dropped a whisper udp packet with fewer targets than its count from client :A"));
  EXPECT_TRUE(
      rig.server.WaitForLog("in: TUDPSender.ProcessUDPList exception EBufferError: Not enough data in buffer."));
}

TEST(Relay, LeavingClientsNeitherSpeakNorHear) {
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  VoicePeer& b = rig.Add("B");
  VoicePeer& c = rig.Add("C");
  c.record->SetLeaving();
  rig.SendVoice(a, kVoiceChannel, {1});
  ASSERT_TRUE(VoiceRig::ReceiveVoice(b));
  EXPECT_FALSE(VoiceRig::ReceiveVoice(c, kSilenceMs));

  // A speaker that is leaving is refused at intake with its line: nothing relayed, nothing sent.
  // Settled: three pongs and the one copy to B.
  ASSERT_TRUE(test::Eventually([&] { return rig.Server().Counters().UdpBytesSent.load() == 3 * 12 + 17; }));
  const uint32_t before = rig.Server().Counters().UdpPacketsSent.load();
  a.record->SetLeaving();
  rig.SendVoice(a, kVoiceChannel, {2});
  EXPECT_TRUE(rig.server.WaitForLog("ALERT UDP: Incoming traffic from leaving client :A"));
  EXPECT_FALSE(VoiceRig::ReceiveVoice(b, kSilenceMs));
  EXPECT_EQ(rig.Server().Counters().UdpPacketsSent.load(), before);
}

TEST(Relay, SpeakerGoneBeforeItsDatagramIsTracedAsAStranger) {
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  VoicePeer& b = rig.Add("B");
  // Lookup and copies happen under one hold of the index: an unlisted speaker is unknown.
  rig.Server().Clients().RemoveClient(a.record, PlayerLeftNotice(*a.record, kLeftReasonLeft));
  rig.SendVoice(a, kVoiceChannel, {2});
  EXPECT_TRUE(rig.server.WaitForLog("ALERT UDP Incoming traffic from unknown client ip: 127.0.0.1"));
  EXPECT_FALSE(VoiceRig::ReceiveVoice(b, kSilenceMs));
}

TEST(Relay, RecipientWithoutAddressIsSkippedAndTheOthersStillReceive) {
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  VoicePeer& silent = rig.Add("Silent", false);
  VoicePeer& b = rig.Add("B");
  rig.SendVoice(a, kVoiceChannel, {7, 7});
  ASSERT_TRUE(VoiceRig::ReceiveVoice(b));
  EXPECT_FALSE(VoiceRig::ReceiveVoice(silent, kSilenceMs));
  EXPECT_EQ(silent.record->Traffic.UdpPacketsSent.load(), 0u);
  EXPECT_EQ(silent.record->Traffic.UdpBytesSent.load(), 0u);
  // A whisper to it fails its send, which is logged, and goes on.
  const uint8_t wire = ToWireByte(silent.record->PlayerId());
  const uint8_t bWire = ToWireByte(b.record->PlayerId());
  rig.SendVoice(a, kVoiceWhisper, {2, wire, bWire, 0x99});
  auto got = VoiceRig::ReceiveVoice(b);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->back(), 0x99);
  EXPECT_TRUE(rig.server.WaitForLog("in: TUDPSender.ProcessUDPList exception ESocketError"));
}

TEST(Relay, AddressFollowsTheLatestSourceOfTheKey) {
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  VoicePeer& b = rig.Add("B");
  client::VoiceClient moved;
  const PingDatagram ping = ComposePing(b.key, kPingRequest, 2);
  moved.SendTo(rig.server.UdpPort(), ping.data(), ping.size());
  ASSERT_TRUE(moved.Receive(2000));  // the pong goes to the new source
  EXPECT_EQ(b.record->PeerPort(), moved.LocalPort());
  EXPECT_EQ(b.record->PeerAddress(), "127.0.0.1");
  rig.SendVoice(a, kVoiceChannel, {0x42});
  auto got = moved.Receive(2000);
  ASSERT_TRUE(got);
  EXPECT_EQ(KeyOf(*got), b.key);
  EXPECT_FALSE(VoiceRig::ReceiveVoice(b, kSilenceMs));
}

TEST(Relay, NoWakeUpIsLostAcrossManyPasses) {
  // Faster than any voice: the speaker's budget is lifted.
  VoiceRig rig({{"Limits", "VoicePacketsPerSecond", "0"}});
  VoicePeer& a = rig.Add("A");
  VoicePeer& b = rig.Add("B");
  // Each datagram is sent only after the previous copy arrived, so each needs a wake-up of its own.
  for (int i = 0; i < 200; ++i) {
    rig.SendVoice(a, kVoiceChannel, {static_cast<uint8_t>(i)});
    auto got = VoiceRig::ReceiveVoice(b, 2000);
    ASSERT_TRUE(got) << "datagram " << i;
    EXPECT_EQ(got->back(), static_cast<uint8_t>(i));
  }
}

}  // namespace
}  // namespace qm
