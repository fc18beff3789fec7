#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "config/IniFile.hpp"
#include "log/Log.hpp"
#include "platform/Error.hpp"

namespace qm {
namespace {

namespace fs = std::filesystem;

class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device seed;
    dir_ = fs::temp_directory_path() / ("qm-ini-" + std::to_string(seed()) + std::to_string(seed()));
    fs::create_directories(dir_);
    path_ = (dir_ / "qmserver.ini").string();
    SetLogFileName((dir_ / "qmserver.log").string());
  }
  void TearDown() override {
    SetLogFileName("qmserver.log");
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, ec);
    fs::remove_all(dir_, ec);
  }
  void Put(const std::string& content) { std::ofstream(path_, std::ios::binary) << content; }
  std::string Get() const {
    std::ifstream in(path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  fs::path dir_;
  std::string path_;
};

TEST_F(IniFileTest, ReadMatchesNamesWithoutCaseAndTrimsBlanks) {
  Put("[General]\nServername = \t My Server \t\n  maxclients=20\r\n[ping ]\r\nMaxPingTries=4\r\n");
  IniFile ini(path_);
  EXPECT_EQ(ini.ReadString("general", "SERVERNAME", "x"), "My Server");
  EXPECT_EQ(ini.ReadInteger("GENERAL", "MaxClients", 16), 20);
  EXPECT_EQ(ini.ReadInteger("Ping", "maxpingtries", 3), 4);
  EXPECT_EQ(ini.ReadString("General", "Missing", "dflt"), "dflt");
  EXPECT_EQ(ini.ReadString("Nowhere", "Servername", "dflt"), "dflt");
  EXPECT_TRUE(ini.KeyExists("GENERAL", "servername"));
  EXPECT_FALSE(ini.KeyExists("Ping", "servername"));
}

TEST_F(IniFileTest, ReadSkipsCommentsKeylessLinesAndTakesFirstDuplicate) {
  Put("Orphan=1\n[A]\n;Key=comment\nnot a key\nKey=first\nKey=second\n=nameless\nEmpty=\n[B]\nKey=other\n");
  IniFile ini(path_);
  EXPECT_EQ(ini.ReadString("A", "Key", ""), "first");
  EXPECT_EQ(ini.ReadString("A", ";Key", "d"), "d");
  EXPECT_EQ(ini.ReadString("A", "Empty", "d"), "");  // present but empty is not the default
  EXPECT_EQ(ini.ReadString("", "Orphan", "d"), "d");
  EXPECT_EQ(ini.SectionKeys("a"), (std::vector<std::string>{"Key", "Empty"}));
  EXPECT_TRUE(ini.SectionKeys("None").empty());
}

TEST_F(IniFileTest, ValueIsCutAt2047Characters) {
  Put("[S]\nLong=" + std::string(3000, 'v') + "\n");
  EXPECT_EQ(IniFile(path_).ReadString("S", "Long", ""), std::string(IniFile::kMaxValueLength, 'v'));
}

TEST_F(IniFileTest, MissingOrUnreadableFileGivesDefaults) {
  EXPECT_EQ(IniFile(path_).ReadString("S", "K", "d"), "d");
  EXPECT_EQ(IniFile(path_).ReadInteger("S", "K", 7), 7);
  EXPECT_EQ(IniFile(dir_.string()).ReadString("S", "K", "d"), "d");
  EXPECT_FALSE(fs::exists(path_));
}

TEST(ParseIniInteger, AcceptsDecimalAndHexRefusesTheRest) {
  const std::pair<const char*, int32_t> good[] = {{"0", 0},
                                                  {"9000", 9000},
                                                  {"-5", -5},
                                                  {"+7", 7},
                                                  {"0x2000", 8192},
                                                  {"0X1f", 31},
                                                  {"$FF", 255},
                                                  {"2147483647", INT32_MAX},
                                                  {"-2147483648", INT32_MIN},
                                                  {"0xFFFFFFFF", -1},
                                                  {" 12 ", 12}};
  for (const auto& [text, expected] : good) {
    int32_t value = 0;
    EXPECT_TRUE(ParseIniInteger(text, value)) << text;
    EXPECT_EQ(value, expected) << text;
  }
  for (const char* text : {"", "12abc", "abc", "0x", "$", "-", "1 2", "2147483648", "-2147483649", "0x100000000",
                           "-0x10", "1.5", "true"}) {
    int32_t value = 42;
    EXPECT_FALSE(ParseIniInteger(text, value)) << text;
    EXPECT_EQ(value, 42) << text;
  }
}

TEST_F(IniFileTest, IntegersAndBooleansFallBackToDefault) {
  Put("[N]\nTCPPort=0x2000\nBad=12abc\nBig=99999999999\n"
      "[WebStatus]\nYes=yes\nTrue=true\nTwo=2\nZero=0\nMinus=-1\n");
  IniFile ini(path_);
  EXPECT_EQ(ini.ReadInteger("N", "TCPPort", 8765), 8192);
  EXPECT_EQ(ini.ReadInteger("N", "Bad", 8765), 8765);
  EXPECT_EQ(ini.ReadInteger("N", "Big", 3), 3);
  EXPECT_FALSE(ini.ReadBool("WebStatus", "Yes", false));
  EXPECT_TRUE(ini.ReadBool("WebStatus", "Yes", true));
  EXPECT_FALSE(ini.ReadBool("WebStatus", "True", false));
  EXPECT_TRUE(ini.ReadBool("WebStatus", "Two", false));
  EXPECT_FALSE(ini.ReadBool("WebStatus", "Zero", true));
  EXPECT_TRUE(ini.ReadBool("WebStatus", "Minus", false));
  EXPECT_TRUE(ini.ReadBool("WebStatus", "Missing", true));
}

TEST_F(IniFileTest, WritesCreateTheFileWithSectionsInOrder) {
  IniFile ini(path_);
  ini.WriteString("Version", "ServerVersion", "v1.2.2");
  ini.WriteString("Passwords", "ServerPassword", "");
  ini.WriteString("Passwords", "AdminPassword", "oxlit");
  ini.WriteString("General", "Servername", "Quillmoot Server");
  ini.WriteInteger("General", "MaxClients", 16);
  ini.WriteBool("WebStatus", "Active", false);
  ini.WriteInteger("general", "MAXCLIENTS", -3);
  EXPECT_EQ(Get(),
            "[Version]\r\nServerVersion=v1.2.2\r\n\r\n"
            "[Passwords]\r\nServerPassword=\r\nAdminPassword=oxlit\r\n\r\n"
            "[General]\r\nServername=Quillmoot Server\r\nMaxClients=-3\r\n\r\n"
            "[WebStatus]\r\nActive=0\r\n");
  EXPECT_EQ(fs::directory_iterator(dir_)->path().filename(), "qmserver.ini");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(IniFileTest, WriteReplacesInPlaceAndKeepsEverythingElse) {
  Put("; operator notes\r\n[General]\r\nServername = Old\r\nCustom=kept\r\nservername=dup\r\n"
      "\r\n; ping notes\r\n[Ping]\r\nMaxPingTries=3\r\n");
  IniFile ini(path_);
  ini.WriteString("GENERAL", "SERVERNAME", "New");
  EXPECT_EQ(Get(),
            "; operator notes\r\n[General]\r\nServername = New\r\nCustom=kept\r\nservername=dup\r\n"
            "\r\n; ping notes\r\n[Ping]\r\nMaxPingTries=3\r\n");
  ini.WriteString("General", "MaxClients", "20");
  ini.WriteString("Ping", "PingWaitTime", "15000");
  ini.WriteString("Channels", "0", "Lobby");
  EXPECT_EQ(Get(),
            "; operator notes\r\n[General]\r\nServername = New\r\nCustom=kept\r\nservername=dup\r\nMaxClients=20\r\n"
            "\r\n; ping notes\r\n[Ping]\r\nMaxPingTries=3\r\nPingWaitTime=15000\r\n"
            "\r\n[Channels]\r\n0=Lobby\r\n");
}

TEST_F(IniFileTest, WriteTurnsLfIntoCrLfAndKeepsValuesOnOneLine) {
  Put("[A]\nK=1\n[B]\nK=2");
  IniFile ini(path_);
  ini.WriteString("A", "Injected", "x\r\n[General]\r\nServername=evil");
  EXPECT_EQ(Get(), "[A]\r\nK=1\r\nInjected=x\r\n[B]\r\nK=2\r\n");
  EXPECT_FALSE(ini.KeyExists("General", "Servername"));
}

TEST_F(IniFileTest, EraseSectionRemovesOnlyThatSection) {
  Put("[Channels]\r\n0=Lobby\r\n1=Games\r\n\r\n[Version]\r\nServerVersion=v1.0\r\n\r\n[General]\r\nMaxClients=8\r\n");
  IniFile ini(path_);
  ini.EraseSection("channels");
  EXPECT_EQ(Get(), "[Version]\r\nServerVersion=v1.0\r\n\r\n[General]\r\nMaxClients=8\r\n");
  ini.EraseSection("General");
  EXPECT_EQ(Get(), "[Version]\r\nServerVersion=v1.0\r\n\r\n");
  ini.WriteString("Channels", "0", "Default");
  EXPECT_EQ(Get(), "[Version]\r\nServerVersion=v1.0\r\n\r\n[Channels]\r\n0=Default\r\n");
  fs::remove(path_);
  ini.EraseSection("Anything");
  EXPECT_FALSE(fs::exists(path_));
}

TEST_F(IniFileTest, RefusedWritesThrowNamingThePath) {
  const std::string inMissingDir = (dir_ / "absent" / "qmserver.ini").string();
  try {
    IniFile(inMissingDir).WriteString("S", "K", "v");
    FAIL() << "no exception";
  } catch (const EConfigError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + inMissingDir);
  }
  fs::create_directory(path_);
  EXPECT_THROW(IniFile(path_).WriteString("S", "K", "v"), EConfigError);
  EXPECT_THROW(IniFile(path_).EraseSection("S"), EConfigError);
}

TEST_F(IniFileTest, ReadOnlyFileReadsButRefusesWrites) {
  const std::string content = "[Version]\r\nServerVersion=v1.2.2\r\n";
  Put(content);
  fs::permissions(path_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  IniFile ini(path_);
  EXPECT_EQ(ini.ReadString("Version", "ServerVersion", ""), "v1.2.2");
  // Refused for root too, who could open the file: the mark decides.
  EXPECT_THROW(ini.WriteString("Version", "ServerVersion", "v9"), EConfigError);
  EXPECT_THROW(ini.EraseSection("Version"), EConfigError);
  EXPECT_THROW(ini.EraseSection("Absent"), EConfigError);
  EXPECT_EQ(Get(), content);
  EXPECT_EQ(fs::status(path_).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
}

TEST_F(IniFileTest, AWriteBitForGroupOrOthersAloneIsNoReadOnlyMark) {
  for (const fs::perms write : {fs::perms::group_write, fs::perms::others_write}) {
    Put("[General]\r\nMaxClients=8\r\n");
    fs::permissions(path_, fs::perms::owner_read | write);
    // Whether this process may still open it is the system's to say (root may; an owner without
    // the owner's bit may not); the mark itself refuses nothing.
    const bool systemAllows = std::ofstream(path_, std::ios::binary | std::ios::app).is_open();
    bool written = true;
    try {
      IniFile(path_).WriteInteger("General", "MaxClients", 12);
    } catch (const EConfigError&) {
      written = false;
    }
    EXPECT_EQ(written, systemAllows) << static_cast<int>(write);
    EXPECT_EQ(Get(), written ? "[General]\r\nMaxClients=12\r\n" : "[General]\r\nMaxClients=8\r\n");
    fs::permissions(path_, fs::perms::owner_all);
  }
}

TEST_F(IniFileTest, ANewFileIsPrivateAndAnExistingOneKeepsItsMode) {
  IniFile(path_).WriteString("Passwords", "AdminPassword", "secret");
  EXPECT_EQ(fs::status(path_).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  const fs::perms shared = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  fs::permissions(path_, shared);
  IniFile(path_).WriteString("Passwords", "AdminPassword", "other");
  EXPECT_EQ(fs::status(path_).permissions() & fs::perms::all, shared);
  EXPECT_EQ(Get(), "[Passwords]\r\nAdminPassword=other\r\n");
}

TEST_F(IniFileTest, WritableFileInReadOnlyFolderIsStillWritten) {
  Put("[General]\r\nMaxClients=8\r\n");
  fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
  IniFile(path_).WriteInteger("General", "MaxClients", 12);
  fs::permissions(dir_, fs::perms::owner_all);
  EXPECT_EQ(Get(), "[General]\r\nMaxClients=12\r\n");
  EXPECT_FALSE(fs::exists(path_ + ".tmp"));
}

TEST_F(IniFileTest, ValuesTheFileCannotHoldExactlyAreToldApart) {
  for (const char* held : {"", "pw", "new pw", "caf\xC3\xA9", "x=y;z", "[s]", "a\tb", "a\x7F", "\x01pw\x1B"})
    EXPECT_TRUE(IniFile::HoldsExactly(held)) << held;
  for (const std::string& refused :
       std::vector<std::string>{"\rsrvpw", "pw\n", "a\rb", " new pw ", "pw ", "\tpw", "pw\t", std::string("a\0b", 3)})
    EXPECT_FALSE(IniFile::HoldsExactly(refused)) << refused;
  EXPECT_TRUE(IniFile::HoldsExactly(std::string(IniFile::kMaxValueLength, 'v')));
  EXPECT_FALSE(IniFile::HoldsExactly(std::string(IniFile::kMaxValueLength + 1, 'v')));
}

// HoldsExactly is the file's own answer: whatever it says is held reads back as written, and
// whatever it refuses does not, for every byte inside a value, at either end, and at the length limit.
TEST_F(IniFileTest, WhatHoldsExactlyAcceptsReadsBackAsWrittenAndNothingElseDoes) {
  std::vector<std::string> values;
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    values.push_back(std::string("in") + c + "side");
    values.push_back(std::string(1, c) + "front");
    values.push_back(std::string("back") + c);
  }
  values.push_back(std::string(IniFile::kMaxValueLength, 'v'));
  values.push_back(std::string(IniFile::kMaxValueLength + 1, 'v'));
  std::vector<IniChange> changes;
  for (size_t i = 0; i < values.size(); ++i) changes.push_back({"Values", "k" + std::to_string(i), values[i]});
  IniFile ini(path_);
  ini.Apply(changes);
  for (size_t i = 0; i < values.size(); ++i) {
    const std::string key = "k" + std::to_string(i);
    EXPECT_EQ(ini.ReadString("Values", key, "") == values[i], IniFile::HoldsExactly(values[i]))
        << "byte " << (i < 768 ? i / 3 : i) << " at "
        << (i % 3 == 0   ? "inside"
            : i % 3 == 1 ? "front"
                         : "back");
  }
  // What a write cut off leaves no extra line behind.
  EXPECT_EQ(ini.SectionKeys("Values").size(), values.size());
}

TEST_F(IniFileTest, ABatchIsOneWriteAndNoChangeWritesNothing) {
  Put("[Channels]\r\n; kept\r\n0=A\r\n1=B\r\n\r\n[Ping]\r\nMaxPingTries=3\r\n");
  IniFile ini(path_);
  const IniWriteTally before = IniFile::WriteTally();
  const std::vector<IniChange> same{IniChange::ClearKeys("channels"), {"Channels", "0", "A"}, {"Channels", "1", "B"}};
  EXPECT_FALSE(ini.Apply(same));
  ini.WriteString("Ping", "MaxPingTries", "3");
  EXPECT_EQ(IniFile::WriteTally().files, before.files);
  // The section keeps its place and comment; the keys are replaced as a whole.
  EXPECT_TRUE(ini.Apply({IniChange::ClearKeys("Channels"), {"Channels", "0", "C"}}));
  EXPECT_EQ(Get(), "[Channels]\r\n; kept\r\n0=C\r\n\r\n[Ping]\r\nMaxPingTries=3\r\n");
  EXPECT_EQ(IniFile::WriteTally().files, before.files + 1);
  EXPECT_EQ(IniFile::WriteTally().bytes, before.bytes + Get().size());
}

TEST_F(IniFileTest, ALinkedFileIsRefusedAndLeftAsItIs) {
  const fs::path victim = dir_ / "victim";
  std::ofstream(victim, std::ios::binary) << "precious";
  fs::create_symlink(victim, path_);
  EXPECT_THROW(IniFile(path_).WriteString("S", "K", "v"), EConfigError);
  EXPECT_THROW(IniFile(path_).EraseSection("S"), EConfigError);
  EXPECT_TRUE(fs::is_symlink(path_));
  EXPECT_EQ(Get(), "precious");
  std::ifstream log(dir_ / "qmserver.log", std::ios::binary);
  const std::string logged{std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>()};
  EXPECT_NE(logged.find("Refused to write " + path_ + ": it is a symbolic link; the file is left as it is"),
            std::string::npos)
      << logged;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 3);  // and the log; no temporary
}

// Someone who may write the folder plants links on every name a save could use (the fixed old
// name, every temporary name the folder shows, the file itself) while saves run: no write ever
// lands behind a link, the victim keeps its content and mode, the file never becomes one of ours.
TEST_F(IniFileTest, LinksPlantedDuringSavesNeverRedirectAWrite) {
  const fs::path victim = dir_ / "victim";
  const std::string precious = "victim's own bytes\n";
  std::ofstream(victim, std::ios::binary) << precious;
  const fs::perms victimMode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  fs::permissions(victim, victimMode);
  Put("[Channels]\r\n0=Lobby\r\n");

  std::atomic<bool> stop{false};
  std::atomic<int> planted{0};
  std::thread attacker([&] {
    const fs::path link = dir_ / "planted";
    for (int round = 0; !stop.load() && round < 2000000; ++round) {
      std::vector<fs::path> targets{path_ + ".tmp"};
      std::error_code ec;
      for (const auto& entry : fs::directory_iterator(dir_, ec))
        if (entry.path().filename().string().rfind("qmserver.ini.tmp", 0) == 0 && !entry.is_symlink(ec))
          targets.push_back(entry.path());
      if (round % 64 == 0) targets.emplace_back(path_);
      for (const auto& target : targets) {
        fs::remove(link, ec);
        fs::create_symlink(victim, link, ec);
        if (!ec && std::rename(link.c_str(), target.c_str()) == 0) ++planted;
      }
    }
  });
  int saved = 0, refused = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(8);
  for (int i = 0; i < 20000 && std::chrono::steady_clock::now() < end; ++i) {
    try {
      IniFile(path_).WriteString("Channels", "0", "Lobby" + std::to_string(i));
      ++saved;
    } catch (const EConfigError&) {
      ++refused;  // the file (or the temporary) was a link: put a plain file back, by rename
      std::error_code ec;
      if (fs::is_symlink(path_, ec)) {
        std::ofstream(dir_ / "fresh", std::ios::binary) << "[Channels]\r\n0=Lobby\r\n";
        fs::rename(dir_ / "fresh", path_, ec);
      }
    }
  }
  stop = true;
  attacker.join();
  std::printf("[ figures  ] %d saves, %d refused, %d links planted\n", saved, refused, planted.load());
  EXPECT_GT(saved, 0);
  EXPECT_GT(planted.load(), 0);
  std::ifstream in(victim, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), precious);
  EXPECT_EQ(fs::status(victim).permissions() & fs::perms::all, victimMode);
  EXPECT_TRUE(fs::is_regular_file(victim) && !fs::is_symlink(victim));
}

}  // namespace
}  // namespace qm
