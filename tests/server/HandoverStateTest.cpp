// The handover state's layouts: what one release writes, the next must read. The recorded
// states below are layouts 1 and 2 exactly as their releases wrote them; they must never be
// regenerated: a reader that no longer reads one breaks the handover from that release.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/HandoverState.hpp"

namespace qm {
namespace {

// A server with two channels, one logged-in client (with unread and unsent bytes) and one
// connection not yet logged in.
const char* const kLayout1 =
    "514d4853010000000500000006000000000000001076e6400100000002000000"
    "0300000004000000050000000600000007000000080000000200000009000000"
    "40e2010002000000000700000044656661756c7403050000004c6f6262790200"
    "0000090000000100007f419c02000000aabb0200000003000000010203010000"
    "000401079210000003000000416e6e05000000312e322e320300000001000100"
    "007f50c30100007f0000000000000876e640000000001876e640e80300000a00"
    "0000140000001e00000028000000320000003c00000046000000500000006300"
    "0000010000000c000000018403000002000000000a0000000200007f429c0000"
    "00000000000000";

// The same state in layout 2, with its additions: the client muted, a drain with a stop under
// way, three failed handovers before, a blocked address and a network's failures.
const char* const kLayout2 =
    "514d4853020000000500000006000000000000001076e6400100000002000000"
    "0300000004000000050000000600000007000000080000000200000009000000"
    "40e2010002000000000700000044656661756c7403050000004c6f6262790200"
    "0000090000000100007f419c02000000aabb0200000003000000010203010000"
    "000401079210000003000000416e6e05000000312e322e320300000001000100"
    "007f50c30100007f0000000000000876e640000000001876e640e80300000a00"
    "0000140000001e00000028000000320000003c00000046000000500000006300"
    "0000010000000c00000001840300000200000000010a0000000200007f429c00"
    "0000000000000000030000000101c0d40100a0bb0d000200000001000b000000"
    "3230332e302e3131332e37b0ad01000a0000000138c1010000010f0000003139"
    "382e35312e3130302e302f3234f0cc0100040000000000000000";

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

TEST(HandoverState, ReadsTheRecordedLayout1) {
  const std::vector<uint8_t> bytes = FromHex(kLayout1);
  const HandoverState s = ReadHandoverState(bytes.data(), bytes.size());
  EXPECT_EQ(s.layoutVersion, 1u);
  EXPECT_EQ(s.tcpListenSocket, 5);
  EXPECT_EQ(s.udpSocket, 6);
  EXPECT_DOUBLE_EQ(s.startTime, 46000.5);
  EXPECT_EQ(s.counters, (std::array<uint32_t, 8>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(s.handovers, 2u);
  EXPECT_EQ(s.lastPauseMs, 9u);
  EXPECT_EQ(s.pauseBeganTick, 123456u);
  ASSERT_EQ(s.channels.size(), 2u);
  EXPECT_EQ(s.channels[1].id, 3);
  EXPECT_EQ(s.channels[1].name, "Lobby");
  ASSERT_EQ(s.connections.size(), 2u);
  const HandoverConnection& c = s.connections[0];
  EXPECT_EQ(c.socket, 9);
  EXPECT_EQ(c.peerIp, 0x7F000001u);
  EXPECT_EQ(c.peerPort, 40001);
  EXPECT_EQ(c.unread, (std::vector<uint8_t>{0xAA, 0xBB}));
  EXPECT_EQ(c.unsent, (std::vector<std::vector<uint8_t>>{{1, 2, 3}, {4}}));
  ASSERT_TRUE(c.hasClient);
  const HandoverClient& k = c.client;
  EXPECT_EQ(k.playerId, 7);
  EXPECT_EQ(k.sessionKey, 4242u);
  EXPECT_EQ(k.name, "Ann");
  EXPECT_EQ(k.version, "1.2.2");
  EXPECT_EQ(k.channelId, 3);
  EXPECT_TRUE(k.admin);
  EXPECT_FALSE(k.leaving);
  EXPECT_EQ(k.udpPeer, (uint64_t{0x7F000001} << 16) | 50000);
  EXPECT_DOUBLE_EQ(k.connectedAt, 46000.25);
  EXPECT_DOUBLE_EQ(k.lastActivity, 46000.75);
  EXPECT_EQ(k.lastActivityTick, 1000u);
  EXPECT_EQ(k.traffic, (std::array<uint32_t, 8>{10, 20, 30, 40, 50, 60, 70, 80}));
  EXPECT_EQ(k.lastPacketId, 99u);
  EXPECT_EQ(k.badPackets, 1u);
  EXPECT_EQ(k.pingRoundTrip, 12u);
  EXPECT_TRUE(k.pingPending);
  EXPECT_EQ(k.pingSentTick, 900u);
  EXPECT_EQ(k.pingTries, 2);
  EXPECT_FALSE(k.pingDisconnect);
  EXPECT_FALSE(s.connections[1].hasClient);
  EXPECT_EQ(s.connections[1].peerPort, 40002);
  // What layout 1 did not carry reads as nothing decided.
  EXPECT_FALSE(k.muted);
  EXPECT_FALSE(s.draining);
  EXPECT_EQ(s.failures, 0u);
  EXPECT_TRUE(s.guesses.empty());
}

TEST(HandoverState, ReadsTheRecordedLayout2) {
  const std::vector<uint8_t> bytes = FromHex(kLayout2);
  const HandoverState s = ReadHandoverState(bytes.data(), bytes.size());
  EXPECT_EQ(s.layoutVersion, 2u);
  ASSERT_EQ(s.connections.size(), 2u);
  // Layout 1's fields as before, then the additions.
  EXPECT_EQ(s.connections[0].client.name, "Ann");
  EXPECT_EQ(s.connections[0].client.traffic[7], 80u);
  EXPECT_TRUE(s.connections[0].client.muted);
  EXPECT_EQ(s.connections[1].peerPort, 40002);
  EXPECT_EQ(s.failures, 3u);
  EXPECT_TRUE(s.draining);
  EXPECT_TRUE(s.drainStop);
  EXPECT_EQ(s.drainStartTick, 120000u);
  EXPECT_EQ(s.drainTimeoutMs, 900000u);
  ASSERT_EQ(s.guesses.size(), 2u);
  const HandoverGuess& blocked = s.guesses[0];
  EXPECT_EQ(blocked.throttle, 1);
  EXPECT_FALSE(blocked.network);
  EXPECT_EQ(blocked.key, "203.0.113.7");
  EXPECT_EQ(blocked.windowStart, 110000u);
  EXPECT_EQ(blocked.failures, 10u);
  EXPECT_TRUE(blocked.blocked);
  EXPECT_EQ(blocked.blockStart, 115000u);
  EXPECT_EQ(s.guesses[1].throttle, 0);
  EXPECT_TRUE(s.guesses[1].network);
  EXPECT_EQ(s.guesses[1].key, "198.51.100.0/24");
  EXPECT_EQ(s.guesses[1].failures, 4u);
  EXPECT_FALSE(s.guesses[1].blocked);

  // What this build writes for the same state reads back the same (and, while the layout is 2,
  // is byte for byte the recording).
  if (HandoverState::kLayoutVersion == 2) {
    EXPECT_EQ(WriteHandoverState(s), bytes);
  }
}

TEST(HandoverState, RefusesWhatItCannotRead) {
  std::vector<uint8_t> bytes = FromHex(kLayout1);
  const auto refusal = [](const std::vector<uint8_t>& b) {
    try {
      ReadHandoverState(b.data(), b.size());
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  std::vector<uint8_t> newer = bytes;
  newer[4] = static_cast<uint8_t>(HandoverState::kLayoutVersion + 1);
  EXPECT_NE(refusal(newer).find("is unknown to this build"), std::string::npos) << refusal(newer);
  std::vector<uint8_t> cut(bytes.begin(), bytes.end() - 1);
  EXPECT_NE(refusal(cut).find("cut short"), std::string::npos) << refusal(cut);
  std::vector<uint8_t> other = bytes;
  other[0] = 'X';
  EXPECT_EQ(refusal(other), "not a handover state");
  bytes.push_back(0);
  EXPECT_NE(refusal(bytes).find("too many"), std::string::npos);
}

}  // namespace
}  // namespace qm
