#include "control/Pacing.hpp"

#include <algorithm>

#include "net/TcpConnection.hpp"
#include "platform/Clock.hpp"

namespace qm {
namespace {

// A paced wait looks at the clock at least this often, so a test clock that is stepped (or a
// connection that ends without waking its thread) is noticed soon.
constexpr int kPauseSliceMs = 50;

}  // namespace

uint32_t AddressBudgets::TryTake(const std::string& address, uint32_t perSecond, uint32_t burstSeconds) {
  if (perSecond == 0) return 0;
  std::lock_guard<std::mutex> g(mutex_);
  const uint32_t now = clock_.TickCount();
  auto it = entries_.find(address);
  if (it == entries_.end()) {
    if (entries_.size() >= kMaxAddresses) PruneLocked(now, burstSeconds);
    if (entries_.size() >= kMaxAddresses) return 0;
    it = entries_.emplace(address, Entry{}).first;
  }
  Entry& e = it->second;
  if (e.perSecond != perSecond) {
    e.bucket.Configure(perSecond, perSecond * burstSeconds, now);
    e.perSecond = perSecond;
  }
  if (e.bucket.TryTake(now)) {
    e.lastTake = now;
    return 0;
  }
  return std::max<uint32_t>(1, e.bucket.WaitMs(now));
}

size_t AddressBudgets::Size() {
  std::lock_guard<std::mutex> g(mutex_);
  return entries_.size();
}

void AddressBudgets::PruneLocked(uint32_t now, uint32_t burstSeconds) {
  // A bucket refills whole within the burst's seconds of its last take, whatever its rate.
  const uint32_t refilled = burstSeconds * 1000;
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (now - it->second.lastTake >= refilled)
      it = entries_.erase(it);
    else
      ++it;
  }
}

bool AddressLineLimiter::Due(const std::string& address) {
  std::lock_guard<std::mutex> g(mutex_);
  const uint32_t now = clock_.TickCount();
  auto it = lastLine_.find(address);
  if (it != lastLine_.end()) {
    if (now - it->second < intervalMs_) return false;
    it->second = now;
    return true;
  }
  if (lastLine_.size() >= kMaxAddresses)
    std::erase_if(lastLine_, [&](const auto& entry) { return now - entry.second >= intervalMs_; });
  // A full table of fresh lines: this address's line goes out unrecorded rather than never.
  if (lastLine_.size() < kMaxAddresses) lastLine_.emplace(address, now);
  return true;
}

bool WaitForBudget(TcpConnection& connection, IClock& clock, const std::function<uint32_t()>& take) {
  try {
    for (;;) {
      const uint32_t wait = take();
      if (wait == 0) return true;
      const uint32_t until = clock.TickCount() + wait;
      for (auto left = static_cast<int32_t>(wait); left > 0; left = static_cast<int32_t>(until - clock.TickCount()))
        if (!connection.Pause(std::min<int32_t>(left, kPauseSliceMs))) return false;
    }
  } catch (const std::exception&) {
    // A socket failure while waiting ends the connection as a failed read would.
    return false;
  }
}

}  // namespace qm
