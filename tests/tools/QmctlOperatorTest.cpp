// The operator's own commands through the real server and the real qmctl: bans, mute, drain and
// reload, seen by clients of the protocol from several loopback addresses.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>

#include <gtest/gtest.h>

#include "QmctlHarness.hpp"
#include "client/QmClient.hpp"
#include "config/Settings.hpp"
#include "control/ControlPackets.hpp"
#include "control/WireId.hpp"
#include "datagram/VoiceTestClients.hpp"
#include "metrics/MetricsFigures.hpp"
#include "platform/Signals.hpp"
#include "support/ClockScope.hpp"
#include "support/ServerProbe.hpp"
#include "support/TestServer.hpp"
#include "support/Waits.hpp"

namespace qm::test {
namespace {

constexpr int kExitRefused = 3;

uint16_t KeyOf(const std::vector<uint8_t>& d) { return static_cast<uint16_t>(d[2] | d[3] << 8); }

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
  // The figures a scrape publishes: two bans, two logins refused for them.
  {
    ServerProbe probe = t.Probe();
    const ServerFigures f =
        CollectFigures(FigureSources{probe.counters, 0, &t.Server().Clients(), &t.Server().Channels(),
                                     &probe.Control().Pacing(), nullptr, nullptr, &probe.Control()});
    EXPECT_EQ(f.bans, 2u);
    EXPECT_EQ(f.loginsRefusedBanned, 2u);
    EXPECT_EQ(f.loginsRefusedFull, 0u);
  }

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

// A muted player is heard by no one, neither in its channel nor whispered to; the others are
// heard as before; who shows the mark; unmute restores it.
TEST(QmctlOperator, MuteStopsTheRelayOfThatPlayerOnly) {
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  VoicePeer& b = rig.Add("B");
  VoicePeer& c = rig.Add("C");
  const std::string aWire = std::to_string(ToWireByte(a.record->PlayerId()));
  const auto muted = RunQmctl(Via(rig.server, {"mute", aWire}));
  ASSERT_EQ(muted.exitCode, 0) << muted.err;
  EXPECT_EQ(muted.out, "muted player " + aWire + " A\n");
  EXPECT_TRUE(rig.server.WaitForLog("Operator: mute " + aWire + " (A, 127.0.0.1)"));

  const std::vector<uint8_t> body{10, 20, 30, 40};
  rig.SendVoice(a, kVoiceChannel, body);
  const std::vector<uint8_t> whisper{1, ToWireByte(b.record->PlayerId()), 0xC1, 0xC2};
  rig.SendVoice(a, kVoiceWhisper, whisper);
  rig.SendVoice(c, kVoiceChannel, body);  // C is heard by A and B
  for (VoicePeer* r : {&a, &b}) {
    const auto got = VoiceRig::ReceiveVoice(*r);
    ASSERT_TRUE(got);
    EXPECT_EQ(KeyOf(*got), r->key);
  }
  EXPECT_FALSE(VoiceRig::ReceiveVoice(b, 300));  // nothing of A's, channel or whisper
  EXPECT_FALSE(VoiceRig::ReceiveVoice(c, 300));
  EXPECT_TRUE(Eventually([&] { return a.record->Traffic.UdpPacketsReceived.load() >= 3; }));  // still counted

  {
    ServerProbe probe = rig.Probe();
    EXPECT_EQ(CollectFigures(FigureSources{probe.counters, 0, &rig.Server().Clients(), &rig.Server().Channels(),
                                           nullptr, nullptr, nullptr, &probe.Control()})
                  .mutedPlayers,
              1u);
  }
  const auto who = RunQmctl(Via(rig.server, {"who"}));
  EXPECT_NE(who.out.find("A (muted)"), std::string::npos) << who.out;
  EXPECT_EQ(who.out.find("B (muted)"), std::string::npos) << who.out;
  const auto whoJson = ParseJson(RunQmctl(Via(rig.server, {"--json", "who"})).out);
  ASSERT_TRUE(whoJson);
  EXPECT_TRUE((*whoJson)["channels"][0]["players"][0]["muted"].Bool());
  EXPECT_FALSE((*whoJson)["channels"][0]["players"][1]["muted"].Bool());

  ASSERT_EQ(RunQmctl(Via(rig.server, {"unmute", aWire})).exitCode, 0);
  rig.SendVoice(a, kVoiceChannel, body);
  EXPECT_TRUE(VoiceRig::ReceiveVoice(b));
  EXPECT_TRUE(VoiceRig::ReceiveVoice(c));
  EXPECT_EQ(RunQmctl(Via(rig.server, {"mute", "200"})).exitCode, kExitRefused);
}

// Drain refuses logins as a full server does; with --stop the server asks for its stop once the
// last client has left (and not before); cancel accepts logins again.
TEST(QmctlOperator, DrainRefusesLoginsAndStopsTheServerWhenTheLastClientLeaves) {
  std::atomic<int> stops{0};
  TestServer t{{{"Channels", "0", "Lobby"}}};
  ASSERT_TRUE(t.Started());
  t.Server().SetStopRequest([&] { stops.fetch_add(1); });
  auto a = From("127.0.0.2", t.TcpPort());
  ASSERT_EQ(a->Login("ann", "", "1.2.2"), kPktLoginAccepted);

  const auto plain = RunQmctl(Via(t, {"drain"}));
  ASSERT_EQ(plain.exitCode, 0) << plain.err;
  EXPECT_EQ(plain.out, "draining: new logins are refused (1 logged in)\n");
  EXPECT_EQ(From("127.0.0.3", t.TcpPort())->Login("bob", "", "1.2.2"), kReplyServerFull);
  EXPECT_TRUE(t.WaitForLog("Refused login of bob from 127.0.0.3: the server is draining"));
  ASSERT_EQ(RunQmctl(Via(t, {"drain", "--cancel"})).exitCode, 0);
  auto b = From("127.0.0.3", t.TcpPort());
  ASSERT_EQ(b->Login("bob", "", "1.2.2"), kPktLoginAccepted);

  const auto stop = RunQmctl(Via(t, {"drain", "--stop"}));
  ASSERT_EQ(stop.exitCode, 0) << stop.err;
  EXPECT_NE(stop.out.find("the server stops when the last player has left"), std::string::npos) << stop.out;
  a->Close();
  EXPECT_TRUE(Eventually([&] { return t.Server().Clients().ClientCount() == 1; }));
  EXPECT_EQ(stops.load(), 0);  // bob is still there
  b->Close();
  EXPECT_TRUE(Eventually([&] { return stops.load() == 1; }));
  EXPECT_TRUE(t.WaitForLog("Drain: the last client has left; stopping the server"));
  EXPECT_EQ(stops.load(), 1);
  EXPECT_EQ(RunQmctl({"--socket", "x", "drain", "--timeout", "5"}).exitCode, 2);  // --timeout needs --stop
}

TEST(QmctlOperator, DrainStopsAtItsTimeoutWithClientsStillIn) {
  ClockScope time;
  std::atomic<int> stops{0};
  TestServer t;
  ASSERT_TRUE(t.Started());
  t.Server().SetStopRequest([&] { stops.fetch_add(1); });
  auto a = From("127.0.0.2", t.TcpPort());
  ASSERT_EQ(a->Login("ann", "", "1.2.2"), kPktLoginAccepted);
  ASSERT_EQ(RunQmctl(Via(t, {"drain", "--stop", "--timeout", "60"})).exitCode, 0);
  time.clock.AdvanceMs(59 * 1000);
  EXPECT_FALSE(t.WaitForLog("Drain:", 300));
  time.clock.AdvanceMs(1000);
  EXPECT_TRUE(Eventually([&] { return stops.load() == 1; }));
  EXPECT_TRUE(t.WaitForLog("Drain: 60 s are up with 1 clients logged in; stopping the server"));
}

// Reload applies a new server password to the next login, names what waits for a restart, and
// a broken file changes nothing.
TEST(QmctlOperator, ReloadAppliesThePasswordsNamesWhatWaitsAndRefusesABrokenFile) {
  TestServer t{{{"Passwords", "ServerPassword", "old"}}};
  ASSERT_TRUE(t.Started());
  std::string ini = ReadFile(t.IniPath());
  std::string original;
  const auto swap = [&](const std::string& from, const std::string& to) {
    const size_t at = ini.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    ini.replace(at, from.size(), to);
  };
  swap("ServerPassword=old", "ServerPassword=new");
  original = ini;
  swap("TCPPort=" + std::to_string(t.TcpPort()), "TCPPort=1");
  WriteFile(t.IniPath(), ini);
  const auto r = RunQmctl(Via(t, {"reload"}));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out,
            "reloaded: [Passwords] ServerPassword\nchanged in the file, in force after a restart: [Networking] "
            "TCPPort\n");
  EXPECT_TRUE(t.WaitForLog("Reload: changed in the file, in force after a restart: [Networking] TCPPort"));
  EXPECT_EQ(From("127.0.0.2", t.TcpPort())->Login("ann", "old", "1.2.2"), kReplyWrongPassword);
  EXPECT_EQ(From("127.0.0.3", t.TcpPort())->Login("bob", "new", "1.2.2"), kPktLoginAccepted);
  for (const std::string& line : t.LogLines()) EXPECT_EQ(line.find("=new"), std::string::npos) << line;

  // What SIGHUP runs: the same reload, logged.
  ini = ReadFile(t.IniPath());
  swap("ServerPassword=new", "ServerPassword=hup");
  WriteFile(t.IniPath(), ini);
  platform::RunReloadHandler();
  EXPECT_TRUE(t.WaitForLog("Reloaded " + t.IniPath().string() + ": [Passwords] ServerPassword"));
  EXPECT_EQ(From("127.0.0.3", t.TcpPort())->Login("bob", "hup", "1.2.2"), kPktLoginAccepted);
  ini = ReadFile(t.IniPath());
  swap("ServerPassword=hup", "ServerPassword=new");
  WriteFile(t.IniPath(), ini);
  platform::RunReloadHandler();

  // A broken file: nothing changes, and the answer says why.
  WriteFile(t.IniPath(), "[Passwords\nServerPassword=third\n");
  const auto broken = RunQmctl(Via(t, {"--json", "reload"}));
  EXPECT_EQ(broken.exitCode, kExitRefused);
  EXPECT_NE(broken.err.find("nothing changed: "), std::string::npos) << broken.err;
  EXPECT_NE(broken.err.find("line 1: a section name without its closing ']'"), std::string::npos) << broken.err;
  EXPECT_EQ(From("127.0.0.4", t.TcpPort())->Login("cid", "new", "1.2.2"), kPktLoginAccepted);
  std::filesystem::remove(t.IniPath());
  EXPECT_EQ(RunQmctl(Via(t, {"reload"})).exitCode, kExitRefused);
  EXPECT_EQ(From("127.0.0.5", t.TcpPort())->Login("dan", "new", "1.2.2"), kPktLoginAccepted);

  // The name, MaxClients and a [Limits] value apply at once; those logged in stay, the next is
  // refused.
  auto held = From("127.0.0.6", t.TcpPort());
  ASSERT_EQ(held->Login("eve", "new", "1.2.2"), kPktLoginAccepted);
  auto second = From("127.0.0.7", t.TcpPort());
  ASSERT_EQ(second->Login("fay", "new", "1.2.2"), kPktLoginAccepted);
  WriteFile(t.IniPath(), original +
                             "[General]\r\nServername=Reloaded Hall\r\nMaxClients=1\r\n[Limits]\r\n"
                             "ChannelChangesPerSecond=3\r\n");
  const auto limits = RunQmctl(Via(t, {"--json", "reload"}));
  ASSERT_EQ(limits.exitCode, 0) << limits.err;
  const auto lj = ParseJson(limits.out);
  ASSERT_TRUE(lj) << limits.out;
  ASSERT_EQ((*lj)["applied"].Size(), 3u) << limits.out;
  EXPECT_EQ((*lj)["applied"][0].Str(), "[General] Servername");
  EXPECT_EQ((*lj)["applied"][1].Str(), "[General] MaxClients");
  EXPECT_EQ((*lj)["applied"][2].Str(), "[Limits] ChannelChangesPerSecond");
  EXPECT_EQ((*lj)["restart"].Size(), 0u) << limits.out;
  EXPECT_EQ(LiveSetting(Settings().ChannelChangesPerSecond), 3);
  EXPECT_EQ(From("127.0.0.8", t.TcpPort())->Login("gus", "new", "1.2.2"), kReplyServerFull);
  EXPECT_TRUE(held->IsOpen());
  EXPECT_TRUE(second->IsOpen());
  // The statistics reply and the scrape carry the new name.
  const auto stats = RunQmctl(Via(t, {"stats"}));
  EXPECT_NE(stats.out.find("Reloaded Hall"), std::string::npos) << stats.out;
  EXPECT_EQ(CollectFigures(FigureSources{t.Probe().counters}).serverName, "Reloaded Hall");
}

}  // namespace
}  // namespace qm::test
