// The client library: framing by the header's length whatever the reads cut, waits that keep
// other packets for later, and two clients against the real server program.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "client/QmClient.hpp"
#include "net/Loopback.hpp"
#include "platform/Platform.hpp"
#include "support/TestServer.hpp"

namespace qm {
namespace {

namespace fs = std::filesystem;
using client::ControlClient;

std::string Str(const Packet& p) { return std::string(p.begin(), p.end()); }

// A client connected to a listener the test plays the server on.
struct FakeServer {
  test::Socket listener = test::BoundSocket(SOCK_STREAM);
  ControlClient client;
  test::Socket side{Connected()};
  test::Socket Connected() {
    client.Connect("127.0.0.1", test::LocalPort(listener.Get()));
    return test::Accept(listener);
  }
};

TEST(ClientLibrary, FramesPacketsByLengthAcrossSplitAndMergedReads) {
  FakeServer s;
  const Packet a = ComposePlayerJoined(7, 2, 1, "bob"), b = ComposeReply(7, kReplyNotAdmin),
               c = ComposePlayerLeft(7, 2, 0);
  s.side.SendAll(Str(a) + Str(b) + Str(c).substr(0, 3));
  auto p1 = s.client.Receive(2000);
  auto p2 = s.client.Receive(2000);
  ASSERT_TRUE(p1 && p2);
  EXPECT_EQ(*p1, a);
  EXPECT_EQ(*p2, b);
  EXPECT_FALSE(s.client.Receive(50));  // 3 bytes are no packet yet
  s.side.SendAll(Str(c).substr(3));
  auto p3 = s.client.Receive(2000);
  ASSERT_TRUE(p3);
  EXPECT_EQ(*p3, c);
}

TEST(ClientLibrary, WaitForKeepsTheOthersInOrder) {
  FakeServer s;
  const Packet a = ComposeChannelAdded(1, 2, "x"), b = ComposeChannelDeleted(1, 2), c = ComposePlayerIsAdmin(1, 1);
  s.side.SendAll(Str(a) + Str(b) + Str(c));
  auto admin = s.client.WaitFor({kPktPlayerIsAdmin}, 2000);
  ASSERT_TRUE(admin);
  EXPECT_EQ(*admin, c);
  EXPECT_EQ(*s.client.Receive(100), a);
  EXPECT_EQ(*s.client.Receive(100), b);
  EXPECT_FALSE(s.client.WaitFor({kPktListsNew}, 50));
}

TEST(ClientLibrary, LoginReportsTheAnswerAndKeepsTheKey) {
  FakeServer s;
  s.side.SendAll(Str(ComposeLoginAccepted(0x0A0B, "srv")));
  EXPECT_EQ(s.client.Login("me", "", "2.0", 2000), kPktLoginAccepted);
  EXPECT_EQ(s.client.SessionKey(), 0x0A0B);
  const std::string sent = s.side.Receive(101);
  EXPECT_EQ(sent, Str(ComposeLogin({"me", "", "2.0"})));

  FakeServer refused;
  refused.side.SendAll(Str(ComposeReply(0, kReplyWrongPassword)));
  EXPECT_EQ(refused.client.Login("me", "bad", "2.0", 2000), kReplyWrongPassword);
  refused.side.Close();
  EXPECT_TRUE(refused.client.WaitClosed(2000));

  FakeServer silent;
  EXPECT_EQ(silent.client.Login("me", "", "2.0", 50), 0);
}

// The server program beside the test programs' folder (build/tests/test_tools -> build/qmserver).
fs::path ServerBinary() { return fs::path(platform::ExecutablePath()).parent_path().parent_path() / "qmserver"; }

// Runs a copy of the server program in a temporary folder with its own ini; stopped like a
// console server, by SIGTERM.
class ServerProcess {
 public:
  explicit ServerProcess(const fs::path& binary) {
    port_ = test::FreePortPair();
    fs::copy_file(binary, dir_.Path() / "qmserver");
    test::WriteFile(dir_.Path() / "qmserver.ini",
                    "[Version]\r\nServerVersion=v1.2.2\r\n[Networking]\r\nTCPPort=" + std::to_string(port_) +
                        "\r\n[General]\r\nServername=Process\r\n");
    pid_ = ::fork();
    if (pid_ == 0) {
      if (::chdir(dir_.Str().c_str()) != 0) ::_exit(126);
      ::execl("./qmserver", "qmserver", static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~ServerProcess() { Stop(); }
  // Ends the process; true when it exited by itself within the time after SIGTERM. (The exit
  // code is not judged: a sanitizer build reports its findings through it.)
  bool Stop() {
    if (pid_ <= 0) return true;
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200; ++i) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return false;
  }
  uint16_t Port() const { return port_; }
  std::vector<std::string> LogLines() const { return test::ReadLines(dir_.Path() / "qmserver.log"); }

 private:
  test::TempDir dir_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
};

bool ConnectWithin(ControlClient& c, uint16_t port, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    try {
      c.Connect("127.0.0.1", port, 500);
      return true;
    } catch (const std::exception&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  return false;
}

TEST(ClientLibrary, TwoClientsMeetAndPartOnTheServerProgram) {
  const fs::path binary = ServerBinary();
  ASSERT_TRUE(fs::exists(binary)) << binary << " not built";
  ServerProcess server(binary);
  ControlClient oldClient, newClient;
  ASSERT_TRUE(ConnectWithin(oldClient, server.Port(), 10000));
  ASSERT_EQ(oldClient.Login("Old", "", "1.2.0", 5000), kPktLoginAccepted);
  ASSERT_TRUE(ConnectWithin(newClient, server.Port(), 5000));
  ASSERT_EQ(newClient.Login("New", "", "2.0", 5000), kPktLoginAccepted);

  // Each sees the other: the old client the new one's join, both the two players in the lists.
  auto join = oldClient.WaitFor({kPktPlayerJoined}, 5000);
  ASSERT_TRUE(join);
  EXPECT_EQ(*join, ComposePlayerJoined(oldClient.SessionKey(), 2, 1, "New"));
  for (ControlClient* c : {&oldClient, &newClient}) {
    c->Send(ComposeSetup(0, 0));
    auto p = c->WaitFor({kPktListsOld, kPktListsNew}, 5000);
    ASSERT_TRUE(p);
    const bool old = c == &oldClient;
    EXPECT_EQ(p->size(), old ? 12u + 32u + 2u * 33u : 12u + 32u + 2u * 34u);
    ParsedLists lists;
    ASSERT_TRUE(ParseLists(p->data(), p->size(), lists));
    EXPECT_EQ(lists.oldLayout, old);
    EXPECT_EQ(lists.ownWirePlayer, old ? 1 : 2);
    ASSERT_EQ(lists.players.size(), 2u);
    EXPECT_EQ(lists.players[0].name, "Old");
    EXPECT_EQ(lists.players[1].name, "New");
    ASSERT_EQ(lists.channels.size(), 1u);
    EXPECT_EQ(lists.channels[0].name, "Default");
  }

  // The old client leaves: both are told. The new one drops its connection: the log tells.
  oldClient.Send(ComposeCommand(kCmdClientLeave));
  for (ControlClient* c : {&oldClient, &newClient}) {
    auto left = c->WaitFor({kPktPlayerLeft}, 5000);
    ASSERT_TRUE(left);
    EXPECT_EQ(*left, ComposePlayerLeft(c->SessionKey(), 1, 0));
  }
  EXPECT_TRUE(oldClient.WaitClosed(5000));
  newClient.Close();
  EXPECT_TRUE(test::Eventually(
      [&] {
        int n = 0;
        for (const auto& l : server.LogLines())
          if (l.find("Distroying client Old[1]") != std::string::npos ||
              l.find("Distroying client New[2]") != std::string::npos)
            ++n;
        return n == 2;
      },
      5000));
  EXPECT_TRUE(server.Stop());
}

}  // namespace
}  // namespace qm
