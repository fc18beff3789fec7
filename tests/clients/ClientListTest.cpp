#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "clients/ClientHarness.hpp"
#include "clients/ClientList.hpp"

namespace qm {
namespace {

using test::ClientEnd;
using test::Harness;

uint16_t KeyOf(const Packet& p) { return ParseHeader(p.data(), p.size()).sessionKey; }

ChannelRecord Channel(uint8_t id, const std::string& name) {
  ChannelRecord r;
  r.ChannelId = id;
  r.NameLength = static_cast<uint8_t>(name.size());
  std::copy(name.begin(), name.end(), r.NameChars.begin());
  return r;
}

TEST(ClientList, PlayerIdsAreTheLowestFreeAndReused) {
  ClientList list;
  Harness h;
  uint8_t id = 99;
  ASSERT_TRUE(list.LowestFreePlayerId(id));
  EXPECT_EQ(id, 0);
  h.Listed(list, "a", 0, 10);
  h.Listed(list, "c", 2, 12);
  ASSERT_TRUE(list.LowestFreePlayerId(id));
  EXPECT_EQ(id, 1);
  ClientEnd& b = h.Listed(list, "b", 1, 11);
  ASSERT_TRUE(list.LowestFreePlayerId(id));
  EXPECT_EQ(id, 3);
  b.Client()->SetLeaving();  // announced already: the removal itself sends nothing
  list.RemoveClient(b.Client(), PlayerLeftNotice(*b.Client(), kLeftReasonLeft));
  ASSERT_TRUE(list.LowestFreePlayerId(id));
  EXPECT_EQ(id, 1);
}

TEST(ClientList, WithAll256PlayerIdsTakenNoIdIsFound) {
  ClientList list;
  {
    LockGuard g(list.Lock());
    for (int i = 0; i < 256; ++i) {
      auto c = std::make_shared<TServerClient>(nullptr, nullptr, nullptr);
      c->SetPlayerId(static_cast<uint8_t>(255 - i));
      c->SetSessionKey(static_cast<uint32_t>(i + 1));
      list.Append(c);
    }
  }
  uint8_t id = 7;
  EXPECT_FALSE(list.LowestFreePlayerId(id));
  EXPECT_EQ(list.ClientCount(), 256u);
  // Freeing one id in the middle makes exactly that one available.
  ClientPtr holder = list.FindClientByPlayerId(100);
  ASSERT_TRUE(holder);
  holder->SetLeaving();
  list.RemoveClient(holder, PlayerLeftNotice(*holder, kLeftReasonLeft));
  ASSERT_TRUE(list.LowestFreePlayerId(id));
  EXPECT_EQ(id, 100);
  for (auto& c : list.TakeAll()) c->Destroy();
}

TEST(ClientList, SessionKeysAreDrawnAgainWhileTaken) {
  ClientList list;
  Harness h;
  h.Listed(list, "a", 0, 5);
  h.Listed(list, "b", 1, 7);
  std::vector<uint32_t> draws{5, 7, 5, 9};
  size_t next = 0;
  uint32_t key = 0;
  ASSERT_TRUE(list.DrawSessionKey([&] { return draws[next++]; }, key));
  EXPECT_EQ(key, 9u);
  EXPECT_EQ(next, 4u);
}

TEST(ClientList, LookupsFindTheFirstMatchOrNone) {
  ClientList list;
  Harness h;
  ClientEnd& a = h.Listed(list, "a", 0, 300);
  ClientEnd& b = h.Listed(list, "b", 1, 50000);
  ClientEnd& stranger = h.Add("x", 2, 301);
  EXPECT_EQ(list.FindClientByKey(50000), b.Client());
  EXPECT_EQ(list.FindClientByKey(300), a.Client());
  EXPECT_EQ(list.FindClientByKey(0), nullptr);
  EXPECT_EQ(list.FindClientByKey(301), nullptr);
  EXPECT_EQ(list.FindClientByPlayerId(1), b.Client());
  EXPECT_EQ(list.FindClientByPlayerId(2), nullptr);
  EXPECT_TRUE(list.HasConnection(&a.Context()));
  EXPECT_FALSE(list.HasConnection(&stranger.Context()));
  EXPECT_EQ(list.ClientCount(), 2u);
}

TEST(ClientList, TwoRecordsSharingAKeyEachStayFindableWhenTheOtherIsRemoved) {
  RelayIndex index;
  auto make = [] {
    auto c = std::make_shared<TServerClient>(nullptr, nullptr, nullptr);
    c->SetSessionKey(77);
    return c;
  };
  ClientPtr first = make(), second = make();
  index.Add(first);
  index.Add(second);
  EXPECT_EQ(index.Find(77), first);
  index.Remove(*second);  // not the key's holder: the holder keeps it
  EXPECT_EQ(index.Find(77), first);
  index.Add(second);
  index.Remove(*first);  // the holder: the other takes the key over
  EXPECT_EQ(index.Find(77), second);
  index.Remove(*second);
  EXPECT_EQ(index.Find(77), nullptr);
}

TEST(ClientList, RecordFoundByLookupOutlivesItsRemoval) {
  ClientList list;
  Harness h;
  ClientEnd& a = h.Listed(list, "a", 0, 42);
  ClientPtr found = list.FindClientByKey(42);
  ASSERT_TRUE(found);
  list.RemoveClient(a.Client(), PlayerLeftNotice(*a.Client(), kLeftReasonLeft));
  a.Client()->Destroy();
  EXPECT_EQ(list.ClientCount(), 0u);
  // Still a valid object: it just sends nothing any more.
  EXPECT_EQ(found->ClientName(), "a");
  found->Send(ComposePlayerLeft(found->SessionKey(), 1, 0));
  EXPECT_TRUE(found->Destroyed());
}

TEST(ClientList, RemoveClientAnnouncesToEveryoneFirstUnlessLeaving) {
  ClientList list;
  Harness h;
  ClientEnd& a = h.Listed(list, "a", 0, 101);
  ClientEnd& b = h.Listed(list, "b", 4, 102);
  ClientEnd& c = h.Listed(list, "c", 2, 103);

  list.RemoveClient(b.Client(), PlayerLeftNotice(*b.Client(), kLeftReasonLeft));
  for (ClientEnd* e : {&a, &b, &c}) {
    auto p = e->Next();
    ASSERT_TRUE(p) << e->Client()->ClientName();
    EXPECT_EQ(*p, ComposePlayerLeft(e->Client()->SessionKey(), 5, 0));
    EXPECT_TRUE(e->Silent());
  }
  EXPECT_EQ(list.ClientCount(), 2u);
  EXPECT_EQ(list.FindClientByPlayerId(4), nullptr);

  // Removing a record that is no longer listed changes nothing.
  b.Client()->SetLeaving();
  list.RemoveClient(b.Client(), PlayerLeftNotice(*b.Client(), kLeftReasonLeft));
  EXPECT_EQ(list.ClientCount(), 2u);

  c.Client()->SetLeaving();
  list.RemoveClient(c.Client(), PlayerLeftNotice(*c.Client(), kLeftReasonLeft));
  EXPECT_TRUE(a.Silent());
  EXPECT_TRUE(c.Silent());
  EXPECT_EQ(list.ClientCount(), 1u);
}

TEST(ClientList, BroadcastsReachTheirRecipientsInListOrder) {
  ClientList list;
  Harness h;
  ClientEnd& a = h.Listed(list, "ann", 0, 201);
  ClientEnd& old = h.Listed(list, "old", 1, 202, "1.2.0");
  ClientEnd& fresh = h.Listed(list, "new", 2, 203, "1.2.0 ");

  // Joined: every other client, never the new one.
  list.Broadcast(PlayerJoinedNotice(*fresh.Client()), AllBut(*fresh.Client()));
  for (ClientEnd* e : {&a, &old}) {
    auto p = e->Next();
    ASSERT_TRUE(p);
    EXPECT_EQ(*p, ComposePlayerJoined(e->Client()->SessionKey(), 3, 1, "new"));
  }
  EXPECT_TRUE(fresh.Silent());

  // Changed channel: everybody, the mover included, with the channel byte as given.
  list.Broadcast(PlayerChangedChannelNotice(*a.Client(), 7));
  for (ClientEnd* e : {&a, &old, &fresh}) {
    auto p = e->Next();
    ASSERT_TRUE(p);
    EXPECT_EQ(*p, ComposePlayerChangedChannel(e->Client()->SessionKey(), 1, 7));
  }

  // Is admin: everybody except the exact "1.2.0" clients.
  list.Broadcast(PlayerIsAdminNotice(*fresh.Client()), NewLayoutClient);
  for (ClientEnd* e : {&a, &fresh}) {
    auto p = e->Next();
    ASSERT_TRUE(p);
    EXPECT_EQ(*p, ComposePlayerIsAdmin(e->Client()->SessionKey(), 3));
  }
  EXPECT_TRUE(old.Silent());

  // Left with a reason: everybody, the given client included; a Leaving recipient still gets it.
  a.Client()->SetLeaving();
  list.Broadcast(PlayerLeftNotice(*a.Client(), kLeftReasonKicked));
  for (ClientEnd* e : {&a, &old, &fresh}) {
    auto p = e->Next();
    ASSERT_TRUE(p);
    EXPECT_EQ(*p, ComposePlayerLeft(e->Client()->SessionKey(), 1, 4));
    EXPECT_EQ(KeyOf(*p), e->Client()->SessionKey());
  }

  const ChannelRecord room = Channel(4, "room");
  list.Broadcast([&](const TServerClient& to) { return ChannelAddedNotice(to, room); });
  list.Broadcast([&](const TServerClient& to) { return ChannelDeletedNotice(to, room); });
  for (ClientEnd* e : {&a, &old, &fresh}) {
    auto added = e->Next();
    auto deleted = e->Next();
    ASSERT_TRUE(added && deleted);
    EXPECT_EQ(*added, ComposeChannelAdded(e->Client()->SessionKey(), 5, "room"));
    EXPECT_EQ(*deleted, ComposeChannelDeleted(e->Client()->SessionKey(), 5));
  }
}

TEST(ClientList, ABroadcastComposesOncePerLayoutAndStampsEachKey) {
  ClientList list;
  Harness h;
  std::vector<ClientEnd*> ends = {&h.Listed(list, "a", 0, 301), &h.Listed(list, "old1", 1, 40000, "1.2.0"),
                                  &h.Listed(list, "b", 2, 50000), &h.Listed(list, "old2", 3, 7, "1.2.0")};
  std::vector<bool> composedForOld;
  const ClientList::Compose joined = PlayerJoinedNotice(*ends[2]->Client());
  list.Broadcast([&](const TServerClient& to) {
    composedForOld.push_back(to.IsOldClient());
    return joined(to);
  });
  EXPECT_EQ(composedForOld, (std::vector<bool>{false, true}));
  for (ClientEnd* e : ends) {
    auto p = e->Next();
    ASSERT_TRUE(p);
    EXPECT_EQ(*p, ComposePlayerJoined(e->Client()->SessionKey(), 3, 1, "b"));
  }
}

TEST(ClientList, DestroyedRecipientReceivesNothing) {
  ClientList list;
  Harness h;
  ClientEnd& a = h.Listed(list, "a", 0, 1);
  ClientEnd& b = h.Listed(list, "b", 1, 2);
  b.Client()->Destroy();
  list.Broadcast([](const TServerClient& to) { return ChannelDeletedNotice(to, Channel(0, "")); });
  ASSERT_TRUE(a.Next());
  EXPECT_TRUE(b.Silent());
}

}  // namespace
}  // namespace qm
