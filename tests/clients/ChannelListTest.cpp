#include <gtest/gtest.h>

#include "clients/ChannelList.hpp"
#include "clients/ClientHarness.hpp"

namespace qm {
namespace {

using test::ClientEnd;
using test::Harness;

std::vector<int> Ids(ChannelList& channels) {
  std::vector<int> ids;
  for (const auto& r : channels.Snapshot()) ids.push_back(r.ChannelId);
  return ids;
}

TEST(ChannelList, FreedIdsAreReusedLowestFirstAndAppendedAtTheEnd) {
  ClientList clients;
  ChannelList channels(clients);
  ASSERT_EQ(channels.AddChannel("zero")->ChannelId, 0);
  ASSERT_EQ(channels.AddChannel("one")->ChannelId, 1);
  ASSERT_EQ(channels.AddChannel("two")->ChannelId, 2);
  channels.DeleteChannel(1, ChannelDeletedNotice);
  EXPECT_EQ(Ids(channels), (std::vector<int>{0, 2}));
  auto again = channels.AddChannel("again");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->ChannelId, 1);
  EXPECT_EQ(Ids(channels), (std::vector<int>{0, 2, 1}));
  channels.DeleteChannel(0, ChannelDeletedNotice);
  channels.DeleteChannel(2, ChannelDeletedNotice);
  EXPECT_EQ(channels.AddChannel("x")->ChannelId, 0);
  EXPECT_EQ(channels.AddChannel("y")->ChannelId, 2);
  EXPECT_EQ(channels.AddChannel("z")->ChannelId, 3);
  EXPECT_EQ(Ids(channels), (std::vector<int>{1, 0, 2, 3}));
  EXPECT_TRUE(channels.FindChannel(3));
  EXPECT_FALSE(channels.FindChannel(4));
}

TEST(ChannelList, NamesAreCutTo30AndAnnouncedToEveryClient) {
  ClientList clients;
  ChannelList channels(clients);
  Harness h;
  ClientEnd& a = h.Listed(clients, "a", 0, 11);
  ClientEnd& b = h.Listed(clients, "b", 1, 12, "1.2.0");
  const std::string name40(40, 'n');
  auto r = channels.AddChannel(name40, ChannelAddedNotice);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->NameLength, 30);
  EXPECT_EQ(r->Name(), std::string(30, 'n'));
  EXPECT_EQ(channels.FindChannel(0)->Name(), std::string(30, 'n'));
  for (ClientEnd* e : {&a, &b}) {
    auto p = e->Next();
    ASSERT_TRUE(p);
    EXPECT_EQ(*p, ComposeChannelAdded(e->Client()->SessionKey(), 1, std::string(30, 'n')));
  }
}

TEST(ChannelList, DeletingAnnouncesAndLeavesClientsWhereTheyAre) {
  ClientList clients;
  ChannelList channels(clients);
  channels.AddChannel("zero");
  channels.AddChannel("one");
  Harness h;
  ClientEnd& a = h.Listed(clients, "a", 0, 11);
  ClientEnd& b = h.Listed(clients, "b", 1, 12);
  b.Client()->SetChannelId(1);

  channels.DeleteChannel(7, ChannelDeletedNotice);  // no such id: nothing happens, nothing is sent
  EXPECT_EQ(channels.Count(), 2u);
  EXPECT_TRUE(a.Silent());
  EXPECT_TRUE(b.Silent());

  channels.DeleteChannel(1, ChannelDeletedNotice);
  for (ClientEnd* e : {&a, &b}) {
    auto p = e->Next();
    ASSERT_TRUE(p);
    EXPECT_EQ(*p, ComposeChannelDeleted(e->Client()->SessionKey(), 2));
    EXPECT_TRUE(e->Silent());
  }
  EXPECT_EQ(b.Client()->ChannelId(), 1);
  EXPECT_EQ(channels.Count(), 1u);
}

TEST(ChannelList, With255ChannelsAddingIsRefusedAndNothingIsAnnounced) {
  ClientList clients;
  ChannelList channels(clients);
  for (int i = 0; i < 255; ++i) ASSERT_TRUE(channels.AddChannel("c" + std::to_string(i)));
  Harness h;
  ClientEnd& a = h.Listed(clients, "a", 0, 11);
  EXPECT_FALSE(channels.AddChannel("one too many", ChannelAddedNotice));
  EXPECT_EQ(channels.Count(), 255u);
  EXPECT_TRUE(a.Silent());
  channels.DeleteChannel(254, ChannelDeletedNotice);
  ASSERT_TRUE(a.Next());
  auto last = channels.AddChannel("last", ChannelAddedNotice);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->ChannelId, 254);
}

}  // namespace
}  // namespace qm
