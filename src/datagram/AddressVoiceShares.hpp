#pragma once
// Each IPv4 address's share of voice: so many speakers' budgets (packets and bytes a second, one
// second's burst) for all the speakers behind it together, so that a crowd behind one address,
// each within its own budget, cannot make a listener take many speakers' worth. Only speakers
// already shown to be a client's (a known key from its control host) reach it, so its addresses
// are bounded by the clients; an address idle for a second has its whole burst again and is
// pruned. A fixed table with open addressing: a lookup allocates nothing and scans nothing. It
// belongs to the UDP intake and is touched under the relay index lock only.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/TokenBucket.hpp"

namespace qm {

class AddressVoiceShares {
 public:
  struct Share {
    uint32_t ip = 0;
    uint32_t lastTick = 0;  // last datagram taken or refused
    bool used = false;
    TokenBucket packets;
    TokenBucket bytes;
    // Whether one datagram of size bytes fits now; takes nothing.
    bool Holds(uint32_t tick, uint32_t size) { return packets.Holds(tick) && bytes.Holds(tick, size); }
    // Takes what Holds has just shown is there.
    void Take(uint32_t size) {
      packets.Take();
      bytes.Take(size);
    }
  };

  // speakers 0, or budgets that are both unlimited: no share at all.
  AddressVoiceShares(uint32_t speakers, uint32_t packetsPerSecond, uint32_t bytesPerSecond);

  bool Off() const { return off_; }
  // The address's share, made full at its first datagram; nullptr when off (or, where more
  // addresses are active than any server's clients can have, not capped: their own budgets hold).
  Share* ShareOf(uint32_t ip, uint32_t tick);
  size_t Size() const { return count_; }

  // Slots of the table: twice the addresses that can be active in one second (every client
  // listed, and as many who left within it), so probes stay short.
  static constexpr size_t kSlots = 1024;
  // An address this long without a datagram has its whole burst again: its entry can go.
  static constexpr uint32_t kIdleMs = 1000;

 private:
  size_t Home(uint32_t ip) const;
  void PruneIdle(uint32_t tick);
  void Remove(size_t hole);

  bool off_;
  uint32_t packetsPerSecond_;
  uint32_t bytesPerSecond_;
  std::vector<Share> slots_;
  size_t count_ = 0;
  uint32_t lastPrune_ = 0;
};

}  // namespace qm
