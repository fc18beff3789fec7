// qmctl's administration and statistics against a server started by the test, refusals included.
#include <filesystem>

#include <gtest/gtest.h>

#include "QmctlHarness.hpp"
#include "client/QmClient.hpp"
#include "config/IniFile.hpp"
#include "control/WireFormat.hpp"
#include "support/TestServer.hpp"

namespace qm::test {
namespace {

constexpr int kExitUsage = 2, kExitRefused = 3;
const std::map<std::string, std::string> kAdmin{{"QM_ADMIN_PASSWORD", "keys"}};

class QmctlAdmin : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(t.Started());
    alice.Connect("127.0.0.1", t.TcpPort());
    ASSERT_EQ(alice.Login("alice", "", "1.2.2"), 1);
  }
  std::vector<std::string> At(std::vector<std::string> rest) const {
    std::vector<std::string> a{"--port", std::to_string(t.TcpPort())};
    a.insert(a.end(), rest.begin(), rest.end());
    return a;
  }
  // The next notification of that type alice receives.
  std::optional<Packet> AliceGets(int16_t type) { return alice.WaitFor({type}, 3000); }

  TestServer t{{{"Passwords", "AdminPassword", "keys"}, {"Channels", "0", "Lobby"}, {"Channels", "1", "Music"}}};
  client::ControlClient alice;  // wire player 1
};

TEST_F(QmctlAdmin, NoAdministratorPasswordAvailableIsAUsageError) {
  const auto r = RunQmctl(At({"admin", "save"}));  // no variable, stdin is /dev/null
  EXPECT_EQ(r.exitCode, kExitUsage);
  EXPECT_NE(r.err.find("QM_ADMIN_PASSWORD is not set"), std::string::npos) << r.err;
  const auto n = RunQmctl(At({"admin", "set-server-password"}), kAdmin);
  EXPECT_EQ(n.exitCode, kExitUsage);
  EXPECT_NE(n.err.find("QM_NEW_PASSWORD"), std::string::npos) << n.err;
}

TEST_F(QmctlAdmin, PasswordsAreAskedOnATerminalWithoutEcho) {
  QmctlProcess p(At({"admin", "set-admin-password"}), {}, true);
  ASSERT_TRUE(p.WaitForError("administrator password: ", 5000));
  p.Type("keys\n");
  ASSERT_TRUE(p.WaitForError("new password: ", 5000));
  p.Type("s3cret-1\n");
  ASSERT_TRUE(p.WaitForError("new password (again): ", 5000));
  p.Type("s3cret-1\n");
  const auto r = p.Finish(10000);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "administrator password changed\n");
  const std::string shown = p.Echoed();
  EXPECT_EQ(shown.find("keys"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("s3cret"), std::string::npos) << shown;
  EXPECT_EQ(RunQmctl(At({"admin", "save"}), {{"QM_ADMIN_PASSWORD", "s3cret-1"}}).exitCode, 0);

  // Two different entries change nothing.
  QmctlProcess q(At({"admin", "set-server-password"}), {{"QM_ADMIN_PASSWORD", "s3cret-1"}}, true);
  ASSERT_TRUE(q.WaitForError("new password: ", 5000));
  q.Type("one\n");
  ASSERT_TRUE(q.WaitForError("(again): ", 5000));
  q.Type("two\n");
  const auto differ = q.Finish(10000);
  EXPECT_EQ(differ.exitCode, kExitUsage);
  EXPECT_NE(differ.err.find("the two entries differ"), std::string::npos);
  EXPECT_EQ(RunQmctl(At({"who"})).exitCode, 0);
}

TEST_F(QmctlAdmin, WrongAdministratorPasswordIsRefusedInWords) {
  const auto r = RunQmctl(At({"admin", "save"}), {{"QM_ADMIN_PASSWORD", "lock"}});
  EXPECT_EQ(r.exitCode, kExitRefused);
  EXPECT_NE(r.err.find("wrong administrator password (reply code -101)"), std::string::npos) << r.err;
  const auto j = RunQmctl(At({"--json", "admin", "save"}), {{"QM_ADMIN_PASSWORD", "lock"}});
  EXPECT_EQ(j.exitCode, kExitRefused);
  const auto parsed = ParseJson(j.out);
  ASSERT_TRUE(parsed) << j.out;
  EXPECT_EQ((*parsed)["error"].Str(), "refused");
  EXPECT_EQ((*parsed)["reply"].Num(), -101);
  EXPECT_EQ((*parsed)["message"].Str(), "refused: wrong administrator password");
  // The password is never echoed back.
  EXPECT_EQ(r.err.find("lock"), std::string::npos);
}

TEST_F(QmctlAdmin, CreateAnnouncesTheChannelAndRefusesADuplicate) {
  const auto r = RunQmctl(At({"--json", "admin", "create", "Quiet Room"}), kAdmin);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto j = ParseJson(r.out);
  ASSERT_TRUE(j) << r.out;
  EXPECT_EQ((*j)["action"].Str(), "create");
  EXPECT_EQ((*j)["channel"].Num(), 3);
  EXPECT_EQ((*j)["name"].Str(), "Quiet Room");
  const auto added = AliceGets(kPktChannelAdded);
  ASSERT_TRUE(added);
  EXPECT_EQ(WireReader(added->data(), added->size()).ShortString(9, 30), "Quiet Room");

  const auto dup = RunQmctl(At({"admin", "create", "quiet ROOM"}), kAdmin);
  EXPECT_EQ(dup.exitCode, kExitRefused);
  EXPECT_NE(dup.err.find("a channel of that name exists (reply code -111)"), std::string::npos) << dup.err;

  const auto human = RunQmctl(At({"admin", "create", "Attic"}), kAdmin);
  EXPECT_EQ(human.exitCode, 0) << human.err;
  EXPECT_EQ(human.out, "created channel 4 Attic\n");
}

TEST_F(QmctlAdmin, DeleteRemovesOnceThenRefuses) {
  const auto r = RunQmctl(At({"admin", "delete", "2"}), kAdmin);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "deleted channel 2 Music\n");
  const auto gone = AliceGets(kPktChannelDeleted);
  ASSERT_TRUE(gone);
  EXPECT_EQ(WireReader(gone->data(), gone->size()).U8(8), 2);

  const auto again = RunQmctl(At({"admin", "delete", "2"}), kAdmin);
  EXPECT_EQ(again.exitCode, kExitRefused);
  EXPECT_NE(again.err.find("no channel with that id (reply code -120)"), std::string::npos) << again.err;
}

TEST_F(QmctlAdmin, KickRemovesThePlayerAndRefusesAnUnknownOne) {
  const auto r = RunQmctl(At({"--json", "admin", "kick", "1"}), kAdmin);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto j = ParseJson(r.out);
  ASSERT_TRUE(j) << r.out;
  EXPECT_EQ((*j)["player"].Num(), 1);
  EXPECT_EQ((*j)["name"].Str(), "alice");
  const auto left = AliceGets(kPktPlayerLeft);
  ASSERT_TRUE(left);
  EXPECT_EQ(WireReader(left->data(), left->size()).U8(8), 1);
  EXPECT_EQ(WireReader(left->data(), left->size()).U8(9), 4);

  const auto unknown = RunQmctl(At({"admin", "kick", "200"}), kAdmin);
  EXPECT_EQ(unknown.exitCode, kExitRefused);
  EXPECT_NE(unknown.err.find("no player with that id (reply code -130)"), std::string::npos) << unknown.err;
}

TEST_F(QmctlAdmin, SaveWritesTheChannelsIntoTheConfiguration) {
  ASSERT_EQ(RunQmctl(At({"admin", "create", "Attic"}), kAdmin).exitCode, 0);
  const auto r = RunQmctl(At({"--json", "admin", "save"}), kAdmin);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto j = ParseJson(r.out);
  ASSERT_TRUE(j) << r.out;
  EXPECT_EQ((*j)["reply"].Num(), 150);
  const IniFile ini(t.IniPath().string());
  EXPECT_EQ(ini.SectionKeys("Channels"), (std::vector<std::string>{"0", "1", "2"}));
  EXPECT_EQ(ini.ReadString("Channels", "2", ""), "Attic");
}

TEST_F(QmctlAdmin, ServerPasswordChangeTakesEffectAtOnce) {
  const auto r =
      RunQmctl(At({"admin", "set-server-password"}), {{"QM_ADMIN_PASSWORD", "keys"}, {"QM_NEW_PASSWORD", "door"}});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "server password changed\n");
  EXPECT_EQ(IniFile(t.IniPath().string()).ReadString("Passwords", "ServerPassword", ""), "door");
  EXPECT_EQ(RunQmctl(At({"who"})).exitCode, kExitRefused);
  EXPECT_EQ(RunQmctl(At({"who"}), {{"QM_SERVER_PASSWORD", "door"}}).exitCode, 0);
  // An empty new password switches the check off again.
  const auto off = RunQmctl(At({"admin", "set-server-password"}),
                            {{"QM_SERVER_PASSWORD", "door"}, {"QM_ADMIN_PASSWORD", "keys"}, {"QM_NEW_PASSWORD", ""}});
  EXPECT_EQ(off.exitCode, 0) << off.err;
  EXPECT_EQ(RunQmctl(At({"who"})).exitCode, 0);
}

TEST_F(QmctlAdmin, AdministratorPasswordChangeTakesEffectAtOnce) {
  const auto r = RunQmctl(At({"--json", "admin", "set-admin-password"}),
                          {{"QM_ADMIN_PASSWORD", "keys"}, {"QM_NEW_PASSWORD", "newkeys"}});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto j = ParseJson(r.out);
  ASSERT_TRUE(j) << r.out;
  EXPECT_EQ((*j)["reply"].Num(), 160);
  EXPECT_EQ(RunQmctl(At({"admin", "save"}), kAdmin).exitCode, kExitRefused);
  EXPECT_EQ(RunQmctl(At({"admin", "save"}), {{"QM_ADMIN_PASSWORD", "newkeys"}}).exitCode, 0);
  // Too long to travel intact: refused before anything is sent.
  const auto tooLong = RunQmctl(At({"admin", "set-admin-password"}),
                                {{"QM_ADMIN_PASSWORD", "newkeys"}, {"QM_NEW_PASSWORD", std::string(31, 'k')}});
  EXPECT_EQ(tooLong.exitCode, kExitUsage);
  // An empty one would switch administrator login off: refused with a word on why.
  const auto empty =
      RunQmctl(At({"admin", "set-admin-password"}), {{"QM_ADMIN_PASSWORD", "newkeys"}, {"QM_NEW_PASSWORD", ""}});
  EXPECT_EQ(empty.exitCode, kExitUsage);
  EXPECT_NE(empty.err.find("empty"), std::string::npos) << empty.err;
}

// The server acknowledges only what its file took; qmctl says so when it did not, and refuses
// itself a value the file could not hold exactly.
TEST_F(QmctlAdmin, WhatTheServerDidNotStoreIsSaidPlainly) {
  constexpr int kExitTimeout = 5;
  std::filesystem::permissions(t.IniPath(), std::filesystem::perms::owner_read);
  const auto pw = RunQmctl(At({"--timeout", "1000", "admin", "set-admin-password"}),
                           {{"QM_ADMIN_PASSWORD", "keys"}, {"QM_NEW_PASSWORD", "newkeys"}});
  EXPECT_EQ(pw.exitCode, kExitTimeout);
  EXPECT_NE(pw.err.find("the server did not store the new administrator password"), std::string::npos) << pw.err;
  const auto save = RunQmctl(At({"--timeout", "1000", "admin", "save"}), kAdmin);
  EXPECT_EQ(save.exitCode, kExitTimeout);
  EXPECT_NE(save.err.find("the server did not store the channels"), std::string::npos) << save.err;
  EXPECT_EQ(RunQmctl(At({"admin", "create", "Still keys"}), kAdmin).exitCode, 0);  // the old password holds

  const auto blanks =
      RunQmctl(At({"admin", "set-server-password"}), {{"QM_ADMIN_PASSWORD", "keys"}, {"QM_NEW_PASSWORD", " pw"}});
  EXPECT_EQ(blanks.exitCode, kExitUsage);
  EXPECT_NE(blanks.err.find("could not store it exactly"), std::string::npos) << blanks.err;
  EXPECT_EQ(RunQmctl(At({"admin", "create", "Hall "}), kAdmin).exitCode, kExitUsage);
}

// A tab inside a name is stored as it is. A name the file cannot hold (one an earlier file gave)
// makes the server refuse the save with an answer, which qmctl puts in words at once.
TEST_F(QmctlAdmin, AnInnerTabIsStoredAndAnUnsavableNameIsRefusedInWords) {
  const auto create = RunQmctl(At({"admin", "create", "Tab\troom"}), kAdmin);
  EXPECT_EQ(create.exitCode, 0) << create.err;
  EXPECT_EQ(RunQmctl(At({"admin", "save"}), kAdmin).exitCode, 0);
  EXPECT_EQ(IniFile(t.IniPath().string()).ReadString("Channels", "2", ""), "Tab\troom");
  ASSERT_TRUE(t.Server().Channels().AddChannel("Cr\rroom"));
  const auto save = RunQmctl(At({"--timeout", "20000", "admin", "save"}), kAdmin);
  EXPECT_EQ(save.exitCode, kExitRefused);
  EXPECT_NE(save.err.find("the server refused to store the channels: its configuration file cannot hold a "
                          "channel's name exactly"),
            std::string::npos)
      << save.err;
}

TEST_F(QmctlAdmin, OldLayoutClientBecomesAdministratorByReply100) {
  const auto r = RunQmctl(At({"--version", "1.2.0", "admin", "create", "Old"}), kAdmin);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "created channel 3 Old\n");
}

TEST_F(QmctlAdmin, ServerStatisticsInWordsAndJson) {
  const auto r = RunQmctl(At({"stats"}));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("version  v1.2.2"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("uptime   0:00:"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("TCP received"), std::string::npos) << r.out;

  const auto j = RunQmctl(At({"--json", "stats"}));
  ASSERT_EQ(j.exitCode, 0) << j.err;
  const auto s = ParseJson(j.out);
  ASSERT_TRUE(s) << j.out;
  EXPECT_EQ((*s)["version"].Str().rfind("v1.2.2", 0), 0u);
  EXPECT_GE((*s)["uptime_ms"].Num(), 0);
  EXPECT_EQ((*s)["uptime"].Str().substr(0, 5), "0:00:");
  // alice's login and setup, the earlier qmctl's login, setup, request and leave at least.
  EXPECT_GE((*s)["counters"]["tcp_received"]["packets"].Num(), 5);
  EXPECT_GE((*s)["counters"]["tcp_received"]["bytes"].Num(), 101 * 2);
  EXPECT_TRUE((*s)["counters"]["udp_sent"].IsObject());
}

TEST_F(QmctlAdmin, PlayerStatisticsShowTheAddressOnlyToAnAdministrator) {
  // alice sends one datagram so the server knows her UDP address.
  client::VoiceClient voice;
  std::vector<uint8_t> ping;
  WireWriter(ping).U16(0xAABB).U16(alice.SessionKey()).U16(12).U8(1).U8(1).U32(0x0000EEFF);
  voice.SendTo(t.UdpPort(), ping);
  voice.Receive(2000);

  const auto plain = RunQmctl(At({"--json", "stats", "1"}));
  ASSERT_EQ(plain.exitCode, 0) << plain.err;
  const auto p = ParseJson(plain.out);
  ASSERT_TRUE(p) << plain.out;
  EXPECT_EQ((*p)["player"].Num(), 1);
  EXPECT_EQ((*p)["name"].Str(), "alice");
  EXPECT_EQ((*p)["version"].Str(), "1.2.2");
  EXPECT_TRUE((*p)["address"].IsNull());
  EXPECT_TRUE((*p)["port"].IsNull());
  EXPECT_GE((*p)["counters"]["udp_received"]["packets"].Num(), 1);

  const auto admin = RunQmctl(At({"--json", "stats", "--admin", "1"}), kAdmin);
  ASSERT_EQ(admin.exitCode, 0) << admin.err;
  const auto a = ParseJson(admin.out);
  ASSERT_TRUE(a) << admin.out;
  EXPECT_EQ((*a)["address"].Str(), "127.0.0.1");
  EXPECT_EQ((*a)["port"].Num(), voice.LocalPort());

  const auto human = RunQmctl(At({"stats", "1"}));
  EXPECT_NE(human.out.find("player     1 alice"), std::string::npos) << human.out;
  EXPECT_NE(human.out.find("connected  0:00:"), std::string::npos) << human.out;
  EXPECT_NE(human.out.find("use stats --admin"), std::string::npos) << human.out;
}

TEST_F(QmctlAdmin, StatisticsOfAnUnknownPlayerAreRefused) {
  const auto r = RunQmctl(At({"stats", "77"}));
  EXPECT_EQ(r.exitCode, kExitRefused);
  EXPECT_NE(r.err.find("no player with that id (reply code -60)"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace qm::test
