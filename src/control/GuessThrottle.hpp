#pragma once
// Failed passwords counted per source address, per /24 network and for all addresses together.
// Ten failures within a minute block an address for five minutes, thirty block its /24; past a
// small budget for everybody (a burst, then a few a second) passwords are not looked at until
// the failures slow down. A blocked attempt is refused without looking at the password, and
// refusals to one known address are held back so that it gets at most one answer a second
// however many connections it opens. The tables are bounded: when one is full even after
// pruning, an address it cannot track is treated as blocked, so filling it never switches the
// limit off. Time comes from the clock it is given.
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/TokenBucket.hpp"

namespace qm {

class IClock;

// The shared budgets; 0 switches one off (tests of the per-address rules alone).
struct GuessLimits {
  uint32_t networkFailures = 30;  // per /24 within the window
  uint32_t perSecond = 2;         // all addresses together, after the burst
  uint32_t burst = 30;
};

class GuessThrottle {
 public:
  static constexpr uint32_t kMaxFailures = 10;
  static constexpr uint32_t kWindowMs = 60 * 1000;
  static constexpr uint32_t kBlockMs = 300 * 1000;
  // While blocked, refusals to one address go out at most this often.
  static constexpr uint32_t kBlockedAnswerGapMs = 1000;
  // Bounds each table against a flood from ever-new addresses.
  static constexpr size_t kMaxAddresses = 4096;

  // The clock outlives the throttle.
  explicit GuessThrottle(IClock& clock, GuessLimits limits = {});

  // When the address may not have its password looked at: true, and answerTick receives the
  // tick from which its refusal may be written (each attempt of a known address takes the next
  // free slot).
  bool Blocked(const std::string& address, uint32_t& answerTick);
  // Counts one failed password. Returns the lines that announce what this failure started (an
  // address or network blocked, the shared budget spent), each once; `what` begins them
  // ("Refused logins").
  std::vector<std::string> Failed(const std::string& address, const std::string& what);
  // "<what> from <address>: too many failed passwords (10 in 60 s); blocked for 300 s"
  static std::string BlockLine(const std::string& what, const std::string& address);
  // The /24 an IPv4 address belongs to ("203.0.113.0/24"); any other address stands for itself.
  static std::string NetworkOf(const std::string& address);

  void Clear();

 private:
  struct Entry {
    uint32_t windowStart = 0;
    uint32_t failures = 0;
    bool blocked = false;
    uint32_t blockStart = 0;
    uint32_t nextAnswer = 0;
  };
  using Table = std::unordered_map<std::string, Entry>;

  // Drops a block that has run its time, so counting starts afresh (mutex_ held).
  static void Expire(Entry& e, uint32_t now);
  // Counts a failure in the key's entry; true when it starts a block. An untracked key in a
  // full table counts nothing (it is refused as blocked meanwhile).
  static bool Count(Table& table, const std::string& key, uint32_t limit, uint32_t now);
  // Refused unseen: blocked itself, or untrackable because its table is full.
  static bool Refused(Table& table, const std::string& key, uint32_t now, Entry*& entry);
  void PruneIfFull(uint32_t now);
  bool BudgetSpent(uint32_t now);

  IClock& clock_;
  const GuessLimits limits_;
  std::mutex mutex_;
  Table addresses_;
  Table networks_;
  TokenBucket budget_;
  bool budgetSpent_ = false;  // announced once until the budget has filled up again
  bool pruned_ = false;
  uint32_t lastPrune_ = 0;
};

}  // namespace qm

namespace qm {
class TcpConnection;
// Holds a blocked refusal back until its slot (a tick of the throttle's clock) on the connection's
// own thread (no lock held); false when the connection closed meanwhile (shutdown, the peer gave up).
bool WaitForAnswerSlot(uint32_t answerTick, IClock& clock, const TcpConnection& connection);
}  // namespace qm
