// One logged-in client or one address cannot take everyone's share: channel changes and logins
// past their budgets are slowed (never refused), an address holds only so many places, and many
// clients behind one address still get in together. Rates are printed; the bounds are generous.
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

// Logged in from the given local address, its lists taken: a full member.
Conn MemberFrom(TestServer& t, const std::string& from, const std::string& name) {
  Conn c = Connected(t, from);
  if (c->Login(name, "", "2.0", kWaitMs) != kPktLoginAccepted) return nullptr;
  c->Send(ComposeSetup(0, 0));
  return c->WaitFor({kPktListsNew}, kWaitMs) ? std::move(c) : nullptr;
}

// Reads all the time (the server never waits on it), counting the packets of one type.
struct Counter {
  Counter(client::ControlClient& c, int16_t type)
      : thread([this, &c, type] {
          while (!stop)
            if (auto p = c.Receive(50); p && CommandOf(*p) == type) ++count;
        }) {}
  int Stop() {
    stop = true;
    if (thread.joinable()) thread.join();
    return count;
  }
  ~Counter() { Stop(); }
  std::atomic<bool> stop{false};
  std::atomic<int> count{0};
  std::thread thread;
};

Packet Change(int room) { return ComposeByteCommand(kCmdClientChangeRoom, static_cast<uint8_t>(room)); }

TEST(FairShare, AChannelChangeStormIsSlowedToItsBudgetForEveryReader) {
  TestServer t({{"General", "MaxClients", "64"}});
  ASSERT_TRUE(t.Started());
  std::vector<Conn> readers;
  std::vector<std::unique_ptr<Counter>> heard;
  for (int i = 0; i < 20; ++i) {
    readers.push_back(MemberFrom(t, "127.0.0." + std::to_string(10 + i), "reader"));
    ASSERT_TRUE(readers.back()) << i;
    heard.push_back(std::make_unique<Counter>(*readers.back(), kPktPlayerChangedChannel));
  }
  Conn storm = MemberFrom(t, "127.0.0.2", "storm");
  ASSERT_TRUE(storm);
  Counter own(*storm, kPktPlayerChangedChannel);  // it reads its notices too, or it would be dropped

  // A change every 2 ms for four seconds.
  const auto start = Steady::now();
  int sent = 0;
  for (; SecondsSince(start) < 4.0; ++sent) {
    storm->Send(Change(1 + sent % 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const double seconds = SecondsSince(start);
  std::vector<int> counts;
  for (auto& h : heard) counts.push_back(h->Stop());
  const auto [least, most] = std::minmax_element(counts.begin(), counts.end());
  const uint64_t waits = t.Server().Pacing()->channelChangeWaits;
  std::printf(
      "storm: %d changes sent in %.2f s; each reader heard %d to %d (%.1f a second, %.1f after the burst of "
      "20); the storm heard %d; %llu paced waits\n",
      sent, seconds, *least, *most, *most / seconds, (*most - 20) / seconds, own.Stop(),
      static_cast<unsigned long long>(waits));
  EXPECT_LE(*most, 20 + 10 * (seconds + 1.0));  // the burst, then 10 a second
  EXPECT_GE(*least, 20);                        // slowed, not stopped
  EXPECT_GT(waits, 0u);
}

TEST(FairShare, APacedChangeWaitsForTheServersClockAndShutdownDoesNot) {
  TestClock clock(qm::Now(), qm::TickCount());
  SetClock(&clock);
  {
    TestServer t;
    ASSERT_TRUE(t.Started());
    Conn mover = MemberFrom(t, "127.0.0.2", "mover");
    Conn watcher = MemberFrom(t, "127.0.0.3", "watcher");
    ASSERT_TRUE(mover && watcher);
    for (int i = 0; i <= 20; ++i) {  // the burst, served at once; then one more
      mover->Send(Change(1 + i % 2));
      EXPECT_EQ(watcher->WaitFor({kPktPlayerChangedChannel}, i < 20 ? kWaitMs : 300).has_value(), i < 20) << i;
    }
    clock.AdvanceMs(100);  // a tenth of a second's budget: the waiting change is served, not lost
    EXPECT_TRUE(watcher->WaitFor({kPktPlayerChangedChannel}, kWaitMs));
    mover->Send(Change(4));  // waits, and the server still stops (the clock never moves again)
    t.Stop();
  }
  SetClock(nullptr);
}

TEST(FairShare, ALoginChurnIsSlowedAfterItsBurstAndFiftyBehindOneAddressGetInAtOnce) {
  TestServer t({{"General", "MaxClients", "64"}, {"Limits", "MaxClientsPerAddress", "0"}});
  ASSERT_TRUE(t.Started());
  Conn watcher = MemberFrom(t, "127.0.0.3", "watcher");
  ASSERT_TRUE(watcher);
  auto joins = std::make_unique<Counter>(*watcher, kPktPlayerJoined);

  // Four connections at a time from one address log in and leave again, for three seconds.
  std::atomic<int> accepted{0}, other{0};
  auto start = Steady::now();
  std::vector<std::thread> threads;
  for (int w = 0; w < 4; ++w)
    threads.emplace_back([&] {
      while (SecondsSince(start) < 3.0)
        (Connected(t, "127.0.0.2")->Login("churn", "", "2.0", 10000) == kPktLoginAccepted ? accepted : other)++;
    });
  for (auto& th : threads) th.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const double seconds = SecondsSince(start);
  const int heard = joins->Stop();
  std::printf("churn: %d logins in %.2f s (%d refused); the watcher heard %d joins, %.1f a second after 50\n",
              accepted.load(), seconds, other.load(), heard, (heard - 50) / seconds);
  EXPECT_EQ(other.load(), 0);
  EXPECT_GE(accepted.load(), 50);
  EXPECT_LE(heard, 50 + 10 * (seconds + 1.0));
  const uint64_t churnWaits = t.Server().Pacing()->loginWaits;
  EXPECT_GT(churnWaits, 0u);

  // Fifty clients behind another address at the same moment: none waits, none is turned away.
  std::vector<Conn> nat(50);
  std::atomic<int> natIn{0};
  threads.clear();
  start = Steady::now();
  for (auto& c : nat)
    threads.emplace_back([&t, &natIn, &c] {
      c = std::make_unique<client::ControlClient>();
      c->SetLocalAddress("127.0.0.5");
      try {
        c->Connect("127.0.0.1", t.TcpPort(), 10000);  // the listen queue is short: a connect may be retried
        if (c->Login("nat", "", "2.0", 10000) == kPktLoginAccepted) ++natIn;
      } catch (const std::exception&) {
      }
    });
  for (auto& th : threads) th.join();
  std::printf("behind one address: %d of 50 logged in within %.2f s\n", natIn.load(), SecondsSince(start));
  EXPECT_EQ(natIn.load(), 50);
  EXPECT_EQ(t.Server().Pacing()->loginWaits, churnWaits);
}

TEST(FairShare, OneAddressHoldsSixteenPlacesAndAnotherStillGetsIn) {
  TestServer t({{"General", "MaxClients", "40"}});
  ASSERT_TRUE(t.Started());
  std::vector<Conn> held;
  std::vector<Packet> refusals;
  for (int i = 0; i < 40; ++i) {
    Conn c = Connected(t, "127.0.0.2");
    c->Send(ComposeLogin({"grab", "", "2.0"}));
    auto answer = c->Receive(kWaitMs);
    ASSERT_TRUE(answer) << i;
    if (CommandOf(*answer) == kPktLoginAccepted)
      held.push_back(std::move(c));
    else
      refusals.push_back(*answer);
  }
  std::printf("places: one address asked for 40 and holds %zu\n", held.size());
  EXPECT_EQ(held.size(), 16u);
  ASSERT_EQ(refusals.size(), 24u);
  EXPECT_EQ(refusals[0], ComposeReply(0, kReplyServerFull));  // the bytes of a full server
  EXPECT_EQ(CountLines(t, "Refused logins from 127.0.0.2: 16 clients from that address"), 1u);
  EXPECT_TRUE(MemberFrom(t, "127.0.0.3", "other"));
}

}  // namespace
}  // namespace qm
