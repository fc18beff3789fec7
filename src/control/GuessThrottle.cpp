#include "control/GuessThrottle.hpp"

#include <chrono>
#include <thread>

#include "net/TcpConnection.hpp"
#include "platform/Clock.hpp"

namespace qm {
namespace {
// A full table is pruned at most this often: a scan of thousands of entries per attempt would
// let a flood cost more than the passwords it guesses.
constexpr uint32_t kPruneGapMs = 1000;
}  // namespace

GuessThrottle::GuessThrottle(IClock& clock, GuessLimits limits) : clock_(clock), limits_(limits) {
  budget_.Configure(limits_.perSecond, limits_.burst, clock_.TickCount());
}

void GuessThrottle::Expire(Entry& e, uint32_t now) {
  if (e.blocked && now - e.blockStart >= kBlockMs) e = Entry{};
}

std::string GuessThrottle::NetworkOf(const std::string& address) {
  int dots = 0;
  for (char c : address) {
    if (c == '.')
      ++dots;
    else if (c < '0' || c > '9')
      return address;
  }
  if (dots != 3) return address;
  return address.substr(0, address.rfind('.')) + ".0/24";
}

bool GuessThrottle::Refused(Table& table, const std::string& key, uint32_t now, Entry*& entry) {
  auto it = table.find(key);
  if (it == table.end()) {
    entry = nullptr;
    return table.size() >= kMaxAddresses;
  }
  entry = &it->second;
  Expire(*entry, now);
  return entry->blocked;
}

bool GuessThrottle::BudgetSpent(uint32_t now) {
  if (budget_.Unlimited()) return false;
  if (budgetSpent_ && budget_.WaitMs(now, limits_.burst) == 0) budgetSpent_ = false;
  return budget_.WaitMs(now) > 0;
}

bool GuessThrottle::Blocked(const std::string& address, uint32_t& answerTick) {
  std::lock_guard<std::mutex> g(mutex_);
  const uint32_t now = clock_.TickCount();
  PruneIfFull(now);
  Entry* own = nullptr;
  Entry* network = nullptr;
  bool refused = Refused(addresses_, address, now, own);
  if (limits_.networkFailures != 0 && Refused(networks_, NetworkOf(address), now, network)) refused = true;
  if (BudgetSpent(now)) refused = true;
  if (!refused) return false;
  answerTick = now;
  if (own) {
    // Wrapping ticks: a slot already in the past is replaced by now.
    if (static_cast<int32_t>(own->nextAnswer - now) < 0) own->nextAnswer = now;
    answerTick = own->nextAnswer;
    own->nextAnswer += kBlockedAnswerGapMs;
  }
  return true;
}

bool GuessThrottle::Count(Table& table, const std::string& key, uint32_t limit, uint32_t now) {
  auto it = table.find(key);
  if (it == table.end()) {
    if (table.size() >= kMaxAddresses) return false;
    it = table.emplace(key, Entry{}).first;
  }
  Entry& e = it->second;
  Expire(e, now);
  if (e.blocked) return false;
  if (e.failures == 0 || now - e.windowStart >= kWindowMs) {
    e.windowStart = now;
    e.failures = 0;
  }
  if (++e.failures < limit) return false;
  e.blocked = true;
  e.blockStart = now;
  e.nextAnswer = now + kBlockedAnswerGapMs;
  return true;
}

std::vector<std::string> GuessThrottle::Failed(const std::string& address, const std::string& what) {
  std::lock_guard<std::mutex> g(mutex_);
  const uint32_t now = clock_.TickCount();
  PruneIfFull(now);
  std::vector<std::string> lines;
  if (Count(addresses_, address, kMaxFailures, now)) lines.push_back(BlockLine(what, address));
  if (limits_.networkFailures != 0 && Count(networks_, NetworkOf(address), limits_.networkFailures, now)) {
    lines.push_back(what + " from " + NetworkOf(address) + ": too many failed passwords from that network (" +
                    std::to_string(limits_.networkFailures) + " in " + std::to_string(kWindowMs / 1000) +
                    " s); blocked for " + std::to_string(kBlockMs / 1000) + " s");
  }
  if (!budget_.Unlimited()) {
    budget_.TryTake(now);
    if (BudgetSpent(now) && !budgetSpent_) {
      budgetSpent_ = true;
      lines.push_back(what + " from any address: too many failed passwords (" + std::to_string(limits_.burst) +
                      " at once, then " + std::to_string(limits_.perSecond) +
                      " a second); passwords are looked at only as the budget allows");
    }
  }
  return lines;
}

void GuessThrottle::PruneIfFull(uint32_t now) {
  if (addresses_.size() < kMaxAddresses && networks_.size() < kMaxAddresses) return;
  if (pruned_ && now - lastPrune_ < kPruneGapMs) return;
  pruned_ = true;
  lastPrune_ = now;
  for (Table* table : {&addresses_, &networks_}) {
    for (auto it = table->begin(); it != table->end();) {
      Expire(it->second, now);
      const Entry& e = it->second;
      if (!e.blocked && (e.failures == 0 || now - e.windowStart >= kWindowMs))
        it = table->erase(it);
      else
        ++it;
    }
  }
}

std::string GuessThrottle::BlockLine(const std::string& what, const std::string& address) {
  return what + " from " + address + ": too many failed passwords (" + std::to_string(kMaxFailures) + " in " +
         std::to_string(kWindowMs / 1000) + " s); blocked for " + std::to_string(kBlockMs / 1000) + " s";
}

void GuessThrottle::Clear() {
  std::lock_guard<std::mutex> g(mutex_);
  addresses_.clear();
  networks_.clear();
  budget_.Configure(limits_.perSecond, limits_.burst, clock_.TickCount());
  budgetSpent_ = false;
  pruned_ = false;
}

bool WaitForAnswerSlot(uint32_t answerTick, IClock& clock, const TcpConnection& connection) {
  while (static_cast<int32_t>(answerTick - clock.TickCount()) > 0) {
    if (!connection.IsOpen()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return connection.IsOpen();
}

}  // namespace qm
