// A client that stops reading its control connection must not hold up everybody else: every
// write to it is bounded by the send time-out, after which it is closed like a lost connection.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "control/LoginHelpers.hpp"
#include "net/Loopback.hpp"

namespace qm {
namespace {

using namespace test;
using namespace test::login;
using Steady = std::chrono::steady_clock;

TEST(ReadLoopStall, AClientThatNeverReadsIsDroppedAndOthersKeepLoggingIn) {
  // Many long channel names make every list packet about 3 KB, so the stalled client's own
  // requests fill its buffers in a moment.
  std::vector<IniKey> ini{{"General", "MaxClients", "32"}};
  for (int i = 0; i < 90; ++i)
    ini.push_back({"Channels", std::to_string(i), "channel " + std::to_string(i) + std::string(25, '.')});
  TestServer t(ini);
  ASSERT_TRUE(t.Started());
  constexpr uint32_t kSendTimeoutMs = 500;
  t.Probe().tcpServer->SetSendTimeout(kSendTimeoutMs);

  // The stalled reader: a small receive window, and it never reads after its login is sent.
  Socket stalled(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  int small = 2048;
  ::setsockopt(stalled.Get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small), sizeof small);
  sockaddr_in to = Loopback(t.TcpPort());
  ASSERT_EQ(::connect(stalled.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
  const Packet login = ComposeLogin({"stalled", "", "2.0"});
  stalled.SendAll(std::string(login.begin(), login.end()));
  ASSERT_TRUE(Eventually([&] { return t.Server().Clients().ClientCount() == 1; }));

  // Others come and go, each visit sending the stalled client a join and a leave, while it asks
  // for lists it never reads, until its buffers are full and a write to it times out.
  constexpr int kThreads = 4;
  constexpr auto kBound = std::chrono::seconds(60);
  const auto deadline = Steady::now() + kBound;
  std::atomic<bool> stop{false};
  std::atomic<int> visits{0}, failures{0};
  std::atomic<long long> slowestMs{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      for (int n = 0; !stop && Steady::now() < deadline; ++n) {
        client::ControlClient c;
        // Another host than the stalled client's: its close-path lines then have a log budget of their own.
        c.SetLocalAddress("127.0.0.2");
        const auto start = Steady::now();
        try {
          c.Connect("127.0.0.1", t.TcpPort());
          if (c.Login("v" + std::to_string(i) + "-" + std::to_string(n), "", "2.0", 10000) != kPktLoginAccepted)
            ++failures;
        } catch (const std::exception&) {
          ++failures;
        }
        const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start).count();
        long long seen = slowestMs.load();
        while (ms > seen && !slowestMs.compare_exchange_weak(seen, ms)) {
        }
        ++visits;
      }
    });
  }
  const Packet setup = ComposeSetup(0, 0);
  bool dropped = false;
  for (int n = 0; !dropped && Steady::now() < deadline; ++n) {
    if (::send(stalled.Get(), reinterpret_cast<const char*>(setup.data()), static_cast<int>(setup.size()),
               platform::kSendFlags) <= 0)
      break;  // the server has closed it
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (n % 100 == 0) dropped = CountLines(t, "Distroying client stalled[1]") > 0;
  }
  dropped = t.WaitForLog("Distroying client stalled[1]", kWaitMs);
  // A few more visits after the drop: they must be as quick as ever.
  const int atDrop = visits.load();
  Eventually([&] { return visits.load() >= atDrop + 20; }, 10000);
  stop = true;
  for (auto& th : threads) th.join();

  EXPECT_TRUE(dropped) << "after " << visits.load() << " visits";
  EXPECT_EQ(failures.load(), 0);
  // Each login waits at most for one timed-out write to the stalled client (one per partial
  // send in the worst case), far below this bound; without the time-out it would wait for ever.
  EXPECT_LT(slowestMs.load(), 8 * static_cast<long long>(kSendTimeoutMs)) << "slowest login";
  EXPECT_TRUE(Eventually([&] { return t.Server().Clients().ClientCount() == 0; }));
  // Its connection was shut down: what it still holds to read ends in the close.
  stalled.Receive(1 << 24);
  EXPECT_TRUE(stalled.SeesClose());
  std::printf("[ info ] %d visits, slowest login %lld ms\n", visits.load(), slowestMs.load());
}

}  // namespace
}  // namespace qm
