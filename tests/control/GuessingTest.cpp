// Password guessing from one address (127.0.0.2 or .3) is throttled; the owner, on 127.0.0.1,
// is never affected. An empty administrator password switches administrator login off.
#include <algorithm>
#include <memory>
#include <string>

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
