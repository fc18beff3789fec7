// qmserver.exe as a real NT service under Wine's Service Control Manager, driven from here through
// its own switches while a native client logs in over loopback. scripts/wine-test.sh prepares the
// Wine prefix and names the pieces (QM_WINE, QM_WINE_EXE, WINEPREFIX); without them the tests skip,
// unless QM_REQUIRE_WINE=1 makes that a failure.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/QmClient.hpp"
#include "control/ControlPackets.hpp"
#include "platform/Socket.hpp"
#include "service/ProcessRunner.hpp"
#include "support/LifecycleLines.hpp"
#include "support/TestServer.hpp"

namespace qm::test {
namespace {

namespace fs = std::filesystem;

constexpr int kCommandTimeoutMs = 90000;
constexpr int kStateTimeoutMs = 30000;
const char* const kExeInPrefix = "C:\\quillmoot\\qmserver.exe";

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// The lines appear in this order after the offset (other lines may fall between them).
bool InOrder(const std::string& log, const std::vector<std::string>& lines, size_t from = 0) {
  for (const std::string& line : lines) {
    const size_t at = log.find("| " + line + "\n", from);
    if (at == std::string::npos) return false;
    from = at + line.size();
  }
  return true;
}

template <class F>
bool Within(int timeoutMs, F condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

// A native TCP listener on all addresses, taking the port from the Wine-hosted server.
class PortBlocker {
 public:
  explicit PortBlocker(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd_, 1) == 0;
  }
  ~PortBlocker() { close(fd_); }
  bool Ok() const { return ok_; }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

class WineService : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* wine = std::getenv("QM_WINE");
    const char* exe = std::getenv("QM_WINE_EXE");
    const char* prefix = std::getenv("WINEPREFIX");
    if (!wine || !exe || !prefix) {
      const char* require = std::getenv("QM_REQUIRE_WINE");
      if (require && std::string(require) == "1") FAIL() << "QM_WINE, QM_WINE_EXE and WINEPREFIX must be set";
      GTEST_SKIP() << "no Wine prefix prepared (scripts/wine-test.sh runs these)";
    }
    wine_ = wine;
    prefix_ = prefix;
    const fs::path dir = prefix_ / "drive_c" / "quillmoot";
    fs::create_directories(dir);
    fs::copy_file(exe, dir / "qmserver.exe", fs::copy_options::overwrite_existing);
    port_ = FreePortPair();
    ASSERT_NE(port_, 0);
    WriteFile(dir / "qmserver.ini",
              "[Version]\r\nServerVersion=v1.2.2\r\n[Networking]\r\nTCPPort=" + std::to_string(port_) + "\r\n");
    logOffset_ = Log().size();
  }

  ProcessResult Wine(std::vector<std::string> args) {
    args.insert(args.begin(), wine_);
    return RunProcess(args, {}, kCommandTimeoutMs);
  }
  ProcessResult Server(const std::vector<std::string>& switches) {
    std::vector<std::string> args{kExeInPrefix};
    args.insert(args.end(), switches.begin(), switches.end());
    return Wine(args);
  }

  // The SCM's state name for the service ("RUNNING", "STOPPED", ...), "" when it is not registered.
  std::string State() {
    const ProcessResult r = Wine({"sc", "query", "Quillmoot"});
    const size_t at = r.output.find("STATE");
    if (r.exitCode != 0 || at == std::string::npos) return "";
    const size_t line = r.output.find('\n', at);
    std::string text = r.output.substr(at, line - at);
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text.substr(text.find_last_of(' ') + 1);
  }
  bool StateBecomes(const std::string& state) {
    return Within(kStateTimeoutMs, [&] { return State() == state; });
  }

  // The service runs with the SCM's working directory, where its log goes.
  std::string Log() {
    for (const char* dir : {"windows", "windows/system32"}) {
      const fs::path file = prefix_ / "drive_c" / dir / "qmserver.log";
      if (!fs::exists(file)) continue;
      std::string log = Slurp(file.string());
      std::erase(log, '\r');
      return log;
    }
    return "";
  }
  // The log written since the test began.
  std::string NewLog() {
    const std::string log = Log();
    return log.size() > logOffset_ ? log.substr(logOffset_) : std::string();
  }
  bool LogReaches(const std::string& banner, size_t count) {
    return Within(kStateTimeoutMs, [&] { return Count(NewLog(), banner) >= count; });
  }

  std::string wine_;
  fs::path prefix_;
  uint16_t port_ = 0;
  size_t logOffset_ = 0;
};

TEST_F(WineService, InstallServeStopStartAndUninstall) {
  ProcessResult r = Server({"/INSTALL", "/SILENT"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.output.find("Service installed successfully"), std::string::npos);
  EXPECT_EQ(State(), "RUNNING");
  ASSERT_TRUE(LogReaches("----Quillmoot server started----", 1)) << NewLog();
  EXPECT_TRUE(InOrder(NewLog(), kStartupLines)) << NewLog();

  {
    client::ControlClient c;
    c.Connect("127.0.0.1", port_, 10000);
    ASSERT_EQ(c.Login("wine", "", "1.2.2", 10000), kPktLoginAccepted);
    c.Send(ComposeSetup(0, 0));
    const auto lists = c.WaitFor({kPktListsNew}, 10000);
    ASSERT_TRUE(lists.has_value());
    ParsedLists parsed;
    ASSERT_TRUE(ParseLists(lists->data(), lists->size(), parsed));
    ASSERT_EQ(parsed.channels.size(), 1u);
    EXPECT_EQ(parsed.channels[0].name, "Default");
    ASSERT_EQ(parsed.players.size(), 1u);
    EXPECT_EQ(parsed.players[0].name, "wine");
  }

  r = Server({"/STOP"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  ASSERT_TRUE(LogReaches("----Quillmoot server shutdown----", 1)) << NewLog();
  EXPECT_TRUE(InOrder(NewLog(), kShutdownLines)) << NewLog();
  EXPECT_TRUE(StateBecomes("STOPPED"));
  r = Server({"-stop"});  // a stopped service: nothing to do
  EXPECT_EQ(r.exitCode, 0) << r.output;

  r = Server({"/START"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(State(), "RUNNING");
  EXPECT_TRUE(LogReaches("----Quillmoot server started----", 2)) << NewLog();

  r = Server({"-Start"});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.output.find("Win32 Error.  Code: 1056."), std::string::npos) << r.output;
  EXPECT_EQ(State(), "RUNNING");

  r = Server({"/UNINSTALL", "/SILENT"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.output.find("Service uninstalled successfully"), std::string::npos);
  EXPECT_TRUE(LogReaches("----Quillmoot server shutdown----", 2)) << NewLog();
  EXPECT_TRUE(StateBecomes("")) << "the service is still registered";

  r = Server({"/START"});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.output.find("Win32 Error.  Code: 1060."), std::string::npos) << r.output;
}

TEST_F(WineService, StartThatFailsLeavesTheServiceStopped) {
  {
    PortBlocker taken(port_);
    ASSERT_TRUE(taken.Ok());
    // The start inside INSTALL fails, so the registration is undone and the failure shown.
    const ProcessResult r = Server({"/INSTALL", "/SILENT"});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.output.find("Service \"Quillmoot\" failed to install with error: \"Win32 Error.  Code: 1066."),
              std::string::npos)
        << r.output;
    EXPECT_EQ(State(), "");
    EXPECT_NE(NewLog().find("FATAL ERROR: Unable to initialize communication"), std::string::npos) << NewLog();
  }

  ASSERT_EQ(Server({"/INSTALL", "/SILENT"}).exitCode, 0);
  ASSERT_EQ(Server({"/STOP"}).exitCode, 0);
  ASSERT_TRUE(StateBecomes("STOPPED"));
  {
    PortBlocker taken(port_);
    ASSERT_TRUE(taken.Ok());
    const size_t before = Log().size();
    const ProcessResult r = Server({"/START"});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.output.find("Win32 Error.  Code: 1066."), std::string::npos) << r.output;
    EXPECT_EQ(State(), "STOPPED");
    const std::string attempt = Log().substr(before);
    EXPECT_NE(attempt.find("Created UDPsender thread"), std::string::npos) << attempt;
    EXPECT_EQ(attempt.find("Activated tcp/udp"), std::string::npos) << attempt;
    EXPECT_EQ(attempt.find("----Quillmoot server started----"), std::string::npos) << attempt;
  }
  const ProcessResult r = Server({"/UNINSTALL", "/SILENT"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(StateBecomes(""));
}

TEST_F(WineService, WithoutASwitchOutsideTheScmItReportsAndEnds) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"START"}}) {
    const ProcessResult r = Server(args);
    EXPECT_NE(r.exitCode, 0) << r.output;
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(State(), "");  // the bare word started nothing
  }
}

}  // namespace
}  // namespace qm::test
