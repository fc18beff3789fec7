// Login, setup and leave against the in-process server over loopback.
#include <atomic>
#include <iostream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "control/LoginHelpers.hpp"

namespace qm {
namespace {

using namespace test;
using namespace test::login;

const Packet kWrongPassword{0xBA, 0xB0, 0x00, 0x00, 0x08, 0x00, 0xFE, 0xFF};
const Packet kServerFull{0xBA, 0xB0, 0x00, 0x00, 0x08, 0x00, 0xFF, 0xFF};

// Player joined as the receiver must see it: BA B0 key 29 00 0B 00 player 01 name.
Packet JoinSeenBy(const client::ControlClient& receiver, uint8_t wirePlayer, const std::string& name) {
  return ComposePlayerJoined(receiver.SessionKey(), wirePlayer, 1, name);
}

TEST(Login, WithoutServerPasswordAnyPasswordIsAcceptedWithThe43ByteReply) {
  TestServer t({{"General", "Servername", "Moot"}});
  ASSERT_TRUE(t.Started());
  for (const std::string pw : {"", "anything"}) {
    Conn c = Connected(t);
    c->Send(ComposeLogin({"ann", pw, "2.0"}));
    auto reply = c->Receive(kWaitMs);
    ASSERT_TRUE(reply);
    const uint16_t key = ParseHeader(reply->data(), reply->size()).sessionKey;
    EXPECT_GE(key, 1);
    EXPECT_LE(key, 50000);
    EXPECT_EQ(*reply, ComposeLoginAccepted(key, "Moot"));
  }
  EXPECT_TRUE(t.WaitForLog("Created client ann"));
  EXPECT_TRUE(t.WaitForLog("Assigned playerId for client ann[1]"));
  // The log never holds the password.
  EXPECT_EQ(CountLines(t, "anything"), 0u);
}

// A client learns it is in before it hears of anyone else: while others leave all at once, each
// newcomer's first packet is its 43-byte login reply, never a player-left notice. (Addresses are
// spread so that no login waits for its address's budget.)
TEST(Login, TheLoginReplyComesBeforeAnyNoticeWhileOthersLeave) {
  TestServer t(
      {{"General", "MaxClients", "64"}, {"Limits", "MaxClientsPerAddress", "64"}, {"General", "Servername", "Moot"}});
  ASSERT_TRUE(t.Started());
  constexpr int kRounds = 50, kLeavers = 24, kNewcomers = 6;
  int noticeFirst = 0, logins = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<Conn> leavers;
    for (int i = 0; i < kLeavers; ++i) {
      leavers.push_back(Connected(t, "127.0.1." + std::to_string(1 + (round * kLeavers + i) % 200)));
      ASSERT_EQ(leavers.back()->Login("leaver", "", "2.0", kWaitMs), kPktLoginAccepted);
    }
    std::vector<Conn> newcomers;
    for (int i = 0; i < kNewcomers; ++i)
      newcomers.push_back(Connected(t, "127.0.2." + std::to_string(1 + (round * kNewcomers + i) % 200)));
    std::thread storm([&] {
      for (auto& c : leavers) c->Close();
    });
    for (auto& c : newcomers) c->Send(ComposeLogin({"new", "", "2.0"}));
    storm.join();
    for (auto& c : newcomers) {
      auto first = c->Receive(kWaitMs);
      ASSERT_TRUE(first);
      ++logins;
      if (CommandOf(*first) != kPktLoginAccepted) {
        ++noticeFirst;
        continue;
      }
      EXPECT_EQ(*first, ComposeLoginAccepted(ParseHeader(first->data(), first->size()).sessionKey, "Moot"));
    }
    newcomers.clear();
    ASSERT_TRUE(Eventually([&] { return t.Server().Clients().ClientCount() == 0; }));
  }
  std::cout << noticeFirst << " of " << logins << " logins heard a notice before their reply\n";
  EXPECT_EQ(noticeFirst, 0);
}

TEST(Login, WrongPasswordGetsExactlyTheRefusalAndIsClosed) {
  TestServer t({{"Passwords", "ServerPassword", "Secret"}});
  ASSERT_TRUE(t.Started());
  for (const std::string pw : {"secret", "", "Secret "}) {
    Conn c = Connected(t);
    c->Send(ComposeLogin({"ann", pw, "2.0"}));
    EXPECT_EQ(c->DrainRaw(kWaitMs), kWrongPassword) << '"' << pw << '"';
    EXPECT_TRUE(c->WaitClosed(kWaitMs));
  }
  EXPECT_TRUE(Eventually([&] {
    return t.Server().Counters().TcpPacketsSent.load() == 3 && t.Server().Counters().TcpBytesSent.load() == 24;
  }));
  EXPECT_EQ(t.Server().Clients().ClientCount(), 0u);
  Conn ok = LoggedIn(t, "ann", "2.0", "Secret");
  EXPECT_TRUE(ok);
}

TEST(Login, FullServerRefusesUntilAPlaceIsFree) {
  TestServer t({{"General", "MaxClients", "2"}});
  ASSERT_TRUE(t.Started());
  Conn a = LoggedIn(t, "a");
  Conn b = LoggedIn(t, "b");
  ASSERT_TRUE(a && b);
  Conn c = Connected(t);
  c->Send(ComposeLogin({"c", "", "2.0"}));
  EXPECT_EQ(c->DrainRaw(kWaitMs), kServerFull);
  EXPECT_TRUE(c->WaitClosed(kWaitMs));

  a->Send(ComposeCommand(kCmdClientLeave));
  EXPECT_TRUE(a->WaitClosed(kWaitMs));
  ASSERT_TRUE(Eventually([&] { return t.Server().Clients().ClientCount() == 1; }));
  Conn d = LoggedIn(t, "d");
  ASSERT_TRUE(d);
  EXPECT_EQ(WirePlayerOf(*d), 1);  // a's id, freed
}

TEST(Login, PlayerIdsAreTheLowestFreeAndJoinsGoToEveryOtherClient) {
  TestServer t;
  ASSERT_TRUE(t.Started());
  Conn a = LoggedIn(t, "a");
  Conn b = LoggedIn(t, "b");
  Conn c = LoggedIn(t, "c");
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(*NextOf(*a, kPktPlayerJoined), JoinSeenBy(*a, 2, "b"));
  EXPECT_EQ(*NextOf(*a, kPktPlayerJoined), JoinSeenBy(*a, 3, "c"));
  EXPECT_EQ(*NextOf(*b, kPktPlayerJoined), JoinSeenBy(*b, 3, "c"));

  // b (id 1) goes: with ids 0 and 2 present the next login gets 1.
  b->Close();
  ASSERT_TRUE(NextOf(*a, kPktPlayerLeft));
  ASSERT_TRUE(NextOf(*c, kPktPlayerLeft));
  // The notice goes out before the record leaves the list: the id is free only after that.
  ASSERT_TRUE(Eventually([&] { return t.Server().Clients().ClientCount() == 2; }));
  Conn d = LoggedIn(t, "d");
  ASSERT_TRUE(d);
  EXPECT_EQ(*NextOf(*a, kPktPlayerJoined), JoinSeenBy(*a, 2, "d"));
  EXPECT_EQ(*NextOf(*c, kPktPlayerJoined), JoinSeenBy(*c, 2, "d"));

  // a (id 0) goes and comes back as e: everybody else gets 41 bytes BA B0 key 29 00 0B 00 01 01 name.
  a->Close();
  ASSERT_TRUE(NextOf(*c, kPktPlayerLeft));
  ASSERT_TRUE(NextOf(*d, kPktPlayerLeft));
  ASSERT_TRUE(Eventually([&] { return t.Server().Clients().ClientCount() == 2; }));
  Conn e = LoggedIn(t, "e");
  ASSERT_TRUE(e);
  for (client::ControlClient* r : {c.get(), d.get()}) {
    auto p = NextOf(*r, kPktPlayerJoined);
    ASSERT_TRUE(p);
    ASSERT_EQ(p->size(), 41u);
    const Packet head{0xBA,
                      0xB0,
                      static_cast<uint8_t>(r->SessionKey()),
                      static_cast<uint8_t>(r->SessionKey() >> 8),
                      0x29,
                      0x00,
                      0x0B,
                      0x00,
                      0x01,
                      0x01,
                      0x01,
                      'e'};
    EXPECT_EQ(Packet(p->begin(), p->begin() + 12), head);
  }
  // The new client never hears of its own join.
  EXPECT_EQ(WirePlayerOf(*e), 1);
  EXPECT_FALSE(e->WaitFor({kPktPlayerJoined}, kQuietMs));
}

TEST(Login, SameNamesAreAcceptedAndLongNamesCut) {
  const std::string long35(35, 'z');
  TestServer t({{"General", "Servername", long35}});
  ASSERT_TRUE(t.Started());
  Conn a = Connected(t);
  a->Send(ComposeLogin({"twin", "", "2.0"}));
  auto reply = a->Receive(kWaitMs);
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, ComposeLoginAccepted(ParseHeader(reply->data(), reply->size()).sessionKey, std::string(30, 'z')));
  EXPECT_EQ((*reply)[8], 30);
  Conn b = LoggedIn(t, "twin");
  Conn c = LoggedIn(t, long35);
  ASSERT_TRUE(b && c);
  auto join1 = NextOf(*a, kPktPlayerJoined);
  auto join2 = NextOf(*a, kPktPlayerJoined);
  ASSERT_TRUE(join1 && join2);
  EXPECT_EQ((*join1)[8], 2);
  EXPECT_EQ(std::string(join1->begin() + 11, join1->begin() + 15), "twin");
  EXPECT_EQ((*join2)[10], 30);
  EXPECT_EQ(std::string(join2->begin() + 11, join2->end()), std::string(30, 'z'));
}

TEST(Login, ASecondLoginOnOneConnectionChangesNothing) {
  TestServer t;
  ASSERT_TRUE(t.Started());
  Conn a = LoggedIn(t, "a");
  Conn other = LoggedIn(t, "other");
  ASSERT_TRUE(a && other);
  ASSERT_TRUE(NextOf(*a, kPktPlayerJoined));
  a->Send(ComposeLogin({"again", "", "1.2.0"}));
  EXPECT_TRUE(t.WaitForLog("ALERT Client already exists"));
  EXPECT_TRUE(Quiet(*a));
  EXPECT_TRUE(Quiet(*other));
  EXPECT_EQ(t.Server().Clients().ClientCount(), 2u);
  // Still open, still the same client with its newer layout.
  a->Send(ComposeSetup(0, 0));
  auto lists = a->WaitFor({kPktListsOld, kPktListsNew}, kWaitMs);
  ASSERT_TRUE(lists);
  EXPECT_EQ(CommandOf(*lists), kPktListsNew);
  EXPECT_EQ(CountLines(t, "Created client again"), 0u);
}

TEST(Login, SetupAnswersWithTheListsOfTheClientsLayout) {
  TestServer t({{"Channels", "0", "Default"}, {"Channels", "1", "Lobby"}, {"Channels", "2", std::string(40, 'L')}});
  ASSERT_TRUE(t.Started());
  Conn oldClient = LoggedIn(t, "old", "1.2.0");
  Conn newClient = LoggedIn(t, "new", "1.2.1");
  ASSERT_TRUE(oldClient && newClient);
  for (client::ControlClient* c : {oldClient.get(), newClient.get()}) {
    c->Send(ComposeSetup(42, 0));
    auto p = c->WaitFor({kPktListsOld, kPktListsNew}, kWaitMs);
    ASSERT_TRUE(p);
    const bool old = c == oldClient.get();
    EXPECT_EQ(p->size(), old ? 174u : 176u);
    const PacketHeader h = ParseHeader(p->data(), p->size());
    EXPECT_EQ(h.command, old ? 2 : 3);
    EXPECT_EQ(h.length, p->size());
    EXPECT_EQ(h.sessionKey, c->SessionKey());
    ParsedLists lists;
    ASSERT_TRUE(ParseLists(p->data(), p->size(), lists));
    EXPECT_EQ(lists.ownWirePlayer, old ? 1 : 2);
    ASSERT_EQ(lists.channels.size(), 3u);
    EXPECT_EQ(lists.channels[1].name, "Lobby");
    EXPECT_EQ(lists.channels[2].name, std::string(30, 'L'));
    ASSERT_EQ(lists.players.size(), 2u);
    EXPECT_EQ(lists.players[0].name, "old");
    EXPECT_EQ(lists.players[1].name, "new");
    EXPECT_EQ(lists.players[1].wireChannel, 1);
  }
  ClientPtr rec = t.Server().Clients().FindClientByPlayerId(0);
  ASSERT_TRUE(rec);
  // Client counters: the setup pass is counted on the client, the login pass only on the server.
  EXPECT_TRUE(Eventually(
      [&] { return rec->Traffic.TcpPacketsReceived.load() == 1 && rec->Traffic.TcpBytesReceived.load() == 10; }));
}

TEST(Login, SetupFlagOneIsRefusedAnnouncedToAllAndClosed) {
  TestServer t;
  ASSERT_TRUE(t.Started());
  Conn a = LoggedIn(t, "a");
  Conn b = LoggedIn(t, "b");
  ASSERT_TRUE(a && b);
  b->Send(ComposeSetup(3, 1));
  auto refusal = b->Receive(kWaitMs);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(*refusal, ComposeReply(b->SessionKey(), kReplySetupRefused));
  auto own = b->Receive(kWaitMs);
  ASSERT_TRUE(own);
  EXPECT_EQ(*own, ComposePlayerLeft(b->SessionKey(), 2, 0));
  EXPECT_TRUE(b->WaitClosed(kWaitMs));
  EXPECT_EQ(*NextOf(*a, kPktPlayerLeft), ComposePlayerLeft(a->SessionKey(), 2, 0));
  EXPECT_TRUE(t.WaitForLog("Distroying client b[2]"));
  EXPECT_FALSE(a->WaitFor({kPktPlayerLeft}, kQuietMs));
  EXPECT_EQ(t.Server().Clients().ClientCount(), 1u);
}

// Only 1 refuses: any other flag byte is "not set" and gets the lists.
TEST(Login, SetupFlagTwoIsNotSetAndGetsTheLists) {
  TestServer t;
  ASSERT_TRUE(t.Started());
  Conn a = LoggedIn(t, "a");
  ASSERT_TRUE(a);
  a->Send(ComposeSetup(7, 2));
  auto lists = a->Receive(kWaitMs);  // the lists, not a refusal
  ASSERT_TRUE(lists);
  EXPECT_EQ(CommandOf(*lists), 3);
  EXPECT_FALSE(a->WaitClosed(kQuietMs));
  EXPECT_EQ(t.Server().Clients().ClientCount(), 1u);
}

TEST(Login, LeaveIsAnnouncedOnceToEveryClientAndCloses) {
  TestServer t;
  ASSERT_TRUE(t.Started());
  Conn a = LoggedIn(t, "a");
  Conn b = LoggedIn(t, "b");
  Conn c = LoggedIn(t, "c");
  ASSERT_TRUE(a && b && c);
  b->Send(ComposeCommand(kCmdClientLeave));
  auto own = b->WaitFor({kPktPlayerLeft}, kWaitMs);
  ASSERT_TRUE(own);
  EXPECT_EQ(*own, ComposePlayerLeft(b->SessionKey(), 2, 0));
  EXPECT_TRUE(b->WaitClosed(kWaitMs));
  for (client::ControlClient* r : {a.get(), c.get()}) {
    auto p = NextOf(*r, kPktPlayerLeft);
    ASSERT_TRUE(p);
    EXPECT_EQ(*p, ComposePlayerLeft(r->SessionKey(), 2, 0));
  }
  EXPECT_TRUE(t.WaitForLog("Distroying client b[2]"));
  EXPECT_TRUE(t.WaitForLog("CMD <-> ClientId: 2 ClientName: b hReply: 12 ClientLeave"));
  EXPECT_FALSE(a->WaitFor({kPktPlayerLeft}, kQuietMs));
  EXPECT_FALSE(c->WaitFor({kPktPlayerLeft}, kQuietMs));
  EXPECT_EQ(CountLines(t, "Distroying client"), 1u);
}

TEST(Login, LostConnectionIsAnnouncedOnceToTheOthers) {
  TestServer t;
  ASSERT_TRUE(t.Started());
  Conn a = LoggedIn(t, "a");
  Conn b = LoggedIn(t, "b");
  Conn c = LoggedIn(t, "c");
  ASSERT_TRUE(a && b && c);
  c->Close();
  for (client::ControlClient* r : {a.get(), b.get()}) {
    auto p = NextOf(*r, kPktPlayerLeft);
    ASSERT_TRUE(p);
    EXPECT_EQ(*p, ComposePlayerLeft(r->SessionKey(), 3, 0));
  }
  EXPECT_TRUE(t.WaitForLog("Distroying client c[3]"));
  EXPECT_TRUE(t.WaitForLog("TCP/IP ClientId: 3 ClientName: c Disconnected"));
  EXPECT_FALSE(a->WaitFor({kPktPlayerLeft}, kQuietMs));
  EXPECT_FALSE(b->WaitFor({kPktPlayerLeft}, kQuietMs));
  EXPECT_EQ(t.Server().Clients().ClientCount(), 2u);
}

}  // namespace
}  // namespace qm
