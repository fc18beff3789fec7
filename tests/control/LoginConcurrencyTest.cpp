// Many clients logging in and out at once: no two share an id or key, the place limit holds, and
// an observer hears of every arrival and departure exactly once, in order for each id.
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "control/LoginHelpers.hpp"
#include "platform/Clock.hpp"

namespace qm {
namespace {

using namespace test;
using namespace test::login;

constexpr int kThreads = 40;
constexpr int kRounds = 20;

TEST(LoginConcurrency, ManyClientsComeAndGoAndEveryNoticeArrivesOnce) {
  TestServer t({{"General", "MaxClients", "64"}});
  ASSERT_TRUE(t.Started());
  Conn observer = LoggedIn(t, "observer");
  ASSERT_TRUE(observer);

  // The observer reads all the time, so the server never waits on it, until the join of "last".
  std::vector<Packet> seen;
  std::thread reader([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(240);
    while (std::chrono::steady_clock::now() < deadline) {
      auto p = observer->Receive(100);
      if (!p) continue;
      seen.push_back(std::move(*p));
      const Packet& q = seen.back();
      if (CommandOf(q) == kPktPlayerJoined && q.size() == 41 &&
          std::string(q.begin() + 11, q.begin() + 11 + q[10]) == "last")
        break;
    }
  });

  std::atomic<int> failures{0};
  std::mutex liveMutex;
  std::set<int> liveIds;  // wire players of the workers currently logged in
  std::atomic<int> duplicateIds{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kThreads; ++w) {
    workers.emplace_back([&, w] {
      for (int r = 0; r < kRounds; ++r) {
        const std::string name = "w" + std::to_string(w) + "." + std::to_string(r);
        Conn c;
        try {
          c = Connected(t, "127.0.0." + std::to_string(10 + w));
          if (c->Login(name, "", r % 2 ? "1.2.0" : "2.0", 20000) != kPktLoginAccepted) {
            ++failures;
            continue;
          }
          const int id = WirePlayerOf(*c);
          {
            std::lock_guard<std::mutex> g(liveMutex);
            if (!liveIds.insert(id).second) ++duplicateIds;
          }
          {
            // Out of the set before going, so before the server can give the id away again.
            std::lock_guard<std::mutex> g(liveMutex);
            liveIds.erase(id);
          }
          if (r % 2) {
            c->Send(ComposeCommand(kCmdClientLeave));
            // Its own departure notice, then the close.
            auto own = c->WaitFor({kPktPlayerLeft}, 20000);
            while (own && (*own)[8] != id) own = c->WaitFor({kPktPlayerLeft}, 20000);
            if (!own || !c->WaitClosed(20000)) ++failures;
          } else {
            c->Close();
          }
        } catch (const std::exception&) {
          ++failures;
        }
      }
    });
  }
  for (auto& th : workers) th.join();
  ASSERT_TRUE(Eventually([&] { return t.Server().Clients().ClientCount() == 1; }, 20000));
  // One more visitor marks the end of the stream the observer must have read.
  Conn last = LoggedIn(t, "last");
  ASSERT_TRUE(last);
  reader.join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(duplicateIds.load(), 0);

  // Per wire player: join, leave, join, leave ... with the names matching.
  std::map<int, std::string> present;
  int joins = 0, leaves = 0;
  bool sawLast = false;
  for (const Packet& p : seen) {
    const PacketHeader h = ParseHeader(p.data(), p.size());
    EXPECT_EQ(h.sessionKey, observer->SessionKey());
    if (h.command == kPktPlayerJoined) {
      const std::string name(p.begin() + 11, p.begin() + 11 + p[10]);
      if (name == "last") {
        sawLast = true;
        continue;
      }
      ++joins;
      EXPECT_FALSE(present.count(p[8])) << "second join for id " << int(p[8]) << " " << name;
      present[p[8]] = name;
    } else if (h.command == kPktPlayerLeft) {
      ++leaves;
      EXPECT_EQ(p[9], 0);
      EXPECT_TRUE(present.count(p[8])) << "leave without join for id " << int(p[8]);
      present.erase(p[8]);
    } else {
      ADD_FAILURE() << "unexpected packet type " << h.command;
    }
  }
  EXPECT_TRUE(sawLast);
  EXPECT_EQ(joins, kThreads * kRounds);
  EXPECT_EQ(leaves, kThreads * kRounds);
  EXPECT_TRUE(present.empty());
  EXPECT_EQ(CountLines(t, "Distroying client w"), static_cast<size_t>(kThreads * kRounds));
}

TEST(LoginConcurrency, RacingLoginsNeverExceedThePlaceLimit) {
  constexpr int kMax = 3;
  TestServer t({{"General", "MaxClients", std::to_string(kMax)}});
  ASSERT_TRUE(t.Started());
  std::atomic<int> accepted{0}, refused{0}, other{0};
  std::vector<Conn> keep(16);
  std::vector<std::thread> threads;
  for (int i = 0; i < 16; ++i) {
    threads.emplace_back([&, i] {
      try {
        keep[i] = Connected(t, "127.0.0." + std::to_string(10 + i));
        const int16_t answer = keep[i]->Login("r" + std::to_string(i), "", "2.0", 20000);
        if (answer == kPktLoginAccepted)
          ++accepted;
        else if (answer == kReplyServerFull)
          ++refused;
        else
          ++other;
      } catch (const std::exception&) {
        ++other;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(accepted.load(), kMax);
  EXPECT_EQ(refused.load(), 16 - kMax);
  EXPECT_EQ(other.load(), 0);
  EXPECT_EQ(t.Server().Clients().ClientCount(), static_cast<size_t>(kMax));
}

// The system's time, except that once armed it holds each server thread at its second reading
// until two threads are held (or a bound passes). A login reads the time for its "CMD <-" line,
// then for its new record, which it makes after the first place check and before the check under
// the list lock.
class GateClock : public IClock {
 public:
  explicit GateClock(IClock& real) : real_(real) {}
  double Now() override {
    std::unique_lock<std::mutex> g(mutex_);
    const auto self = std::this_thread::get_id();
    if (armed_ && self != tester_ && ++reads_[self] == 2) {
      ++held_;
      cv_.notify_all();
      cv_.wait_for(g, std::chrono::seconds(10), [this] { return held_ >= 2 && released_; });
    }
    return real_.Now();
  }
  uint32_t TickCount() override { return real_.TickCount(); }
  void Arm() {
    std::lock_guard<std::mutex> g(mutex_);
    tester_ = std::this_thread::get_id();
    armed_ = true;
  }
  bool WaitHeld(int count) {
    std::unique_lock<std::mutex> g(mutex_);
    return cv_.wait_for(g, std::chrono::seconds(10), [&] { return held_ >= count; });
  }
  void Release() {
    {
      std::lock_guard<std::mutex> g(mutex_);
      released_ = true;
      armed_ = false;
    }
    cv_.notify_all();
  }

 private:
  IClock& real_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::map<std::thread::id, int> reads_;
  std::thread::id tester_;
  bool armed_ = false, released_ = false;
  int held_ = 0;
};

TEST(LoginConcurrency, TwoLoginsPastTheFirstCheckForTheLastPlaceLetOnlyOneIn) {
  GateClock gate(Clock());
  SetClock(&gate);
  struct Restore {
    GateClock* gate;
    ~Restore() {
      gate->Release();
      SetClock(nullptr);
    }
  };
  {
    TestServer t({{"General", "MaxClients", "1"}});
    Restore restore{&gate};
    ASSERT_TRUE(t.Started());
    Conn first = Connected(t, "127.0.0.11");
    Conn second = Connected(t, "127.0.0.12");
    std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs));  // the accepts are done with
    gate.Arm();
    first->Send(ComposeLogin({"first", "", "2.0"}));
    second->Send(ComposeLogin({"second", "", "2.0"}));
    ASSERT_TRUE(gate.WaitHeld(2));
    // Nobody can be listed before one of the two is let go, so both passed the first check and
    // are making their records.
    EXPECT_EQ(t.Server().Clients().ClientCount(), 0u);
    EXPECT_EQ(CountLines(t, "CMD <- hReply: 1 ClientLogin"), 2u);
    EXPECT_EQ(CountLines(t, "Created client"), 0u);
    gate.Release();

    auto a = first->Receive(kWaitMs), b = second->Receive(kWaitMs);
    ASSERT_TRUE(a && b);
    const bool firstWon = CommandOf(*a) == 1;
    const Packet& refusal = firstWon ? *b : *a;
    EXPECT_EQ(CommandOf(firstWon ? *a : *b), 1);
    EXPECT_EQ(refusal, Packet({0xBA, 0xB0, 0, 0, 8, 0, 0xFF, 0xFF}));  // server full, key 0
    EXPECT_TRUE((firstWon ? second : first)->WaitClosed(kWaitMs));
    EXPECT_EQ(t.Server().Clients().ClientCount(), 1u);
  }
}

}  // namespace
}  // namespace qm
