#include "control/GuessThrottle.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

#include "net/TcpConnection.hpp"
#include "platform/Clock.hpp"

namespace qm {
namespace {
// A full table is pruned at most this often: a scan of thousands of entries per attempt would
// let a flood cost more than the passwords it guesses.
constexpr uint32_t kPruneGapMs = 1000;
// How often a waiting attempt asks again for its turn.
constexpr int kTurnPollMs = 10;
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

bool GuessThrottle::LookLeft(uint32_t now) {
  if (budget_.Unlimited()) return true;
  // Each look given and not yet ended holds one unit back, so however many attempts look at once
  // their failures never take more than the budget has.
  return looking_ < std::max<uint32_t>(limits_.burst, 1) && budget_.WaitMs(now, looking_ + 1) == 0;
}

uint32_t GuessThrottle::RecentFailures(const Table& table, const std::string& key, uint32_t now) {
  auto it = table.find(key);
  if (it == table.end()) return 0;
  const Entry& e = it->second;
  return e.blocked || now - e.windowStart < kWindowMs ? e.failures : 0;
}

GuessThrottle::Gate GuessThrottle::Ask(const std::string& address, uint32_t& answerTick, uint64_t& ticket) {
  std::lock_guard<std::mutex> g(mutex_);
  const uint32_t now = clock_.TickCount();
  PruneIfFull(now);
  Entry* own = nullptr;
  Entry* network = nullptr;
  bool refused = Refused(addresses_, address, now, own);
  if (limits_.networkFailures != 0 && Refused(networks_, NetworkOf(address), now, network)) refused = true;
  if (refused) {
    answerTick = now;
    if (own) {
      // Wrapping ticks: a slot already in the past is replaced by now.
      if (static_cast<int32_t>(own->nextAnswer - now) < 0) own->nextAnswer = now;
      answerTick = own->nextAnswer;
      own->nextAnswer += kBlockedAnswerGapMs;
    }
    return Gate::kRefused;
  }
  if (budget_.Unlimited()) return Gate::kLook;
  CountAttempt(address, now);
  if (limits_.networkFailures != 0) CountAttempt(NetworkOf(address), now);
  if (waiting_.empty() && LookLeft(now)) {
    ++looking_;
    return Gate::kLook;
  }
  answerTick = now;
  const uint64_t mine = nextTicket_;
  const Rank rank = RankOf(address, mine, now);
  if (waiting_.size() >= kMaxWaiting) {
    auto last = waiting_.begin();
    Rank lastRank = RankOf(last->address, last->ticket, now);
    for (auto it = std::next(waiting_.begin()); it != waiting_.end(); ++it) {
      const Rank r = RankOf(it->address, it->ticket, now);
      if (lastRank < r) {
        last = it;
        lastRank = r;
      }
    }
    if (!(rank < lastRank)) return Gate::kRefused;
    waiting_.erase(last);  // its own Claim finds it gone
  }
  ticket = nextTicket_++;
  waiting_.push_back({ticket, address});
  return Gate::kQueued;
}

void GuessThrottle::CountAttempt(const std::string& key, uint32_t now) {
  auto it = attempts_.find(key);
  if (it == attempts_.end()) {
    if (attempts_.size() >= kMaxAddresses && now - lastAttemptsPrune_ >= kPruneGapMs) {
      lastAttemptsPrune_ = now;
      std::erase_if(attempts_, [&](const auto& a) { return now - a.second.windowStart >= kWindowMs; });
    }
    // Past its bound a newcomer is not counted: it ranks as one that has asked little, never worse.
    if (attempts_.size() >= kMaxAddresses) return;
    it = attempts_.emplace(key, Attempts{now, 0}).first;
  }
  if (now - it->second.windowStart >= kWindowMs) it->second = Attempts{now, 0};
  ++it->second.count;
}

uint32_t GuessThrottle::RecentAttempts(const std::string& key, uint32_t now) const {
  auto it = attempts_.find(key);
  return it == attempts_.end() || now - it->second.windowStart >= kWindowMs ? 0 : it->second.count;
}

GuessThrottle::Rank GuessThrottle::RankOf(const std::string& address, uint64_t ticket, uint32_t now) const {
  // The network's figures come first: a crowd spread over many fresh addresses of a few networks
  // still ranks behind an address that never failed. Among those that never failed, a crowd's own
  // attempts (its connections, which nobody can forge) put it behind.
  const bool networks = limits_.networkFailures != 0;
  const std::string network = NetworkOf(address);
  auto it = addresses_.find(address);
  const bool looked = it != addresses_.end() && it->second.looked;
  const uint32_t sinceLook = looked ? now - it->second.lastLook : UINT32_MAX;
  return {networks ? RecentFailures(networks_, network, now) : 0,
          RecentFailures(addresses_, address, now),
          networks ? RecentAttempts(network, now) : 0,
          RecentAttempts(address, now),
          UINT32_MAX - sinceLook,
          ticket};
}

GuessThrottle::Gate GuessThrottle::Claim(uint64_t ticket) {
  std::lock_guard<std::mutex> g(mutex_);
  const uint32_t now = clock_.TickCount();
  auto mine = std::find_if(waiting_.begin(), waiting_.end(), [&](const Waiting& w) { return w.ticket == ticket; });
  if (mine == waiting_.end()) return Gate::kRefused;
  if (!LookLeft(now)) return Gate::kQueued;
  const Rank own = RankOf(mine->address, mine->ticket, now);
  for (const Waiting& w : waiting_)
    if (w.ticket != ticket && RankOf(w.address, w.ticket, now) < own) return Gate::kQueued;
  waiting_.erase(mine);
  ++looking_;
  return Gate::kLook;
}

void GuessThrottle::Withdraw(uint64_t ticket) {
  std::lock_guard<std::mutex> g(mutex_);
  waiting_.erase(std::remove_if(waiting_.begin(), waiting_.end(), [&](const Waiting& w) { return w.ticket == ticket; }),
                 waiting_.end());
}

bool GuessThrottle::AwaitTurn(const std::string& address, TcpConnection& connection, uint32_t& answerTick) {
  uint64_t ticket = 0;
  Gate gate = Ask(address, answerTick, ticket);
  const uint32_t start = clock_.TickCount();
  try {
    while (gate == Gate::kQueued) {
      if (clock_.TickCount() - start >= kTurnWaitMs || !connection.Pause(kTurnPollMs)) break;
      gate = Claim(ticket);
    }
  } catch (const std::exception&) {
    // A socket failure while waiting: the refusal finds the connection closed and writes nothing.
  }
  if (gate == Gate::kLook) return true;
  if (gate == Gate::kQueued) {
    Withdraw(ticket);
    answerTick = clock_.TickCount();
  } else if (ticket != 0) {
    answerTick = clock_.TickCount();  // displaced
  }
  return false;
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

std::vector<std::string> GuessThrottle::Looked(const std::string& address, bool right, const std::string& what) {
  std::lock_guard<std::mutex> g(mutex_);
  const uint32_t now = clock_.TickCount();
  if (looking_ > 0) --looking_;
  std::vector<std::string> lines;
  if (right) {
    // A right password was no guess: only attempts that got nobody in count against a rank.
    for (const std::string& key : {address, NetworkOf(address)}) {
      auto it = attempts_.find(key);
      if (it != attempts_.end() && it->second.count > 0) --it->second.count;
    }
    return lines;
  }
  PruneIfFull(now);
  if (Count(addresses_, address, kMaxFailures, now)) lines.push_back(BlockLine(what, address));
  if (auto it = addresses_.find(address); it != addresses_.end()) {
    it->second.looked = true;
    it->second.lastLook = now;
  }
  if (limits_.networkFailures != 0 && Count(networks_, NetworkOf(address), limits_.networkFailures, now)) {
    lines.push_back(what + " from " + NetworkOf(address) + ": too many failed passwords from that network (" +
                    std::to_string(limits_.networkFailures) + " in " + std::to_string(kWindowMs / 1000) +
                    " s); blocked for " + std::to_string(kBlockMs / 1000) + " s");
  }
  if (!budget_.Unlimited()) {
    budget_.TryTake(now);
    if (BudgetSpent(now) && !budgetSpent_) {
      budgetSpent_ = true;
      reported_ = false;
      lines.push_back(what + " from any address: too many failed passwords (" + std::to_string(limits_.burst) +
                      " at once, then " + std::to_string(limits_.perSecond) +
                      " a second); passwords are looked at only as the budget allows");
    }
    if (budgetSpent_) CrowdReport(what, now, lines);
  }
  return lines;
}

void GuessThrottle::CrowdReport(const std::string& what, uint32_t now, std::vector<std::string>& lines) {
  if (reported_ && now - lastReport_ < kCrowdReportMs) return;
  reported_ = true;
  lastReport_ = now;
  // Networks where they are counted, else addresses; a blocked one has had its own line.
  const bool networks = limits_.networkFailures != 0;
  const Table& table = networks ? networks_ : addresses_;
  std::vector<std::pair<uint32_t, const std::string*>> most;
  for (const auto& [key, e] : table)
    if (!e.blocked && now - e.windowStart < kWindowMs && e.failures > 0) most.emplace_back(e.failures, &key);
  const size_t shown = std::min(most.size(), kCrowdReportLines);
  std::partial_sort(
      most.begin(), most.begin() + static_cast<std::ptrdiff_t>(shown), most.end(),
      [](const auto& a, const auto& b) { return a.first > b.first || (a.first == b.first && *a.second < *b.second); });
  for (size_t i = 0; i < shown; ++i)
    lines.push_back(what + " from " + *most[i].second + ": " + std::to_string(most[i].first) +
                    " failed passwords from that " + (networks ? "network" : "address") + " in " +
                    std::to_string(kWindowMs / 1000) + " s while the budget for all addresses is spent");
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
  looking_ = 0;
  waiting_.clear();
  attempts_.clear();
  reported_ = false;
  pruned_ = false;
}

std::vector<GuessThrottle::Record> GuessThrottle::Export() {
  std::lock_guard<std::mutex> g(mutex_);
  std::vector<Record> out;
  for (const Table* table : {&addresses_, &networks_}) {
    for (const auto& [key, e] : *table) {
      if (e.failures == 0 && !e.blocked) continue;
      out.push_back({key, table == &networks_, e.windowStart, e.failures, e.blocked, e.blockStart});
    }
  }
  return out;
}

void GuessThrottle::Import(const std::vector<Record>& records) {
  std::lock_guard<std::mutex> g(mutex_);
  const uint32_t now = clock_.TickCount();
  for (const Record& r : records) {
    Table& table = r.network ? networks_ : addresses_;
    if (table.size() >= kMaxAddresses) continue;
    Entry& e = table[r.key];
    e.windowStart = r.windowStart;
    e.failures = r.failures;
    e.blocked = r.blocked;
    e.blockStart = r.blockStart;
    e.nextAnswer = now;
  }
}

bool WaitForAnswerSlot(uint32_t answerTick, IClock& clock, const TcpConnection& connection) {
  while (static_cast<int32_t>(answerTick - clock.TickCount()) > 0) {
    if (!connection.IsOpen()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return connection.IsOpen();
}

}  // namespace qm
