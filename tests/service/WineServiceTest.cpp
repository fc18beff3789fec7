// qmserver.exe as a real NT service under Wine's Service Control Manager, driven from here through
// its own switches, or installed by Wine's msiexec from the MSI, while native clients log in over
// loopback. scripts/wine-test.sh prepares the Wine prefix and names the pieces (QM_WINE,
// QM_WINE_EXE, WINEPREFIX, QM_WINE_MSI...); without them the tests skip, unless QM_REQUIRE_WINE=1
// makes that a failure.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/QmClient.hpp"
#include "control/ControlPackets.hpp"
#include "control/WireFormat.hpp"
#include "datagram/PacketCrc32.hpp"
#include "net/Loopback.hpp"
#include "platform/Error.hpp"
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

  // What the SCM keeps for the service, from the registry: "ImagePath    REG_EXPAND_SZ    ...".
  std::string Registration() {
    return Wine({"reg", "query", "HKLM\\System\\CurrentControlSet\\Services\\Quillmoot"}).output;
  }
  std::string Registry(const std::string& key) { return Wine({"reg", "query", key, "/s"}).output; }

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

// A Unix path as Wine's Z: drive shows it.
std::string WinePath(const std::string& path) {
  std::string out = "Z:" + path;
  for (char& c : out)
    if (c == '/') c = '\\';
  return out;
}

std::vector<uint8_t> VoiceDatagram(uint16_t key, uint32_t packetId) {
  std::vector<uint8_t> d(16 + 20, 0x5A);
  StoreU16(d.data(), 0xB0BA);
  StoreU16(d.data() + 2, key);
  StoreU16(d.data() + 4, static_cast<uint16_t>(d.size()));
  d[6] = 0;
  StoreU32(d.data() + 8, packetId);
  StoreU32(d.data() + 12, 0);
  StoreU32(d.data() + 12, PacketCrc32(d.data(), d.size()));
  return d;
}

bool LogInFully(client::ControlClient& c, uint16_t port, const std::string& name, int timeoutMs = 10000) {
  c.Connect("127.0.0.1", port, timeoutMs);
  if (c.Login(name, "", "1.2.2", timeoutMs) != kPktLoginAccepted) return false;
  c.Send(ComposeSetup(0, 0));
  return c.WaitFor({kPktListsNew}, timeoutMs).has_value();
}

// The listener's voice address becomes known to the server by its first datagram (a ping).
std::vector<uint8_t> VoicePing(uint16_t key) {
  return {0xBB, 0xAA, uint8_t(key), uint8_t(key >> 8), 12, 0, 1, 1, 0xFF, 0xEE, 0, 0};
}

// Whether one speaker's voice reaches the other client of the channel (a few tries: UDP).
bool VoiceIsRelayed(uint16_t tcpPort) {
  client::ControlClient a, b;
  if (!LogInFully(a, tcpPort, "speaker") || !LogInFully(b, tcpPort, "listener")) return false;
  client::VoiceClient aVoice, bVoice;
  bVoice.SendTo(tcpPort + 1, VoicePing(b.SessionKey()));
  for (uint32_t packetId = 1; packetId <= 5; ++packetId) {
    aVoice.SendTo(tcpPort + 1, VoiceDatagram(a.SessionKey(), packetId));
    while (auto d = bVoice.Receive(2000))
      if (d->size() >= 2 && LoadU16(d->data()) == 0xB0BA) return true;
  }
  return false;
}

std::string IniValue(const std::string& ini, const std::string& key) {
  const size_t at = ini.find("\n" + key + "=");
  if (at == std::string::npos) return "";
  const size_t from = at + key.size() + 2;
  return ini.substr(from, ini.find_first_of("\r\n", from) - from);
}

using SteadyClock = std::chrono::steady_clock;

long MsBetween(SteadyClock::time_point from, SteadyClock::time_point to) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count());
}

// Clients logged in to the service, the first speaking and the second listening; the others only
// hold their control connections. Every wait is short: the server may be gone at any moment.
class Crowd {
 public:
  static constexpr size_t kClients = 5;

  explicit Crowd(uint16_t port) : port_(port) {}

  // All of them log in afresh; false (the server not there yet) leaves them logged out.
  bool LogIn() {
    control_.clear();
    try {
      for (size_t i = 0; i < kClients; ++i) {
        control_.push_back(std::make_unique<client::ControlClient>());
        if (!LogInFully(*control_.back(), port_, "client" + std::to_string(i), 2000)) {
          control_.clear();
          return false;
        }
        if (i == 0) firstLogin_ = SteadyClock::now();
      }
    } catch (const QmError&) {
      control_.clear();
      return false;
    }
    listener_.SendTo(port_ + 1, VoicePing(control_[1]->SessionKey()));
    return true;
  }
  bool LoggedIn() const { return !control_.empty(); }
  // When the last LogIn had its first login accepted.
  SteadyClock::time_point FirstLogin() const { return firstLogin_; }
  // Whether the server has closed this client's connection (looks without waiting).
  bool Closed(size_t i) { return control_[i]->WaitClosed(0); }
  void Speak() { speaker_.SendTo(port_ + 1, VoiceDatagram(control_[0]->SessionKey(), ++packetId_)); }
  // Whether any of the speaker's voice reached the listener since the last look.
  bool Heard() {
    bool heard = false;
    while (auto d = listener_.Receive(0))
      if (d->size() >= 2 && LoadU16(d->data()) == 0xB0BA) heard = true;
    return heard;
  }

 private:
  uint16_t port_;
  std::vector<std::unique_ptr<client::ControlClient>> control_;
  client::VoiceClient speaker_, listener_;
  uint32_t packetId_ = 0;
  SteadyClock::time_point firstLogin_{};
};

// One time the clients lost the server, in milliseconds from the start of the upgrade.
struct Outage {
  long firstDrop = -1, lastDrop = -1, back = -1;
  size_t dropped = 0;
};

// What the clients saw of an upgrade: each outage, how long the installer ran, and the voice gap
// (from the last voice relayed before the first drop to the first after the last return).
struct UpgradeSeen {
  std::vector<Outage> outages;
  long installerMs = -1, voiceGapMs = -1, lastVoiceMs = -1, voiceAgainMs = -1;
  ProcessResult installer;
};

// Runs the installer while the crowd watches: each connection's close, the first login accepted
// again, voice every 20 ms. An outage begins at the first close and counts as complete when every
// client is dropped (or 15 s later); from then on logins are tried until one is accepted. Ends
// once the installer has finished and the clients have been back, with voice relayed, for 3 s
// (or have not been dropped at all 10 s after it).
template <class Install>
UpgradeSeen WatchUpgrade(Crowd& crowd, Install install) {
  UpgradeSeen seen;
  std::atomic<bool> installed{false};
  SteadyClock::time_point installedAt{};
  const auto start = SteadyClock::now();
  std::thread installer([&] {
    seen.installer = install();
    installedAt = SteadyClock::now();
    installed = true;
  });
  std::vector<bool> dropped(Crowd::kClients, false);
  // The zero time point: not yet.
  const SteadyClock::time_point never{};
  SteadyClock::time_point lastHeard = never, heardAgain = never, lastBack = never;
  const auto deadline = start + std::chrono::seconds(180);
  while (SteadyClock::now() < deadline) {
    const auto now = SteadyClock::now();
    if (crowd.LoggedIn()) {
      for (size_t i = 0; i < Crowd::kClients; ++i) {
        if (dropped[i] || !crowd.Closed(i)) continue;
        dropped[i] = true;
        if (seen.outages.empty() || seen.outages.back().back >= 0) seen.outages.push_back({MsBetween(start, now)});
        seen.outages.back().lastDrop = MsBetween(start, now);
        ++seen.outages.back().dropped;
      }
      const bool down = !seen.outages.empty() && seen.outages.back().back < 0 &&
                        (seen.outages.back().dropped == Crowd::kClients ||
                         MsBetween(start, now) - seen.outages.back().firstDrop > 15000);
      if (!down) {
        crowd.Speak();
        if (crowd.Heard()) {
          if (seen.outages.empty()) lastHeard = now;
          if (lastBack != never && heardAgain == never) heardAgain = now;
        }
        if (installed && lastBack != never && heardAgain != never &&
            MsBetween(std::max(installedAt, lastBack), now) > 3000)
          break;
        // An installer that keeps the clients: no need to watch to the deadline.
        if (installed && seen.outages.empty() && MsBetween(installedAt, now) > 10000) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
    }
    if (crowd.LogIn()) {
      lastBack = crowd.FirstLogin();
      seen.outages.back().back = MsBetween(start, lastBack);
      dropped.assign(Crowd::kClients, false);
      heardAgain = never;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  installer.join();
  seen.installerMs = MsBetween(start, installedAt);
  if (lastHeard != never) seen.lastVoiceMs = MsBetween(start, lastHeard);
  if (heardAgain != never) seen.voiceAgainMs = MsBetween(start, heardAgain);
  if (lastHeard != never && heardAgain != never) seen.voiceGapMs = MsBetween(lastHeard, heardAgain);
  return seen;
}

void Report(const char* what, const UpgradeSeen& seen) {
  std::printf("%s: installer ran %ld ms; %zu outage(s)\n", what, seen.installerMs, seen.outages.size());
  for (size_t i = 0; i < seen.outages.size(); ++i) {
    const Outage& o = seen.outages[i];
    std::printf(
        "%s: outage %zu: %zu/%zu clients dropped at %ld..%ld ms, login accepted again at %ld ms "
        "(%ld ms after the first drop)\n",
        what, i + 1, o.dropped, Crowd::kClients, o.firstDrop, o.lastDrop, o.back,
        o.back < 0 ? -1 : o.back - o.firstDrop);
  }
  std::printf("%s: voice last relayed at %ld ms, again at %ld ms: a gap of %ld ms\n", what, seen.lastVoiceMs,
              seen.voiceAgainMs, seen.voiceGapMs);
  std::fflush(stdout);
}

// A plain TCP or UDP socket of the peer, closed with the object.
class PeerSocket {
 public:
  // Not inherited by Wine, started meanwhile: a copy there would keep the connection open.
  explicit PeerSocket(int type) : fd_(socket(AF_INET, type | SOCK_CLOEXEC, 0)), type_(type) {}
  ~PeerSocket() { Close(); }
  PeerSocket(const PeerSocket&) = delete;
  PeerSocket& operator=(const PeerSocket&) = delete;

  bool Connect(uint16_t port) {
    const sockaddr_in a = Loopback(port);
    return connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  }
  bool Send(const std::string& bytes) {
    return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
  }
  bool SendTo(uint16_t port, const std::string& bytes) {
    const sockaddr_in a = Loopback(port);
    return sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof a) ==
           ssize_t(bytes.size());
  }
  // A line (without its end) or a datagram; "" on close, reset or time-out.
  std::string Read(int timeoutMs) {
    std::string text;
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      const int left = static_cast<int>(std::max<long>(0, MsBetween(SteadyClock::now(), deadline)));
      if (poll(&p, 1, left) != 1) return "";
      char buf[256];
      const ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return "";
      text.append(buf, static_cast<size_t>(n));
      if (type_ == SOCK_DGRAM) return text;
      const size_t end = text.find('\n');
      if (end != std::string::npos) return text.substr(0, end);
    }
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  int type_;
};

// Whether Wine lets a connection, a bound UDP socket and a listener pass to another process with
// WSADuplicateSocketW and keep working there: what a service that keeps its clients across an
// upgrade would rest on. The peer here talks to tests/service/wine/SocketPassProbe.cpp.
TEST_F(WineService, SocketsPassToAnotherProcess) {
  const char* probe = std::getenv("QM_WINE_SOCKET_PROBE");
  if (!probe) GTEST_SKIP() << "no socket probe built (scripts/wine-test.sh builds it)";
  // The first process closes its copies, then (-end) ends without closing them.
  for (const bool end : {false, true}) {
    SCOPED_TRACE(end ? "the first ends" : "the first closes its copies");
    const uint16_t port = FreePortPair();
    ASSERT_NE(port, 0);
    ProcessResult result;
    std::thread first([&] {
      std::vector<std::string> args{probe, std::to_string(port)};
      if (end) args.emplace_back("-end");
      result = Wine(args);
    });
    struct Joiner {
      std::thread& thread;
      ~Joiner() {
        if (thread.joinable()) thread.join();
      }
    } joiner{first};
    // Closed before the join on any early return: the probe then gives up at once.
    PeerSocket conn(SOCK_STREAM), udp(SOCK_DGRAM);
    EXPECT_TRUE(Within(kStateTimeoutMs, [&] { return conn.Connect(port); }));
    ASSERT_TRUE(conn.Send("A"));
    const std::string firstWho = conn.Read(kStateTimeoutMs);
    EXPECT_EQ(firstWho.rfind("first:", 0), 0u) << firstWho;
    ASSERT_TRUE(udp.SendTo(port + 1, "a"));
    EXPECT_EQ(udp.Read(kStateTimeoutMs), firstWho);

    // Sent before the handover and read only after it, by the second process.
    const auto handover = SteadyClock::now();
    ASSERT_TRUE(conn.Send("HB"));
    ASSERT_TRUE(udp.SendTo(port + 1, "b"));
    const std::string secondWho = conn.Read(kCommandTimeoutMs);
    const long pauseMs = MsBetween(handover, SteadyClock::now());
    EXPECT_EQ(secondWho.rfind("second:", 0), 0u) << "the connection did not reach the second process: " << secondWho;
    EXPECT_EQ(udp.Read(kStateTimeoutMs), secondWho) << "the UDP socket did not reach the second process";
    PeerSocket fresh(SOCK_STREAM);
    EXPECT_TRUE(fresh.Connect(port));
    EXPECT_EQ(fresh.Read(kStateTimeoutMs), secondWho) << "the listener did not reach the second process";
    fresh.Close();
    std::printf("wine-socket-pass (%s): %s handed to %s; first answer of the second %ld ms after the handover began\n",
                end ? "the first ends" : "the first closes its copies", firstWho.c_str(), secondWho.c_str(), pauseMs);
    RecordProperty(end ? "socket_pass_end_pause_ms" : "socket_pass_close_pause_ms", std::to_string(pauseMs));
    // The second ends when the peer closes the connections.
    conn.Close();
    first.join();
    std::printf("%s", result.output.c_str());
    std::fflush(stdout);
    EXPECT_EQ(result.exitCode, 0) << result.output;
    // Without -end the first reports how the second saw the peer's close, with -end it is gone.
    EXPECT_NE(result.output.find(end ? "ends without closing" : "passed connection orderly"), std::string::npos)
        << result.output;
  }
}

// The MSI as an administrator's deployment tool runs it. Wine's msiexec does the installer's part
// for real (files, service registration and start, the first-ini action as the system account,
// the PATH entry, the installed-programs entry, upgrade and removal); what Wine cannot show is
// checked elsewhere or not at all: the ini's access list (Wine keeps no Windows ACLs on its files),
// the event log (Wine keeps none), and PATH in a new prompt (read here from the registry).
TEST_F(WineService, MsiInstallsServesUpgradesAndRemoves) {
  const char* msi = std::getenv("QM_WINE_MSI");
  const char* upgrade = std::getenv("QM_WINE_MSI_UPGRADE");
  const char* version = std::getenv("QM_WINE_MSI_VERSION");
  if (!msi || !upgrade || !version) GTEST_SKIP() << "no MSI built (scripts/wine-test.sh builds them)";
  const fs::path programs = prefix_ / "drive_c" / "Program Files" / "Quillmoot Server";
  const fs::path data = prefix_ / "drive_c" / "ProgramData" / "Quillmoot";
  const std::string systemLog = Log();
  const std::string uninstallKey = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

  // A quiet install, with a free port for this machine's sake (the default is 8765).
  ProcessResult r = Wine({"msiexec", "/i", WinePath(msi), "/qn", "TCPPORT=" + std::to_string(port_)});
  // A failed start (the port taken meanwhile, say) is told in the service's log.
  ASSERT_EQ(r.exitCode, 0) << r.output << Slurp((data / "qmserver.log").string());
  EXPECT_EQ(State(), "RUNNING");
  for (const char* file : {"qmserver.exe", "qmctl.exe", "README-Windows.txt"})
    EXPECT_TRUE(fs::exists(programs / file)) << file;
  const std::string reg = Registration();
  // Wine's installer registers the program's path without quotes; accept it quoted too.
  EXPECT_NE(reg.find("C:\\Program Files\\Quillmoot Server\\qmserver.exe"), std::string::npos) << reg;
  const std::string args =
      " \"-INI=C:\\ProgramData\\Quillmoot\\qmserver.ini\" \"-LOG=C:\\ProgramData\\Quillmoot\\qmserver.log\"";
  EXPECT_TRUE(reg.find("qmserver.exe\"" + args) != std::string::npos ||
              reg.find("qmserver.exe" + args) != std::string::npos)
      << reg;
  for (const char* value :
       {"DisplayName    REG_SZ    Quillmoot", "Start    REG_DWORD    0x2", "Type    REG_DWORD    0x10",
        "ErrorControl    REG_DWORD    0x1", "ObjectName    REG_SZ    LocalSystem"})
    EXPECT_NE(reg.find(value), std::string::npos) << value << "\n" << reg;
  const std::string env = Registry("HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\Environment");
  EXPECT_NE(env.find(";C:\\Program Files\\Quillmoot Server\\"), std::string::npos) << env;
  std::string programsEntry = Registry(uninstallKey);
  EXPECT_NE(programsEntry.find("Publisher    REG_SZ    Quillmoot"), std::string::npos) << programsEntry;
  EXPECT_NE(programsEntry.find("DisplayVersion    REG_SZ    " + std::string(version)), std::string::npos);

  // The first configuration: complete, with a password of its own and the port asked for.
  const std::string ini = Slurp((data / "qmserver.ini").string());
  const std::string password = IniValue(ini, "AdminPassword");
  EXPECT_EQ(password.size(), 20u) << ini;
  EXPECT_NE(password, "oxlit");
  EXPECT_EQ(IniValue(ini, "TCPPort"), std::to_string(port_));
  EXPECT_EQ(IniValue(ini, "ServerVersion"), "v1.2.2");
  EXPECT_NE(ini.find("[Networking]"), std::string::npos);
  const auto dataLog = [&] { return Slurp((data / "qmserver.log").string()); };
  EXPECT_TRUE(Within(kStateTimeoutMs, [&] { return Count(dataLog(), "----Quillmoot server started----") == 1; }))
      << dataLog();
  EXPECT_NE(dataLog().find("Wrote the configuration C:\\ProgramData\\Quillmoot\\qmserver.ini with a random"),
            std::string::npos);
  EXPECT_EQ(dataLog().find("Warning: AdminPassword"), std::string::npos);
  EXPECT_EQ(Log(), systemLog) << "the installed service wrote to the system folder's log";
  EXPECT_TRUE(VoiceIsRelayed(port_)) << "no voice relayed through the installed service";

  // A newer version replaces the binaries and keeps the ini (the first-ini action finds it) and log.
  // The installer stops the service to replace its program: every client is dropped and can log in
  // again once the new one runs. The times are printed, not judged (a shared machine).
  Crowd crowd(port_);
  ASSERT_TRUE(crowd.LogIn());
  ASSERT_TRUE(Within(10000, [&] {
    crowd.Speak();
    return crowd.Heard();
  })) << "no voice relayed before the upgrade";
  const UpgradeSeen seen = WatchUpgrade(crowd, [&] { return Wine({"msiexec", "/i", WinePath(upgrade), "/qn"}); });
  Report("wine-msi-upgrade", seen);
  r = seen.installer;
  ASSERT_EQ(r.exitCode, 0) << r.output << Slurp((data / "qmserver.log").string());
  ASSERT_FALSE(seen.outages.empty()) << "the upgrade kept every client";
  EXPECT_EQ(seen.outages.front().dropped, Crowd::kClients);
  for (const Outage& o : seen.outages) EXPECT_GE(o.back, 0) << "no login accepted after the drop";
  EXPECT_GE(seen.voiceGapMs, 0) << "voice was not relayed again after the upgrade";
  RecordProperty("msi_upgrade_installer_ms", std::to_string(seen.installerMs));
  RecordProperty("msi_upgrade_outages", std::to_string(seen.outages.size()));
  RecordProperty("msi_upgrade_back_after_first_drop_ms",
                 std::to_string(seen.outages.back().back - seen.outages.front().firstDrop));
  RecordProperty("msi_upgrade_voice_gap_ms", std::to_string(seen.voiceGapMs));
  EXPECT_TRUE(StateBecomes("RUNNING"));
  // Replaced now, not at the next reboot (a program still running is in use and cannot be).
  const char* upgradeExe = std::getenv("QM_WINE_MSI_UPGRADE_EXE");
  if (upgradeExe) {
    EXPECT_TRUE(Slurp((programs / "qmserver.exe").string()) == Slurp(upgradeExe))
        << "the upgrade left the old program in place";
  }
  EXPECT_EQ(Slurp((data / "qmserver.ini").string()), ini);
  EXPECT_NE(dataLog().find("Kept the existing configuration C:\\ProgramData\\Quillmoot\\qmserver.ini"),
            std::string::npos);
  EXPECT_TRUE(Within(kStateTimeoutMs, [&] { return Count(dataLog(), "----Quillmoot server started----") == 2; }))
      << dataLog();
  programsEntry = Registry(uninstallKey);
  EXPECT_EQ(Count(programsEntry, "DisplayName    REG_SZ    Quillmoot Server"), 1u) << programsEntry;
  EXPECT_EQ(programsEntry.find("DisplayVersion    REG_SZ    " + std::string(version) + "\n"), std::string::npos);
  EXPECT_TRUE(VoiceIsRelayed(port_)) << "no voice relayed after the upgrade";

  // Removal: the service stops (its orderly shutdown) and goes, and so do the binaries and the
  // PATH entry; the operator's ini and log stay.
  r = Wine({"msiexec", "/x", WinePath(upgrade), "/qn"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(StateBecomes("")) << "the service is still registered";
  for (const char* file : {"qmserver.exe", "qmctl.exe", "README-Windows.txt"})
    EXPECT_FALSE(fs::exists(programs / file)) << file;
  EXPECT_EQ(Slurp((data / "qmserver.ini").string()), ini);
  EXPECT_NE(dataLog().find("----Quillmoot server shutdown----"), std::string::npos) << dataLog();
  const std::string envAfter = Registry("HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\Environment");
  EXPECT_EQ(envAfter.find("Quillmoot Server"), std::string::npos) << envAfter;
  EXPECT_EQ(Registry(uninstallKey).find("Quillmoot"), std::string::npos);
}

}  // namespace
}  // namespace qm::test
