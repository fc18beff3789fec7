#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#include "config/Settings.hpp"
#include "log/Log.hpp"
#include "platform/Socket.hpp"
#include "support/LifecycleLines.hpp"
#include "support/TestServer.hpp"

namespace qm {
namespace {

using test::TestServer;

// Index of the first log line containing text, or -1.
int Find(const std::vector<std::string>& lines, const std::string& text) {
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].find(text) != std::string::npos) return static_cast<int>(i);
  return -1;
}

// The operator socket's name held by a file nobody should lose: the server does not start, and the
// file is as it was.
TEST(StartupTest, RefusesToStartOverAFileAtTheOperatorSocketsName) {
  TestServer t({}, true, false);
  const auto file = t.Dir().Path() / "qmserver.sock";
  test::WriteFile(file, "not a socket");
  EXPECT_FALSE(t.Start());
  EXPECT_EQ(t.Server().StartupError(), "FATAL ERROR: Unable to open the operator socket");
  EXPECT_NE(t.Server().StartupCause().find("exists and is not a socket"), std::string::npos)
      << t.Server().StartupCause();
  EXPECT_EQ(test::ReadFile(file), "not a socket");
}

TEST(StartupTest, StartsAndStopsWithEveryLineInOrder) {
  TestServer t;
  ASSERT_TRUE(t.Started()) << t.Server().StartupError();
  EXPECT_EQ(t.Server().ServerVersion(), "v1.2.2 Win32 Service");
  EXPECT_EQ(t.Server().Channels().Count(), 1u);
  t.Stop();
  const auto lines = t.LogLines();
  std::vector<std::string> order = test::kStartupLines;
  order.insert(order.end(), test::kShutdownLines.begin(), test::kShutdownLines.end());
  int last = -1;
  for (const std::string& text : order) {
    const int at = Find(lines, text);
    EXPECT_GT(at, last) << text;
    last = std::max(last, at);
  }
  EXPECT_GE(Find(lines, "UDPSender.Terminated"), 0);
  EXPECT_GE(Find(lines, "PingThread.Terminated"), 0);
}

// Settings are process-wide (one server per process), so the port is taken by a plain socket.
platform::SocketHandle Occupy(int type, uint16_t port) {
  platform::SocketsStartup();
  auto s = ::socket(AF_INET, type, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  EXPECT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  if (type == SOCK_STREAM) ::listen(s, 1);
  return s;
}

// The cause an operator reads for a listener that cannot open: which one, and errno's own words.
std::string OpenCause(const std::string& where, int error) {
  return "ESocketError: Cannot open " + where + ": " + std::strerror(error) + " (errno " + std::to_string(error) + ")";
}

TEST(StartupTest, PortInUseFailsCommunication) {
  const uint16_t port = test::FreePortPair();
  const auto s = Occupy(SOCK_STREAM, port);
  TestServer t({{"Networking", "TCPPort", std::to_string(port)}});
  EXPECT_FALSE(t.Started());
  EXPECT_EQ(t.Server().StartupError(), "FATAL ERROR: Unable to initialize communication");
  EXPECT_EQ(t.Server().StartupCause(), OpenCause("TCP 0.0.0.0:" + std::to_string(port), EADDRINUSE));
  const auto lines = t.LogLines();
  EXPECT_GE(Find(lines, "Created UDPsender thread"), 0);
  EXPECT_LT(Find(lines, "Activated tcp/udp"), 0);
  platform::CloseSocket(s);
}

TEST(StartupTest, UdpPortInUseFailsCommunicationToo) {
  const uint16_t port = test::FreePortPair();
  const auto s = Occupy(SOCK_DGRAM, static_cast<uint16_t>(port + 1));
  TestServer t({{"Networking", "TCPPort", std::to_string(port)}});
  EXPECT_FALSE(t.Started());
  EXPECT_EQ(t.Server().StartupError(), "FATAL ERROR: Unable to initialize communication");
  EXPECT_EQ(t.Server().StartupCause(), OpenCause("UDP 0.0.0.0:" + std::to_string(port + 1), EADDRINUSE));
  platform::CloseSocket(s);
}

// Ports a client could never reach the server's voice on, and the cause kept for the operator.
TEST(StartupTest, PortsOutsideOneTo65534FailCommunicationWithTheirCause) {
  for (const char* port : {"0", "65535", "-1", "70000"}) {
    TestServer t({{"Networking", "TCPPort", port}});
    EXPECT_FALSE(t.Started()) << port;
    EXPECT_EQ(t.Server().StartupError(), "FATAL ERROR: Unable to initialize communication") << port;
    EXPECT_EQ(
        t.Server().StartupCause().rfind("EConfigError: TCPPort " + std::string(port) + " is outside 1 to 65534", 0), 0u)
        << t.Server().StartupCause();
    EXPECT_LT(Find(t.LogLines(), "Activated tcp/udp"), 0) << port;
  }
}

// Read-only is the file's mark, so it holds for root as well, who could open and rename it.
TEST(StartupTest, AReadOnlyIniOfAnotherVersionFailsStartUpAndIsLeftAlone) {
  namespace fs = std::filesystem;
  const fs::perms readOnly = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
  TestServer old({{"Version", "ServerVersion", "v1.0.0"}, {"Passwords", "ServerPassword", "kept"}}, true, false);
  const std::string before = test::ReadFile(old.IniPath());
  fs::permissions(old.IniPath(), readOnly);
  if ((fs::status(old.IniPath()).permissions() & fs::perms::all) != readOnly)
    GTEST_SKIP() << "modes cannot be set here";
  EXPECT_FALSE(old.Start());
  EXPECT_EQ(old.Server().StartupError(), "FATAL ERROR: Unable to create config file");
  EXPECT_EQ(old.Server().StartupCause(), "EConfigError: Unable to write to " + old.IniPath().string());
  EXPECT_EQ(test::ReadFile(old.IniPath()), before);
  EXPECT_EQ(fs::status(old.IniPath()).permissions() & fs::perms::all, readOnly);

  TestServer current({}, true, false);
  fs::permissions(current.IniPath(), readOnly);
  EXPECT_TRUE(current.Start()) << current.Server().StartupError();
}

TEST(StartupTest, UnwritableConfigurationFailsStartUp) {
  TestServer t({}, /*writeIni=*/false, /*start=*/false);
  SetProcessArguments({"-ini=missing-dir/q.ini"});
  SetExeDirOverride(t.Dir().Str());
  SetLogFileName(t.LogPath().string());
  TQuillmootServer server;
  test::ServerProbe(server).shutdownPauseMs = 10;
  EXPECT_FALSE(server.Server_Init());
  EXPECT_EQ(server.StartupError(), "FATAL ERROR: Unable to create config file");
  EXPECT_LT(Find(t.LogLines(), "Done reading ini file"), 0);
  SetProcessArguments({});
  SetIniFileName("qmserver.ini");
}

TEST(StartupTest, BindingToTheConfiguredAddress) {
  TestServer t({{"Networking", "IP", "127.0.0.1"}});
  ASSERT_TRUE(t.Started()) << t.Server().StartupError();
  EXPECT_EQ(t.Probe().tcpServer->BoundPort(), t.TcpPort());
  EXPECT_EQ(t.Probe().udpServer->BoundPort(), t.UdpPort());
}

TEST(StartupTest, AnAddressThatIsNotLocalFailsCommunication) {
  // Documentation range: never a local address. The voice listener opens first.
  TestServer t({{"Networking", "IP", "192.0.2.1"}});
  EXPECT_FALSE(t.Started());
  EXPECT_EQ(t.Server().StartupError(), "FATAL ERROR: Unable to initialize communication");
  EXPECT_EQ(t.Server().StartupCause(), OpenCause("UDP 192.0.2.1:" + std::to_string(t.UdpPort()), EADDRNOTAVAIL));
}

// The list packet counts channels in one byte: 255 is a full list, not one too many.
TEST(StartupTest, An255ChannelIniStartsThemAllWithoutAWarningAnd256WarnsOnce) {
  for (int count : {255, 256}) {
    std::vector<test::IniKey> keys;
    for (int i = 0; i < count; ++i) keys.push_back({"Channels", std::to_string(i), "Room" + std::to_string(i)});
    TestServer t(keys);
    ASSERT_TRUE(t.Started()) << t.Server().StartupError();
    EXPECT_EQ(t.Server().Channels().Count(), 255u) << count;
    EXPECT_EQ(test::CountLines(t, "channels, more than the 255"), count == 256 ? 1u : 0u) << count;
  }
}

// A save cut short between its create and its rename leaves a temporary holding the passwords.
// The next start removes those of its own ini (regular files of the exact name pattern) with one
// line; a link of that pattern, a folder, other names and other inis' temporaries stay.
TEST(StartupTest, AStartRemovesTheTemporariesACutShortSaveLeftAndNothingElse) {
  namespace fs = std::filesystem;
  TestServer t({{"Passwords", "AdminPassword", "secret"}}, true, false);
  const fs::path dir = t.Dir().Path();
  const std::vector<std::string> stale{"qmserver.ini.tmp-0123456789abcdef", "qmserver.ini.tmp-fedcba9876543210"};
  for (const auto& name : stale) test::WriteFile(dir / name, "[Passwords]\r\nAdminPassword=secret\r\n");
  const std::vector<std::string> others{"qmserver.ini.tmp-0123456789ABCDEF",
                                        "qmserver.ini.tmp-0123456789abcdef.bak",
                                        "qmserver.ini.tmp-0123",
                                        "qmserver.ini.tmp-0123456789abcdeg",
                                        "other.ini.tmp-0123456789abcdef",
                                        "xqmserver.ini.tmp-0123456789abcdef",
                                        "target"};
  for (const auto& name : others) test::WriteFile(dir / name, "keep");
  const fs::path link = dir / "qmserver.ini.tmp-aaaaaaaaaaaaaaaa";
  fs::create_symlink(dir / "target", link);
  const fs::path folder = dir / "qmserver.ini.tmp-bbbbbbbbbbbbbbbb";
  fs::create_directory(folder);
  ASSERT_TRUE(t.Start()) << t.Server().StartupError();

  for (const auto& name : stale) EXPECT_FALSE(fs::exists(fs::symlink_status(dir / name))) << name;
  for (const auto& name : others) EXPECT_EQ(test::ReadFile(dir / name), "keep") << name;
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(link)));
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(folder)));
  const auto lines = t.LogLines();
  const int at = Find(lines, "Removed 2 temporary file(s) a cut-short write of " + t.IniPath().string() + " left: ");
  ASSERT_GE(at, 0);
  for (const auto& name : stale)
    EXPECT_NE(lines[static_cast<size_t>(at)].find((dir / name).string()), std::string::npos);
  EXPECT_LT(Find(lines, "could not remove"), 0);
  EXPECT_LT(Find(lines, "Removed 2 temporary"), Find(lines, "Done reading ini file"));

  // A start with nothing to remove says nothing of it.
  t.Stop();
  ASSERT_TRUE(t.Start());
  EXPECT_EQ(test::CountLines(t, "temporary file(s)"), 1u);
}

TEST(CommandLineTest, IniAndLogMarkersLastOneWinsCaseKept) {
  SetProcessArguments({"-ini=First.ini", "/START", "-INI=Second.INI", "-Log=Run.Log", "-iNi=-LOG=both.log"});
  ParseCommandLine();
  EXPECT_EQ(IniFileName(), "-LOG=both.log");
  EXPECT_EQ(LogFileName(), "both.log");
  SetProcessArguments({"-ini=-log=x.log"});
  ParseCommandLine();
  EXPECT_EQ(IniFileName(), "-log=x.log");
  EXPECT_EQ(LogFileName(), "x.log");
  SetProcessArguments({});
  SetIniFileName("qmserver.ini");
  SetLogFileName("qmserver.log");
}

}  // namespace
}  // namespace qm
