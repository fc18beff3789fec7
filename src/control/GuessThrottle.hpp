#pragma once
// Failed passwords counted per source address, per /24 network and for all addresses together.
// Ten failures within a minute block an address for five minutes, thirty block its /24; a budget
// for everybody (a burst, then a few a second) bounds how many passwords a crowd gets looked at.
// A blocked attempt is refused without looking at the password, and refusals to one known address
// are held back so that it gets at most one answer a second however many connections it opens.
// Past the shared budget an attempt waits its turn (at most a second), and each look the budget
// frees goes to the waiting attempt whose network and address failed least, so a crowd's own
// failures put it behind those who have never failed instead of keeping them out. The tables are
// bounded: when one is full even after pruning, an address it cannot track is treated as blocked,
// so filling it never switches the limit off. Time comes from the clock it is given.
#include <cstdint>
#include <mutex>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "platform/TokenBucket.hpp"

namespace qm {

class IClock;
class TcpConnection;

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
  // The longest an attempt waits for the shared budget before it is refused unseen.
  static constexpr uint32_t kTurnWaitMs = 1000;
  // While the shared budget is spent, the networks (or addresses) that failed most are named this
  // often, so a log watcher learns who the crowd is although none of them reaches its own limit.
  static constexpr uint32_t kCrowdReportMs = 60 * 1000;
  static constexpr size_t kCrowdReportLines = 8;

  // Attempts waiting for the shared budget at most; a newcomer that ranks ahead of the last of
  // them takes its place (that one is refused at once), any other is refused at once. Waiting
  // logins hold connections that count against the listener's cap on those not logged in, so a
  // crowd must not park there.
  static constexpr size_t kMaxWaiting = 8;

  enum class Gate { kLook, kRefused, kQueued };

  // The clock outlives the throttle.
  explicit GuessThrottle(IClock& clock, GuessLimits limits = {});

  // Asks to look at a password from the address. kRefused: blocked, or the shared budget is spent
  // and the waiting places are held by better-ranked attempts; answerTick receives the tick from
  // which its refusal may be written (each attempt of a known address takes the next free slot).
  // kLook: the caller looks and reports with Looked. kQueued: ticket holds the attempt's place
  // among the waiting (Claim, Withdraw). The rank, lowest first: fewest failures of its network in
  // the window, then of its address, then fewest attempts of its network and of its address, then
  // the least recently looked at, then the longest waiting.
  Gate Ask(const std::string& address, uint32_t& answerTick, uint64_t& ticket);
  // kLook: the budget had a look to give and the ticket came first among the waiting (it has left
  // the queue; the caller looks as after kLook). kQueued: still waiting. kRefused: a better-ranked
  // newcomer took its place.
  Gate Claim(uint64_t ticket);
  void Withdraw(uint64_t ticket);
  // Ask, then Claim until the turn comes, on the connection's own thread with no lock held. False:
  // refused unseen (blocked, displaced, no turn within kTurnWaitMs, or the connection ended),
  // answerTick as for kRefused.
  bool AwaitTurn(const std::string& address, TcpConnection& connection, uint32_t& answerTick);
  // Ends a look. A right password costs nothing; a wrong one spends the shared budget and counts
  // for its address and network. Returns the lines that announce what this failure started (an
  // address or network blocked, the shared budget spent) and, while the budget is spent, the
  // crowd's report once each kCrowdReportMs; `what` begins them ("Refused logins").
  std::vector<std::string> Looked(const std::string& address, bool right, const std::string& what);
  // A wrong password (the per-address and per-network rules on their own, in tests).
  std::vector<std::string> Failed(const std::string& address, const std::string& what) {
    return Looked(address, false, what);
  }
  // "<what> from <address>: too many failed passwords (10 in 60 s); blocked for 300 s"
  static std::string BlockLine(const std::string& what, const std::string& address);
  // The /24 an IPv4 address belongs to ("203.0.113.0/24"); any other address stands for itself.
  static std::string NetworkOf(const std::string& address);

  void Clear();

  // What an upgrade in place carries over: each address's and network's failures and blocks.
  // The shared budget, the waiting turns and the attempt counts start afresh.
  struct Record {
    std::string key;
    bool network = false;
    uint32_t windowStart = 0;
    uint32_t failures = 0;
    bool blocked = false;
    uint32_t blockStart = 0;
  };
  std::vector<Record> Export();
  // Into an empty throttle; ticks are of the same clock (a monotonic one survives the exec).
  void Import(const std::vector<Record>& records);

 private:
  struct Entry {
    uint32_t windowStart = 0;
    uint32_t failures = 0;
    bool blocked = false;
    uint32_t blockStart = 0;
    uint32_t nextAnswer = 0;
    bool looked = false;  // lastLook holds when its password was last looked at
    uint32_t lastLook = 0;
  };
  using Table = std::unordered_map<std::string, Entry>;
  // Failures of the network and the address, their attempts, how recently the address was looked
  // at (longer ago is lower), arrival.
  using Rank = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint64_t>;
  struct Waiting {
    uint64_t ticket;
    std::string address;
  };
  // Attempts per address and network while the budget is limited, for the rank only: they block
  // nothing, so filling their table harms no one.
  struct Attempts {
    uint32_t windowStart;
    uint32_t count;
  };

  // Drops a block that has run its time, so counting starts afresh (mutex_ held).
  static void Expire(Entry& e, uint32_t now);
  // Counts a failure in the key's entry; true when it starts a block. An untracked key in a
  // full table counts nothing (it is refused as blocked meanwhile).
  static bool Count(Table& table, const std::string& key, uint32_t limit, uint32_t now);
  // Refused unseen: blocked itself, or untrackable because its table is full.
  static bool Refused(Table& table, const std::string& key, uint32_t now, Entry*& entry);
  void PruneIfFull(uint32_t now);
  bool BudgetSpent(uint32_t now);
  // A look the budget can give now, beyond those already given and not yet ended.
  bool LookLeft(uint32_t now);
  // Failures within the window of the key's entry (0 without one).
  static uint32_t RecentFailures(const Table& table, const std::string& key, uint32_t now);
  Rank RankOf(const std::string& address, uint64_t ticket, uint32_t now) const;
  void CountAttempt(const std::string& key, uint32_t now);
  uint32_t RecentAttempts(const std::string& key, uint32_t now) const;
  void CrowdReport(const std::string& what, uint32_t now, std::vector<std::string>& lines);

  IClock& clock_;
  const GuessLimits limits_;
  std::mutex mutex_;
  Table addresses_;
  Table networks_;
  TokenBucket budget_;
  bool budgetSpent_ = false;  // announced once until the budget has filled up again
  uint32_t looking_ = 0;      // looks given and not yet ended: the budget's reserved part
  std::vector<Waiting> waiting_;
  std::unordered_map<std::string, Attempts> attempts_;
  uint32_t lastAttemptsPrune_ = 0;
  uint64_t nextTicket_ = 1;
  uint32_t lastReport_ = 0;
  bool reported_ = false;  // lastReport_ holds the last crowd report of this spent budget
  bool pruned_ = false;
  uint32_t lastPrune_ = 0;
};

}  // namespace qm

namespace qm {
// Holds a blocked refusal back until its slot (a tick of the throttle's clock) on the connection's
// own thread (no lock held); false when the connection closed meanwhile (shutdown, the peer gave up).
bool WaitForAnswerSlot(uint32_t answerTick, IClock& clock, const TcpConnection& connection);
}  // namespace qm
