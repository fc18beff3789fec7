#pragma once
// What one client or one address makes the others do is paced, not refused: channel changes (a
// notice to every client each) draw on a budget per connection, logins (a join notice to every
// client each) on a budget per source address. Past its budget a connection's own thread waits,
// writing its queued output and holding no lock, until the budget allows; the client is slowed
// and loses nothing. The bursts are far above what a person does, so a person never waits.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/TokenBucket.hpp"

namespace qm {

class IClock;
class TcpConnection;

// Waits by reason, and logins refused by reason, for the metrics. Relaxed atomics: each
// connection's thread adds to them.
struct PacingCounters {
  std::atomic<uint64_t> channelChangeWaits{0};
  std::atomic<uint64_t> loginWaits{0};
  std::atomic<uint64_t> loginsRefusedFull{0};      // the server, or the address's share, full
  std::atomic<uint64_t> loginsRefusedPassword{0};  // a wrong password, looked at
  std::atomic<uint64_t> loginsRefusedGuessing{0};  // refused unseen by the guessing guard
  std::atomic<uint64_t> loginsRefusedBanned{0};    // an address the operator banned
  std::atomic<uint64_t> loginsRefusedDraining{0};  // the operator drains the server
};

// Bursts: so many seconds' worth of the rate at once.
inline constexpr uint32_t kChannelChangeBurstSeconds = 2;
inline constexpr uint32_t kLoginBurstSeconds = 5;

// One budget per source address under a leaf lock (nothing else is taken while it is held, and
// nobody waits while holding it).
class AddressBudgets {
 public:
  // Bounds the table against logins from ever-new addresses; past it, a new address is not
  // paced until idle entries can go.
  static constexpr size_t kMaxAddresses = 4096;

  // The clock outlives the budgets.
  explicit AddressBudgets(IClock& clock) : clock_(clock) {}

  // Takes one unit of the address's budget (perSecond 0: no limit). 0 when taken; otherwise the
  // milliseconds until one may be there, and nothing is taken.
  uint32_t TryTake(const std::string& address, uint32_t perSecond, uint32_t burstSeconds);
  size_t Size();

 private:
  struct Entry {
    TokenBucket bucket;
    uint32_t perSecond = 0;
    uint32_t lastTake = 0;
  };
  // Drops the entries whose budget has refilled whole: they hold nothing a fresh one would not.
  void PruneLocked(uint32_t now, uint32_t burstSeconds);

  IClock& clock_;
  std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
};

// One log line per address and interval: true when the address's line is due (and marks it
// written). Bounded like AddressBudgets; a leaf lock.
class AddressLineLimiter {
 public:
  static constexpr size_t kMaxAddresses = 4096;
  AddressLineLimiter(IClock& clock, uint32_t intervalMs) : clock_(clock), intervalMs_(intervalMs) {}
  bool Due(const std::string& address);

 private:
  IClock& clock_;
  const uint32_t intervalMs_;
  std::mutex mutex_;
  std::unordered_map<std::string, uint32_t> lastLine_;
};

// The connection's own thread waits out a budget: take() returns 0 once it took a unit, else the
// milliseconds to wait before asking again. The wait counts on the given clock (a test clock
// drives it), writes the connection's queued output meanwhile and ends early when the connection
// ends (shutdown, a kick, the peer's close): then false, and nothing was taken.
bool WaitForBudget(TcpConnection& connection, IClock& clock, const std::function<uint32_t()>& take);

}  // namespace qm
