#include <gtest/gtest.h>

#include "clients/ChannelList.hpp"
#include "clients/ClientHarness.hpp"
#include "clients/TServerClient.hpp"

namespace qm {
namespace {

using test::ClientEnd;
using test::Harness;

TEST(TServerClient, StartsWithTheDocumentedValues) {
  TServerClient c(nullptr, nullptr, nullptr);
  EXPECT_FALSE(c.Destroyed());
  EXPECT_FALSE(c.IsAdmin());
  EXPECT_FALSE(c.Leaving());
  EXPECT_EQ(c.ChannelId(), 0);
  EXPECT_EQ(c.PlayerId(), 0);
  EXPECT_EQ(c.SessionKey(), 0u);
  EXPECT_EQ(c.PeerAddress(), "");
  EXPECT_EQ(c.PeerPort(), 0);
  EXPECT_FALSE(c.PingPending.load());
  EXPECT_EQ(c.PingTries.load(), 0);
  EXPECT_EQ(c.Traffic.TcpPacketsSent.load() + c.Traffic.UdpPacketsReceived.load() + c.BadPackets.load(), 0u);
  EXPECT_EQ(c.LastActivity(), c.ConnectedAt());
}

TEST(TServerClient, OnlyTheExactOldVersionTextSelectsTheOldLayouts) {
  TServerClient c(nullptr, nullptr, nullptr);
  for (const char* v : {"", "1.2.0 ", "1.2.00", "1.2.1", " 1.2.0", "v1.2.0"}) {
    c.SetClientVersion(v);
    EXPECT_FALSE(c.IsOldClient()) << '"' << v << '"';
  }
  c.SetClientVersion("1.2.0");
  EXPECT_TRUE(c.IsOldClient());
}

TEST(TServerClient, FlushWritesOldestFirstAndCountsOnBothSides) {
  Harness h;
  ClientEnd& e = h.Add("a", 0, 0x0102);
  const Packet first = ComposeLoginAccepted(0x0102, "srv");
  const Packet second = ComposeReply(0x0102, kReplyNotAdmin);
  e.Client()->Enqueue(first);
  e.Client()->EnqueueCopy(second.data(), second.size());
  EXPECT_TRUE(e.Silent(50));                          // queued only
  e.Client()->Send(ComposePlayerLeft(0x0102, 3, 0));  // flushes the whole queue, oldest first
  auto p1 = e.Next(), p2 = e.Next(), p3 = e.Next();
  ASSERT_TRUE(p1 && p2 && p3);
  EXPECT_EQ(*p1, first);
  EXPECT_EQ(*p2, second);
  EXPECT_EQ(*p3, ComposePlayerLeft(0x0102, 3, 0));
  EXPECT_EQ(e.Client()->Traffic.TcpPacketsSent.load(), 3u);
  EXPECT_EQ(e.Client()->Traffic.TcpBytesSent.load(), 43u + 8u + 10u);
  EXPECT_EQ(h.counters.TcpPacketsSent.load(), 3u);
  EXPECT_EQ(h.counters.TcpBytesSent.load(), 61u);
}

TEST(TServerClient, FailedWriteCountsTheAttemptOnTheClientOnly) {
  Harness h;
  ClientEnd& e = h.Add("a", 0, 5);
  e.Client()->TcpLink()->Disconnect();
  e.Client()->Send(ComposeReply(*e.Client(), kReplyNotAdmin));
  e.Client()->Send(ComposePlayerIsAdmin(5, 1));
  EXPECT_EQ(e.Client()->Traffic.TcpPacketsSent.load(), 2u);
  EXPECT_EQ(e.Client()->Traffic.TcpBytesSent.load(), 17u);
  EXPECT_EQ(h.counters.TcpPacketsSent.load(), 0u);
  EXPECT_EQ(h.counters.TcpBytesSent.load(), 0u);
}

TEST(TServerClient, AfterDestroyNothingIsQueuedOrWrittenAndTheSlotIsEmpty) {
  Harness h;
  ClientEnd& e = h.Add("a", 0, 5);
  ASSERT_EQ(e.Context().Slot<TServerClient>(), e.Client());
  e.Client()->Enqueue(ComposeReply(5, kReplyNotAdmin));  // queued, then dropped by Destroy
  e.Client()->Destroy();
  EXPECT_TRUE(e.Client()->Destroyed());
  EXPECT_EQ(e.Context().Slot<TServerClient>(), nullptr);
  e.Client()->Flush();
  e.Client()->Send(ComposeReply(*e.Client(), kReplyNotAdmin));
  e.Client()->Send(ComposePlayerJoined(5, 1, 1, "x"));
  e.Client()->Send(ComposeChannelAdded(5, 1, "x"));
  e.Client()->EnqueueCopy(reinterpret_cast<const uint8_t*>("abcdefgh"), 8);
  e.Client()->Flush();
  EXPECT_TRUE(e.Silent());
  EXPECT_EQ(e.Client()->Traffic.TcpPacketsSent.load(), 0u);
  EXPECT_EQ(h.counters.TcpPacketsSent.load(), 0u);
}

TEST(TServerClient, DestroyLeavesASlotThatHoldsAnotherRecord) {
  Harness h;
  ClientEnd& e = h.Add("a", 0, 5);
  auto other = std::make_shared<TServerClient>(nullptr, nullptr, nullptr);
  e.Context().SetSlot(other);
  e.Client()->Destroy();
  EXPECT_EQ(e.Context().Slot<TServerClient>(), other);
}

TEST(TServerClient, SendListsQueuesBothListsInTheReceiversLayout) {
  ClientList clients;
  ChannelList channels(clients);
  channels.AddChannel("Default");
  channels.AddChannel("Lobby");
  channels.AddChannel(std::string(35, 'L'));
  Harness h;
  ClientEnd& a = h.Listed(clients, "ann", 0, 31);
  ClientEnd& b = h.Listed(clients, std::string(35, 'b'), 1, 32, "1.2.0");
  a.Client()->SetChannelId(2);
  a.Client()->SetIsAdmin(true);
  b.Client()->SetLeaving();  // a Leaving client is still listed, and still in the lists

  for (ClientEnd* e : {&a, &b}) {
    e->Client()->Enqueue(ComposeLists(*e->Client(), clients, channels));
    EXPECT_TRUE(e->Silent(50));  // queued only, written by the next flush
    e->Client()->Flush();
    auto p = e->Next();
    ASSERT_TRUE(p);
    const bool old = e == &b;
    ASSERT_EQ(p->size(), old ? 174u : 176u);
    const PacketHeader head = ParseHeader(p->data(), p->size());
    EXPECT_EQ(head.command, old ? 2 : 3);
    EXPECT_EQ(head.length, p->size());
    EXPECT_EQ(head.sessionKey, e->Client()->SessionKey());
    ParsedLists lists;
    ASSERT_TRUE(ParseLists(p->data(), p->size(), lists));
    EXPECT_EQ(lists.ownWirePlayer, old ? 2 : 1);
    ASSERT_EQ(lists.channels.size(), 3u);
    EXPECT_EQ(lists.channels[0].wireChannel, 1);
    EXPECT_EQ(lists.channels[2].name, std::string(30, 'L'));
    ASSERT_EQ(lists.players.size(), 2u);
    EXPECT_EQ(lists.players[0].wireChannel, 3);
    EXPECT_EQ(lists.players[0].isAdmin, !old);
    EXPECT_EQ(lists.players[1].wirePlayer, 2);
    EXPECT_EQ(lists.players[1].name, std::string(30, 'b'));
  }
}

TEST(TServerClient, PeerAddressAndPortChangeTogether) {
  TServerClient c(nullptr, nullptr, nullptr);
  NetAddress a;
  ASSERT_TRUE(NetAddress::FromDotted("127.0.0.1", 4000, a));
  c.SetPeer(a);
  EXPECT_EQ(c.PeerAddress(), "127.0.0.1");
  EXPECT_EQ(c.PeerPort(), 4000);
}

}  // namespace
}  // namespace qm
