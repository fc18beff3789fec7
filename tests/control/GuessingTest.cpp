// Password guessing from one address (127.0.0.2 or .3) is throttled; the owner, on 127.0.0.1,
// is never affected. An empty administrator password switches administrator login off.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/QmClient.hpp"
#include "control/ControlPackets.hpp"
#include "control/GuessThrottle.hpp"
#include "platform/Clock.hpp"
#include "support/ClockScope.hpp"
#include "support/TestServer.hpp"

namespace qm {
namespace {

using client::ControlClient;
using test::ClockScope;
using test::CountLines;
using test::kQuietMs;
using test::kWaitMs;

std::unique_ptr<ControlClient> From(const std::string& host, uint16_t port) {
  auto c = std::make_unique<ControlClient>();
  c->SetLocalAddress(host);
  c->Connect("127.0.0.1", port);
  return c;
}

int16_t CommandOf(const std::optional<Packet>& p) { return p ? ParseHeader(p->data(), p->size()).command : 0; }

TEST(Guessing, TenFailuresBlockTheGuessersAddressForFiveMinutesAndNeverTheOwners) {
  ClockScope time;
  test::TestServer t({{"Passwords", "ServerPassword", "door"}, {"Passwords", "AdminPassword", "keys"}});
  ASSERT_TRUE(t.Started());

  // Server password: ten wrong guesses from 127.0.0.2 are answered as usual...
  for (int i = 0; i < 10; ++i)
    EXPECT_EQ(From("127.0.0.2", t.TcpPort())->Login("x", "guess" + std::to_string(i), "1.2.2"), -2);
  const std::string block = "Refused logins from 127.0.0.2: too many failed passwords (10 in 60 s); blocked for 300 s";
  EXPECT_TRUE(t.WaitForLog(block));
  // ...then even the right one is refused, and only when its slot comes (one answer a second).
  auto blocked = From("127.0.0.2", t.TcpPort());
  blocked->Send(ComposeLogin({"x", "door", "1.2.2"}));
  EXPECT_FALSE(blocked->Receive(kQuietMs));
  time.clock.AdvanceMs(GuessThrottle::kBlockedAnswerGapMs);
  EXPECT_EQ(CommandOf(blocked->Receive(kWaitMs)), -2);
  // The owner, on another address, is not affected.
  auto owner = From("127.0.0.1", t.TcpPort());
  ASSERT_EQ(owner->Login("owner", "door", "1.2.2"), kPktLoginAccepted);

  // Administrator password, guessed by a logged-in client on 127.0.0.3.
  auto guesser = From("127.0.0.3", t.TcpPort());
  ASSERT_EQ(guesser->Login("guesser", "door", "1.2.0"), kPktLoginAccepted);
  for (int i = 0; i < 10; ++i) {
    guesser->Send(ComposeStringCommand(kCmdAdminLogin, "nope"));
    EXPECT_EQ(CommandOf(guesser->WaitFor({kReplyWrongAdminPassword}, kWaitMs)), -101);
  }
  EXPECT_TRUE(t.WaitForLog(
      "Refused administrator logins from 127.0.0.3: too many failed passwords (10 in 60 s); blocked for 300 s"));
  guesser->Send(ComposeStringCommand(kCmdAdminLogin, "keys"));
  time.clock.AdvanceMs(GuessThrottle::kBlockedAnswerGapMs);
  EXPECT_EQ(CommandOf(guesser->WaitFor({kReplyWrongAdminPassword, kReplyAdminLoginOk}, kWaitMs)), -101);
  owner->Send(ComposeStringCommand(kCmdAdminLogin, "keys"));
  EXPECT_TRUE(owner->WaitFor({kPktPlayerIsAdmin}, kWaitMs));

  // One line a block, however many attempts; after five minutes the address starts afresh.
  EXPECT_EQ(CountLines(t, block), 1u);
  time.clock.AdvanceMs(GuessThrottle::kBlockMs);
  EXPECT_EQ(From("127.0.0.2", t.TcpPort())->Login("x", "door", "1.2.2"), kPktLoginAccepted);
}

// One wrong password as the handlers take it: looked at only when not blocked (then true).
bool Looked(GuessThrottle& throttle, const std::string& address) {
  uint32_t answer = 0;
  uint64_t ticket = 0;
  const GuessThrottle::Gate gate = throttle.Ask(address, answer, ticket);
  if (gate == GuessThrottle::Gate::kQueued) throttle.Withdraw(ticket);  // refused after its wait
  if (gate != GuessThrottle::Gate::kLook) return false;
  throttle.Looked(address, false, "Refused logins");
  return true;
}
bool Blocked(GuessThrottle& throttle, const std::string& address, uint32_t& answer) {
  uint64_t ticket = 0;
  return throttle.Ask(address, answer, ticket) == GuessThrottle::Gate::kRefused;
}
std::string Crowd(int i) { return "10.0." + std::to_string(i % 200) + "." + std::to_string(i / 200 + 1); }

TEST(Guessing, TheThrottlesWindowBlockAndAnswerGapAtTheirEdges) {
  ClockScope time;
  GuessThrottle throttle(time.clock, GuessLimits{0, 0, 0});  // per address only
  // The tenth failure 60 s after the first starts counting afresh; 1 ms sooner it blocks.
  for (int i = 0; i < 9; ++i) throttle.Failed("10.0.0.1", "x");
  time.clock.AdvanceMs(GuessThrottle::kWindowMs);
  EXPECT_TRUE(throttle.Failed("10.0.0.1", "x").empty());
  for (int i = 0; i < 8; ++i) throttle.Failed("10.0.0.1", "x");
  time.clock.AdvanceMs(GuessThrottle::kWindowMs - 1);
  EXPECT_EQ(throttle.Failed("10.0.0.1", "Refused logins"),
            std::vector<std::string>{
                "Refused logins from 10.0.0.1: too many failed passwords (10 in 60 s); blocked for 300 s"});
  // Each blocked attempt waits a gap more than the one before; the block lasts to its last ms.
  const uint32_t start = time.clock.TickCount();
  uint32_t answer = 0;
  for (uint32_t n = 1; n <= 2; ++n) {
    ASSERT_TRUE(Blocked(throttle, "10.0.0.1", answer));
    EXPECT_EQ(answer, start + n * GuessThrottle::kBlockedAnswerGapMs);
  }
  time.clock.AdvanceMs(GuessThrottle::kBlockMs - 1);
  EXPECT_TRUE(Blocked(throttle, "10.0.0.1", answer));
  time.clock.AdvanceMs(1);
  EXPECT_FALSE(Blocked(throttle, "10.0.0.1", answer));
}

TEST(Guessing, ManyAddressesWithOneGuessEachNeverSwitchTheLimitOff) {
  ClockScope time;
  // 4,200 addresses (21 in each of 200 networks) with one wrong password each; then a new
  // address guesses 30 times and its right password is refused: with every rule, without the
  // shared budget (per network and the full table), and per address alone (the full table).
  for (const GuessLimits limits : {GuessLimits{}, GuessLimits{30, 0, 0}, GuessLimits{0, 0, 0}}) {
    GuessThrottle throttle(time.clock, limits);
    int looked = 0, checked = 0;
    for (int i = 0; i < 4200; ++i) looked += Looked(throttle, Crowd(i));
    for (int i = 0; i < 30; ++i) checked += Looked(throttle, "192.0.2.7");
    std::cout << "budget " << limits.perSecond << "/s, network " << limits.networkFailures << ": " << looked
              << " of 4200 attack passwords looked at, then " << checked << " of 30\n";
    // The shared budget's burst, or as many as the full table lets in.
    EXPECT_EQ(looked, limits.perSecond != 0 ? 30 : 4096);
    EXPECT_FALSE(Looked(throttle, "192.0.2.7"));
    EXPECT_LE(checked, 10);
  }
  // The full table is pruned once its failures are a minute old: a newcomer is counted as usual.
  GuessThrottle throttle(time.clock, GuessLimits{30, 0, 0});
  for (int i = 0; i < 4200; ++i) Looked(throttle, Crowd(i));
  time.clock.AdvanceMs(GuessThrottle::kWindowMs);
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(Looked(throttle, "192.0.2.7")) << i;
  EXPECT_FALSE(Looked(throttle, "192.0.2.7"));
  // Thirty failures from one /24 block all of it.
  for (int i = 1; i < 30; ++i) Looked(throttle, "10.9.9." + std::to_string(i));
  EXPECT_EQ(throttle.Failed("10.9.9.30", "Refused logins"),
            std::vector<std::string>{"Refused logins from 10.9.9.0/24: too many failed passwords from that network "
                                     "(30 in 60 s); blocked for 300 s"});
  EXPECT_FALSE(Looked(throttle, "10.9.9.200"));
  EXPECT_TRUE(Looked(throttle, "10.9.10.1"));
}

// The crowd of an attack round: 64 addresses in 16 /24 networks (none of them the honest
// 127.0.0.0/24) send wrong passwords as fast as they are answered, first for the administrator
// password (each a logged-in client), then for the server password (a connection each). Meanwhile
// the owner on 127.0.0.1 tries ten times with the right one. Prints the figures.
constexpr int kCrowdNetworks = 16;
constexpr int kCrowdPerNetwork = 4;
constexpr int kHonestTries = 10;
// Each of the crowd waits this long after an answer: about 640 guesses a second in all.
constexpr std::chrono::milliseconds kCrowdGap{100};
std::string CrowdAddress(int i) {
  return "127.20." + std::to_string(i / kCrowdPerNetwork) + "." + std::to_string(i % kCrowdPerNetwork + 1);
}

struct HonestTries {
  int in = 0;
  std::vector<double> seconds;  // each answer's time
  void Print(const char* what) const {
    std::vector<double> s = seconds;
    std::sort(s.begin(), s.end());
    std::cout << what << ": " << in << " of " << kHonestTries << " got in; answers in";
    for (double v : s) std::cout << ' ' << static_cast<int>(v * 1000) << " ms";
    std::cout << '\n';
  }
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(Guessing, ACrowdOfWrongPasswordsKeepsOutNobodyWithTheRightOneAndIsNamedInTheLog) {
  test::TestServer t({{"General", "MaxClients", "100"},
                      {"Passwords", "ServerPassword", "door"},
                      {"Passwords", "AdminPassword", "keys"}});
  ASSERT_TRUE(t.Started());
  constexpr int kCrowd = kCrowdNetworks * kCrowdPerNetwork;
  std::atomic<bool> stop{false};
  std::atomic<int> guesses{0};

  // Administrator password.
  std::vector<std::unique_ptr<ControlClient>> crowd;
  for (int i = 0; i < kCrowd; ++i) {
    crowd.push_back(From(CrowdAddress(i), t.TcpPort()));
    ASSERT_EQ(crowd.back()->Login("crowd", "door", "1.2.2"), kPktLoginAccepted) << i;
  }
  std::vector<std::thread> threads;
  const auto adminStart = std::chrono::steady_clock::now();
  for (int i = 0; i < kCrowd; ++i) {
    threads.emplace_back([&, i] {
      for (int n = 0; !stop && n < 100000; ++n) {
        crowd[i]->Send(ComposeStringCommand(kCmdAdminLogin, "guess" + std::to_string(n)));
        if (!crowd[i]->WaitFor({kReplyWrongAdminPassword}, kWaitMs)) return;
        ++guesses;
        std::this_thread::sleep_for(kCrowdGap);
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the shared budget is spent
  HonestTries admin;
  for (int i = 0; i < kHonestTries; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto owner = From("127.0.0.1", t.TcpPort());
    ASSERT_EQ(owner->Login("owner", "door", "2.0", kWaitMs), kPktLoginAccepted) << i;
    const auto sent = std::chrono::steady_clock::now();
    owner->Send(ComposeStringCommand(kCmdAdminLogin, "keys"));
    const auto answer = owner->WaitFor({kPktPlayerIsAdmin, kReplyWrongAdminPassword}, kWaitMs);
    admin.seconds.push_back(SecondsSince(sent));
    admin.in += CommandOf(answer) == kPktPlayerIsAdmin;
  }
  const double adminRate = guesses / SecondsSince(adminStart);
  stop = true;
  for (auto& th : threads) th.join();
  threads.clear();
  crowd.clear();

  // Server password.
  stop = false;
  guesses = 0;
  const auto playerStart = std::chrono::steady_clock::now();
  for (int i = 0; i < kCrowd; ++i) {
    threads.emplace_back([&, i] {
      for (int n = 0; !stop && n < 100000; ++n) {
        try {
          if (From(CrowdAddress(i), t.TcpPort())->Login("crowd", "guess" + std::to_string(n), "1.2.2", kWaitMs) != 0)
            ++guesses;
          std::this_thread::sleep_for(kCrowdGap);
        } catch (const std::exception&) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));  // turned away; try again
        }
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  HonestTries players;
  for (int i = 0; i < kHonestTries; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int16_t answer = 0;
    auto sent = std::chrono::steady_clock::now();
    try {
      auto player = From("127.0.0.1", t.TcpPort());
      sent = std::chrono::steady_clock::now();
      answer = player->Login("player", "door", "2.0", kWaitMs);
    } catch (const std::exception&) {
    }
    players.seconds.push_back(SecondsSince(sent));
    players.in += answer == kPktLoginAccepted;
  }
  const double playerRate = guesses / SecondsSince(playerStart);
  stop = true;
  for (auto& th : threads) th.join();

  // Lines that name a guessing address or network of the crowd.
  size_t named = 0;
  for (const auto& line : t.LogLines()) named += line.find("logins from 127.20.") != std::string::npos;
  std::cout << "crowd of " << kCrowd << " addresses in " << kCrowdNetworks << " networks: " << adminRate
            << " administrator guesses a second, " << playerRate << " server password guesses a second; " << named
            << " log lines name its addresses or networks\n";
  admin.Print("administrator with the right password");
  players.Print("players with the right server password");
  EXPECT_GE(admin.in, kHonestTries / 2);
  EXPECT_GE(players.in, kHonestTries - 1);
  EXPECT_GT(named, 0u);
}

TEST(Guessing, TheBudgetForAllAddressesBoundsTheLooksAndGivesEachTurnToTheLeastFailing) {
  ClockScope time;
  GuessThrottle throttle(time.clock);
  using Gate = GuessThrottle::Gate;
  // Fresh addresses in fresh networks, one wrong password each: the burst is looked at, the rest
  // not, and then two a second.
  int looked = 0;
  for (int i = 0; i < 100; ++i) looked += Looked(throttle, Crowd(i));
  EXPECT_EQ(looked, 30);
  time.clock.AdvanceMs(1000);
  looked = 0;
  for (int i = 100; i < 110; ++i) looked += Looked(throttle, Crowd(i));
  EXPECT_EQ(looked, 2);

  // Spent: an attempt waits. Of two waiting, the next look goes to the address whose network never
  // failed, though it came later; the crowd's waits on.
  uint32_t answer = 0;
  uint64_t crowd = 0, honest = 0;
  ASSERT_EQ(throttle.Ask(Crowd(0), answer, crowd), Gate::kQueued);
  ASSERT_EQ(throttle.Ask("192.0.2.7", answer, honest), Gate::kQueued);
  EXPECT_EQ(throttle.Claim(honest), Gate::kQueued);  // no look left yet
  time.clock.AdvanceMs(500);
  EXPECT_EQ(throttle.Claim(crowd), Gate::kQueued);
  EXPECT_EQ(throttle.Claim(honest), Gate::kLook);
  // A right password gives its look back.
  EXPECT_TRUE(throttle.Looked("192.0.2.7", true, "Refused logins").empty());
  EXPECT_EQ(throttle.Claim(crowd), Gate::kLook);
  throttle.Looked(Crowd(0), false, "Refused logins");

  // The waiting places are few: the crowd fills them, a newcomer that ranks ahead takes the last
  // one's place (that one is refused), one that does not is refused at once.
  std::vector<uint64_t> tickets(GuessThrottle::kMaxWaiting);
  for (size_t i = 0; i < tickets.size(); ++i)
    ASSERT_EQ(throttle.Ask(Crowd(static_cast<int>(i)), answer, tickets[i]), Gate::kQueued);
  uint64_t late = 0;
  EXPECT_EQ(throttle.Ask(Crowd(0), answer, late), Gate::kRefused);
  ASSERT_EQ(throttle.Ask("198.51.100.1", answer, honest), Gate::kQueued);
  int displaced = 0;
  for (uint64_t t : tickets) displaced += throttle.Claim(t) == Gate::kRefused;
  EXPECT_EQ(displaced, 1);
  time.clock.AdvanceMs(500);
  EXPECT_EQ(throttle.Claim(honest), Gate::kLook);
  for (uint64_t t : tickets) throttle.Withdraw(t);
}

TEST(Guessing, WhileTheSharedBudgetIsSpentTheNetworksThatFailMostAreNamedOnceAMinute) {
  ClockScope time;
  GuessThrottle throttle(time.clock);
  std::vector<std::string> lines;
  const auto fail = [&](const std::string& address) {
    for (auto& l : throttle.Failed(address, "Refused logins")) lines.push_back(std::move(l));
  };
  for (int i = 0; i < 20; ++i) fail("10.1.1." + std::to_string(i + 1));
  for (int i = 0; i < 10; ++i) fail("10.2.2." + std::to_string(i + 1));
  const std::vector<std::string> spent{
      "Refused logins from any address: too many failed passwords (30 at once, then 2 a second); passwords are "
      "looked at only as the budget allows",
      "Refused logins from 10.1.1.0/24: 20 failed passwords from that network in 60 s while the budget for all "
      "addresses is spent",
      "Refused logins from 10.2.2.0/24: 10 failed passwords from that network in 60 s while the budget for all "
      "addresses is spent"};
  EXPECT_EQ(lines, spent);
  lines.clear();
  // The budget stays spent (two failures a second from ever-new networks): the next report comes a
  // minute after the first.
  const auto reports = [&] {
    return std::count_if(lines.begin(), lines.end(),
                         [](const std::string& l) { return l.find("while the budget") != std::string::npos; });
  };
  for (uint32_t ms = 1000; ms < GuessThrottle::kCrowdReportMs; ms += 1000) {
    time.clock.AdvanceMs(1000);
    fail(Crowd(static_cast<int>(2 * ms / 1000)));
    fail(Crowd(static_cast<int>(2 * ms / 1000 + 1)));
  }
  EXPECT_EQ(reports(), 0);
  time.clock.AdvanceMs(1000);
  fail("10.2.2.99");
  EXPECT_EQ(reports(), static_cast<std::ptrdiff_t>(GuessThrottle::kCrowdReportLines));
}

TEST(Guessing, AFullServerAnswersServerFullWithoutLookingAtThePassword) {
  ClockScope time;
  test::TestServer t({{"General", "MaxClients", "1"}, {"Passwords", "ServerPassword", "door"}});
  ASSERT_TRUE(t.Started());
  auto owner = From("127.0.0.1", t.TcpPort());
  ASSERT_EQ(owner->Login("owner", "door", "1.2.2"), kPktLoginAccepted);
  // Ten wrong passwords while the only place is taken: "server full" each time, and none is a
  // guess, so the address is not blocked afterwards.
  for (int i = 0; i < 10; ++i)
    EXPECT_EQ(From("127.0.0.2", t.TcpPort())->Login("x", "guess" + std::to_string(i), "1.2.2"), kReplyServerFull);
  EXPECT_EQ(CountLines(t, "Created client x"), 0u);
  EXPECT_EQ(CountLines(t, "Refused logins from 127.0.0.2"), 0u);
  owner->Send(ComposeCommand(kCmdClientLeave));
  ASSERT_TRUE(t.WaitForLog("Distroying client owner[1]"));
  EXPECT_EQ(From("127.0.0.2", t.TcpPort())->Login("x", "door", "1.2.2"), kPktLoginAccepted);
}

TEST(Guessing, AnEmptyAdministratorPasswordSwitchesAdministratorLoginOff) {
  {
    test::TestServer t({{"Passwords", "AdminPassword", ""}});
    ASSERT_TRUE(t.Started());
    auto c = From("127.0.0.1", t.TcpPort());
    ASSERT_EQ(c->Login("c", "", "1.2.0"), kPktLoginAccepted);
    c->Send(ComposeStringCommand(kCmdAdminLogin, ""));
    EXPECT_EQ(CommandOf(c->WaitFor({kReplyWrongAdminPassword, kReplyAdminLoginOk}, kWaitMs)), -101);
    EXPECT_EQ(CountLines(t, "AdminPassword is the built-in default"), 0u);
  }

  // The built-in default is in force: start-up warns.
  test::TestServer fresh;
  ASSERT_TRUE(fresh.Started());
  EXPECT_EQ(CountLines(fresh, "Warning: AdminPassword is the built-in default"), 1u);
}

}  // namespace
}  // namespace qm
