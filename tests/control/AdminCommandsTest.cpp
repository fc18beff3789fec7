#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "config/IniFile.hpp"
#include "config/Settings.hpp"
#include "control/AdminTestSupport.hpp"

namespace qm::test {
namespace {

// Expected packets write the wire numbers out (packet types, reply codes), so a wrong constant in
// the code cannot pass.

constexpr const char* kAdminPw = "boss";

TestServer WithAdminPassword(std::vector<IniKey> more = {}) {
  more.push_back({"Passwords", "AdminPassword", kAdminPw});
  return TestServer(more);
}

TEST(ChangeRoomTest, EveryoneIncludingTheMoverHearsTheIdAsSent) {
  TestServer t;
  ASSERT_TRUE(t.Started());
  Player a = Join(t, "Ann"), b = Join(t, "Bob", kOldVersion);
  Clear(a);
  Clear(b);

  // No channel has id 6: accepted and told as sent.
  a->Send(ComposeByteCommand(kCmdClientChangeRoom, 7));
  EXPECT_EQ(Next(a), Bytes({0xBA, 0xB0, uint8_t(a.key), uint8_t(a.key >> 8), 10, 0, 10, 0, a.wire, 7}));
  EXPECT_EQ(Next(b), Bytes(Expect(b.key, 10, 10).U8(a.wire).U8(7)));
  EXPECT_TRUE(Quiet(a));  // no reply of its own
  EXPECT_EQ(t.Server().Clients().FindClientByPlayerId(FromWireByte(a.wire))->ChannelId(), 6);

  // Wire 0 is stored as -1 and shows as 0 again in the lists.
  b->Send(ComposeByteCommand(kCmdClientChangeRoom, 0));
  EXPECT_EQ(Next(a), Bytes(Expect(a.key, 10, 10).U8(b.wire).U8(0)));
  EXPECT_EQ(Next(b), Bytes(Expect(b.key, 10, 10).U8(b.wire).U8(0)));
  EXPECT_EQ(t.Server().Clients().FindClientByPlayerId(FromWireByte(b.wire))->ChannelId(), -1);
  a->Send(ComposeSetup(0, 0));
  ParsedLists lists;
  const Bytes l = NextOf(a, {kPktListsNew}).value_or(Bytes{});
  ASSERT_TRUE(ParseLists(l.data(), l.size(), lists));
  ASSERT_EQ(lists.players.size(), 2u);
  EXPECT_EQ(lists.players[0].wireChannel, 7);
  EXPECT_EQ(lists.players[1].wireChannel, 0);
  EXPECT_TRUE(t.WaitForLog("CMD <-> ClientId: 1 ClientName: Ann hReply: 10 ClientChangeRoom RoomId: 7"));
}

TEST(AdminLoginTest, VersionGateAndWrongPassword) {
  TestServer t = WithAdminPassword();
  ASSERT_TRUE(t.Started());
  Player a = Join(t, "Ann"), o = Join(t, "Old", kOldVersion), b = Join(t, "Bob");
  for (Player* p : {&a, &o, &b}) Clear(*p);

  // Wrong password: -101 to the sender alone, the right stays off.
  a->Send(ComposeStringCommand(kCmdAdminLogin, "BOSS"));
  EXPECT_EQ(Next(a), Bytes({0xBA, 0xB0, uint8_t(a.key), uint8_t(a.key >> 8), 8, 0, 0x9B, 0xFF}));
  a->Send(ComposeStringCommand(kCmdAdminCreateRoom, "X"));
  EXPECT_EQ(Next(a), Reply(a.key, -100));
  EXPECT_TRUE(Quiet(b));

  // A newer client: no reply 100, the notice about itself instead; the old client hears nothing.
  a->Send(ComposeStringCommand(kCmdAdminLogin, kAdminPw));
  EXPECT_EQ(Next(a), Bytes(Expect(a.key, 9, 15).U8(a.wire)));
  EXPECT_EQ(Next(b), Bytes(Expect(b.key, 9, 15).U8(a.wire)));
  EXPECT_TRUE(Quiet(a));
  EXPECT_TRUE(Quiet(o));

  // The old client: reply 100 and no notice to itself; the newer clients are told.
  o->Send(ComposeStringCommand(kCmdAdminLogin, kAdminPw));
  EXPECT_EQ(Next(o), Bytes({0xBA, 0xB0, uint8_t(o.key), uint8_t(o.key >> 8), 8, 0, 100, 0}));
  EXPECT_EQ(Next(a), Bytes(Expect(a.key, 9, 15).U8(o.wire)));
  EXPECT_EQ(Next(b), Bytes(Expect(b.key, 9, 15).U8(o.wire)));
  EXPECT_TRUE(Quiet(o));

  // A wrong password later does not take the right away.
  a->Send(ComposeStringCommand(kCmdAdminLogin, "nope"));
  EXPECT_EQ(Next(a), Reply(a.key, -101));
  EXPECT_TRUE(t.Server().Clients().FindClientByPlayerId(FromWireByte(a.wire))->IsAdmin());

  EXPECT_TRUE(t.WaitForLog("hReply: 100 AdminLogin PW: *****"));
  for (const auto& line : t.LogLines()) {
    EXPECT_EQ(line.find(kAdminPw), std::string::npos) << line;
    EXPECT_EQ(line.find("nope"), std::string::npos) << line;
  }
}

TEST(AdminRightTest, EveryAdministratorCommandRefusesOrdinaryClients) {
  TestServer t = WithAdminPassword();
  ASSERT_TRUE(t.Started());
  Player a = Join(t, "Ann"), b = Join(t, "Bob");
  Clear(a);
  Clear(b);
  const std::string iniBefore = ReadFile(t.IniPath());
  const Packet commands[] = {
      ComposeStringCommand(kCmdAdminCreateRoom, "New"), ComposeByteCommand(kCmdAdminDeleteRoom, 1),
      ComposeByteCommand(kCmdAdminKickPlayer, b.wire),  ComposeStringCommand(kCmdAdminChangeServerPassword, "s"),
      ComposeCommand(kCmdAdminSaveAsDefaultChannels),   ComposeStringCommand(kCmdAdminChangeAdminPassword, "a")};
  for (const Packet& command : commands) {
    a->Send(command);
    EXPECT_EQ(Next(a), Reply(a.key, -100)) << ParseHeader(command.data(), command.size()).command;
  }
  EXPECT_TRUE(Quiet(b));
  EXPECT_EQ(t.Server().Channels().Count(), 1u);
  EXPECT_EQ(t.Server().Clients().ClientCount(), 2u);
  EXPECT_EQ(Settings().ServerPassword.Get(), "");
  EXPECT_EQ(Settings().AdminPassword.Get(), kAdminPw);
  EXPECT_EQ(ReadFile(t.IniPath()), iniBefore);
  EXPECT_TRUE(t.WaitForLog("hReply: 130 AdminKickPlayer"));
}

TEST(CreateRoomTest, AnnouncedToAllAndNamesCompareInAsciiCaseOnly) {
  TestServer t = WithAdminPassword();
  ASSERT_TRUE(t.Started());
  Player a = Join(t, "Ann"), o = Join(t, "Old", kOldVersion);
  BecomeAdmin(a, kAdminPw);
  Clear(o);

  a->Send(ComposeStringCommand(kCmdAdminCreateRoom, "Lobby"));
  // Channel 0 is "Default"; the new one gets id 1, wire 2.
  EXPECT_EQ(Next(a), Bytes({0xBA,
                            0xB0,
                            uint8_t(a.key),
                            uint8_t(a.key >> 8),
                            40,
                            0,
                            13,
                            0,
                            2,
                            5,
                            'L',
                            'o',
                            'b',
                            'b',
                            'y',
                            0,
                            0,
                            0,
                            0,
                            0,
                            0,
                            0,
                            0,
                            0,
                            0,
                            0,
                            0,
                            0,
                            0,
                            0,
                            0,
                            0,
                            0,
                            0,
                            0,
                            0,
                            0,
                            0,
                            0,
                            0}));
  EXPECT_EQ(Next(o), Bytes(Expect(o.key, 40, 13).U8(2).Str("Lobby", 30)));
  EXPECT_TRUE(Quiet(a));  // no positive reply

  for (const char* dup : {"lobby", "LOBBY", "default"}) {
    a->Send(ComposeStringCommand(kCmdAdminCreateRoom, dup));
    EXPECT_EQ(Next(a), Reply(a.key, -111)) << dup;
  }
  EXPECT_TRUE(Quiet(o));
  EXPECT_EQ(t.Server().Channels().Count(), 2u);

  // Letters outside ASCII are not case-folded, and any other difference makes a new name.
  t.Server().Channels().AddChannel("Caf\xE9");
  Clear(a);
  Clear(o);
  for (const char* fresh : {"CAF\xC9", "Lobby!"}) {
    a->Send(ComposeStringCommand(kCmdAdminCreateRoom, fresh));
    const Bytes added = Next(a);
    ASSERT_EQ(added.size(), 40u) << fresh;
    EXPECT_EQ(ParseHeader(added.data(), added.size()).command, 13);
  }
  EXPECT_EQ(t.Server().Channels().Count(), 5u);
  EXPECT_TRUE(t.WaitForLog("hReply: 110 AdminCreateRoom RoomName: LOBBY"));
}

TEST(CreateRoomTest, The255thChannelIsAddedThe256thRefusedAndTheListStillParses) {
  TestServer t = WithAdminPassword();
  ASSERT_TRUE(t.Started());
  for (int i = 1; i < 254; ++i) ASSERT_TRUE(t.Server().Channels().AddChannel("C" + std::to_string(i)));
  Player a = Join(t, "Ann");
  BecomeAdmin(a, kAdminPw);
  a->Send(ComposeStringCommand(kCmdAdminCreateRoom, "Last"));
  EXPECT_EQ(Next(a), Bytes(Expect(a.key, 40, 13).U8(255).Str("Last", 30)));
  a->Send(ComposeStringCommand(kCmdAdminCreateRoom, "One too many"));
  EXPECT_EQ(Next(a), Reply(a.key, -111));
  EXPECT_TRUE(Quiet(a));
  EXPECT_EQ(t.Server().Channels().Count(), 255u);

  Player b = Join(t, "Bob");
  b->Send(ComposeSetup(0, 0));
  const auto lists = b->WaitFor({kPktListsNew}, kWaitMs);
  ParsedLists parsed;
  ASSERT_TRUE(lists && ParseLists(lists->data(), lists->size(), parsed));
  ASSERT_EQ(parsed.channels.size(), 255u);
  EXPECT_EQ(parsed.channels.back().wireChannel, 255);
  EXPECT_EQ(parsed.channels.back().name, "Last");
  EXPECT_EQ(parsed.players.size(), 2u);
}

TEST(DeleteRoomTest, AnnouncedToAllNobodyMovedAndIdZeroNamesNoChannel) {
  TestServer t = WithAdminPassword();
  ASSERT_TRUE(t.Started());
  for (int i = 1; i < 255; ++i) t.Server().Channels().AddChannel("C" + std::to_string(i));
  Player a = Join(t, "Ann"), b = Join(t, "Bob", kOldVersion);
  BecomeAdmin(a, kAdminPw);
  b->Send(ComposeByteCommand(kCmdClientChangeRoom, 3));
  NextOf(a, {kPktPlayerChangedChannel});
  NextOf(b, {kPktPlayerChangedChannel});
  Clear(a);
  Clear(b);

  a->Send(ComposeByteCommand(kCmdAdminDeleteRoom, 3));
  EXPECT_EQ(Next(a), Bytes({0xBA, 0xB0, uint8_t(a.key), uint8_t(a.key >> 8), 9, 0, 14, 0, 3}));
  EXPECT_EQ(Next(b), Bytes(Expect(b.key, 9, 14).U8(3)));
  EXPECT_FALSE(t.Server().Channels().FindChannel(2));
  EXPECT_EQ(t.Server().Clients().FindClientByPlayerId(FromWireByte(b.wire))->ChannelId(), 2);

  a->Send(ComposeByteCommand(kCmdAdminDeleteRoom, 3));
  EXPECT_EQ(Next(a), Reply(a.key, -120));

  // Wire 0 names stored id 255, which no channel gets; the highest, 254, is wire 255.
  a->Send(ComposeByteCommand(kCmdAdminDeleteRoom, 0));
  EXPECT_EQ(Next(a), Reply(a.key, -120));
  a->Send(ComposeByteCommand(kCmdAdminDeleteRoom, 255));
  EXPECT_EQ(Next(a), Bytes(Expect(a.key, 9, 14).U8(255)));
  EXPECT_EQ(Next(b), Bytes(Expect(b.key, 9, 14).U8(255)));
  EXPECT_EQ(t.Server().Channels().Count(), 253u);
  EXPECT_TRUE(Quiet(b));
  EXPECT_TRUE(t.WaitForLog("hReply: 120 AdminDeleteRoom RoomId: 0"));
}

TEST(KickTest, SilentPlayerIsGoneAtOnceAndItsPlaceIsFree) {
  TestServer t = WithAdminPassword({{"General", "MaxClients", "2"}});
  ASSERT_TRUE(t.Started());
  Player a = Join(t, "Ann"), b = Join(t, "Bob");
  BecomeAdmin(a, kAdminPw);
  Clear(b);

  a->Send(ComposeByteCommand(kCmdAdminKickPlayer, b.wire));
  EXPECT_EQ(Next(a), Bytes({0xBA, 0xB0, uint8_t(a.key), uint8_t(a.key >> 8), 10, 0, 12, 0, b.wire, 4}));
  EXPECT_EQ(Next(b), Bytes(Expect(b.key, 10, 12).U8(b.wire).U8(4)));
  // Bob sends nothing more, yet is closed, unlisted and destroyed.
  EXPECT_TRUE(b->WaitClosed(kWaitMs));
  EXPECT_TRUE(t.WaitForLog("Distroying client Bob[2]"));
  EXPECT_TRUE(Eventually([&] { return t.Server().Clients().ClientCount() == 1; }));
  EXPECT_TRUE(Quiet(a));  // announced once

  a->Send(ComposeSetup(0, 0));
  const Bytes l = NextOf(a, {kPktListsNew}).value_or(Bytes{});
  ParsedLists lists;
  ASSERT_TRUE(ParseLists(l.data(), l.size(), lists));
  ASSERT_EQ(lists.players.size(), 1u);
  EXPECT_EQ(lists.players[0].name, "Ann");

  // MaxClients is 2: the kicked player's place is free again.
  Player c = Join(t, "Cid");
  EXPECT_EQ(c.wire, b.wire);
  EXPECT_TRUE(t.WaitForLog("hReply: 130 AdminKickPlayer"));
}

TEST(KickTest, UnknownPlayerAndSelfKick) {
  TestServer t = WithAdminPassword();
  ASSERT_TRUE(t.Started());
  Player a = Join(t, "Ann");
  BecomeAdmin(a, kAdminPw);
  a->Send(ComposeByteCommand(kCmdAdminKickPlayer, 9));
  EXPECT_EQ(Next(a), Bytes({0xBA, 0xB0, uint8_t(a.key), uint8_t(a.key >> 8), 8, 0, 0x7E, 0xFF}));
  a->Send(ComposeByteCommand(kCmdAdminKickPlayer, 0));  // stored id 255
  EXPECT_EQ(Next(a), Reply(a.key, -130));

  a->Send(ComposeByteCommand(kCmdAdminKickPlayer, a.wire));
  EXPECT_EQ(Next(a), Bytes(Expect(a.key, 10, 12).U8(a.wire).U8(4)));
  EXPECT_TRUE(a->WaitClosed(kWaitMs));
  EXPECT_TRUE(t.WaitForLog("Distroying client Ann[1]"));
  EXPECT_TRUE(Eventually([&] { return t.Server().Clients().ClientCount() == 0; }));
}

TEST(PasswordTest, ServerPasswordTakesEffectAtOnceAndIsWritten) {
  TestServer t = WithAdminPassword({{"Passwords", "ServerPassword", "old"}});
  ASSERT_TRUE(t.Started());
  Player a = Join(t, "Ann", kNewVersion, "old");
  BecomeAdmin(a, kAdminPw);

  a->Send(ComposeStringCommand(kCmdAdminChangeServerPassword, "S3cret"));
  EXPECT_EQ(Next(a), Bytes({0xBA, 0xB0, uint8_t(a.key), uint8_t(a.key >> 8), 8, 0, 140, 0}));
  // In force by the time the administrator is told.
  client::ControlClient late;
  late.Connect("127.0.0.1", t.TcpPort());
  EXPECT_EQ(late.Login("Late", "old", kNewVersion), -2);
  EXPECT_TRUE(Eventually(
      [&] { return IniFile(t.IniPath().string()).ReadString("Passwords", "ServerPassword", "") == "S3cret"; }));
  Player ok = Join(t, "Ok", kNewVersion, "S3cret");
  EXPECT_NE(ok.key, 0);

  // An empty password turns the check off.
  Clear(a);
  a->Send(ComposeStringCommand(kCmdAdminChangeServerPassword, ""));
  EXPECT_EQ(Next(a), Reply(a.key, 140));
  Player any = Join(t, "Any", kNewVersion, "whatever");
  EXPECT_NE(any.key, 0);
  EXPECT_TRUE(IniFile(t.IniPath().string()).KeyExists("Passwords", "ServerPassword"));
  EXPECT_EQ(IniFile(t.IniPath().string()).ReadString("Passwords", "ServerPassword", "x"), "");

  EXPECT_TRUE(t.WaitForLog("hReply: 140 AdminChangeServerPassword NewPW: *****"));
  for (const auto& line : t.LogLines()) EXPECT_EQ(line.find("S3cret"), std::string::npos) << line;
}

TEST(PasswordTest, AdminPasswordTakesEffectAtOnceAndIsWritten) {
  TestServer t = WithAdminPassword();
  ASSERT_TRUE(t.Started());
  Player a = Join(t, "Ann"), b = Join(t, "Bob");
  BecomeAdmin(a, kAdminPw);
  Clear(b);

  a->Send(ComposeStringCommand(kCmdAdminChangeAdminPassword, "Chief"));
  EXPECT_EQ(Next(a), Bytes({0xBA, 0xB0, uint8_t(a.key), uint8_t(a.key >> 8), 8, 0, 0xA0, 0}));
  b->Send(ComposeStringCommand(kCmdAdminLogin, kAdminPw));
  EXPECT_EQ(Next(b), Reply(b.key, -101));
  b->Send(ComposeStringCommand(kCmdAdminLogin, "Chief"));
  EXPECT_EQ(Next(b), Bytes(Expect(b.key, 9, 15).U8(b.wire)));
  EXPECT_EQ(IniFile(t.IniPath().string()).ReadString("Passwords", "AdminPassword", ""), "Chief");
  EXPECT_TRUE(t.WaitForLog("hReply: 160 AdminChangeAdminPassword NewPW: *****"));
  for (const auto& line : t.LogLines()) EXPECT_EQ(line.find("Chief"), std::string::npos) << line;
}

TEST(PasswordTest, LoginsRaceWithPasswordChangesSafely) {
  TestServer t = WithAdminPassword({{"General", "MaxClients", "64"}});
  ASSERT_TRUE(t.Started());
  Player a = Join(t, "Ann");
  BecomeAdmin(a, kAdminPw);
  std::atomic<int> answered{0};
  std::thread logins([&] {
    for (int i = 0; i < 20; ++i) {
      client::ControlClient c;
      c.Connect("127.0.0.1", t.TcpPort());
      const int16_t answer = c.Login("L" + std::to_string(i), "p1", kNewVersion);
      if (answer == kPktLoginAccepted || answer == kReplyWrongPassword) ++answered;
    }
  });
  for (int i = 0; i < 20; ++i) {
    a->Send(ComposeStringCommand(kCmdAdminChangeServerPassword, i % 2 ? "p1" : "p2"));
    EXPECT_TRUE(a->WaitFor({kReplyServerPasswordChanged}, kWaitMs).has_value());
  }
  logins.join();
  EXPECT_EQ(answered.load(), 20);
  EXPECT_EQ(Settings().ServerPassword.Get(), "p1");
}

TEST(ConfigWriteTest, ReadOnlyFileIsLoggedLeftAsItWasAndNothingBreaks) {
  TestServer t = WithAdminPassword({{"Passwords", "ServerPassword", "old"}});
  ASSERT_TRUE(t.Started());
  Player a = Join(t, "Ann", kNewVersion, "old");
  BecomeAdmin(a, kAdminPw);
  // Read-only for root too: the file's mark decides, not whether it could be opened.
  const std::string before = test::ReadFile(t.IniPath());
  std::filesystem::permissions(t.IniPath(), std::filesystem::perms::owner_read);
  const std::string failure = "in: TCPServerExecute excption EConfigError: Unable to write to " + IniFilePath();
  const auto failures = [&] {
    int n = 0;
    for (const auto& line : t.LogLines()) n += line.find(failure) != std::string::npos;
    return n;
  };

  // What the file did not take is not put in force, and not acknowledged.
  a->Send(ComposeStringCommand(kCmdAdminChangeServerPassword, "fresh"));
  EXPECT_TRUE(t.WaitForLog(failure));
  EXPECT_TRUE(Quiet(a));
  EXPECT_EQ(Settings().ServerPassword.Get(), "old");
  a->Send(ComposeStringCommand(kCmdAdminChangeAdminPassword, "fresh2"));
  EXPECT_TRUE(Eventually([&] { return failures() == 2; }));
  EXPECT_TRUE(Quiet(a));
  EXPECT_EQ(Settings().AdminPassword.Get(), kAdminPw);
  Player late = Join(t, "Late", kNewVersion, "old");
  EXPECT_NE(late.key, 0);
  Clear(a);  // the notice of Late's arrival

  a->Send(ComposeCommand(kCmdAdminSaveAsDefaultChannels));
  EXPECT_TRUE(Quiet(a));  // no reply 150 after a failed save
  EXPECT_TRUE(Eventually([&] { return failures() == 3; }));

  // The connection and the server carry on.
  a->Send(ComposeStringCommand(kCmdAdminCreateRoom, "Still here"));
  EXPECT_EQ(ParseHeader(Next(a).data(), 8).command, 13);
  EXPECT_EQ(test::ReadFile(t.IniPath()), before);
}

// A value the file would store differently (cut at a line break or NUL, blanks dropped, an empty
// name ending the channel list) is refused with a log line and an answer, and changes nothing;
// what is in force before a restart is what is in force after it.
TEST(StoredValuesTest, WhatIsInForceIsWhatARestartReads) {
  TestServer t = WithAdminPassword(
      {{"Passwords", "ServerPassword", "srv"}, {"Channels", "0", "Lobby"}, {"Channels", "1", "Games"}});
  ASSERT_TRUE(t.Started());
  {
    Player a = Join(t, "Ann", kNewVersion, "srv");
    BecomeAdmin(a, kAdminPw);
    a->Send(ComposeStringCommand(kCmdAdminChangeServerPassword, "\rsrvpw"));
    EXPECT_EQ(Next(a), Reply(a.key, -101));
    EXPECT_TRUE(t.WaitForLog("Refused AdminChangeServerPassword: qmserver.ini cannot hold the new password exactly"));
    a->Send(ComposeStringCommand(kCmdAdminChangeAdminPassword, " new pw "));
    EXPECT_EQ(Next(a), Reply(a.key, -101));
    a->Send(ComposeStringCommand(kCmdAdminChangeAdminPassword, std::string("new\0pw", 6)));
    EXPECT_EQ(Next(a), Reply(a.key, -101));
    EXPECT_TRUE(t.WaitForLog("Refused AdminChangeAdminPassword: qmserver.ini cannot hold the new password exactly"));
    EXPECT_EQ(Settings().ServerPassword.Get(), "srv");
    EXPECT_EQ(Settings().AdminPassword.Get(), kAdminPw);
    for (const std::string& name :
         std::vector<std::string>{" ", "", "Line\nbreak", "Cr\rhere", "Tab\t", " Hall", std::string("Nul\0x", 5)}) {
      a->Send(ComposeStringCommand(kCmdAdminCreateRoom, name));
      EXPECT_EQ(Next(a), Reply(a.key, -111)) << name;
    }
    EXPECT_TRUE(t.WaitForLog("Refused AdminCreateRoom: qmserver.ini cannot hold the channel name exactly"));
    a->Send(ComposeStringCommand(kCmdAdminCreateRoom, "Back room"));
    ASSERT_TRUE(a->WaitFor({kPktChannelAdded}, kWaitMs));
    a->Send(ComposeStringCommand(kCmdAdminChangeAdminPassword, "new pw"));
    EXPECT_EQ(NextOf(a, {kReplyAdminPasswordChanged}), Reply(a.key, 160));
    a->Send(ComposeCommand(kCmdAdminSaveAsDefaultChannels));
    EXPECT_EQ(NextOf(a, {kReplyChannelsSaved}), Reply(a.key, 150));
  }
  const auto names = [&] {
    std::vector<std::string> n;
    for (const auto& c : t.Server().Channels().Snapshot()) n.push_back(c.Name());
    return n;
  };
  const std::vector<std::string> channels = names();
  EXPECT_EQ(channels, (std::vector<std::string>{"Lobby", "Games", "Back room"}));
  t.Stop();
  ASSERT_TRUE(t.Start());
  EXPECT_EQ(Settings().ServerPassword.Get(), "srv");
  EXPECT_EQ(Settings().AdminPassword.Get(), "new pw");
  EXPECT_EQ(names(), channels);
}

// The file holds every byte but a line break or NUL, so a tab or another control character inside
// a name or password is taken, saved and read back as it was. A name the file cannot hold (here
// one with a CR that an earlier file gave) makes a save answer with a refusal, not silence.
TEST(StoredValuesTest, InnerTabsAndControlBytesAreKeptAndAnUnsavableListIsAnswered) {
  TestServer t = WithAdminPassword({{"Channels", "0", "Lobby"}, {"Channels", "1", "Lobby\rEast"}});
  ASSERT_TRUE(t.Started());
  const std::string tabbed = "Tab\troom\x01\x7F";
  const std::string password = "pass\tword\x1B";
  {
    Player a = Join(t, "Ann");
    BecomeAdmin(a, kAdminPw);
    const std::string before = ReadFile(t.IniPath());
    a->Send(ComposeCommand(kCmdAdminSaveAsDefaultChannels));
    EXPECT_EQ(Next(a), Reply(a.key, -111));
    EXPECT_TRUE(t.WaitForLog(
        "Refused AdminSaveAsDefaultChannels: qmserver.ini cannot hold the name of the channel at 1 exactly"));
    EXPECT_EQ(ReadFile(t.IniPath()), before);

    a->Send(ComposeByteCommand(kCmdAdminDeleteRoom, 2));
    ASSERT_TRUE(a->WaitFor({kPktChannelDeleted}, kWaitMs));
    a->Send(ComposeStringCommand(kCmdAdminCreateRoom, tabbed));
    ASSERT_TRUE(a->WaitFor({kPktChannelAdded}, kWaitMs));
    a->Send(ComposeStringCommand(kCmdAdminChangeServerPassword, password));
    EXPECT_EQ(NextOf(a, {kReplyServerPasswordChanged}), Reply(a.key, 140));
    a->Send(ComposeCommand(kCmdAdminSaveAsDefaultChannels));
    EXPECT_EQ(NextOf(a, {kReplyChannelsSaved}), Reply(a.key, 150));
  }
  t.Stop();
  ASSERT_TRUE(t.Start());
  std::vector<std::string> names;
  for (const auto& c : t.Server().Channels().Snapshot()) names.push_back(c.Name());
  EXPECT_EQ(names, (std::vector<std::string>{"Lobby", tabbed}));
  EXPECT_EQ(Settings().ServerPassword.Get(), password);
  // A list read back from the server's own file saves again.
  Player b = Join(t, "Bob", kNewVersion, password);
  BecomeAdmin(b, kAdminPw);
  b->Send(ComposeCommand(kCmdAdminSaveAsDefaultChannels));
  EXPECT_EQ(NextOf(b, {kReplyChannelsSaved}), Reply(b.key, 150));
}

TEST(SaveChannelsTest, ReplacesTheSectionAndSurvivesARestart) {
  TestServer t = WithAdminPassword(
      {{"Channels", "0", "Old0"}, {"Channels", "1", "Old1"}, {"Channels", "2", "Old2"}, {"Channels", "3", "Old3"}});
  ASSERT_TRUE(t.Started());
  {
    Player a = Join(t, "Ann");
    BecomeAdmin(a, kAdminPw);
    // One command at a time: packets arriving in one burst are taken as one.
    for (const char* name : {"A", "B", "C"}) {
      a->Send(ComposeStringCommand(kCmdAdminCreateRoom, name));
      ASSERT_TRUE(a->WaitFor({kPktChannelAdded}, kWaitMs));
    }
    for (uint8_t wire = 1; wire <= 4; ++wire) {
      a->Send(ComposeByteCommand(kCmdAdminDeleteRoom, wire));
      ASSERT_TRUE(a->WaitFor({kPktChannelDeleted}, kWaitMs));
    }
    a->Send(ComposeCommand(kCmdAdminSaveAsDefaultChannels));
    EXPECT_EQ(NextOf(a, {kReplyChannelsSaved}), Bytes({0xBA, 0xB0, uint8_t(a.key), uint8_t(a.key >> 8), 8, 0, 150, 0}));
    EXPECT_TRUE(t.WaitForLog("hReply: 150 AdminSaveAsDefaultChannels"));
  }
  const IniFile ini(t.IniPath().string());
  EXPECT_EQ(ini.SectionKeys("Channels"), (std::vector<std::string>{"0", "1", "2"}));
  EXPECT_EQ(ini.ReadString("Channels", "0", ""), "A");
  EXPECT_EQ(ini.ReadString("Channels", "1", ""), "B");
  EXPECT_EQ(ini.ReadString("Channels", "2", ""), "C");
  EXPECT_EQ(ini.ReadString("Passwords", "AdminPassword", ""), kAdminPw);  // the rest untouched

  t.Stop();
  ASSERT_TRUE(t.Start());
  const auto channels = t.Server().Channels().Snapshot();
  ASSERT_EQ(channels.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(channels[i].ChannelId, i);
    EXPECT_EQ(channels[i].Name(), std::string(1, char('A' + i)));
  }
}

// A save of a full list is one write of the file, and a save that changes nothing writes nothing.
TEST(SaveChannelsTest, AFullListIsOneWriteAndAnUnchangedOneNone) {
  std::vector<IniKey> keys;
  for (int i = 0; i < 255; ++i) keys.push_back({"Channels", std::to_string(i), "Channel number " + std::to_string(i)});
  TestServer t = WithAdminPassword(keys);
  ASSERT_TRUE(t.Started());
  Player a = Join(t, "Ann");
  BecomeAdmin(a, kAdminPw);
  const auto save = [&] {
    const IniWriteTally before = IniFile::WriteTally();
    a->Send(ComposeCommand(kCmdAdminSaveAsDefaultChannels));
    EXPECT_EQ(NextOf(a, {kReplyChannelsSaved}), Reply(a.key, 150));
    const IniWriteTally after = IniFile::WriteTally();
    return IniWriteTally{after.files - before.files, after.bytes - before.bytes};
  };
  const IniWriteTally unchanged = save();
  EXPECT_EQ(unchanged.files, 0u);
  a->Send(ComposeByteCommand(kCmdAdminDeleteRoom, 255));
  ASSERT_TRUE(a->WaitFor({kPktChannelDeleted}, kWaitMs));
  a->Send(ComposeStringCommand(kCmdAdminCreateRoom, "Fresh"));
  ASSERT_TRUE(a->WaitFor({kPktChannelAdded}, kWaitMs));
  const IniWriteTally changed = save();
  std::printf("[ figures  ] save of 255 channels: %llu file(s), %llu bytes; unchanged: %llu file(s)\n",
              static_cast<unsigned long long>(changed.files), static_cast<unsigned long long>(changed.bytes),
              static_cast<unsigned long long>(unchanged.files));
  EXPECT_EQ(changed.files, 1u);
  EXPECT_EQ(changed.bytes, test::ReadFile(t.IniPath()).size());
  EXPECT_EQ(IniFile(t.IniPath().string()).ReadString("Channels", "254", ""), "Fresh");
  EXPECT_EQ(save().files, 0u);
}

}  // namespace
}  // namespace qm::test
