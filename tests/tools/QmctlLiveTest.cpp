// qmctl ping and watch: UDP round trips and notifications as they happen, and servers that
// answer the login but then fall silent or hang up.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "QmctlHarness.hpp"
#include "client/QmClient.hpp"
#include "control/ControlPackets.hpp"
#include "support/TestServer.hpp"

namespace qm::test {
namespace {

constexpr int kExitConnection = 4, kExitTimeout = 5;

std::vector<std::string> At(uint16_t port, std::vector<std::string> rest) {
  std::vector<std::string> a{"--port", std::to_string(port)};
  a.insert(a.end(), rest.begin(), rest.end());
  return a;
}

std::vector<Json> JsonLines(const std::string& text) {
  std::vector<Json> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    auto j = ParseJson(line);
    EXPECT_TRUE(j) << "not JSON: " << line;
    if (j) out.push_back(*j);
  }
  return out;
}

// Answers the login and the setup of one connection like a server, then either stays silent or
// hangs up. Nothing listens on its UDP port, so pings go unanswered.
class ScriptedServer {
 public:
  explicit ScriptedServer(bool hangUpAfterLists) : hangUp_(hangUpAfterLists) {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int attempt = 0; attempt < 20 && !bound_; ++attempt) {
      port_ = FreePortPair();
      a.sin_port = htons(port_);
      bound_ = bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    listen(listen_, 4);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedServer() {
    stop_ = true;
    thread_.join();
    close(listen_);
  }
  uint16_t Port() const { return port_; }
  bool Bound() const { return bound_; }

 private:
  // Reads exactly n bytes within the time; false otherwise.
  bool ReadBytes(int s, size_t n) {
    std::vector<uint8_t> buf(n);
    size_t got = 0;
    for (int rounds = 0; got < n && rounds < 50 && !stop_; ++rounds) {
      pollfd p{s, POLLIN, 0};
      if (poll(&p, 1, 100) != 1) continue;
      const ssize_t r = recv(s, buf.data() + got, n - got, 0);
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    return got == n;
  }
  void Serve() {
    int conn = -1;
    while (!stop_ && conn < 0) {
      pollfd p{listen_, POLLIN, 0};
      if (poll(&p, 1, 50) == 1) conn = accept(listen_, nullptr, nullptr);
    }
    if (conn < 0) return;
    const uint16_t key = 4242;
    if (ReadBytes(conn, 101)) {
      const Packet login = ComposeLoginAccepted(key, "Scripted");
      send(conn, login.data(), login.size(), MSG_NOSIGNAL);
      if (ReadBytes(conn, 10)) {
        std::vector<uint8_t> channels, players;
        AppendListChannel(channels, ListChannel{1, "Lobby"});
        AppendListPlayer(players, ListPlayer{1, 1, false, "qmctl"}, false);
        const Packet lists = ComposeLists(key, false, 1, channels, 1, players, 1);
        send(conn, lists.data(), lists.size(), MSG_NOSIGNAL);
      }
    }
    if (!hangUp_) {
      char sink[256];
      while (!stop_) {
        pollfd p{conn, POLLIN, 0};
        if (poll(&p, 1, 50) == 1 && recv(conn, sink, sizeof sink, 0) <= 0) break;
      }
    }
    close(conn);
  }

  bool hangUp_;
  int listen_ = -1;
  uint16_t port_ = 0;
  bool bound_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(QmctlPing, RoundTripsAreMeasuredAndReported) {
  TestServer t;
  ASSERT_TRUE(t.Started());
  const auto r = RunQmctl(At(t.TcpPort(), {"--json", "ping", "--count", "3", "--interval", "10"}));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto j = ParseJson(r.out);
  ASSERT_TRUE(j) << r.out;
  EXPECT_EQ((*j)["sent"].Num(), 3);
  EXPECT_EQ((*j)["received"].Num(), 3);
  EXPECT_EQ((*j)["loss_percent"].Num(), 0);
  EXPECT_EQ((*j)["port"].Num(), t.UdpPort());
  ASSERT_EQ((*j)["rtt_ms"].Size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_GE((*j)["rtt_ms"][i].Num(), 0.0);
  EXPECT_LE((*j)["min_ms"].Num(), (*j)["max_ms"].Num());
  // Each ping reached the server as one 12-byte datagram and was answered with one.
  EXPECT_TRUE(Eventually([&] { return t.Server().Counters().UdpPacketsSent.load() >= 3; }));

  const auto human = RunQmctl(At(t.TcpPort(), {"ping", "--count", "2", "--interval", "10"}));
  ASSERT_EQ(human.exitCode, 0) << human.err;
  EXPECT_NE(human.out.find("pong 1: echo 1, "), std::string::npos) << human.out;
  EXPECT_NE(human.out.find("pong 2: echo 2, "), std::string::npos) << human.out;
  EXPECT_NE(human.out.find("2 sent, 2 received, 0% lost; round trip min/avg/max "), std::string::npos) << human.out;
}

// The server answers ten pings a second of each client and no more; qmctl must not report that
// limit as loss. Pings asked for faster go at the server's pace, with a note saying so.
TEST(QmctlPing, AShortIntervalIsRaisedToTheServersPaceAndLosesNothing) {
  TestServer t;
  ASSERT_TRUE(t.Started());
  const auto r = RunQmctl(At(t.TcpPort(), {"--json", "ping", "--count", "20", "--interval", "10"}), {}, 30000);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto j = ParseJson(r.out);
  ASSERT_TRUE(j) << r.out;
  std::printf("[ info ] qmctl ping --count 20 --interval 10 on loopback: %d of %d received, %d%% lost\n",
              static_cast<int>((*j)["received"].Num()), static_cast<int>((*j)["sent"].Num()),
              static_cast<int>((*j)["loss_percent"].Num()));
  EXPECT_EQ((*j)["sent"].Num(), 20);
  EXPECT_EQ((*j)["received"].Num(), 20);
  EXPECT_EQ((*j)["loss_percent"].Num(), 0);
  EXPECT_NE(r.err.find("--interval 10 raised to 100 ms"), std::string::npos) << r.err;

  // At the server's pace already: no note.
  const auto paced = RunQmctl(At(t.TcpPort(), {"ping", "--count", "2", "--interval", "100"}));
  ASSERT_EQ(paced.exitCode, 0) << paced.err;
  EXPECT_EQ(paced.err.find("raised"), std::string::npos) << paced.err;
}

TEST(QmctlPing, NoPongAtAllIsATimeOut) {
  ScriptedServer s(false);
  ASSERT_TRUE(s.Bound());
  const auto r = RunQmctl(At(s.Port(), {"--json", "--timeout", "100", "ping", "--count", "2", "--interval", "10"}));
  EXPECT_FALSE(r.killed);
  EXPECT_EQ(r.exitCode, kExitTimeout) << r.err;
  const auto j = ParseJson(r.out);  // the summary, not a second error object
  ASSERT_TRUE(j) << r.out;
  EXPECT_EQ((*j)["received"].Num(), 0);
  EXPECT_EQ((*j)["loss_percent"].Num(), 100);
  EXPECT_TRUE((*j)["rtt_ms"][0].IsNull());
  EXPECT_NE(r.err.find("no pong"), std::string::npos);
}

TEST(QmctlScripted, AnswerThatNeverComesAfterLoginIsATimeOut) {
  ScriptedServer s(false);
  ASSERT_TRUE(s.Bound());
  const auto r = RunQmctl(At(s.Port(), {"--timeout", "200", "stats"}));
  EXPECT_FALSE(r.killed);
  EXPECT_EQ(r.exitCode, kExitTimeout) << r.err;
  EXPECT_NE(r.err.find("no server statistics within 200 ms"), std::string::npos) << r.err;
}

TEST(QmctlScripted, ServerHangingUpMidWayIsAConnectionFailure) {
  ScriptedServer s(true);
  ASSERT_TRUE(s.Bound());
  const auto r = RunQmctl(At(s.Port(), {"stats"}));
  EXPECT_EQ(r.exitCode, kExitConnection) << r.err;
  EXPECT_NE(r.err.find("closed the connection"), std::string::npos) << r.err;

  ScriptedServer w(true);
  const auto watch = RunQmctl(At(w.Port(), {"watch"}));
  EXPECT_EQ(watch.exitCode, kExitConnection) << watch.err;
}

class QmctlWatch : public ::testing::Test {
 protected:
  TestServer t{{{"Passwords", "AdminPassword", "keys"}, {"Channels", "0", "Lobby"}, {"Channels", "1", "Music"}}};
};

TEST_F(QmctlWatch, PrintsEachNotificationUntilInterrupted) {
  ASSERT_TRUE(t.Started());
  QmctlProcess watch(At(t.TcpPort(), {"--json", "watch"}));
  ASSERT_TRUE(watch.WaitForOutput("\"watching\"", 5000)) << watch.Out();

  client::ControlClient admin;
  admin.Connect("127.0.0.1", t.TcpPort());
  ASSERT_EQ(admin.Login("boss", "", "1.2.2"), 1);  // wire player 2 (the watcher is 1)
  admin.Send(ComposeStringCommand(kCmdAdminLogin, "keys"));
  ASSERT_TRUE(admin.WaitFor({kPktPlayerIsAdmin}, 3000));
  admin.Send(ComposeStringCommand(kCmdAdminCreateRoom, "Den \"3\""));
  ASSERT_TRUE(admin.WaitFor({kPktChannelAdded}, 3000));
  admin.Send(ComposeByteCommand(kCmdClientChangeRoom, 3));
  ASSERT_TRUE(admin.WaitFor({kPktPlayerChangedChannel}, 3000));
  admin.Send(ComposeByteCommand(kCmdAdminDeleteRoom, 2));
  ASSERT_TRUE(admin.WaitFor({kPktChannelDeleted}, 3000));
  admin.Send(ComposeCommand(kCmdClientLeave));
  ASSERT_TRUE(admin.WaitClosed(3000));
  ASSERT_TRUE(watch.WaitForOutput("\"left\"", 5000)) << watch.Out();

  watch.Interrupt();
  const auto r = watch.Finish(5000);
  EXPECT_FALSE(r.killed);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const auto events = JsonLines(r.out);
  ASSERT_EQ(events.size(), 7u) << r.out;
  EXPECT_EQ(events[0]["event"].Str(), "watching");
  EXPECT_EQ(events[0]["self"].Num(), 1);
  EXPECT_EQ(events[1]["event"].Str(), "joined");
  EXPECT_EQ(events[1]["name"].Str(), "boss");
  EXPECT_EQ(events[1]["player"].Num(), 2);
  EXPECT_EQ(events[2]["event"].Str(), "admin");
  EXPECT_EQ(events[2]["name"].Str(), "boss");
  EXPECT_EQ(events[3]["event"].Str(), "channel_added");
  EXPECT_EQ(events[3]["name"].Str(), "Den \"3\"");
  EXPECT_EQ(events[3]["channel"].Num(), 3);
  EXPECT_EQ(events[4]["event"].Str(), "moved");
  EXPECT_EQ(events[4]["channel_name"].Str(), "Den \"3\"");
  EXPECT_EQ(events[5]["event"].Str(), "channel_deleted");
  EXPECT_EQ(events[5]["name"].Str(), "Music");
  EXPECT_EQ(events[6]["event"].Str(), "left");
  EXPECT_EQ(events[6]["reason"].Num(), 0);
  EXPECT_EQ(events[6]["reason_text"].Str(), "left or disconnected");
  for (const auto& e : events) EXPECT_EQ(e["time"].Str().size(), 8u);
}

TEST_F(QmctlWatch, HumanLinesNameThePlayersAndReasons) {
  ASSERT_TRUE(t.Started());
  QmctlProcess watch(At(t.TcpPort(), {"watch", "--seconds", "20"}));
  ASSERT_TRUE(watch.WaitForOutput("watching", 5000)) << watch.Out();
  client::ControlClient carol;
  carol.Connect("127.0.0.1", t.TcpPort());
  ASSERT_EQ(carol.Login("carol", "", "1.2.2"), 1);
  ASSERT_TRUE(watch.WaitForOutput("joined           2 carol in channel 1 Lobby", 5000)) << watch.Out();
  carol.Close();  // a lost connection is announced as a leave too
  ASSERT_TRUE(watch.WaitForOutput("left             2 carol: left or disconnected", 5000)) << watch.Out();
  watch.Interrupt();
  EXPECT_EQ(watch.Finish(5000).exitCode, 0);
}

TEST_F(QmctlWatch, SecondsBoundTheWatch) {
  ASSERT_TRUE(t.Started());
  const auto r = RunQmctl(At(t.TcpPort(), {"watch", "--seconds", "1"}), {}, 10000);
  EXPECT_FALSE(r.killed);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("for 1 s"), std::string::npos) << r.out;
}

TEST_F(QmctlWatch, BeingKickedEndsTheWatch) {
  ASSERT_TRUE(t.Started());
  QmctlProcess watch(At(t.TcpPort(), {"watch", "--seconds", "30"}));
  ASSERT_TRUE(watch.WaitForOutput("watching", 5000)) << watch.Out();
  const auto kick = RunQmctl(At(t.TcpPort(), {"admin", "kick", "1"}), {{"QM_ADMIN_PASSWORD", "keys"}});
  EXPECT_EQ(kick.exitCode, 0) << kick.err;
  const auto r = watch.Finish(5000);
  EXPECT_FALSE(r.killed);
  EXPECT_EQ(r.exitCode, kExitConnection);
  EXPECT_NE(r.out.find("left             1 qmctl: kicked by an administrator"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("the server removed this session: kicked by an administrator"), std::string::npos) << r.err;
}

TEST_F(QmctlWatch, ServerShutdownEndsTheWatch) {
  ASSERT_TRUE(t.Started());
  QmctlProcess watch(At(t.TcpPort(), {"watch"}));
  ASSERT_TRUE(watch.WaitForOutput("watching", 5000)) << watch.Out();
  t.Stop();
  const auto r = watch.Finish(10000);
  EXPECT_FALSE(r.killed);
  EXPECT_EQ(r.exitCode, kExitConnection) << r.err;
}

}  // namespace
}  // namespace qm::test
