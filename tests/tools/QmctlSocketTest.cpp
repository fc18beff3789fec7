// qmctl through the server's operator socket, and the socket itself against peers that send
// what no qmctl would: the real server, the real qmctl binary, clients of the protocol watching.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "QmctlHarness.hpp"
#include "client/QmClient.hpp"
#include "config/Settings.hpp"
#include "control/ControlPackets.hpp"
#include "control/OperatorFrames.hpp"
#include "support/TestServer.hpp"

namespace qm::test {
namespace {

constexpr int kExitRefused = 3, kExitConnection = 4;

// A raw peer of the socket, to send what qmctl never would.
class RawPeer {
 public:
  explicit RawPeer(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    connected_ = connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  }
  ~RawPeer() { close(fd_); }
  bool Connected() const { return connected_; }
  void Send(const std::string& bytes) {
    ASSERT_EQ(send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), (ssize_t)bytes.size());
  }
  void Request(const std::string& json) {
    const uint32_t n = static_cast<uint32_t>(json.size());
    Send(std::string{char(n & 0xFF), char(n >> 8 & 0xFF), char(n >> 16 & 0xFF), char(n >> 24)} + json);
  }
  void EndSending() { shutdown(fd_, SHUT_WR); }
  // The next answer's text; empty when the server closed or nothing came in time.
  std::string Answer(int timeoutMs = kWaitMs) {
    std::string body;
    for (;;) {
      std::string_view view(buffer_);
      if (CutOperatorFrame(view, body) == FrameCut::kMessage) {
        buffer_.erase(0, buffer_.size() - view.size());
        return body;
      }
      if (!ReadSome(timeoutMs)) return {};
    }
  }
  // True when the server closes within the time (what it sent before is read and dropped).
  bool Closed(int timeoutMs = kWaitMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char b[4096];
      const ssize_t n = recv(fd_, b, sizeof b, 0);
      if (n <= 0) return true;
    }
    return false;
  }
  int Fd() const { return fd_; }

 private:
  bool ReadSome(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    char b[4096];
    const ssize_t n = recv(fd_, b, sizeof b, 0);
    if (n <= 0) return false;
    buffer_.append(b, static_cast<size_t>(n));
    return true;
  }
  int fd_ = -1;
  bool connected_ = false;
  std::string buffer_;
};

std::string Error(const std::string& answer) {
  const auto j = ParseJson(answer);
  return j && !(*j)["ok"].Bool() ? (*j)["error"].Str() : "(no error answer: " + answer + ")";
}

class QmctlSocket : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(t.Started());
    socketPath = t.Server().OperatorSocket();
    ASSERT_FALSE(socketPath.empty());
    alice.Connect("127.0.0.1", t.TcpPort());
    ASSERT_EQ(alice.Login("alice", "", "1.2.2"), 1);
  }
  std::vector<std::string> Via(std::vector<std::string> rest) const {
    std::vector<std::string> a{"--socket", socketPath};
    a.insert(a.end(), rest.begin(), rest.end());
    return a;
  }

  TestServer t{{{"Passwords", "AdminPassword", "keys"}, {"Channels", "0", "Lobby"}, {"Channels", "1", "Music"}}};
  std::string socketPath;
  client::ControlClient alice;  // wire player 1
};

TEST_F(QmctlSocket, RunsEveryCommandWithoutAPasswordAndNoPlayerSeesIt) {
  client::ControlClient bob;  // wire player 2
  bob.Connect("127.0.0.1", t.TcpPort());
  ASSERT_EQ(bob.Login("bob", "", "1.2.2"), 1);
  ASSERT_TRUE(NextOf(alice, kPktPlayerJoined));

  // No QM_* variable is set and standard input is no terminal: nothing could answer a prompt.
  const auto who = RunQmctl(Via({"who"}));
  ASSERT_EQ(who.exitCode, 0) << who.err;
  EXPECT_NE(who.out.find("at " + socketPath + ": 2 channels, 2 players"), std::string::npos) << who.out;
  EXPECT_NE(who.out.find("alice"), std::string::npos);
  EXPECT_NE(who.out.find("bob"), std::string::npos);
  EXPECT_EQ(who.out.find("qmctl"), std::string::npos) << who.out;
  const auto whoJson = RunQmctl(Via({"--json", "who"}));
  ASSERT_EQ(whoJson.exitCode, 0) << whoJson.err;
  const auto w = ParseJson(whoJson.out);
  ASSERT_TRUE(w) << whoJson.out;
  EXPECT_TRUE((*w)["self"].IsNull());
  EXPECT_EQ((*w)["socket"].Str(), socketPath);
  ASSERT_EQ((*w)["channels"].Size(), 2u);
  EXPECT_EQ((*w)["channels"][0]["players"].Size(), 2u);
  EXPECT_EQ((*w)["channels"][0]["players"][1]["name"].Str(), "bob");
  EXPECT_EQ((*w)["channels"][0]["players"][1]["address"].Str(), "127.0.0.1");
  EXPECT_EQ((*w)["channels"][0]["players"][1]["version"].Str(), "1.2.2");

  const auto stats = RunQmctl(Via({"stats"}));
  ASSERT_EQ(stats.exitCode, 0) << stats.err;
  EXPECT_NE(stats.out.find("uptime"), std::string::npos) << stats.out;
  const auto player = RunQmctl(Via({"--json", "stats", "2"}));
  ASSERT_EQ(player.exitCode, 0) << player.err;
  const auto p = ParseJson(player.out);
  ASSERT_TRUE(p) << player.out;
  EXPECT_EQ((*p)["name"].Str(), "bob");
  EXPECT_EQ((*p)["version"].Str(), "1.2.2");
  const auto missing = RunQmctl(Via({"stats", "9"}));
  EXPECT_EQ(missing.exitCode, kExitRefused);
  EXPECT_NE(missing.err.find("refused: no player 9"), std::string::npos) << missing.err;

  const auto created = RunQmctl(Via({"admin", "create", "Attic"}));
  ASSERT_EQ(created.exitCode, 0) << created.err;
  EXPECT_EQ(created.out, "created channel 3 Attic\n");
  EXPECT_TRUE(NextOf(alice, kPktChannelAdded));

  const auto kicked = RunQmctl(Via({"admin", "kick", "2"}));
  ASSERT_EQ(kicked.exitCode, 0) << kicked.err;
  EXPECT_EQ(kicked.out, "kicked player 2 bob\n");
  const auto left = NextOf(alice, kPktPlayerLeft);
  ASSERT_TRUE(left);
  EXPECT_EQ(WireReader(left->data(), left->size()).U8(8), 2);
  EXPECT_EQ(WireReader(left->data(), left->size()).U8(9), kLeftReasonKicked);
  EXPECT_TRUE(bob.WaitClosed(kWaitMs));
  EXPECT_TRUE(t.WaitForLog("Operator: kick 2 (bob, 127.0.0.1)"));

  const auto saved = RunQmctl(Via({"admin", "save"}));
  ASSERT_EQ(saved.exitCode, 0) << saved.err;
  EXPECT_NE(ReadFile(t.IniPath()).find("2=Attic"), std::string::npos) << ReadFile(t.IniPath());
  const auto password = RunQmctl(Via({"admin", "set-server-password"}), {{"QM_NEW_PASSWORD", "s3cret"}});
  ASSERT_EQ(password.exitCode, 0) << password.err;
  EXPECT_EQ(password.out, "server password changed\n");
  client::ControlClient carol;
  carol.Connect("127.0.0.1", t.TcpPort());
  EXPECT_EQ(carol.Login("carol", "s3cret", "1.2.2"), 1);
  for (const std::string& line : t.LogLines()) EXPECT_EQ(line.find("s3cret"), std::string::npos) << line;

  // All qmctl did came to alice as what it changed, never as a player: everything she got
  // before the fresh lists is a channel added, bob's kick and carol's arrival.
  alice.Send(ComposeCommand(kCmdClientSetup));
  const auto lists = NextOf(alice, kPktListsNew);
  ASSERT_TRUE(lists);
  ParsedLists parsed;
  ASSERT_TRUE(ParseLists(lists->data(), lists->size(), parsed));
  ASSERT_EQ(parsed.players.size(), 2u);
  EXPECT_EQ(parsed.players[0].name, "alice");
  EXPECT_EQ(parsed.players[1].name, "carol");
  while (const auto other = alice.Receive(0)) {
    Notification n;
    ASSERT_TRUE(ParseNotification(other->data(), other->size(), n));
    EXPECT_NE(n.type, kPktPlayerIsAdmin);
    if (n.type == kPktPlayerJoined) {
      EXPECT_EQ(n.name, "carol");
    }
    if (n.type == kPktPlayerLeft) {
      EXPECT_EQ(n.player, 2);
    }
  }
}

TEST_F(QmctlSocket, TheWayIsChosenByOptionOrEnvironmentAndPingKeepsTheNetwork) {
  const std::string port = std::to_string(t.TcpPort());
  // QM_SOCKET alone: the socket, and no player joins.
  const auto env = RunQmctl({"who"}, {{"QM_SOCKET", socketPath}});
  ASSERT_EQ(env.exitCode, 0) << env.err;
  EXPECT_NE(env.out.find("at " + socketPath), std::string::npos) << env.out;
  // --port names the network, whatever QM_SOCKET says: qmctl logs in as a player.
  const auto network = RunQmctl({"--port", port, "who"}, {{"QM_SOCKET", socketPath}});
  ASSERT_EQ(network.exitCode, 0) << network.err;
  EXPECT_NE(network.out.find("(this qmctl)"), std::string::npos) << network.out;
  // ping and watch need the network; a socket alone is a usage error that says so.
  for (const char* command : {"ping", "watch"}) {
    const auto r = RunQmctl({"--socket", socketPath, command});
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_NE(r.err.find(std::string(command) + " needs the network"), std::string::npos) << r.err;
  }
  const auto both = RunQmctl({"--socket", socketPath, "--port", port, "who"});
  EXPECT_EQ(both.exitCode, 2);
  EXPECT_NE(both.err.find("--socket and --host/--port name two ways"), std::string::npos) << both.err;
  const auto help = RunQmctl({"--help"});
  EXPECT_NE(help.out.find("--socket PATH"), std::string::npos);
  const auto none = RunQmctl({"--socket", t.Dir().Str() + "/none.sock", "who"});
  EXPECT_EQ(none.exitCode, kExitConnection);
  EXPECT_NE(none.err.find("no server socket at"), std::string::npos) << none.err;
}

TEST_F(QmctlSocket, BadRequestsGetAnErrorOrACloseWhileClientsAreServed) {
  {
    RawPeer peer(socketPath);
    ASSERT_TRUE(peer.Connected());
    peer.Request("hello");
    EXPECT_EQ(Error(peer.Answer()), "the message is not JSON");
    peer.Request("[1,2]");
    EXPECT_EQ(Error(peer.Answer()), "the message is not a JSON object");
    peer.Request(R"({"command":"frobnicate"})");
    EXPECT_NE(Error(peer.Answer()).find("unknown command \"frobnicate\" (known: who, stats"), std::string::npos);
    peer.Request(std::string(5000, '[') + std::string(5000, ']'));
    EXPECT_EQ(Error(peer.Answer()), "the message nests deeper than 16 levels");
    // The framing held through all of that: the same connection still answers.
    peer.Request(R"({"command":"who"})");
    EXPECT_NE(peer.Answer().find("\"alice\""), std::string::npos);
    // An announced length past 64 KiB: one error, then the close.
    peer.Send(std::string("\xff\xff\xff\x7f", 4));
    EXPECT_EQ(Error(peer.Answer()), "the request is 2147483647 bytes; at most 65536 are taken");
    EXPECT_TRUE(peer.Closed());
  }
  {
    RawPeer cut(socketPath);
    cut.Send(std::string("\x64\x00\x00\x00", 4) + "{\"command\"");
    cut.EndSending();
    EXPECT_EQ(Error(cut.Answer()), "truncated request: 10 of 100 bytes");
    EXPECT_TRUE(cut.Closed());
  }

  // A peer that says nothing and one that never reads its answers, both at once; clients are
  // served all the while.
  RawPeer silent(socketPath);
  RawPeer deaf(socketPath);
  fcntl(deaf.Fd(), F_SETFL, fcntl(deaf.Fd(), F_GETFL, 0) | O_NONBLOCK);
  const std::string frame = ComposeOperatorFrame(nlohmann::json{{"command", "who"}});
  std::string burst;
  for (int i = 0; i < 256; ++i) burst += frame;
  // Requests until neither side takes more: the server blocked on its answers, then its input full.
  for (int round = 0; round < 4000; ++round) {
    if (send(deaf.Fd(), burst.data(), burst.size(), MSG_NOSIGNAL) < 0) {
      pollfd p{deaf.Fd(), POLLOUT, 0};
      if (poll(&p, 1, 300) == 0) break;
    }
  }
  client::ControlClient dave;
  dave.Connect("127.0.0.1", t.TcpPort());
  EXPECT_EQ(dave.Login("dave", "", "1.2.2"), 1);
  EXPECT_TRUE(NextOf(alice, kPktPlayerJoined));
  EXPECT_EQ(Error(silent.Answer(15000)), "no request within 5 s; connection closed");
  EXPECT_TRUE(silent.Closed());
  EXPECT_TRUE(t.WaitForLog("the answer was not taken within 5 s", 15000));
  EXPECT_TRUE(deaf.Closed(15000));
  const auto who = RunQmctl(Via({"who"}));
  EXPECT_EQ(who.exitCode, 0) << who.err;
  EXPECT_NE(who.out.find("dave"), std::string::npos);

  // At most eight at once; the ninth is told so at once.
  // Each is served once, so all eight hold their places before the ninth comes (a connection
  // that just ended may take a moment to give its place back).
  std::vector<std::unique_ptr<RawPeer>> open;
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(Eventually([&] {
      auto peer = std::make_unique<RawPeer>(socketPath);
      peer->Request(R"({"command":"stats"})");
      if (peer->Answer().find("\"ok\":true") == std::string::npos) return false;
      open.push_back(std::move(peer));
      return true;
    }));
  }
  RawPeer ninth(socketPath);
  EXPECT_NE(Error(ninth.Answer()).find("too many operator connections at once (at most 8)"), std::string::npos);
  EXPECT_TRUE(ninth.Closed());
}

// What the configuration file could not hold exactly, or the clients' wire could not carry, is
// refused in words and changes nothing, as for a client administrator.
TEST_F(QmctlSocket, RefusedChangesChangeNothing) {
  RawPeer peer(socketPath);
  peer.Request(R"({"command":"create","name":" Lobby2"})");
  EXPECT_NE(Error(peer.Answer()).find("cannot hold it exactly"), std::string::npos);
  peer.Request(R"({"command":"create","name":"lobby"})");
  EXPECT_NE(Error(peer.Answer()).find("a channel of that name exists already"), std::string::npos);
  peer.Request(R"({"command":"create","name":")" + std::string(31, 'x') + R"("})");
  EXPECT_EQ(Error(peer.Answer()), "\"name\" is longer than 30 characters");
  peer.Request(R"({"command":"set-admin-password","password":"line\nbreak"})");
  EXPECT_NE(Error(peer.Answer()).find("the new password: the server's configuration file cannot hold it"),
            std::string::npos);
  peer.Request(R"({"command":"kick"})");
  EXPECT_EQ(Error(peer.Answer()), "\"player\" must be a whole number from 1 to 255");
  EXPECT_EQ(t.Server().Channels().Count(), 2u);
  EXPECT_EQ(Settings().AdminPassword.Get(), "keys");
  EXPECT_NE(ReadFile(t.IniPath()).find("AdminPassword=keys"), std::string::npos);
  EXPECT_TRUE(t.WaitForLog("Operator: set-admin-password refused: the new password"));
  // Nobody was told of anything.
  EXPECT_FALSE(alice.Receive(0));
}

// Runs a command line through the shell; its exit status and what it printed.
std::pair<int, std::string> Shell(const std::string& command) {
  std::string out;
  FILE* f = popen((command + " 2>&1").c_str(), "r");
  if (!f) return {-1, out};
  char b[512];
  while (size_t n = fread(b, 1, sizeof b, f)) out.append(b, n);
  const int status = pclose(f);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

TEST_F(QmctlSocket, AnotherUsersConnectionIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run qmctl as another user (runuser -u nobody)";
  if (Shell("command -v runuser").first != 0) GTEST_SKIP() << "runuser is not installed";
  // The folders down to the socket and to qmctl must be open to nobody for the test to reach
  // the checks that matter.
  chmod(t.Dir().Str().c_str(), 0755);
  const std::string run = "timeout 30 runuser -u nobody -- " + QmctlPath() + " --socket " + socketPath + " who";
  if (Shell("timeout 30 runuser -u nobody -- test -x " + QmctlPath()).first != 0)
    GTEST_SKIP() << "qmctl is not reachable for nobody here";

  // The socket's mode keeps nobody from connecting at all.
  auto r = Shell(run);
  EXPECT_EQ(r.first, kExitConnection) << r.second;
  EXPECT_NE(r.second.find("permission denied: " + socketPath), std::string::npos) << r.second;

  // With the mode opened, the server's check of the peer's credentials refuses it.
  ASSERT_EQ(chmod(socketPath.c_str(), 0666), 0);
  r = Shell(run);
  EXPECT_EQ(r.first, kExitRefused) << r.second;
  EXPECT_NE(r.second.find("refused: permission denied: uid 65534 is neither root, the server's account, nor in group"),
            std::string::npos)
      << r.second;
  EXPECT_TRUE(t.WaitForLog("Operator socket: refused uid 65534"));

  // A member of the socket's group is let in.
  ASSERT_EQ(Shell("chgrp \"$(id -gn nobody)\" " + socketPath).first, 0);
  r = Shell(run);
  EXPECT_EQ(r.first, 0) << r.second;
  EXPECT_NE(r.second.find("alice"), std::string::npos) << r.second;
}

}  // namespace
}  // namespace qm::test
