#include "control/GuessThrottle.hpp"

#include <chrono>
#include <thread>

#include "net/TcpConnection.hpp"
#include "platform/Clock.hpp"

namespace qm {

void GuessThrottle::Expire(Entry& e, uint32_t now) {
  if (e.blocked && now - e.blockStart >= kBlockMs) e = Entry{};
}

bool GuessThrottle::Blocked(const std::string& address, uint32_t& answerTick) {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = entries_.find(address);
  if (it == entries_.end()) return false;
  const uint32_t now = TickCount();
  Entry& e = it->second;
  Expire(e, now);
  if (!e.blocked) return false;
  // Wrapping ticks: a slot already in the past is replaced by now.
  if (static_cast<int32_t>(e.nextAnswer - now) < 0) e.nextAnswer = now;
  answerTick = e.nextAnswer;
  e.nextAnswer += kBlockedAnswerGapMs;
  return true;
}

bool GuessThrottle::Failed(const std::string& address) {
  std::lock_guard<std::mutex> g(mutex_);
  const uint32_t now = TickCount();
  auto it = entries_.find(address);
  if (it == entries_.end()) {
    if (entries_.size() >= kMaxAddresses) PruneLocked(now);
    if (entries_.size() >= kMaxAddresses) return false;
    it = entries_.emplace(address, Entry{}).first;
    it->second.windowStart = now;
  }
  Entry& e = it->second;
  Expire(e, now);
  if (e.blocked) return false;
  if (e.failures == 0 || now - e.windowStart >= kWindowMs) {
    e.windowStart = now;
    e.failures = 0;
  }
  if (++e.failures < kMaxFailures) return false;
  e.blocked = true;
  e.blockStart = now;
  e.nextAnswer = now + kBlockedAnswerGapMs;
  return true;
}

void GuessThrottle::PruneLocked(uint32_t now) {
  for (auto it = entries_.begin(); it != entries_.end();) {
    Expire(it->second, now);
    const Entry& e = it->second;
    if (!e.blocked && (e.failures == 0 || now - e.windowStart >= kWindowMs))
      it = entries_.erase(it);
    else
      ++it;
  }
}

std::string GuessThrottle::BlockLine(const std::string& what, const std::string& address) {
  return what + " from " + address + ": too many failed passwords (" + std::to_string(kMaxFailures) + " in " +
         std::to_string(kWindowMs / 1000) + " s); blocked for " + std::to_string(kBlockMs / 1000) + " s";
}

void GuessThrottle::Clear() {
  std::lock_guard<std::mutex> g(mutex_);
  entries_.clear();
}

bool WaitForAnswerSlot(uint32_t answerTick, const TcpConnection& connection) {
  while (static_cast<int32_t>(answerTick - TickCount()) > 0) {
    if (!connection.IsOpen()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return connection.IsOpen();
}

}  // namespace qm
