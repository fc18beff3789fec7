#include <atomic>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "config/IniFile.hpp"
#include "config/Settings.hpp"
#include "server/TQuillmootServer.hpp"
#include "support/TestServer.hpp"

namespace qm {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

class ConfigurationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetExeDir(dir.Str() + "/");
    SetIniFileName("qmserver.ini");
  }
  void TearDown() override { SetIniFileName("qmserver.ini"); }
  std::vector<std::string> Load() {
    std::vector<std::string> channels;
    LoadConfiguration([&](const std::string& n) { channels.push_back(n); });
    return channels;
  }
  std::string Ini() const { return ReadFile(dir.Path() / "qmserver.ini"); }
  TempDir dir;
};

TEST_F(ConfigurationTest, MissingFileIsCreatedWithEveryDefaultInOrder) {
  const uint64_t writes = IniFile::WriteTally().files;
  const auto channels = Load();
  EXPECT_EQ(IniFile::WriteTally().files, writes + 1);  // the whole upgrade is one write
  EXPECT_EQ(channels, std::vector<std::string>{"Default"});
  const std::string expected =
      "[Version]\r\nServerVersion=v1.2.2\r\n\r\n"
      "[Passwords]\r\nServerPassword=\r\nAdminPassword=oxlit\r\n\r\n"
      "[General]\r\nServername=Quillmoot Server\r\nMaxClients=16\r\n\r\n"
      "[Networking]\r\nTCPPort=8765\r\nIP=\r\n\r\n"
      "[Ping]\r\nMaxPingTries=3\r\nPingWaitTime=15000\r\nIdleTimeBeforePing=5000\r\n\r\n"
      "[WebStatus]\r\nActive=0\r\nQuillmootSite_Active=0\r\nQuillmootSite_DisplayInWebList=0\r\n"
      "WebPostURL=http://\r\nWebPostLinkUrl=" +
      std::string(kDefaultWebPostLinkUrl) + "\r\n";
  EXPECT_EQ(Ini(), expected);
  EXPECT_EQ(Settings().UDPPort, 8766);
}

TEST_F(ConfigurationTest, UpgradeKeepsTheServerPasswordAndTheChannels) {
  WriteFile(dir.Path() / "qmserver.ini",
            "[Version]\r\nServerVersion=V1.2.2\r\n[Passwords]\r\nServerPassword=secret\r\n"
            "[Channels]\r\n0=Lobby\r\n1=Games\r\n3=Lost\r\n[General]\r\nServername=Mine\r\n");
  EXPECT_EQ(Load(), (std::vector<std::string>{"Lobby", "Games"}));
  EXPECT_EQ(Settings().ServerPassword.Get(), "secret");
  IniFile ini((dir.Path() / "qmserver.ini").string());
  EXPECT_EQ(ini.ReadString("Version", "ServerVersion", ""), "v1.2.2");
  EXPECT_EQ(ini.ReadString("Passwords", "ServerPassword", ""), "secret");
  EXPECT_EQ(ini.ReadString("General", "Servername", ""), "Mine");
  EXPECT_EQ(ini.ReadString("Channels", "3", ""), "Lost");  // the section is kept as it was
}

TEST_F(ConfigurationTest, CurrentVersionIsNotRewritten) {
  const std::string text = "[Version]\r\nServerVersion=v1.2.2\r\n; mine\r\n[General]\r\nMaxClients=4\r\n";
  WriteFile(dir.Path() / "qmserver.ini", text);
  Load();
  EXPECT_EQ(Ini(), text);
  EXPECT_EQ(Settings().MaxClients, 4);
}

TEST_F(ConfigurationTest, ValuesAreParsedAndNormalised) {
  WriteFile(dir.Path() / "qmserver.ini",
            "[Version]\r\nServerVersion=v1.2.2\r\n[General]\r\nMaxClients=300\r\n[Networking]\r\nTCPPort=0x2000\r\n"
            "[WebStatus]\r\nActive=yes\r\nQuillmootSite_Active=2\r\nWebPostURL=https://x.example/p\r\n"
            "[Channels]\r\n0=\r\n1=Ignored\r\n");
  EXPECT_EQ(Load(), std::vector<std::string>{"Default"});
  const ServerSettings& s = Settings();
  EXPECT_EQ(s.MaxClients, 255);  // player ids and list counts are one byte
  EXPECT_EQ(s.TCPPort, 8192);
  EXPECT_EQ(s.UDPPort, 8193);
  EXPECT_FALSE(s.Active);
  EXPECT_TRUE(s.QuillmootSite_Active);
  EXPECT_EQ(s.WebPostURL.Get(), "http://https://x.example/p");
}

TEST_F(ConfigurationTest, LimitsAreReadClampedAndNeverWritten) {
  const ServerSettings defaults;
  EXPECT_EQ(defaults.MaxClientsPerAddress, 16);
  EXPECT_EQ(defaults.VoicePacketsPerSecond, 100);
  EXPECT_EQ(defaults.VoiceBytesPerSecond, 32000);
  EXPECT_EQ(defaults.ChannelChangesPerSecond, 10);
  EXPECT_EQ(defaults.LoginsPerAddressPerSecond, 10);
  EXPECT_EQ(defaults.VoiceSpeakersPerAddress, 4);
  // Another version's file is rewritten, and the operator's limits survive it untouched.
  const std::string limits =
      "[Limits]\r\nMaxClientsPerAddress=999\r\nVoicePacketsPerSecond=-5\r\n"
      "VoiceBytesPerSecond=0\r\nChannelChangesPerSecond=3\r\nVoiceSpeakersPerAddress=300\r\n";
  WriteFile(dir.Path() / "qmserver.ini", "[Version]\r\nServerVersion=v1.2.0\r\n" + limits);
  Load();
  const ServerSettings& s = Settings();
  EXPECT_EQ(s.MaxClientsPerAddress, 255);
  EXPECT_EQ(s.VoicePacketsPerSecond, 100);  // a negative limit keeps its default
  EXPECT_EQ(s.VoiceBytesPerSecond, 0);
  EXPECT_EQ(s.VoiceSpeakersPerAddress, 255);
  EXPECT_EQ(s.ChannelChangesPerSecond, 3);
  EXPECT_EQ(s.LoginsPerAddressPerSecond, 10);
  EXPECT_NE(Ini().find(limits), std::string::npos);
  EXPECT_EQ(Ini().find("LoginsPerAddressPerSecond"), std::string::npos);
}

// A reload replaces texts other threads read at any time (a login's reply, the status report, the
// scrape) and numbers the voice intake reads each batch: a reader racing it sees one value or the
// other, whole (ThreadSanitizer checks for the race itself).
TEST_F(ConfigurationTest, AReloadRacingAReaderHandsItOneWholeValueOrTheOther) {
  test::TestServer t({{"General", "Servername", "First"}});
  ASSERT_TRUE(t.Started());
  const std::string first = ReadFile(t.IniPath());
  std::string second = first;
  const size_t at = second.find("Servername=First");
  ASSERT_NE(at, std::string::npos);
  second.replace(at, 16, "Servername=Second");
  second +=
      "[WebStatus]\r\nQuillmootSite_DisplayInWebList=1\r\nWebPostLinkUrl=http://two.example/\r\n"
      "[Limits]\r\nVoiceBytesPerSecond=1000\r\n";
  std::atomic<bool> done{false};
  std::thread reader([&] {
    const ServerSettings& s = Settings();
    while (!done.load()) {
      const std::string name = s.Servername.Get();
      const int32_t bytes = LiveSetting(s.VoiceBytesPerSecond);
      const std::string link = s.WebPostLinkUrl.Get();
      const bool listed = LiveSetting(s.QuillmootSite_DisplayInWebList);
      EXPECT_TRUE(name == "First" || name == "Second") << name;
      EXPECT_TRUE(bytes == 32000 || bytes == 1000) << bytes;
      EXPECT_TRUE(link == kDefaultWebPostLinkUrl || link == "http://two.example/") << link;
      (void)listed;
    }
  });
  for (int i = 0; i < 20; ++i) {
    WriteFile(t.IniPath(), i % 2 == 0 ? second : first);
    const ReloadOutcome r = t.Server().Reload();
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.applied.size(), 4u);
    EXPECT_TRUE(r.needsRestart.empty());
  }
  done = true;
  reader.join();
  EXPECT_EQ(Settings().Servername.Get(), "First");
  EXPECT_EQ(LiveSetting(Settings().VoiceBytesPerSecond), 32000);
}

// A negative limit once read as 0 and so silently switched the limit off.
TEST_F(ConfigurationTest, ANegativeLimitKeepsItsDefaultAndIsNamedInTheLog) {
  test::TestServer t({{"Limits", "VoiceBytesPerSecond", "-1"},
                      {"Limits", "VoiceSpeakersPerAddress", "-4"},
                      {"Limits", "VoicePacketsPerSecond", "0"}});
  ASSERT_TRUE(t.Started());
  EXPECT_EQ(Settings().VoiceBytesPerSecond, 32000);
  EXPECT_EQ(Settings().VoiceSpeakersPerAddress, 4);
  EXPECT_EQ(Settings().VoicePacketsPerSecond, 0);  // 0 still switches a limit off, without a word
  const auto count = [&](const std::string& text) {
    int n = 0;
    for (const auto& line : t.LogLines()) n += line.find(text) != std::string::npos;
    return n;
  };
  EXPECT_EQ(count("Warning: qmserver.ini [Limits] VoiceBytesPerSecond=-1 is below 0; the default 32000 stays in "
                  "force"),
            1);
  EXPECT_EQ(count("Warning: qmserver.ini [Limits] VoiceSpeakersPerAddress=-4 is below 0; the default 4 stays in "
                  "force"),
            1);
  EXPECT_EQ(count("[Limits]"), 2);
}

TEST_F(ConfigurationTest, WebPostUrlHoldingTheSchemeInAnyCaseIsKept) {
  WriteFile(dir.Path() / "qmserver.ini",
            "[Version]\r\nServerVersion=v1.2.2\r\n[WebStatus]\r\nWebPostURL=HTTP://Host/x\r\n");
  Load();
  EXPECT_EQ(Settings().WebPostURL.Get(), "HTTP://Host/x");
}

TEST_F(ConfigurationTest, AnAbsoluteIniNameIsUsedAsItStands) {
  TempDir state;
  SetIniFileName((state.Path() / "clan2.ini").string());
  Load();
  EXPECT_NE(ReadFile(state.Path() / "clan2.ini").find("[Version]"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "clan2.ini"));
}

TEST_F(ConfigurationTest, RefusedWriteDuringUpgradeFails) {
  SetIniFileName("no-such-dir/qmserver.ini");
  EXPECT_THROW(Load(), std::exception);
}

// The list packet counts channels in one byte: a longer list starts with its first 255 and one
// warning naming the rest, where it once ended start-up.
TEST_F(ConfigurationTest, MoreThan255ChannelsStartWithTheFirst255AndAWarning) {
  std::vector<test::IniKey> keys;
  for (int i = 0; i < 257; ++i) keys.push_back({"Channels", std::to_string(i), "Room" + std::to_string(i)});
  test::TestServer t(keys);
  ASSERT_TRUE(t.Started());
  const auto channels = t.Server().Channels().Snapshot();
  ASSERT_EQ(channels.size(), 255u);
  EXPECT_EQ(channels.back().Name(), "Room254");
  int warnings = 0;
  for (const auto& line : t.LogLines())
    warnings += line.find(
                    "Warning: qmserver.ini lists 257 channels, more than the 255 a server holds; not created: "
                    "[Channels] 255 to 256 (\"Room255\", \"Room256\")") != std::string::npos;
  EXPECT_EQ(warnings, 1);
}

TEST_F(ConfigurationTest, ChannelAdderFailureFails) {
  EXPECT_THROW(LoadConfiguration([](const std::string&) { throw std::runtime_error("full"); }), std::exception);
}

}  // namespace
}  // namespace qm
