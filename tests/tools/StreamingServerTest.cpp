// A server that answers the login and then sends packets nobody asked for, without end: qmctl and
// the client library still end their waits at the deadline, and keep only a bounded backlog.
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include <gtest/gtest.h>

#include "QmctlHarness.hpp"
#include "client/QmClient.hpp"
#include "control/ControlPackets.hpp"
#include "platform/Socket.hpp"

namespace qm::test {
namespace {

constexpr int kExitTimeout = 5;
using Steady = std::chrono::steady_clock;

// Serves one connection at a time: takes the login, accepts it, then streams unknown packets
// until the peer goes or the test ends.
class Streamer {
 public:
  Streamer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener_, 4);
    socklen_t len = sizeof a;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~Streamer() {
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  std::string Port() const { return std::to_string(port_); }
  uint16_t PortNumber() const { return port_; }

 private:
  void Run() {
    std::string burst;
    const Packet unknown = ComposeCommand(77);
    for (int i = 0; i < 1000; ++i) burst.append(unknown.begin(), unknown.end());
    const Packet accepted = ComposeLoginAccepted(7, "Streamer");
    while (!stop_) {
      if (platform::WaitReadable(listener_, 100) <= 0) continue;
      const int s = ::accept(listener_, nullptr, nullptr);
      if (s < 0) continue;
      char login[101];
      platform::WaitReadable(s, 2000);
      ::recv(s, login, sizeof login, 0);
      ::send(s, accepted.data(), accepted.size(), MSG_NOSIGNAL);
      platform::SetNonBlocking(s, true);
      while (!stop_) {
        if (platform::WaitWritable(s, 100) <= 0) continue;
        if (::send(s, burst.data(), burst.size(), MSG_NOSIGNAL) < 0 && errno != EAGAIN) break;
      }
      ::close(s);
    }
  }

  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

long long MsSince(Steady::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - t).count();
}

TEST(StreamingServer, WaitsEndAtTheirDeadlineAndTheBacklogStaysBounded) {
  Streamer server;
  auto start = Steady::now();
  const auto r = RunQmctl({"--port", server.Port(), "--timeout", "1000", "who"}, {}, 20000);
  const long long qmctlMs = MsSince(start);
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  const long peakKb = usage.ru_maxrss;
  std::printf("[ info ] qmctl --timeout 1000 against a streaming server: exit %d after %lld ms, peak %ld KB\n",
              r.exitCode, qmctlMs, peakKb);
  EXPECT_FALSE(r.killed);
  EXPECT_EQ(r.exitCode, kExitTimeout) << r.err;
  EXPECT_NE(r.err.find("channel and player lists"), std::string::npos) << r.err;
  EXPECT_LT(qmctlMs, 6000);
#ifdef QM_SANITIZED_BUILD
  constexpr long kPeakBoundKb = 256 * 1024;  // the sanitizer's shadow memory and quarantine
#else
  constexpr long kPeakBoundKb = 64 * 1024;
#endif
  EXPECT_LT(peakKb, kPeakBoundKb);

  client::ControlClient c;
  c.Connect("127.0.0.1", server.PortNumber());
  ASSERT_EQ(c.Login("me", "", "2.0", 2000), kPktLoginAccepted);
  start = Steady::now();
  EXPECT_FALSE(c.WaitFor({kPktListsNew}, 500));
  EXPECT_FALSE(c.WaitClosed(200));
  const long long libraryMs = MsSince(start);
  EXPECT_LT(libraryMs, 5000);
  EXPECT_LE(c.DrainRaw(0).size(), client::ControlClient::kMaxBacklogBytes + 128 * 1024);
}

}  // namespace
}  // namespace qm::test
