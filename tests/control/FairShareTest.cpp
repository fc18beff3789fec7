// One logged-in client or one address cannot take everyone's share: channel changes and logins
// past their budgets are slowed (never refused), an address holds only so many places, and many
// clients behind one address still get in together. Rates are measured on the real clock and
// printed; the bounds asserted are generous.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "control/LoginHelpers.hpp"
#include "platform/Clock.hpp"

namespace qm {
namespace {

using namespace test;
using namespace test::login;
using Steady = std::chrono::steady_clock;

double SecondsSince(Steady::time_point start) { return std::chrono::duration<double>(Steady::now() - start).count(); }

// Logged in from the given local address, its lists taken, so it is a full member.
Conn MemberFrom(TestServer& t, const std::string& from, const std::string& name) {
  Conn c = Connected(t, from);
  if (c->Login(name, "", "2.0", kWaitMs) != kPktLoginAccepted) return nullptr;
  c->Send(ComposeSetup(0, 0));
  return c->WaitFor({kPktListsNew}, kWaitMs) ? std::move(c) : nullptr;
}

// Counts the packets of one type a client receives until told to stop (it keeps reading, so the
// server never waits on it).
class Counter {
 public:
  Counter(client::ControlClient& c, int16_t type)
      : thread_([this, &c, type] {
          while (!stop_)
            if (auto p = c.Receive(50); p && CommandOf(*p) == type) ++count_;
        }) {}
  ~Counter() { Stop(); }
  int Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return count_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> count_{0};
  std::thread thread_;
};

TEST(FairShare, AChannelChangeStormIsSlowedToItsBudgetForEveryReader) {
  TestServer t({{"General", "MaxClients", "64"}});
  ASSERT_TRUE(t.Started());
  std::vector<Conn> readers;
  for (int i = 0; i < 20; ++i) {
    readers.push_back(MemberFrom(t, "127.0.0." + std::to_string(10 + i), "reader" + std::to_string(i)));
    ASSERT_TRUE(readers.back()) << i;
  }
  Conn storm = MemberFrom(t, "127.0.0.2", "storm");
  ASSERT_TRUE(storm);
  std::vector<std::unique_ptr<Counter>> counters;
  for (auto& r : readers) counters.push_back(std::make_unique<Counter>(*r, kPktPlayerChangedChannel));
  Counter own(*storm, kPktPlayerChangedChannel);

  // A change every 2 ms for four seconds, as fast as a script can click.
  const auto start = Steady::now();
  int sent = 0;
  while (SecondsSince(start) < 4.0) {
    storm->Send(ComposeByteCommand(kCmdClientChangeRoom, static_cast<uint8_t>(1 + sent % 2)));
    ++sent;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // what the server still had in hand
  const double seconds = SecondsSince(start);
  std::vector<int> heard;
  for (auto& c : counters) heard.push_back(c->Stop());
  const int ownHeard = own.Stop();

  // The budget: a burst of 20, then 10 a second.
  const double bound = 20 + 10 * (seconds + 1.0);
  const int most = *std::max_element(heard.begin(), heard.end());
  const int least = *std::min_element(heard.begin(), heard.end());
  std::printf(
      "storm: %d changes sent in %.2f s; each reader heard %d to %d (%.1f a second, %.1f after the burst); "
      "the storm itself heard %d; %llu paced waits\n",
      sent, seconds, least, most, most / seconds, (most - 20) / seconds, ownHeard,
      static_cast<unsigned long long>(t.Server().control->Pacing().channelChangeWaits.load()));
  EXPECT_LE(most, bound);
  EXPECT_GE(least, 20);  // slowed, not stopped
  EXPECT_GT(t.Server().control->Pacing().channelChangeWaits.load(), 0u);
  // Everyone is still served at once: the storm did not fill anyone's queue.
  readers[0]->Send(ComposeSetup(0, 0));
  EXPECT_TRUE(readers[0]->WaitFor({kPktListsNew}, kWaitMs));
}

TEST(FairShare, APacedChangeWaitsOnTheServersClockAndIsThenServed) {
  TestClock clock(qm::Now(), qm::TickCount());
  SetClock(&clock);
  {
    TestServer t;
    ASSERT_TRUE(t.Started());
    Conn mover = MemberFrom(t, "127.0.0.2", "mover");
    Conn watcher = MemberFrom(t, "127.0.0.3", "watcher");
    ASSERT_TRUE(mover && watcher);
    // The burst: twenty changes, one at a time, each served at once.
    for (int i = 0; i < 20; ++i) {
      mover->Send(ComposeByteCommand(kCmdClientChangeRoom, static_cast<uint8_t>(1 + i % 2)));
      ASSERT_TRUE(watcher->WaitFor({kPktPlayerChangedChannel}, kWaitMs)) << i;
    }
    // The next one waits for the budget, however long the real time, until the clock moves.
    mover->Send(ComposeByteCommand(kCmdClientChangeRoom, 3));
    EXPECT_FALSE(watcher->WaitFor({kPktPlayerChangedChannel}, 300));
    clock.AdvanceMs(100);
    EXPECT_TRUE(watcher->WaitFor({kPktPlayerChangedChannel}, kWaitMs));
    // Paced again, and the server still stops promptly with the change waiting.
    mover->Send(ComposeByteCommand(kCmdClientChangeRoom, 4));
    const auto stop = Steady::now();
    t.Stop();
    std::printf("stopped with a change waiting in %.3f s\n", SecondsSince(stop));
  }
  SetClock(nullptr);
}

TEST(FairShare, ALoginChurnFromOneAddressIsSlowedAfterItsBurst) {
  TestServer t({{"General", "MaxClients", "64"}});
  ASSERT_TRUE(t.Started());
  Conn watcher = MemberFrom(t, "127.0.0.3", "watcher");
  ASSERT_TRUE(watcher);
  Counter joins(*watcher, kPktPlayerJoined);

  // Four connections at a time from one address log in and leave again, for three seconds.
  std::atomic<int> accepted{0}, other{0};
  const auto start = Steady::now();
  std::vector<std::thread> churn;
  for (int w = 0; w < 4; ++w)
    churn.emplace_back([&] {
      while (SecondsSince(start) < 3.0) {
        Conn c = Connected(t, "127.0.0.2");
        (c->Login("churn", "", "2.0", 10000) == kPktLoginAccepted ? accepted : other)++;
      }
    });
  for (auto& th : churn) th.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const double seconds = SecondsSince(start);
  const int heard = joins.Stop();
  std::printf(
      "churn: %d logins accepted in %.2f s (%d otherwise); the watcher heard %d joins "
      "(%.1f a second after the burst of 50); %llu paced waits\n",
      accepted.load(), seconds, other.load(), heard, (heard - 50) / seconds,
      static_cast<unsigned long long>(t.Server().control->Pacing().loginWaits.load()));
  EXPECT_EQ(other.load(), 0);  // slowed, never refused
  EXPECT_GE(accepted.load(), 50);
  EXPECT_LE(heard, 50 + 10 * (seconds + 1.0));
  EXPECT_GT(t.Server().control->Pacing().loginWaits.load(), 0u);
  // Another address is not slowed by the churn's budget.
  const auto other0 = Steady::now();
  EXPECT_TRUE(MemberFrom(t, "127.0.0.4", "other"));
  std::printf("a login from another address right after: %.3f s\n", SecondsSince(other0));
}

TEST(FairShare, OneAddressHoldsSixteenPlacesAndAnotherStillGetsIn) {
  TestServer t({{"General", "MaxClients", "40"}});
  ASSERT_TRUE(t.Started());
  std::vector<Conn> held;
  int refused = 0;
  std::vector<uint8_t> refusal;
  for (int i = 0; i < 40; ++i) {
    Conn c = Connected(t, "127.0.0.2");
    c->Send(ComposeLogin({"grab" + std::to_string(i), "", "2.0"}));
    auto answer = c->Receive(kWaitMs);
    ASSERT_TRUE(answer) << i;
    if (CommandOf(*answer) == kPktLoginAccepted) {
      held.push_back(std::move(c));
    } else {
      ++refused;
      if (refusal.empty()) refusal.assign(answer->begin(), answer->end());
      EXPECT_TRUE(c->WaitClosed(kWaitMs));
    }
  }
  std::printf("places: one address asked for 40 and holds %zu (%d refused)\n", held.size(), refused);
  EXPECT_EQ(held.size(), 16u);
  const Packet full = ComposeReply(0, kReplyServerFull);
  EXPECT_EQ(refusal, std::vector<uint8_t>(full.begin(), full.end()));  // the bytes of a full server
  EXPECT_EQ(CountLines(t, "Refused logins from 127.0.0.2: 16 clients from that address"), 1u);

  const auto other0 = Steady::now();
  Conn other = MemberFrom(t, "127.0.0.3", "other");
  EXPECT_TRUE(other);
  std::printf("a login from another address then: %.3f s\n", SecondsSince(other0));
  // A place given back is a place to take again.
  held.pop_back();
  EXPECT_TRUE(Eventually([&] { return t.Server().clientList->ClientCount() == 16; }));
  EXPECT_TRUE(MemberFrom(t, "127.0.0.2", "back"));
}

TEST(FairShare, FiftyClientsBehindOneAddressAllLogInAtOnce) {
  TestServer t({{"General", "MaxClients", "64"}, {"Limits", "MaxClientsPerAddress", "0"}});
  ASSERT_TRUE(t.Started());
  std::atomic<int> ready{0}, accepted{0};
  std::atomic<bool> go{false};
  std::vector<Conn> clients(50);
  std::vector<std::thread> threads;
  const auto start = Steady::now();
  for (int i = 0; i < 50; ++i)
    threads.emplace_back([&, i] {
      ++ready;
      while (!go) std::this_thread::yield();
      try {
        clients[i] = std::make_unique<client::ControlClient>();
        clients[i]->SetLocalAddress("127.0.0.5");
        clients[i]->Connect("127.0.0.1", t.TcpPort(), 10000);
        if (clients[i]->Login("nat" + std::to_string(i), "", "2.0", 10000) == kPktLoginAccepted) ++accepted;
      } catch (const std::exception&) {
      }
    });
  while (ready < 50) std::this_thread::yield();
  go = true;
  for (auto& th : threads) th.join();
  std::printf("behind one address: %d of 50 logged in within %.2f s; %llu login waits, %llu evicted\n", accepted.load(),
              SecondsSince(start), static_cast<unsigned long long>(t.Server().control->Pacing().loginWaits.load()),
              static_cast<unsigned long long>(t.Server().tcpServer->EvictedConnections()));
  EXPECT_EQ(accepted.load(), 50);
  EXPECT_EQ(t.Server().control->Pacing().loginWaits.load(), 0u);
}

}  // namespace
}  // namespace qm
