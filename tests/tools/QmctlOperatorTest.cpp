// The operator's own commands through the real server and the real qmctl: bans, mute, drain and
// reload, seen by clients of the protocol from several loopback addresses.
#include <filesystem>
#include <memory>

#include <gtest/gtest.h>

#include "QmctlHarness.hpp"
#include "client/QmClient.hpp"
#include "control/ControlPackets.hpp"
#include "support/ClockScope.hpp"
#include "support/TestServer.hpp"
#include "support/Waits.hpp"

namespace qm::test {
namespace {

constexpr int kExitRefused = 3;

std::unique_ptr<client::ControlClient> From(const std::string& address, uint16_t port) {
  auto c = std::make_unique<client::ControlClient>();
  c->SetLocalAddress(address);
  c->Connect("127.0.0.1", port);
  return c;
}

std::vector<std::string> Via(const TestServer& t, std::vector<std::string> rest) {
  std::vector<std::string> a{"--socket", const_cast<TestServer&>(t).Server().OperatorSocket()};
  a.insert(a.end(), rest.begin(), rest.end());
  return a;
}

TEST(QmctlOperator, BansCloseExactlyTheMatchingClientsRefuseTheirLoginsSurviveARestartAndExpire) {
  ClockScope time;
  TestServer t{{{"Channels", "0", "Lobby"}}};
  ASSERT_TRUE(t.Started());
  auto watcher = From("127.0.0.1", t.TcpPort());
  ASSERT_EQ(watcher->Login("watcher", "", "1.2.2"), kPktLoginAccepted);  // wire player 1
  auto a2 = From("127.0.0.2", t.TcpPort());
  ASSERT_EQ(a2->Login("two", "", "1.2.2"), kPktLoginAccepted);  // 2
  auto a3 = From("127.0.0.3", t.TcpPort());
  ASSERT_EQ(a3->Login("three", "", "1.2.2"), kPktLoginAccepted);  // 3
  auto b = From("127.0.1.2", t.TcpPort());
  ASSERT_EQ(b->Login("other", "", "1.2.2"), kPktLoginAccepted);  // 4

  // One address, for a minute: that client leaves as a kicked one does, and no one else.
  const auto one = RunQmctl(Via(t, {"ban", "127.0.0.2", "--minutes", "1", "--reason", "spam"}));
  ASSERT_EQ(one.exitCode, 0) << one.err;
  EXPECT_NE(one.out.find("banned 127.0.0.2 until "), std::string::npos) << one.out;
  EXPECT_NE(one.out.find("sent away player 2 two"), std::string::npos) << one.out;
  EXPECT_TRUE(a2->WaitClosed(kWaitMs));
  const auto left = NextOf(*watcher, kPktPlayerLeft);
  ASSERT_TRUE(left);
  Notification n;
  ASSERT_TRUE(ParseNotification(left->data(), left->size(), n));
  EXPECT_EQ(n.player, 2);
  EXPECT_EQ(n.reason, kLeftReasonKicked);
  EXPECT_TRUE(t.WaitForLog("Operator: ban 127.0.0.2 until "));
  EXPECT_TRUE(t.WaitForLog("sent away 2 (two, 127.0.0.2)"));
  // Refused as a full server is, whatever the name, and logged with the address.
  EXPECT_EQ(From("127.0.0.2", t.TcpPort())->Login("renamed", "", "1.2.2"), kReplyServerFull);
  EXPECT_TRUE(t.WaitForLog("Refused login of renamed from 127.0.0.2: banned (127.0.0.2)"));

  // A /24: its one client goes; those of 127.0.0.x stay and may still log in.
  const auto block = RunQmctl(Via(t, {"--json", "ban", "127.0.1.0/24"}));
  ASSERT_EQ(block.exitCode, 0) << block.err;
  const auto bj = ParseJson(block.out);
  ASSERT_TRUE(bj) << block.out;
  EXPECT_EQ((*bj)["target"].Str(), "127.0.1.0/24");
  EXPECT_EQ((*bj)["until"].Str(), "never");
  ASSERT_EQ((*bj)["kicked"].Size(), 1u);
  EXPECT_EQ((*bj)["kicked"][0]["name"].Str(), "other");
  EXPECT_TRUE(b->WaitClosed(kWaitMs));
  EXPECT_EQ(From("127.0.1.77", t.TcpPort())->Login("x", "", "1.2.2"), kReplyServerFull);
  EXPECT_TRUE(a3->IsOpen());
  EXPECT_EQ(From("127.0.0.4", t.TcpPort())->Login("four", "", "1.2.2"), kPktLoginAccepted);

  // By name, whatever the address.
  ASSERT_EQ(RunQmctl(Via(t, {"ban", "name:three"})).exitCode, 0);
  EXPECT_TRUE(a3->WaitClosed(kWaitMs));
  EXPECT_EQ(From("127.0.0.5", t.TcpPort())->Login("three", "", "1.2.2"), kReplyServerFull);

  const auto list = RunQmctl(Via(t, {"--json", "bans"}));
  ASSERT_EQ(list.exitCode, 0) << list.err;
  const auto lj = ParseJson(list.out);
  ASSERT_TRUE(lj) << list.out;
  ASSERT_EQ((*lj)["bans"].Size(), 3u);
  EXPECT_EQ((*lj)["bans"][0]["target"].Str(), "127.0.0.2");
  EXPECT_EQ((*lj)["bans"][0]["reason"].Str(), "spam");
  EXPECT_EQ((*lj)["bans"][0]["hits"].Num(), 1);  // the refused login
  const auto human = RunQmctl(Via(t, {"bans"}));
  EXPECT_NE(human.out.find("127.0.1.0/24"), std::string::npos) << human.out;

  // Kept beside the ini; a restart reads them back.
  const auto bansFile = t.Dir().Path() / "qmserver.bans";
  ASSERT_TRUE(std::filesystem::exists(bansFile));
  watcher.reset();
  t.Stop();
  ASSERT_TRUE(t.Start());
  EXPECT_EQ(From("127.0.1.9", t.TcpPort())->Login("y", "", "1.2.2"), kReplyServerFull);
  EXPECT_EQ(From("127.0.0.2", t.TcpPort())->Login("z", "", "1.2.2"), kReplyServerFull);

  // The minute passes: the address ban is gone by itself, the others stay.
  time.clock.AdvanceMs(61 * 1000);
  EXPECT_EQ(From("127.0.0.2", t.TcpPort())->Login("back", "", "1.2.2"), kPktLoginAccepted);
  EXPECT_EQ(ParseJson(RunQmctl(Via(t, {"--json", "bans"})).out).value()["bans"].Size(), 2u);

  // unban, and an unban of nothing is refused.
  const auto un = RunQmctl(Via(t, {"unban", "127.0.1.0/24"}));
  ASSERT_EQ(un.exitCode, 0) << un.err;
  EXPECT_EQ(un.out, "unbanned 127.0.1.0/24\n");
  EXPECT_TRUE(t.WaitForLog("Operator: unban 127.0.1.0/24"));
  EXPECT_EQ(From("127.0.1.9", t.TcpPort())->Login("y", "", "1.2.2"), kPktLoginAccepted);
  const auto again = RunQmctl(Via(t, {"unban", "127.0.1.0/24"}));
  EXPECT_EQ(again.exitCode, kExitRefused);
  EXPECT_NE(again.err.find("no ban on 127.0.1.0/24"), std::string::npos) << again.err;
  // Not a target: a usage refusal that says what a target is.
  const auto bad = RunQmctl(Via(t, {"ban", "127.0.0"}));
  EXPECT_EQ(bad.exitCode, kExitRefused);
  EXPECT_NE(bad.err.find("neither an IPv4 address"), std::string::npos) << bad.err;
  // Only through the socket.
  const auto network = RunQmctl({"--port", std::to_string(t.TcpPort()), "bans"});
  EXPECT_EQ(network.exitCode, 2);
}

// Every login, leave, disconnect, kick and refusal names the client's address, beside the
// system's own lines (which keep their text).
TEST(QmctlOperator, TheLogNamesTheAddressOfEveryArrivalDepartureAndRefusal) {
  TestServer t{{{"Passwords", "ServerPassword", "door"},
                {"Passwords", "AdminPassword", "keys"},
                {"General", "MaxClients", "3"}}};
  ASSERT_TRUE(t.Started());
  auto a = From("127.0.0.2", t.TcpPort());
  ASSERT_EQ(a->Login("ann", "door", "1.2.2"), kPktLoginAccepted);
  EXPECT_TRUE(t.WaitForLog("Login of ann[1] from 127.0.0.2"));
  EXPECT_TRUE(t.WaitForLog("Assigned playerId for client ann[1]"));  // the system's own, as it was
  EXPECT_EQ(From("127.0.0.3", t.TcpPort())->Login("guess", "wrong", "1.2.2"), kReplyWrongPassword);
  EXPECT_TRUE(t.WaitForLog("Refused login of guess from 127.0.0.3: wrong server password"));
  a->Send(ComposeStringCommand(kCmdAdminLogin, "nope"));
  EXPECT_TRUE(t.WaitForLog("Refused administrator login of ann[1] from 127.0.0.2: wrong administrator password"));
  a->Send(ComposeStringCommand(kCmdAdminLogin, "keys"));
  EXPECT_TRUE(t.WaitForLog("Administrator login of ann[1] from 127.0.0.2"));
  auto b = From("127.0.0.4", t.TcpPort());
  ASSERT_EQ(b->Login("bob", "door", "1.2.2"), kPktLoginAccepted);
  auto c = From("127.0.0.5", t.TcpPort());
  ASSERT_EQ(c->Login("cid", "door", "1.2.2"), kPktLoginAccepted);
  EXPECT_EQ(From("127.0.0.6", t.TcpPort())->Login("dan", "door", "1.2.2"), kReplyServerFull);
  EXPECT_TRUE(t.WaitForLog("Refused login of dan from 127.0.0.6: server full"));
  ASSERT_EQ(RunQmctl(Via(t, {"admin", "kick", "2"})).exitCode, 0);
  EXPECT_TRUE(t.WaitForLog("Kicked bob[2] from 127.0.0.4"));
  c->Send(ComposeCommand(kCmdClientLeave));
  EXPECT_TRUE(t.WaitForLog("Leave of cid[3] from 127.0.0.5"));
  a->Close();
  EXPECT_TRUE(t.WaitForLog("Connection ended: ann[1] from 127.0.0.2"));
}

}  // namespace
}  // namespace qm::test
