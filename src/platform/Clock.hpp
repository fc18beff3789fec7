#pragma once
// All time the server reads comes through here: the local date-time (days since 30 December 1899)
// and the 32-bit millisecond tick. Tests install a TestClock to set the hour and step time
// instead of sleeping.
#include <atomic>
#include <chrono>
#include <cstdint>

namespace qm {

class IClock {
 public:
  virtual ~IClock() = default;
  virtual double Now() = 0;          // local date-time
  virtual uint32_t TickCount() = 0;  // milliseconds, wrapping
};

// The clock in force: the system's unless a test installed another.
IClock& Clock();
// Installs a clock (nullptr restores the system's). The caller keeps it alive while installed.
void SetClock(IClock* clock);

inline double Now() { return Clock().Now(); }
inline uint32_t TickCount() { return Clock().TickCount(); }

// A clock that moves only when told to. Now and the tick move together.
class TestClock : public IClock {
 public:
  TestClock(double now, uint32_t tick) : now_(now), tick_(tick) {}
  double Now() override { return now_.load(); }
  uint32_t TickCount() override { return tick_.load(); }
  void SetNow(double now) { now_.store(now); }
  void SetTick(uint32_t tick) { tick_.store(tick); }
  void AdvanceMs(uint32_t ms) {
    now_.store(now_.load() + ms / 86400000.0);
    tick_.fetch_add(ms);
  }

 private:
  std::atomic<double> now_;
  std::atomic<uint32_t> tick_;
};

// Waits bounded in real time (a connect, a reply, a socket wait) count on the monotonic clock,
// which no test clock replaces. Whole milliseconds from now until the deadline; 0 once it has passed.
inline int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  using std::chrono::milliseconds;
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Date-time arithmetic on days since 30 December 1899.
double EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int millisecond);
struct DateTimeParts {
  int year, month, day, hour, minute, second, millisecond;
};
DateTimeParts DecodeDateTime(double t);

// Round(Frac(t) x 86,400,000): the time-of-day part in milliseconds; whole days are dropped.
uint32_t MillisecondsOf(double t);

}  // namespace qm
