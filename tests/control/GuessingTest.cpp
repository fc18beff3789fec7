// Password guessing from one address (127.0.0.2 or .3) is throttled; the owner, on 127.0.0.1,
// is never affected. An empty administrator password switches administrator login off.
#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/QmClient.hpp"
#include "control/ControlPackets.hpp"
#include "control/GuessThrottle.hpp"
#include "platform/Clock.hpp"
#include "support/TestServer.hpp"

namespace qm {
namespace {

using client::ControlClient;
constexpr int kWaitMs = 5000;
constexpr int kQuietMs = 200;

class ClockScope {
 public:
  ClockScope() : clock(qm::Now(), qm::TickCount()) { SetClock(&clock); }
  ~ClockScope() { SetClock(nullptr); }
  TestClock clock;
};

std::unique_ptr<ControlClient> From(const std::string& host, uint16_t port) {
  auto c = std::make_unique<ControlClient>();
  c->SetLocalAddress(host);
  c->Connect("127.0.0.1", port);
  return c;
}

int16_t CommandOf(const std::optional<Packet>& p) { return p ? ParseHeader(p->data(), p->size()).command : 0; }

size_t CountLines(const test::TestServer& t, const std::string& text) {
  const auto lines = t.LogLines();
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

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

// One attempt as the handlers make it: looked at only when not blocked. True when refused.
bool Refused(GuessThrottle& throttle, const std::string& address, bool right) {
  uint32_t answerTick = 0;
  if (throttle.Blocked(address, answerTick)) return true;
  if (!right) throttle.Failed(address, "Refused logins");
  return !right;
}

TEST(Guessing, TheThrottlesWindowBlockAnswerGapAndFullTableAtTheirEdges) {
  ClockScope time;
  GuessThrottle throttle(GuessLimits{0, 0, 0});  // per address only
  uint32_t answer = 0;

  // Ten failures blocked only within 60 s: the tenth at 60 s starts counting afresh.
  for (int i = 0; i < 9; ++i) EXPECT_TRUE(throttle.Failed("10.0.0.1", "Refused logins").empty());
  time.clock.AdvanceMs(GuessThrottle::kWindowMs);
  EXPECT_TRUE(throttle.Failed("10.0.0.1", "Refused logins").empty());
  EXPECT_FALSE(throttle.Blocked("10.0.0.1", answer));
  for (int i = 0; i < 8; ++i) throttle.Failed("10.0.0.1", "Refused logins");
  time.clock.AdvanceMs(GuessThrottle::kWindowMs - 1);
  const auto lines = throttle.Failed("10.0.0.1", "Refused logins");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Refused logins from 10.0.0.1: too many failed passwords (10 in 60 s); blocked for 300 s");
  const uint32_t blockStart = TickCount();

  // Each blocked attempt waits one more answer gap than the one before it.
  ASSERT_TRUE(throttle.Blocked("10.0.0.1", answer));
  EXPECT_EQ(answer, blockStart + GuessThrottle::kBlockedAnswerGapMs);
  ASSERT_TRUE(throttle.Blocked("10.0.0.1", answer));
  EXPECT_EQ(answer, blockStart + 2 * GuessThrottle::kBlockedAnswerGapMs);

  // Blocked until the last millisecond of its 300 s, then free.
  time.clock.AdvanceMs(GuessThrottle::kBlockMs - 1);
  EXPECT_TRUE(throttle.Blocked("10.0.0.1", answer));
  time.clock.AdvanceMs(1);
  EXPECT_FALSE(throttle.Blocked("10.0.0.1", answer));

  // A table full of fresh failures refuses addresses it cannot track; once they are a minute
  // old it is pruned, and a newcomer is counted (and blocked) as usual.
  throttle.Clear();
  for (size_t i = 0; i < GuessThrottle::kMaxAddresses; ++i)
    throttle.Failed("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256), "Refused logins");
  EXPECT_TRUE(throttle.Blocked("10.2.0.1", answer));
  time.clock.AdvanceMs(GuessThrottle::kWindowMs);
  EXPECT_FALSE(throttle.Blocked("10.2.0.1", answer));
  for (int i = 0; i < 9; ++i) EXPECT_TRUE(throttle.Failed("10.2.0.1", "Refused logins").empty());
  EXPECT_EQ(throttle.Failed("10.2.0.1", "Refused logins").size(), 1u);
}

TEST(Guessing, ManyAddressesWithOneGuessEachNeverSwitchTheLimitOff) {
  ClockScope time;
  // The attack: 4,200 addresses over 17 networks, one wrong password each, at full speed; then a
  // new address guesses 30 times and tries the right password. With every rule on, and with the
  // shared budget off (the per-network count and the full table must hold on their own).
  for (const GuessLimits limits : {GuessLimits{}, GuessLimits{30, 0, 0}, GuessLimits{0, 0, 0}}) {
    GuessThrottle throttle(limits);
    size_t looked = 0;
    for (int i = 0; i < 4200; ++i) {
      // Spread over as many /24s as it takes to stay under the per-network count.
      const int network = limits.networkFailures ? i % 200 : i / 256;
      const int host = limits.networkFailures ? i / 200 + 1 : i % 256;
      const std::string address =
          "10." + std::to_string(network / 256) + "." + std::to_string(network % 256) + "." + std::to_string(host);
      uint32_t answer = 0;
      if (!throttle.Blocked(address, answer)) {
        ++looked;
        throttle.Failed(address, "Refused logins");
      }
    }
    int checked = 0;
    for (int i = 0; i < 30; ++i) {
      uint32_t answer = 0;
      if (!throttle.Blocked("192.0.2.7", answer)) {
        ++checked;
        throttle.Failed("192.0.2.7", "Refused logins");
      }
    }
    std::cout << "budget " << limits.perSecond << "/s, network " << limits.networkFailures << ": " << looked
              << " of 4200 attack passwords looked at, then " << checked << " of 30\n";
    EXPECT_TRUE(Refused(throttle, "192.0.2.7", true)) << limits.perSecond << " " << limits.networkFailures;
    EXPECT_LE(checked, 10);
  }

  // One network is blocked after 30 failures from any of its addresses.
  GuessThrottle throttle(GuessLimits{30, 0, 0});
  for (int i = 1; i <= 29; ++i) EXPECT_TRUE(throttle.Failed("10.9.9." + std::to_string(i), "x").empty());
  const auto lines = throttle.Failed("10.9.9.30", "Refused logins");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "Refused logins from 10.9.9.0/24: too many failed passwords from that network (30 in 60 s); "
            "blocked for 300 s");
  EXPECT_TRUE(Refused(throttle, "10.9.9.200", true));
  EXPECT_FALSE(Refused(throttle, "10.9.10.1", true));
}

TEST(Guessing, AGuessingCrowdSpendsTheSharedBudgetAndTheOwnerGetsInOnceItRefills) {
  ClockScope time;
  test::TestServer t({{"Passwords", "ServerPassword", "door"},
                      {"Passwords", "AdminPassword", "keys"},
                      {"General", "MaxClients", "64"}});
  ASSERT_TRUE(t.Started());
  // One wrong server password from each of 40 addresses in 40 networks, and one wrong
  // administrator password from each of 40 logged-in clients.
  std::vector<std::unique_ptr<ControlClient>> crowd;
  auto host = [](int i) { return "127.0." + std::to_string(i) + ".9"; };
  for (int i = 1; i <= 40; ++i) {
    crowd.push_back(From(host(i), t.TcpPort()));
    ASSERT_EQ(crowd.back()->Login("c" + std::to_string(i), "door", "1.2.0"), kPktLoginAccepted);
  }
  for (int i = 1; i <= 40; ++i) {
    EXPECT_EQ(From(host(i), t.TcpPort())->Login("x", "nope", "1.2.2"), -2) << i;
    crowd[i - 1]->Send(ComposeStringCommand(kCmdAdminLogin, "nope"));
    EXPECT_EQ(CommandOf(crowd[i - 1]->WaitFor({kReplyWrongAdminPassword}, kWaitMs)), -101) << i;
  }
  EXPECT_TRUE(t.WaitForLog("Refused logins from any address: too many failed passwords"));
  EXPECT_TRUE(t.WaitForLog("Refused administrator logins from any address: too many failed passwords"));
  // Meanwhile the right passwords from a fresh address are not looked at.
  EXPECT_EQ(From("127.0.100.1", t.TcpPort())->Login("owner", "door", "1.2.2"), -2);
  crowd.front()->Send(ComposeStringCommand(kCmdAdminLogin, "keys"));
  EXPECT_EQ(CommandOf(crowd.front()->WaitFor({kReplyWrongAdminPassword, kReplyAdminLoginOk}, kWaitMs)), -101);
  // A second later the budget holds a guess again: the owner's right passwords get in.
  time.clock.AdvanceMs(1000);
  auto owner = From("127.0.100.1", t.TcpPort());
  ASSERT_EQ(owner->Login("owner", "door", "1.2.2"), kPktLoginAccepted);
  owner->Send(ComposeStringCommand(kCmdAdminLogin, "keys"));
  EXPECT_TRUE(owner->WaitFor({kPktPlayerIsAdmin}, kWaitMs));
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
