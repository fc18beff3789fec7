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
  if (throttle.Blocked(address, answer)) return false;
  throttle.Failed(address, "Refused logins");
  return true;
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
    ASSERT_TRUE(throttle.Blocked("10.0.0.1", answer));
    EXPECT_EQ(answer, start + n * GuessThrottle::kBlockedAnswerGapMs);
  }
  time.clock.AdvanceMs(GuessThrottle::kBlockMs - 1);
  EXPECT_TRUE(throttle.Blocked("10.0.0.1", answer));
  time.clock.AdvanceMs(1);
  EXPECT_FALSE(throttle.Blocked("10.0.0.1", answer));
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
    uint32_t answer = 0;
    EXPECT_TRUE(throttle.Blocked("192.0.2.7", answer));
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
