#include <thread>

#include <gtest/gtest.h>

#include "platform/Sync.hpp"

namespace qm {
namespace {

TEST(AutoResetEvent, SeveralSetsGiveOneWakeUpThenWaitTimesOut) {
  AutoResetEvent event;
  event.Set();
  event.Set();
  EXPECT_TRUE(event.WaitFor(0));
  EXPECT_FALSE(event.WaitFor(20));
  event.Set();
  event.Reset();
  EXPECT_FALSE(event.WaitFor(10));
}

TEST(AutoResetEvent, SetBeforeWaitIsNotLost) {
  AutoResetEvent event;
  event.Set();
  std::thread waiter([&] { event.Wait(); });
  waiter.join();  // returns only because the earlier Set was kept
}

TEST(AutoResetEvent, SetFromAnotherThreadWakesWaiter) {
  AutoResetEvent event;
  std::thread setter([&] { event.Set(); });
  EXPECT_TRUE(event.WaitFor(10000));
  setter.join();
}

}  // namespace
}  // namespace qm
