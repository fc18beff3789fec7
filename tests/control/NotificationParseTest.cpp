#include <gtest/gtest.h>

#include "control/ControlPackets.hpp"

namespace qm {
namespace {

TEST(NotificationParse, EveryTypeRoundTripsAndShortPacketsAreRefused) {
  struct Case {
    Packet packet;
    Notification expected;
  };
  const Case cases[] = {
      {ComposePlayerChangedChannel(7, 3, 9), {kPktPlayerChangedChannel, 3, 9, 0, ""}},
      {ComposePlayerJoined(7, 2, 1, "Alice"), {kPktPlayerJoined, 2, 1, 0, "Alice"}},
      {ComposePlayerLeft(7, 5, 4), {kPktPlayerLeft, 5, 0, 4, ""}},
      {ComposeChannelAdded(7, 6, "Lobby"), {kPktChannelAdded, 0, 6, 0, "Lobby"}},
      {ComposeChannelDeleted(7, 6), {kPktChannelDeleted, 0, 6, 0, ""}},
      {ComposePlayerIsAdmin(7, 8), {kPktPlayerIsAdmin, 8, 0, 0, ""}},
  };
  for (const auto& c : cases) {
    Notification n;
    ASSERT_TRUE(ParseNotification(c.packet.data(), c.packet.size(), n)) << c.expected.type;
    EXPECT_EQ(n.type, c.expected.type);
    EXPECT_EQ(n.player, c.expected.player);
    EXPECT_EQ(n.channel, c.expected.channel);
    EXPECT_EQ(n.reason, c.expected.reason);
    EXPECT_EQ(n.name, c.expected.name);
    EXPECT_FALSE(ParseNotification(c.packet.data(), c.packet.size() - 1, n)) << c.expected.type;
  }
  const Packet reply = ComposeReply(7, kReplyNotAdmin);
  Notification n;
  EXPECT_FALSE(ParseNotification(reply.data(), reply.size(), n));
}

TEST(NotificationParse, LoginAcceptedGivesKeyAndServerName) {
  const Packet p = ComposeLoginAccepted(0x1234, "My Server");
  uint16_t key = 0;
  std::string name;
  ASSERT_TRUE(ParseLoginAccepted(p.data(), p.size(), key, name));
  EXPECT_EQ(key, 0x1234);
  EXPECT_EQ(name, "My Server");
  EXPECT_FALSE(ParseLoginAccepted(p.data(), 42, key, name));
}

}  // namespace
}  // namespace qm
