#include "datagram/StrangerGuard.hpp"

#include "log/Log.hpp"
#include "platform/Platform.hpp"
#include "platform/SplitMix.hpp"

namespace qm {
namespace {

// An address's own entry: the packed address with a bit no packed address and port has.
uint64_t HostKey(const NetAddress& from) { return (static_cast<uint64_t>(from.ip) << 16) | (1ull << 48); }

// Wrapping ticks: true while less than span has passed since start.
bool Within(uint32_t now, uint32_t start, uint32_t span) { return now - start < span; }

std::string Reason(uint32_t count) {
  return ": " + std::to_string(count) + " datagrams for unknown keys or other ports in " +
         std::to_string(StrangerGuard::kWindowMs / 1000) + " s";
}

}  // namespace

StrangerGuard::StrangerGuard(size_t capacity) : entries_(capacity > 1 ? capacity : 2) {
  // Twice the entries keeps probe runs short; the seed keeps a sender from choosing ports that
  // all land in one run.
  size_t slots = 1;
  while (slots < entries_.size() * 2) slots <<= 1;
  slots_.assign(slots, 0);
  mask_ = slots - 1;
  seed_ = SplitMix64(platform::RandomSeed() ^ reinterpret_cast<uintptr_t>(this));
  for (uint32_t i = 0; i < entries_.size(); ++i) Push(free_, i, End::kBack);
}

StrangerGuard::Verdict StrangerGuard::Admit(const NetAddress& from, uint32_t now, const Stranger& datagram) {
  ExpireIgnores(now);
  const uint32_t known = Find(from.Pack());
  if (known != kNone && entries_[known].ignored) {
    ++dropped_;
    return Verdict::kIgnored;
  }
  const bool unknown = datagram.kind == Stranger::Kind::kUnknownKey;
  if (unknown && known != kNone && entries_[known].lastUnknown == datagram.key) return Verdict::kDrop;
  if (crowded_ && !Within(now, crowdedTick_, kWindowMs)) crowded_ = false;

  const uint32_t host = FindOrMake(HostKey(from), now, kNone);
  if (host == kNone) return Verdict::kDrop;  // a table of ignored ports only: nothing can be counted
  Entry& h = entries_[host];
  if (h.count == 0 || !Within(now, h.windowStart, kWindowMs)) {
    h.windowStart = now;
    h.count = 0;
    h.claims = 0;
  }
  const bool claim = datagram.kind == Stranger::Kind::kClaim;
  const bool guarded = crowded_ || Guarded(h, now);
  if (guarded && claim) {
    // What a forger cannot send (the right key from the client's host) is judged by the client's
    // own state, and costs the port nothing: a busy client stays where it is, a silent one is
    // asked whether it is still there.
    if (!datagram.firstDatagram) return datagram.quietMs < kQuietMs ? Verdict::kDrop : Verdict::kProbe;
    if (h.claims >= kGuardedClaims) return Verdict::kDrop;
    ++h.claims;
    return Verdict::kUse;
  }
  // A client's first datagram from its own host is what every login sends; counting it would let
  // a host with many players guard itself.
  if (claim && datagram.firstDatagram) return Verdict::kUse;
  const bool within = Count(host, from, now, unknown ? datagram.key : kNoKey);
  return within && claim && !(crowded_ || Guarded(entries_[host], now)) ? Verdict::kUse : Verdict::kDrop;
}

bool StrangerGuard::Count(uint32_t host, const NetAddress& from, uint32_t now, uint32_t unknownKey) {
  Entry& h = entries_[host];
  h.seen = now;
  if (++h.count > kHostBudget && !Guarded(h, now)) {
    h.guarded = true;
    h.since = now;
    WriteLogLimited(HostLine(from), kLogWarning, from.AddressText());
  }
  const uint32_t port = FindOrMake(from.Pack(), now, host);
  // crowded_ just set: this very datagram pushed out a counting entry.
  if (port == kNone) return false;
  Entry& p = entries_[port];
  p.seen = now;
  p.lastUnknown = unknownKey;
  // The ring holds the last kPortBudget ticks: a full ring whose oldest is inside the window
  // means this datagram is one more than the budget within it.
  if (p.count == kPortBudget && Within(now, p.ring[p.head], kWindowMs)) {
    StartIgnoring(port, now);
    WriteLogLimited(PortLine(from), kLogWarning, from.AddressText());
    return false;
  }
  p.ring[p.head] = now;
  p.head = (p.head + 1) % kPortBudget;
  if (p.count < kPortBudget) ++p.count;
  return true;
}

bool StrangerGuard::Guarded(const Entry& host, uint32_t now) const {
  return host.guarded && Within(now, host.since, kIgnoreMs);
}

std::string StrangerGuard::PortLine(const NetAddress& from) {
  return "Ignoring udp traffic from " + from.AddressText() + ":" + std::to_string(from.port) + " for " +
         std::to_string(kIgnoreMs / 1000) + " s" + Reason(kPortBudget + 1);
}

std::string StrangerGuard::CrowdedLine() {
  return "Udp stranger table full: new udp ports of every address are guarded for " + std::to_string(kWindowMs / 1000) +
         " s";
}

std::string StrangerGuard::HostLine(const NetAddress& from) {
  return "Guarding new udp ports of " + from.AddressText() + " for " + std::to_string(kIgnoreMs / 1000) + " s" +
         Reason(kHostBudget + 1);
}

void StrangerGuard::StartIgnoring(uint32_t index, uint32_t now) {
  Unlink(ActiveList(entries_[index].key), index);
  entries_[index].ignored = true;
  entries_[index].since = now;
  Push(ignoredList_, index, End::kBack);
}

void StrangerGuard::ExpireIgnores(uint32_t now) {
  while (ignoredList_.first != kNone && !Within(now, entries_[ignoredList_.first].since, kIgnoreMs))
    Release(ignoredList_.first);
}

StrangerGuard::List& StrangerGuard::ActiveList(uint64_t key) { return (key >> 48) != 0 ? hosts_ : ports_; }

void StrangerGuard::Touch(uint32_t index) {
  // Seen again: the least recently seen entry is the one that gives way when the table is full.
  if (entries_[index].ignored) return;
  List& list = ActiveList(entries_[index].key);
  Unlink(list, index);
  Push(list, index, End::kFront);
}

uint32_t StrangerGuard::FindOrMake(uint64_t key, uint32_t now, uint32_t keep) {
  uint32_t i = Find(key);
  if (i != kNone) {
    Touch(i);
    return i;
  }
  if (free_.first == kNone) {
    ExpireIgnores(now);
    if (free_.first == kNone) {
      // Ports give way before addresses: an address's count and guard outlast a flood of its
      // ports. With nothing active left (all ignored), the newcomer is not let in.
      uint32_t victim = ports_.last != kNone ? ports_.last : hosts_.last;
      if (victim == keep && victim != kNone) victim = entries_[victim].prev;
      if (victim == kNone) return kNone;
      if (Within(now, entries_[victim].seen, kWindowMs)) {
        if (!crowded_) WriteLog(CrowdedLine(), kLogWarning);
        crowded_ = true;
        crowdedTick_ = now;
      }
      Release(victim);
    }
  }
  i = free_.first;
  Unlink(free_, i);
  entries_[i] = Entry{};
  entries_[i].key = key;
  entries_[i].seen = now;
  size_t s = Slot(key);
  while (slots_[s] != 0) s = (s + 1) & mask_;
  slots_[s] = i + 1;
  Push(ActiveList(key), i, End::kFront);
  return i;
}

uint32_t StrangerGuard::Find(uint64_t key) const {
  for (size_t s = Slot(key); slots_[s] != 0; s = (s + 1) & mask_)
    if (entries_[slots_[s] - 1].key == key) return slots_[s] - 1;
  return kNone;
}

void StrangerGuard::Release(uint32_t index) {
  size_t s = Slot(entries_[index].key);
  while (slots_[s] != index + 1) s = (s + 1) & mask_;
  // Backward-shift deletion: later members of the probe run move up, so no tombstones pile up.
  slots_[s] = 0;
  for (size_t j = (s + 1) & mask_; slots_[j] != 0; j = (j + 1) & mask_) {
    const size_t home = Slot(entries_[slots_[j] - 1].key);
    const bool homeInGap = s <= j ? (s < home && home <= j) : (s < home || home <= j);
    if (homeInGap) continue;
    slots_[s] = slots_[j];
    slots_[j] = 0;
    s = j;
  }
  Unlink(entries_[index].ignored ? ignoredList_ : ActiveList(entries_[index].key), index);
  entries_[index].ignored = false;
  Push(free_, index, End::kBack);
}

void StrangerGuard::Unlink(List& list, uint32_t index) {
  Entry& e = entries_[index];
  (e.prev == kNone ? list.first : entries_[e.prev].next) = e.next;
  (e.next == kNone ? list.last : entries_[e.next].prev) = e.prev;
  e.prev = e.next = kNone;
}

void StrangerGuard::Push(List& list, uint32_t index, End at) {
  const bool front = at == End::kFront;
  Entry& e = entries_[index];
  uint32_t& end = front ? list.first : list.last;
  (front ? e.prev : e.next) = kNone;
  (front ? e.next : e.prev) = end;
  if (end == kNone)
    (front ? list.last : list.first) = index;
  else
    (front ? entries_[end].prev : entries_[end].next) = index;
  end = index;
}

size_t StrangerGuard::Slot(uint64_t key) const { return static_cast<size_t>(SplitMix64(key ^ seed_)) & mask_; }

}  // namespace qm
