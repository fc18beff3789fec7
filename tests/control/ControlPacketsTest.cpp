#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "control/ControlPackets.hpp"

namespace qm {
namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> v;
  for (int b : list) v.push_back(static_cast<uint8_t>(b));
  return v;
}

// Header bytes for a server packet: BA B0 | key | length | command.
std::vector<uint8_t> Head(uint16_t key, uint16_t length, int16_t command) {
  const auto c = static_cast<uint16_t>(command);
  return Bytes({0xBA, 0xB0, key & 0xFF, key >> 8, length & 0xFF, length >> 8, c & 0xFF, c >> 8});
}

std::vector<uint8_t> ShortString(const std::string& text, size_t capacity) {
  // Sized first and filled in place: growing from one byte by insert trips gcc's -Warray-bounds.
  std::vector<uint8_t> v(1 + capacity, 0);
  const size_t n = std::min(text.size(), capacity);
  v[0] = static_cast<uint8_t>(n);
  std::copy_n(text.begin(), n, v.begin() + 1);
  return v;
}

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> v;
  for (const auto& p : parts) v.insert(v.end(), p.begin(), p.end());
  return v;
}

const std::string k35 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345678";  // 35 characters

TEST(ControlPackets, RepliesAreTheHeaderAloneWithTheLowSixteenBitsOfKeyAndCode) {
  EXPECT_EQ(ComposeReply(0, kReplyWrongPassword), Bytes({0xBA, 0xB0, 0x00, 0x00, 0x08, 0x00, 0xFE, 0xFF}));
  EXPECT_EQ(ComposeReply(0, kReplyServerFull), Bytes({0xBA, 0xB0, 0x00, 0x00, 0x08, 0x00, 0xFF, 0xFF}));
  EXPECT_EQ(ComposeReply(0x1234, kReplySetupRefused), Bytes({0xBA, 0xB0, 0x34, 0x12, 0x08, 0x00, 0xFB, 0xFF}));
  EXPECT_EQ(ComposeReply(50000, kReplyAdminLoginOk), Bytes({0xBA, 0xB0, 0x50, 0xC3, 0x08, 0x00, 0x64, 0x00}));
  // A key above 16 bits travels as its low word.
  EXPECT_EQ(ComposeReply(0x12345678, -130), Bytes({0xBA, 0xB0, 0x78, 0x56, 0x08, 0x00, 0x7E, 0xFF}));
}

TEST(ControlPackets, LoginAcceptedIs43BytesWithTheServerNameCutTo30) {
  const Packet p = ComposeLoginAccepted(0x0102, k35);
  EXPECT_EQ(p, Cat({Head(0x0102, 43, 1), ShortString(k35, 30), Bytes({0, 2, 1, 2})}));
  EXPECT_EQ(p.size(), 43u);
  EXPECT_EQ(p[8], 30);
  EXPECT_EQ(std::string(p.begin() + 9, p.begin() + 39), k35.substr(0, 30));

  const Packet empty = ComposeLoginAccepted(7, "");
  EXPECT_EQ(empty.size(), 43u);
  EXPECT_EQ(empty[8], 0);
}

TEST(ControlPackets, NotificationsHaveTheirFixedLayouts) {
  // Player 0 joining is seen as 1, in channel 1: BA B0 key 29 00 0B 00 01 01 name.
  EXPECT_EQ(ComposePlayerJoined(0x0A0B, 1, 1, "bob"),
            Cat({Head(0x0A0B, 41, 11), Bytes({1, 1}), ShortString("bob", 30)}));
  EXPECT_EQ(ComposePlayerJoined(1, 2, 1, k35), Cat({Head(1, 41, 11), Bytes({2, 1}), ShortString(k35, 30)}));
  EXPECT_EQ(ComposePlayerChangedChannel(5, 3, 7), Cat({Head(5, 10, 10), Bytes({3, 7})}));
  EXPECT_EQ(ComposePlayerLeft(5, 3, 4), Cat({Head(5, 10, 12), Bytes({3, 4})}));
  EXPECT_EQ(ComposeChannelAdded(5, 2, k35), Cat({Head(5, 40, 13), Bytes({2}), ShortString(k35, 30)}));
  EXPECT_EQ(ComposeChannelDeleted(5, 9), Cat({Head(5, 9, 14), Bytes({9})}));
  EXPECT_EQ(ComposePlayerIsAdmin(5, 4), Cat({Head(5, 9, 15), Bytes({4})}));
}

TEST(ControlPackets, ListsForThreeChannelsAndTwoPlayersAre176Or174Bytes) {
  const std::vector<ListChannel> channels{{1, "Default"}, {2, "Lobby"}, {3, k35}};
  const std::vector<ListPlayer> players{{1, 1, false, "ann"}, {2, 3, true, k35}};
  for (bool old : {false, true}) {
    std::vector<uint8_t> ch, pl;
    for (const auto& c : channels) AppendListChannel(ch, c);
    for (const auto& p : players) AppendListPlayer(pl, p, old);
    const Packet p = ComposeLists(0x4321, old, channels.size(), ch, players.size(), pl, 2);
    const uint16_t size = old ? 174 : 176;
    std::vector<uint8_t> expected = Cat({Head(0x4321, size, old ? 2 : 3), Bytes({3, 2, 2, 0})});
    for (const auto& c : channels) expected = Cat({expected, Bytes({c.wireChannel}), ShortString(c.name, 30)});
    for (const auto& pr : players) {
      expected = Cat({expected, Bytes({pr.wirePlayer, pr.wireChannel})});
      if (!old) expected.push_back(pr.isAdmin ? 1 : 0);
      expected = Cat({expected, ShortString(pr.name, 30)});
    }
    EXPECT_EQ(p.size(), size);
    EXPECT_EQ(p, expected) << (old ? "type 2" : "type 3");

    ParsedLists parsed;
    ASSERT_TRUE(ParseLists(p.data(), p.size(), parsed));
    EXPECT_EQ(parsed.oldLayout, old);
    EXPECT_EQ(parsed.ownWirePlayer, 2);
    ASSERT_EQ(parsed.channels.size(), 3u);
    EXPECT_EQ(parsed.channels[2].name, k35.substr(0, 30));
    ASSERT_EQ(parsed.players.size(), 2u);
    EXPECT_EQ(parsed.players[1].wireChannel, 3);
    EXPECT_EQ(parsed.players[1].isAdmin, !old);
    EXPECT_EQ(parsed.players[0].name, "ann");
  }
}

TEST(ControlPackets, ListParsingRefusesATruncatedPacket) {
  std::vector<uint8_t> ch;
  AppendListChannel(ch, {1, "Default"});
  Packet p = ComposeLists(1, false, 1, ch, 0, {}, 1);
  ParsedLists parsed;
  EXPECT_TRUE(ParseLists(p.data(), p.size(), parsed));
  EXPECT_FALSE(ParseLists(p.data(), p.size() - 1, parsed));
  const Packet reply = ComposeReply(1, 3);  // type 3 claimed by a bare header: no 12-byte head
  EXPECT_FALSE(ParseLists(reply.data(), reply.size(), parsed));
  const Packet other = ComposePlayerLeft(1, 1, 0);
  EXPECT_FALSE(ParseLists(other.data(), other.size(), parsed));

  // Cut inside the player records (33 bytes each in the old layout, 34 in the new one).
  for (bool old : {false, true}) {
    std::vector<uint8_t> pl;
    AppendListPlayer(pl, {1, 1, false, "ann"}, old);
    AppendListPlayer(pl, {2, 1, true, "bob"}, old);
    const Packet two = ComposeLists(1, old, 1, ch, 2, pl, 1);
    ASSERT_EQ(two.size(), old ? 12u + 32 + 66 : 12u + 32 + 68);
    EXPECT_TRUE(ParseLists(two.data(), two.size(), parsed));
    EXPECT_FALSE(ParseLists(two.data(), two.size() - 1, parsed)) << old;
    EXPECT_FALSE(ParseLists(two.data(), two.size() - (old ? 33 : 34), parsed)) << old;  // second record gone
    EXPECT_FALSE(ParseLists(two.data(), 12 + 32 + 10, parsed)) << old;                  // inside the first
  }
}

TEST(ControlPackets, LoginRequestRoundTripsAndCutsLongFields) {
  const Packet p = ComposeLogin({k35, "secret", "1.2.0"});
  ASSERT_EQ(p.size(), 101u);
  EXPECT_EQ(ParseHeader(p.data(), p.size()).command, kCmdClientLogin);
  EXPECT_EQ(p[8], 30);
  EXPECT_EQ(p[39], 6);
  EXPECT_EQ(p[70], 5);
  const LoginRequest r = ParseLogin(p.data(), p.size());
  EXPECT_EQ(r.name, k35.substr(0, 30));
  EXPECT_EQ(r.password, "secret");
  EXPECT_EQ(r.version, "1.2.0");
}

TEST(ControlPackets, ReceivedFieldsNeverReadPastTheData) {
  // A login cut inside the name: the rest reads as empty, never as memory past the packet.
  Packet p = ComposeLogin({"abcdef", "pw", "2.0"});
  const LoginRequest cut = ParseLogin(p.data(), 12);
  EXPECT_EQ(cut.name, "abc");
  EXPECT_EQ(cut.password, "");
  EXPECT_EQ(cut.version, "");
  // A length byte above the capacity is clamped to 30.
  p[8] = 200;
  EXPECT_EQ(ParseLogin(p.data(), p.size()).name.size(), 30u);
  // A header shorter than 8 bytes has command 0.
  const uint8_t one = 0xBA;
  EXPECT_EQ(ParseHeader(&one, 1).command, 0);
  EXPECT_EQ(ParseSetup(p.data(), 9).flag, 0);
  EXPECT_EQ(ParseByteArgument(p.data(), 8), 0);
}

TEST(ControlPackets, ClientCommandsAreOneHeaderAndTheirBody) {
  EXPECT_EQ(ComposeSetup(7, 1), Cat({Head(0, 10, 2), Bytes({7, 1})}));
  const SetupRequest s = ParseSetup(ComposeSetup(200, 3).data(), 10);
  EXPECT_EQ(s.value, 200);
  EXPECT_EQ(s.flag, 3);
  EXPECT_EQ(ComposeCommand(kCmdClientLeave), Head(0, 8, 51));
  EXPECT_EQ(ComposeByteCommand(kCmdAdminKickPlayer, 3), Cat({Head(0, 9, 130), Bytes({3})}));
  const Packet s30 = ComposeStringCommand(kCmdAdminCreateRoom, k35);
  EXPECT_EQ(s30, Cat({Head(0, 39, 110), ShortString(k35, 30)}));
  EXPECT_EQ(ParseStringArgument(s30.data(), s30.size()), k35.substr(0, 30));
}

TEST(ControlPackets, ShortStringWriterCutsAndPadsWithZeros) {
  std::vector<uint8_t> out;
  WireWriter(out).ShortString(k35, 30).ShortString("", 30).ShortString("127.0.0.1", 15);
  ASSERT_EQ(out.size(), 31u + 31u + 16u);
  EXPECT_EQ(out[0], 30);
  EXPECT_EQ(out[31], 0);
  EXPECT_EQ(out[62], 9);
  WireReader r(out.data(), out.size());
  EXPECT_EQ(r.ShortString(62, 15), "127.0.0.1");
  EXPECT_EQ(r.U32(out.size() - 2), 0u);  // partly past the end: the missing bytes read as zero
}

TEST(ControlPackets, WireIdsAreIdPlusOneAndBytesWrap) {
  EXPECT_EQ(ToWireId(0), 1);
  EXPECT_EQ(ToWireId(255), 256);  // logs and the lists' own-player field show it whole
  EXPECT_EQ(ToWireId(-1), 0);     // a client that asked for channel 0
  EXPECT_EQ(FromWireId(0), -1);
  EXPECT_EQ(ToWireByte(255), 0);
  EXPECT_EQ(ToWireByte(6), 7);
  EXPECT_EQ(FromWireByte(7), 6);
  EXPECT_EQ(FromWireByte(0), 255);  // wire 0 names stored id 255
}

}  // namespace
}  // namespace qm
