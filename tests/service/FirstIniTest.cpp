// The first configuration an installer writes (qmserver -FIRSTINI): complete, private, with a
// password of its own, and never over an existing file.
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "config/Settings.hpp"
#include "log/Log.hpp"
#include "server/TQuillmootServer.hpp"
#include "service/FirstIni.hpp"
#include "service/Switches.hpp"
#include "support/TestServer.hpp"

namespace qm {
namespace {

std::string Value(const std::string& ini, const std::string& key) {
  const size_t at = ini.find("\n" + key + "=");
  if (at == std::string::npos) return "";
  const size_t from = at + key.size() + 2;
  return ini.substr(from, ini.find_first_of("\r\n", from) - from);
}

class FirstIni : public ::testing::Test {
 protected:
  // The switch sets the process-wide file names; the other tests of this program expect defaults.
  void TearDown() override {
    SetProcessArguments({});
    SetIniFileName("qmserver.ini");
    SetLogFileName("qmserver.log");
  }
  test::TempDir dir_;
};

TEST_F(FirstIni, WritesOncePrivatelyWithARandomPasswordAndThePortAsked) {
  const auto ini = dir_.Path() / "state" / "qmserver.ini";  // the directory is made too
  const auto log = dir_.Path() / "state" / "qmserver.log";
  const Switches sw = ParseSwitches({"-firstini"});
  EXPECT_TRUE(sw.firstIni);
  EXPECT_TRUE(UnknownArguments({"/FIRSTINI", "-TCPPORT=9000", "-WAITSTOP"}).empty());

  EXPECT_EQ(WriteFirstIni({"-FIRSTINI", "-INI=" + ini.string(), "-LOG=" + log.string(), "-TCPPORT=9100"}), 0);
  const std::string written = test::ReadFile(ini);
  const std::string password = Value(written, "AdminPassword");
  EXPECT_EQ(password.size(), 20u) << written;
  EXPECT_NE(password, kDefaultAdminPassword);
  EXPECT_EQ(password.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            std::string::npos);
  EXPECT_EQ(Value(written, "TCPPort"), "9100");
  EXPECT_FALSE(Value(written, "ServerVersion").empty());  // complete: the server never rewrites it
  EXPECT_NE(written.find("[Networking]"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(stat(ini.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_NE(test::ReadFile(log).find("Wrote the configuration " + ini.string()), std::string::npos);

  // An existing file is kept as it is, port or not; a second password differs from the first.
  EXPECT_EQ(WriteFirstIni({"-FIRSTINI", "-INI=" + ini.string(), "-TCPPORT=9200"}), 0);
  EXPECT_EQ(test::ReadFile(ini), written);
  EXPECT_NE(RandomAdminPassword(), RandomAdminPassword());

  // A port that is none writes nothing.
  const auto other = dir_.Path() / "other.ini";
  for (const char* port : {"-TCPPORT=0", "-TCPPORT=65535", "-TCPPORT=http"})
    EXPECT_EQ(WriteFirstIni({"-FIRSTINI", "-INI=" + other.string(), port}), 1) << port;
  EXPECT_FALSE(std::filesystem::exists(other));
}

}  // namespace
}  // namespace qm
