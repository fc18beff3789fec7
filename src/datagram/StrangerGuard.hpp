#pragma once
// Strangers on a client's own address. A datagram's key is a 16-bit number, and a datagram from
// the client's control host may move the client to its source port (NAT rebinding), so anyone
// sharing that host (one NAT, one machine) could sweep keys by pings and then take a client's
// voice. The guard counts "strange" datagrams (unknown key, a key of a client on another host, a
// key of a client whose UDP port is another) per source address and port, and across the ports
// of one address; past a budget the source, or every new port of the address, is ignored for a
// while. Used by the UDP listener thread only, so it takes no lock; nothing is allocated after
// construction but the line logged when an ignore starts. Ticks are the caller's (TickCount),
// compared wrap-safely.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "net/NetAddress.hpp"

namespace qm {

class StrangerGuard {
 public:
  // More than kPortBudget strange datagrams from one address and port within kWindowMs...
  static constexpr uint32_t kPortBudget = 5;
  // ...or more than kHostBudget from all ports of one address within a kWindowMs window...
  static constexpr uint32_t kHostBudget = 50;
  static constexpr uint32_t kWindowMs = 60 * 1000;
  // ...and that port, or every port of that address but the clients' current ones, is ignored.
  static constexpr uint32_t kIgnoreMs = 300 * 1000;
  // Sources (and addresses) remembered at once. When one that was counting within the window has
  // to give way to a newcomer, counts are being lost to a flood: for a window after that, no
  // strange datagram may be used at all (clients' current ports are not affected).
  static constexpr size_t kMaxEntries = 4096;

  explicit StrangerGuard(size_t capacity = kMaxEntries);

  // First, for every datagram whose source is not its client's current address and port: true
  // when it must be dropped before anything else (no pong, no move, no relay, no log).
  bool Ignored(const NetAddress& from, uint32_t now);
  // Counts one strange datagram (after Ignored said no). True when it may still be used: a known
  // key from a new port of the client's host moves the client; false drops it.
  bool CountStrange(const NetAddress& from, uint32_t now) { return Count(from, now, kNoKey); }
  // The same for a key that matches no client (dropped whatever the answer), where one port
  // repeating its last such key counts once: a client the server dropped that goes on sending
  // is not sweeping keys, and must find its port open when it logs in again.
  void CountUnknownKey(const NetAddress& from, uint32_t now, uint16_t key) { Count(from, now, key); }

  // "Ignoring udp traffic from A:P for 300 s: 6 datagrams for unknown keys or other ports in 60 s"
  static std::string PortLine(const NetAddress& from);
  // "Ignoring new udp ports of A for 300 s: 51 datagrams for unknown keys or other ports in 60 s"
  static std::string HostLine(const NetAddress& from);
  // "Udp stranger table full: no new udp port may claim a key for 60 s"
  static std::string CrowdedLine();

  // Datagrams dropped by Ignored so far.
  uint64_t Dropped() const { return dropped_; }

 private:
  static constexpr uint32_t kNone = UINT32_MAX;
  static constexpr uint32_t kNoKey = UINT32_MAX;
  struct Entry {
    uint64_t key = 0;                     // packed address and port, or the address alone (HostKey)
    uint32_t prev = kNone, next = kNone;  // in the active (most recent first) or the ignored list
    bool ignored = false;
    uint32_t ignoreStart = 0;
    uint32_t seen = 0;              // the last strange datagram
    uint32_t lastUnknown = kNoKey;  // a port: the unknown key of its last strange datagram
    // An address: count strange datagrams in the window that began at windowStart. A port: the
    // ticks of its last count (at most kPortBudget) strange datagrams, ring[head] the oldest once full.
    uint32_t windowStart = 0, count = 0;
    uint32_t ring[kPortBudget] = {};
    uint32_t head = 0;
  };
  struct List {
    uint32_t first = kNone, last = kNone;
  };

  bool Count(const NetAddress& from, uint32_t now, uint32_t unknownKey);
  uint32_t Find(uint64_t key) const;
  // The entry of key, made when missing (the least recently seen active one gives way if the
  // table is full, never keep); kNone when no entry can give way.
  uint32_t FindOrMake(uint64_t key, uint32_t now, uint32_t keep);
  void Release(uint32_t index);
  bool IgnoredEntry(uint64_t key, uint32_t now);
  void StartIgnoring(uint32_t index, uint32_t now);
  // Ends ignores that have run their time (oldest first, so the ignored list stays in order).
  void ExpireIgnores(uint32_t now);
  void Unlink(List& list, uint32_t index);
  // Links an unlinked entry in at the list's front or back.
  enum class End { kFront, kBack };
  void Push(List& list, uint32_t index, End at);
  size_t Slot(uint64_t key) const;

  std::vector<Entry> entries_;
  std::vector<uint32_t> slots_;  // open addressing, linear probing: entry index + 1, 0 free
  size_t mask_ = 0;
  uint64_t seed_ = 0;
  List active_, ignoredList_, free_;
  uint64_t dropped_ = 0;
  bool crowded_ = false;
  uint32_t crowdedTick_ = 0;  // the last time a counting entry gave way
};

}  // namespace qm
