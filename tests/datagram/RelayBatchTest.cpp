// Listener batches that carry many datagrams at once: speakers, channels, whispers and strangers
// mixed, and recipients that join, leave or move before a batch or while bursts flow.
#include <map>

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

uint8_t Wire(const VoicePeer& p) { return ToWireByte(p.record->PlayerId()); }

// Moves a client with the real command; the notice of its own move proves the move took effect
// (notices of other clients' moves are passed over).
void Move(VoicePeer& p, uint8_t wireChannel) {
  p.control->Send(ComposeByteCommand(kCmdClientChangeRoom, wireChannel));
  for (;;) {
    auto packet = p.control->WaitFor({kPktPlayerChangedChannel}, 2000);
    ASSERT_TRUE(packet);
    Notification n;
    ASSERT_TRUE(ParseNotification(packet->data(), packet->size(), n));
    if (n.player == Wire(p) && n.channel == wireChannel) return;
  }
}

// Every copy that arrives until the line goes quiet, checked for its key and crc: (speaker's
// packet id, last payload byte) in arrival order.
std::vector<std::pair<uint32_t, uint8_t>> Drain(VoicePeer& p, int quietMs = 150) {
  std::vector<std::pair<uint32_t, uint8_t>> got;
  while (auto d = VoiceRig::ReceiveVoice(p, quietMs)) {
    Bytes c = *d;
    EXPECT_EQ(c[2] | c[3] << 8, p.key);
    const uint32_t crc = c[12] | c[13] << 8 | c[14] << 16 | static_cast<uint32_t>(c[15]) << 24;
    c[12] = c[13] = c[14] = c[15] = 0;
    EXPECT_EQ(PacketCrc32(c.data(), c.size()), crc);
    got.emplace_back(c[8] | c[9] << 8 | c[10] << 16 | static_cast<uint32_t>(c[11]) << 24, c.back());
  }
  return got;
}

std::vector<uint8_t> Tags(VoicePeer& p) {
  std::vector<uint8_t> tags;
  for (const auto& [id, tag] : Drain(p)) tags.push_back(tag);
  return tags;
}

TEST(RelayBatch, OneBatchOfMixedDatagramsIsRelayedWhole) {
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  VoicePeer& b = rig.Add("B");
  VoicePeer& c = rig.Add("C");
  VoicePeer& d = rig.Add("D");
  VoicePeer& e = rig.Add("E");
  Move(d, 2);
  Move(e, 2);
  VoicePeer& f = rig.Add("F");
  rig.Server().Clients().RemoveClient(c.record, PlayerLeftNotice(*c.record, kLeftReasonLeft));
  Move(e, 1);

  const uint16_t strangeKey = 60000;  // keys stop at 50,000
  std::vector<VoiceRig::Fed> batch{rig.Voice(a, kVoiceChannel, {0xA1}),
                                   rig.Voice(d, kVoiceChannel, {0xD1}),
                                   {ComposeVoice(strangeKey, kVoiceChannel, 0, 1, nullptr, 0), 40000},
                                   rig.Voice(a, kVoiceWhisper, {1, Wire(d), 0xA2}),
                                   rig.Voice(b, kVoiceChannel, {0xB1}),
                                   rig.Voice(c, 5, {0xC5}),
                                   rig.Voice(a, kVoiceChannel, {0xA3})};
  rig.Feed(batch);

  EXPECT_EQ(Tags(a), Bytes({0xB1}));
  EXPECT_EQ(Tags(b), Bytes({0xA1, 0xA3}));
  EXPECT_EQ(Tags(c), Bytes());
  EXPECT_EQ(Tags(d), Bytes({0xA2}));
  EXPECT_EQ(Tags(e), Bytes({0xA1, 0xB1, 0xA3}));
  EXPECT_EQ(Tags(f), Bytes({0xA1, 0xB1, 0xA3}));
  EXPECT_EQ(f.record->Traffic.UdpPacketsSent.load(), 3u);
  EXPECT_EQ(c.record->Traffic.UdpPacketsSent.load(), 0u);
}

TEST(RelayBatch, BurstsThroughTheListenerKeepEachRecipientsOrderWhileOthersJoinAndMove) {
  VoiceRig rig;
  VoicePeer& s1 = rig.Add("S1");
  VoicePeer& s2 = rig.Add("S2");
  VoicePeer& r = rig.Add("R");
  VoicePeer& mover = rig.Add("M");
  VoicePeer& w = rig.Add("W");
  Move(w, 3);
  client::VoiceClient stranger;
  constexpr int kBursts = 3, kRounds = 15;  // small bursts: every socket buffer holds them
  VoicePeer* joiner = nullptr;
  for (int burst = 0; burst < kBursts; ++burst) {
    for (int i = 0; i < kRounds; ++i) {
      rig.SendVoice(s1, kVoiceChannel, {1});
      rig.SendVoice(s2, kVoiceChannel, {2});
      stranger.SendTo(rig.server.UdpPort(), ComposeVoice(60001, kVoiceChannel, 0, 1, nullptr, 0));
      if (i % 5 == 0) rig.SendVoice(s2, kVoiceWhisper, {1, Wire(w), 3});
    }
    // While the burst is relayed: the mover leaves the channel and comes back, someone joins.
    Move(mover, burst % 2 == 0 ? 2 : 1);
    if (burst == 1) joiner = &rig.Add("J");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // One copy of every datagram of a stable channel member, each speaker's in sending order.
  const auto expectOrdered = [](const std::vector<std::pair<uint32_t, uint8_t>>& got, bool complete) {
    std::map<uint8_t, uint32_t> last;
    std::map<uint8_t, int> count;
    for (const auto& [id, tag] : got) {
      EXPECT_GT(id, last[tag]) << "speaker " << int(tag);
      last[tag] = id;
      ++count[tag];
    }
    if (complete) {
      EXPECT_EQ(count[1], kBursts * kRounds);
      EXPECT_EQ(count[2], kBursts * kRounds);
      EXPECT_EQ(count[3], 0);
    }
  };
  expectOrdered(Drain(r), true);
  expectOrdered(Drain(mover), false);
  ASSERT_TRUE(joiner);
  expectOrdered(Drain(*joiner), false);
  const auto whispers = Drain(w);
  EXPECT_EQ(whispers.size(), static_cast<size_t>(kBursts * kRounds / 5));
  for (const auto& [id, tag] : whispers) EXPECT_EQ(tag, 3);
  const auto own = Drain(s1);
  EXPECT_EQ(std::count_if(own.begin(), own.end(), [](const auto& x) { return x.second == 1; }), 0);
}

}  // namespace
}  // namespace qm
