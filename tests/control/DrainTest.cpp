// The drain's stop watch as a handover carries it: resumed from the tick it began at, it keeps
// its time limit rather than starting the limit afresh, and tells what it carries.
#include <atomic>

#include <gtest/gtest.h>

#include "clients/ClientList.hpp"
#include "clients/TServerClient.hpp"
#include "control/Drain.hpp"
#include "platform/Clock.hpp"
#include "support/Waits.hpp"

namespace qm {
namespace {

TEST(DrainWatch, AResumedWatchKeepsItsStartAndTimeLimit) {
  TestClock clock(46000.0, 500000);
  ClientList clients;
  clients.Append(std::make_shared<TServerClient>(nullptr, nullptr, nullptr));
  std::atomic<int> stops{0};
  DrainWatch watch(clients, clock, [&] { ++stops; });

  // Begun 50 s before the handover with 60 s to run: 10 s are left, not 60.
  watch.Resume(clock.TickCount() - 50000, 60000);
  uint32_t start = 0, limit = 0;
  ASSERT_TRUE(watch.Watching(start, limit));
  EXPECT_EQ(start, 450000u);
  EXPECT_EQ(limit, 60000u);
  clock.AdvanceMs(9000);
  EXPECT_FALSE(test::Eventually([&] { return stops > 0; }, test::kQuietMs * 2));
  clock.AdvanceMs(1000);
  EXPECT_TRUE(test::Eventually([&] { return stops == 1; }, 5000));
  EXPECT_FALSE(watch.Watching(start, limit));
}

}  // namespace
}  // namespace qm
