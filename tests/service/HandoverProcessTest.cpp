// The handover (SIGUSR2) through the real qmserver process: clients logged in, four of them
// speaking, stay connected with their keys across it, are heard afterwards, and the counters go
// on, as do the operator's mutes and drain and the password guards' blocks; a new executable that
// cannot take over leaves the old one serving with one line naming why.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include <gtest/gtest.h>

#include "control/ControlPackets.hpp"
#include "datagram/Datagrams.hpp"
#include "platform/Platform.hpp"
#include "service/ProcessRunner.hpp"
#include "support/TestServer.hpp"
#include "support/Waits.hpp"

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::ChildProcess;
using test::Slurp;

constexpr int kRunTimeoutMs = 20000;
constexpr size_t kClients = 20;
constexpr size_t kSpeakers = 4;  // the first clients
const char* const kAdminPassword = "boss";

// qmserver is built beside the test programs' folder.
fs::path ServerBinary() {
  fs::path dir = fs::path(platform::ExecutablePath()).parent_path();
  for (int up = 0; up < 4; ++up, dir = dir.parent_path())
    if (fs::is_regular_file(dir / "qmserver")) return dir / "qmserver";
  return {};
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Replaces the executable the way a package upgrade does: a new file renamed over the path, so
// the running image (the old file) is untouched.
void Install(const fs::path& from, const fs::path& to, fs::perms perms) {
  const fs::path temporary = to.string() + ".new";
  fs::copy_file(from, temporary, fs::copy_options::overwrite_existing);
  fs::permissions(temporary, perms);
  fs::rename(temporary, to);
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

struct Peer {
  client::ControlClient control;
  client::VoiceClient voice;
  uint16_t key = 0;
  uint32_t nextPacketId = 1;
};

class HandoverProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path built = ServerBinary();
    ASSERT_FALSE(built.empty()) << "qmserver was not built";
    bin_ = dir_.Path() / "bin";
    fs::create_directories(bin_);
    fs::copy_file(built, bin_ / "qmserver");
    port_ = test::FreePortPair();
    ASSERT_NE(port_, 0);
    WriteFile(bin_ / "qmserver.ini",
              "[Version]\r\nServerVersion=v1.2.2\r\n[Passwords]\r\nAdminPassword=" + std::string(kAdminPassword) +
                  "\r\n[Networking]\r\nTCPPort=" + std::to_string(port_) +
                  "\r\n[General]\r\nMaxClients=32\r\n[Ping]\r\nIdleTimeBeforePing=600000\r\n"
                  "[Limits]\r\nMaxClientsPerAddress=0\r\nLoginsPerAddressPerSecond=0\r\n");
  }

  std::string Log() const { return Slurp((bin_ / "qmserver.log").string()); }

  // Waits until the log holds the line n times.
  bool LogHas(const std::string& line, size_t n = 1) {
    return test::Eventually([&] { return Count(Log(), line) >= n; }, kRunTimeoutMs);
  }

  void Login(Peer& p, const std::string& name) {
    p.control.Connect("127.0.0.1", port_);
    ASSERT_EQ(p.control.Login(name, "", "1.2.2"), kPktLoginAccepted) << Log();
    p.key = p.control.SessionKey();
    const PingDatagram ping = ComposePing(p.key, kPingRequest, 1);
    p.voice.SendTo(static_cast<uint16_t>(port_ + 1), ping.data(), ping.size());
    ASSERT_TRUE(Next(p, kPingMagic)) << name << " got no pong";
  }

  static std::optional<std::vector<uint8_t>> Next(Peer& p, uint16_t magic, int timeoutMs = 5000) {
    for (int i = 0; i < 64; ++i) {
      auto d = p.voice.Receive(timeoutMs);
      if (!d) return std::nullopt;
      DatagramHead h;
      if (ParseDatagramHead(d->data(), d->size(), h) && h.magic == magic) return d;
    }
    return std::nullopt;
  }

  void Speak(Peer& p, uint8_t tag) {
    const uint8_t body[] = {tag};
    p.voice.SendTo(static_cast<uint16_t>(port_ + 1),
                   ComposeVoice(p.key, kVoiceChannel, 0x5A, p.nextPacketId++, body, sizeof body));
  }

  void SpeakAll(std::vector<std::unique_ptr<Peer>>& peers, uint8_t tag) {
    for (size_t i = 0; i < kSpeakers; ++i) Speak(*peers[i], tag);
  }

  // Every listener hears every speaker's tag once (its own voice is not sent back to a speaker).
  void ExpectHeard(std::vector<std::unique_ptr<Peer>>& peers, uint8_t tag) {
    for (size_t i = 0; i < peers.size(); ++i) {
      size_t heard = 0;
      while (heard < (i < kSpeakers ? kSpeakers - 1 : kSpeakers)) {
        auto d = Next(*peers[i], kVoiceMagic);
        ASSERT_TRUE(d) << "client " << i << " did not hear tag " << int(tag);
        if (d->back() == tag) ++heard;
      }
    }
  }

  ServerStats Stats(Peer& p) {
    p.control.Send(ComposeCommand(kCmdServerStatsReq));
    auto reply = p.control.WaitFor({kPktServerStats}, kRunTimeoutMs);
    ServerStats s;
    EXPECT_TRUE(reply && ParseServerStats(reply->data(), reply->size(), s));
    if (reply) {
      EXPECT_EQ(ParseHeader(reply->data(), reply->size()).sessionKey, p.key);
    }
    return s;
  }

  // An administrator login's answer: the reply code, or 0 when none came.
  static int16_t AdminLogin(Peer& p, const std::string& password) {
    p.control.Send(ComposeStringCommand(kCmdAdminLogin, password));
    auto reply = p.control.WaitFor({kReplyAdminLoginOk, kReplyWrongAdminPassword}, kRunTimeoutMs);
    return reply ? ParseHeader(reply->data(), reply->size()).command : int16_t{0};
  }

  // One request to the operator's socket (a 4-byte little-endian length, then JSON); the answer's
  // text, empty when none came.
  std::string Operator(const std::string& json) const {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", OperatorSocket().c_str());
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      const uint32_t n = static_cast<uint32_t>(json.size());
      const std::string frame =
          std::string{char(n & 0xFF), char(n >> 8 & 0xFF), char(n >> 16 & 0xFF), char(n >> 24)} + json;
      ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
      char buffer[4096];
      for (ssize_t got;
           answer.size() < 4 || answer.size() < 4 + uint32_t(uint8_t(answer[0]) | uint8_t(answer[1]) << 8);) {
        if ((got = ::recv(fd, buffer, sizeof buffer, 0)) <= 0) break;
        answer.append(buffer, static_cast<size_t>(got));
      }
    }
    ::close(fd);
    return answer.size() > 4 ? answer.substr(4) : std::string();
  }
  std::string OperatorSocket() const { return (dir_.Path() / "op.sock").string(); }

  test::TempDir dir_;
  fs::path bin_;
  uint16_t port_ = 0;
};

// The players of an operator's "who" answer with what must not change across a handover (their
// times do).
std::vector<std::string> Players(const std::string& who) {
  std::vector<std::string> players;
  const nlohmann::json answer = nlohmann::json::parse(who, nullptr, false);
  if (answer.is_discarded() || !answer.contains("players")) return players;
  for (const nlohmann::json& p : answer["players"])
    players.push_back(p["id"].dump() + " " + p["name"].dump() + " " + p["channel"].dump() + " " + p["admin"].dump() +
                      " " + p["muted"].dump() + " " + p["version"].dump() + " " + p["address"].dump());
  return players;
}

// The value of one unlabelled figure in a scrape of the metrics port the log names last; -1 when
// there is none.
double ScrapedFigure(const std::string& log, const std::string& name) {
  const size_t at = log.rfind("Metrics on 127.0.0.1:");
  if (at == std::string::npos) return -1;
  const int port = std::atoi(log.c_str() + at + 21);
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  timeval limit{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string text;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    const std::string request = "GET /metrics HTTP/1.0\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  const size_t line = text.find("\n" + name + " ");
  return line == std::string::npos ? -1 : std::atof(text.c_str() + line + name.size() + 2);
}

TEST_F(HandoverProcess, ClientsStayThroughAHandoverAndAFailedOneLeavesItServing) {
  ChildProcess server(
      {(bin_ / "qmserver").string(), "-console", "-METRICS=127.0.0.1:0", "-CONTROL=" + OperatorSocket()},
      {{"NOTIFY_SOCKET", "", true}}, bin_.string());
  ASSERT_TRUE(LogHas("----Quillmoot server started----")) << server.Output();

  std::vector<std::unique_ptr<Peer>> peers;
  for (size_t i = 0; i < kClients; ++i) {
    peers.push_back(std::make_unique<Peer>());
    ASSERT_NO_FATAL_FAILURE(Login(*peers.back(), "client" + std::to_string(i)));
  }
  SpeakAll(peers, 1);
  ASSERT_NO_FATAL_FAILURE(ExpectHeard(peers, 1));
  const ServerStats before = Stats(*peers[2]);

  // A new executable that fails, then one that cannot be run: the old one goes on serving.
  const fs::path broken = dir_.Path() / "broken";
  WriteFile(broken, "#!/bin/sh\nexit 1\n");
  Install(broken, bin_ / "qmserver", fs::perms::owner_all);
  server.Signal(SIGUSR2);
  ASSERT_TRUE(LogHas("Handover failed, still serving with this executable: ")) << server.Output();
  EXPECT_NE(Log().find("refused the handover (status 1)"), std::string::npos) << Log();
  Install(broken, bin_ / "qmserver", fs::perms::owner_read | fs::perms::owner_write);
  server.Signal(SIGUSR2);
  ASSERT_TRUE(LogHas("Handover failed, still serving with this executable: ", 2)) << server.Output();
  EXPECT_NE(Log().find("Permission denied"), std::string::npos) << Log();
  // The right executable with an ini it cannot read.
  Install(ServerBinary(), bin_ / "qmserver", fs::perms::owner_all);
  fs::rename(bin_ / "qmserver.ini", dir_.Path() / "qmserver.ini");
  fs::create_directory(bin_ / "qmserver.ini");
  server.Signal(SIGUSR2);
  ASSERT_TRUE(LogHas("Handover failed, still serving with this executable: ", 3)) << server.Output();
  EXPECT_NE(Log().find("refused the handover (status 1): "), std::string::npos) << Log();
  fs::remove(bin_ / "qmserver.ini");
  fs::rename(dir_.Path() / "qmserver.ini", bin_ / "qmserver.ini");
  EXPECT_EQ(Count(Log(), "Handover failed"), 3u);
  EXPECT_EQ(Count(Log(), "Handover begins"), 3u);
  EXPECT_EQ(ScrapedFigure(Log(), "quillmoot_handover_failures_total"), 3);
  EXPECT_EQ(ScrapedFigure(Log(), "quillmoot_handovers_total"), 0);
  SpeakAll(peers, 2);
  ASSERT_NO_FATAL_FAILURE(ExpectHeard(peers, 2));

  // A new executable that passes its check and then fails to take over (here: the same build
  // given an ini it cannot read): the earlier image takes the state back, in the same process.
  fs::create_directories(dir_.Path() / "real");
  fs::copy_file(ServerBinary(), dir_.Path() / "real" / "qmserver");
  fs::create_directory(dir_.Path() / "unreadable.ini");
  WriteFile(broken, "#!/bin/sh\ncase \"$1\" in -HANDOVERCHECK) exit 0;; esac\nexec \"" +
                        (dir_.Path() / "real" / "qmserver").string() +
                        "\" \"$@\" -INI=" + (dir_.Path() / "unreadable.ini").string() + "\n");
  Install(broken, bin_ / "qmserver", fs::perms::owner_all);
  server.Signal(SIGUSR2);
  ASSERT_TRUE(LogHas("Handover ended: 20 clients")) << Log() << server.Output();
  EXPECT_NE(Log().find("Handover failed in the new executable, the earlier one takes over again: FATAL ERROR: "),
            std::string::npos)
      << Log();
  SpeakAll(peers, 3);
  ASSERT_NO_FATAL_FAILURE(ExpectHeard(peers, 3));
  // The earlier image, back again, counts the attempt as a failure, after the three before.
  EXPECT_EQ(ScrapedFigure(Log(), "quillmoot_handover_failures_total"), 4);
  EXPECT_EQ(ScrapedFigure(Log(), "quillmoot_handovers_total"), 0);

  // What the operator and the guards decided: a player muted, the server draining, an address
  // blocked from the administrator's password after ten wrong ones.
  const std::string muted = Operator("{\"command\":\"mute\",\"player\":" + std::to_string(kClients) + "}");
  ASSERT_NE(muted.find("\"muted\":true"), std::string::npos) << muted;
  ASSERT_NE(Operator("{\"command\":\"drain\"}").find("\"draining\":true"), std::string::npos);
  for (int i = 0; i < 10; ++i) ASSERT_EQ(AdminLogin(*peers[5], "wrong"), kReplyWrongAdminPassword);
  ASSERT_EQ(AdminLogin(*peers[5], kAdminPassword), kReplyWrongAdminPassword);
  const std::vector<std::string> listed = Players(Operator("{\"command\":\"who\"}"));
  ASSERT_EQ(listed.size(), kClients);

  // The real one: the same build. A connection not yet logged in passes too, and is answered after.
  Install(ServerBinary(), bin_ / "qmserver", fs::perms::owner_all);
  Peer late;
  late.control.Connect("127.0.0.1", port_);
  server.Signal(SIGUSR2);
  // Sent while the handover runs (or before it): answered by whichever image reads it.
  peers[3]->control.Send(ComposeCommand(kCmdServerStatsReq));
  ASSERT_TRUE(LogHas("Handover ended: 20 clients", 2)) << Log() << server.Output();
  EXPECT_FALSE(server.Exited());
  auto during = peers[3]->control.WaitFor({kPktServerStats}, kRunTimeoutMs);
  EXPECT_TRUE(during);

  // The same process: both lines name it.
  const std::string log = Log();
  const size_t begins = log.rfind("Handover begins: ");
  const size_t ended = log.rfind("Handover ended: ");
  ASSERT_NE(begins, std::string::npos);
  const auto process = [&](size_t at) {
    const size_t p = log.find("process ", at);
    return log.substr(p, log.find_first_not_of("0123456789", p + 8) - p);
  };
  EXPECT_EQ(process(begins), process(ended));
  const size_t pause = log.find(", pause ", ended);
  EXPECT_NE(pause, std::string::npos);
  // The lines and figures for the record (the pause is not asserted: the machine is shared).
  for (size_t at = log.find("Handover "); at != std::string::npos; at = log.find("Handover ", at + 1))
    std::printf("%s\n", log.substr(at, log.find('\n', at) - at).c_str());
  EXPECT_EQ(ScrapedFigure(log, "quillmoot_handovers_total"), 1);
  EXPECT_EQ(ScrapedFigure(log, "quillmoot_handover_failures_total"), 4);
  EXPECT_GE(ScrapedFigure(log, "quillmoot_handover_last_pause_seconds"), 0);

  // Every connection open, every key the same, the speakers heard, the counters going on.
  SpeakAll(peers, 4);
  ASSERT_NO_FATAL_FAILURE(ExpectHeard(peers, 4));
  // The mute, the drain and the block outlived it.
  const std::string who = Operator("{\"command\":\"who\"}");
  EXPECT_EQ(Count(who, "\"muted\":true"), 1u) << who;
  EXPECT_EQ(Players(who), listed);  // ids, names, channels, flags and addresses as before
  EXPECT_EQ(AdminLogin(*peers[5], kAdminPassword), kReplyWrongAdminPassword);
  EXPECT_EQ(late.control.Login("late", "", "1.2.2"), kReplyServerFull);
  EXPECT_NE(Operator("{\"command\":\"drain\",\"cancel\":true}").find("\"draining\":false"), std::string::npos);
  Peer later;
  later.control.Connect("127.0.0.1", port_);
  ASSERT_EQ(later.control.Login("late", "", "1.2.2"), kPktLoginAccepted);
  const ServerStats after = Stats(*peers[2]);
  for (size_t i = 0; i < 8; ++i) EXPECT_GE(after.counters[i], before.counters[i]) << "counter " << i;
  EXPECT_GT(after.counters[2], before.counters[2]);  // UDP packets received
  EXPECT_GE(after.uptimeMs, before.uptimeMs);
  for (auto& p : peers) {
    ServerStats s = Stats(*p);  // checks the key in the reply's header
    EXPECT_TRUE(p->control.IsOpen());
  }

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(kRunTimeoutMs), 0) << server.Output();
}

// Not a test (run it by name): the pause at full size. Clients log in (QM_HANDOVER_CLIENTS, 255),
// speakers stream at 50 datagrams a second (QM_HANDOVER_SPEAKERS, 32), eight listeners are
// watched; prints the longest gap a watched listener heard across the handover and the pause the
// server reports. Only the speakers and the watched listeners tell the server a UDP address.
TEST_F(HandoverProcess, DISABLED_PauseUnderLoad) {
  const auto number = [](const char* name, int def) {
    const char* v = std::getenv(name);
    return v ? std::atoi(v) : def;
  };
  const int clients = std::min(number("QM_HANDOVER_CLIENTS", 255), 255);
  const int speakers = std::min(number("QM_HANDOVER_SPEAKERS", 32), clients - 8);
  WriteFile(bin_ / "qmserver.ini",
            "[Version]\r\nServerVersion=v1.2.2\r\n[General]\r\nMaxClients=255\r\n"
            "[Networking]\r\nTCPPort=" +
                std::to_string(port_) +
                "\r\n[Ping]\r\nIdleTimeBeforePing=600000\r\n[Limits]\r\nMaxClientsPerAddress=0\r\n"
                "LoginsPerAddressPerSecond=0\r\nVoiceSpeakersPerAddress=0\r\n");
  ChildProcess server({(bin_ / "qmserver").string(), "-console"}, {{"NOTIFY_SOCKET", "", true}}, bin_.string());
  ASSERT_TRUE(LogHas("----Quillmoot server started----")) << server.Output();
  std::vector<std::unique_ptr<Peer>> peers;
  for (int i = 0; i < clients; ++i) {
    auto p = std::make_unique<Peer>();
    p->control.Connect("127.0.0.1", port_);
    ASSERT_EQ(p->control.Login("c" + std::to_string(i), "", "1.2.2"), kPktLoginAccepted) << i;
    p->key = p->control.SessionKey();
    if (i < speakers + 8) {
      const PingDatagram ping = ComposePing(p->key, kPingRequest, 1);
      p->voice.SendTo(static_cast<uint16_t>(port_ + 1), ping.data(), ping.size());
      ASSERT_TRUE(Next(*p, kPingMagic)) << i;
    }
    peers.push_back(std::move(p));
  }
  std::atomic<bool> stop{false};
  std::thread talk([&] {
    auto next = std::chrono::steady_clock::now();
    while (!stop) {
      for (int i = 0; i < speakers; ++i) Speak(*peers[static_cast<size_t>(8 + i)], 7);
      next += std::chrono::milliseconds(20);
      std::this_thread::sleep_until(next);
    }
  });
  std::vector<std::chrono::steady_clock::duration> longest(8);
  std::vector<size_t> heard(8);
  std::vector<std::chrono::steady_clock::time_point> gapEnd(8);
  std::thread listen([&] {
    std::vector<std::chrono::steady_clock::time_point> last(8);
    while (!stop) {
      for (size_t i = 0; i < 8; ++i) {
        while (auto d = peers[i]->voice.Receive(0)) {
          const auto now = std::chrono::steady_clock::now();
          if (heard[i]++ > 0 && now - last[i] > longest[i]) {
            longest[i] = now - last[i];
            gapEnd[i] = now;
          }
          last[i] = now;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const auto signalled = std::chrono::steady_clock::now();
  server.Signal(SIGUSR2);
  const bool ended = LogHas("Handover ended: ");
  std::this_thread::sleep_for(std::chrono::seconds(2));
  stop = true;
  talk.join();
  listen.join();
  ASSERT_TRUE(ended) << Log();
  const std::string log = Log();
  const size_t at = log.find("Handover ended: ");
  std::printf("%s\n", log.substr(at, log.find('\n', at) - at).c_str());
  for (size_t i = 0; i < 8; ++i)
    std::printf(
        "listener %zu: %zu datagrams, longest gap %lld ms, ending %lld ms after the signal\n", i, heard[i],
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(longest[i]).count()),
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(gapEnd[i] - signalled).count()));
  for (auto& p : peers) EXPECT_TRUE(p->control.IsOpen());
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(kRunTimeoutMs), 0);
}

}  // namespace
}  // namespace qm
