#pragma once
// A test clock installed for one scope (a whole test, server included): time moves only when the
// test says so.
#include <cstdint>

#include "platform/Clock.hpp"

namespace qm::test {

class ClockScope {
 public:
  ClockScope() : ClockScope(qm::Now(), qm::TickCount()) {}  // starting at the real time
  ClockScope(double now, uint32_t tick) : clock(now, tick) { SetClock(&clock); }
  ~ClockScope() { SetClock(nullptr); }
  ClockScope(const ClockScope&) = delete;
  ClockScope& operator=(const ClockScope&) = delete;

  TestClock clock;
};

}  // namespace qm::test
