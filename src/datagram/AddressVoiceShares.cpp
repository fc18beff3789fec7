#include "datagram/AddressVoiceShares.hpp"

#include <algorithm>
#include <limits>

namespace qm {
namespace {

uint32_t Times(uint32_t speakers, uint32_t perSecond) {
  const uint64_t v = static_cast<uint64_t>(speakers) * perSecond;
  return static_cast<uint32_t>(std::min<uint64_t>(v, std::numeric_limits<uint32_t>::max()));
}

// A table at most this full takes a new address; beyond it probes grow long.
constexpr size_t kMostUsed = AddressVoiceShares::kSlots * 3 / 4;

}  // namespace

AddressVoiceShares::AddressVoiceShares(uint32_t speakers, uint32_t packetsPerSecond, uint32_t bytesPerSecond)
    : off_(speakers == 0 || (packetsPerSecond == 0 && bytesPerSecond == 0)),
      packetsPerSecond_(Times(speakers, packetsPerSecond)),
      bytesPerSecond_(Times(speakers, bytesPerSecond)) {
  if (!off_) slots_.resize(kSlots);
}

size_t AddressVoiceShares::Home(uint32_t ip) const {
  // Fibonacci hashing: neighbouring addresses land far apart.
  return static_cast<size_t>((ip * 2654435769u) >> 22) & (kSlots - 1);
}

AddressVoiceShares::Share* AddressVoiceShares::ShareOf(uint32_t ip, uint32_t tick) {
  if (off_) return nullptr;
  if (tick - lastPrune_ >= kIdleMs) PruneIdle(tick);
  size_t i = Home(ip);
  for (; slots_[i].used; i = (i + 1) & (kSlots - 1)) {
    if (slots_[i].ip == ip) {
      slots_[i].lastTick = tick;
      return &slots_[i];
    }
  }
  if (count_ >= kMostUsed) {
    if (lastPrune_ == tick) return nullptr;
    PruneIdle(tick);
    if (count_ >= kMostUsed) return nullptr;
    // The prune may have moved entries: find the first free slot again.
    for (i = Home(ip); slots_[i].used; i = (i + 1) & (kSlots - 1)) {
    }
  }
  Share& s = slots_[i];
  s.used = true;
  s.ip = ip;
  s.lastTick = tick;
  s.packets.Configure(packetsPerSecond_, packetsPerSecond_, tick);
  s.bytes.Configure(bytesPerSecond_, bytesPerSecond_, tick);
  ++count_;
  return &s;
}

void AddressVoiceShares::PruneIdle(uint32_t tick) {
  lastPrune_ = tick;
  for (size_t i = 0; i < kSlots;) {
    // A removal may move a later entry into this slot: look at it again.
    if (slots_[i].used && tick - slots_[i].lastTick >= kIdleMs) {
      Remove(i);
    } else {
      ++i;
    }
  }
}

// Backward-shift deletion: entries after the hole whose home is not between the hole and them
// move into it, so every entry stays reachable from its home without tombstones.
void AddressVoiceShares::Remove(size_t hole) {
  slots_[hole].used = false;
  --count_;
  for (size_t j = (hole + 1) & (kSlots - 1); slots_[j].used; j = (j + 1) & (kSlots - 1)) {
    const size_t home = Home(slots_[j].ip);
    const bool reachable = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
    if (reachable) continue;
    slots_[hole] = slots_[j];
    slots_[j].used = false;
    hole = j;
  }
}

}  // namespace qm
