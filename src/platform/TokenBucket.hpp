#pragma once
// A budget of so many units a second with a burst, refilled continuously from the millisecond
// tick. It has one owner thread (no lock, no atomics), so checking it costs a few arithmetic steps.
#include <algorithm>
#include <cstdint>

namespace qm {

class TokenBucket {
 public:
  // perSecond 0: no limit. The bucket starts full, so a newcomer has its whole burst at once.
  void Configure(uint32_t perSecond, uint32_t burst, uint32_t now) {
    rate_ = perSecond;
    capacity_ = static_cast<uint64_t>(std::max(burst, perSecond == 0 ? 0u : 1u)) * kScale;
    level_ = capacity_;
    last_ = now;
  }
  bool Unlimited() const { return rate_ == 0; }

  // Takes amount units when the budget holds them; otherwise takes nothing.
  bool TryTake(uint32_t now, uint32_t amount = 1) {
    if (rate_ == 0) return true;
    Refill(now);
    const uint64_t need = static_cast<uint64_t>(amount) * kScale;
    if (level_ < need) return false;
    level_ -= need;
    return true;
  }

  // Whether amount units are there now. Takes nothing: a datagram checked against several budgets
  // takes from each only when all of them hold it.
  bool Holds(uint32_t now, uint32_t amount = 1) {
    if (rate_ == 0) return true;
    Refill(now);
    return level_ >= static_cast<uint64_t>(amount) * kScale;
  }

  // Takes amount units that Holds has just shown are there.
  void Take(uint32_t amount = 1) {
    if (rate_ != 0) level_ -= static_cast<uint64_t>(amount) * kScale;
  }

  // Milliseconds until amount units will be there (0: now). Does not take them.
  uint32_t WaitMs(uint32_t now, uint32_t amount = 1) {
    if (rate_ == 0) return 0;
    Refill(now);
    const uint64_t need = std::min<uint64_t>(static_cast<uint64_t>(amount) * kScale, capacity_);
    if (level_ >= need) return 0;
    // Each millisecond adds rate_ thousandths of a unit.
    return static_cast<uint32_t>((need - level_ + rate_ - 1) / rate_);
  }

 private:
  static constexpr uint64_t kScale = 1000;  // thousandths of a unit: a millisecond's refill is exact

  void Refill(uint32_t now) {
    // Unsigned difference: the tick wraps every 49.7 days and nothing goes wrong at the wrap.
    const uint32_t elapsed = now - last_;
    last_ = now;
    level_ = std::min(capacity_, level_ + static_cast<uint64_t>(elapsed) * rate_);
  }

  uint32_t rate_ = 0;
  uint64_t capacity_ = 0;
  uint64_t level_ = 0;
  uint32_t last_ = 0;
};

}  // namespace qm
