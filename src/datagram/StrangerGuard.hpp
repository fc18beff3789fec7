#pragma once
// Strangers on a client's own address. A datagram's key is a 16-bit number, and a datagram from
// the client's control host may move the client to its source port (NAT rebinding), so anyone
// sharing that host (one NAT, one machine) could sweep keys and then take a client's voice. The
// guard counts "strange" datagrams (unknown key, a key of a client on another host, a key of a
// client whose UDP port is another) per source address and port, and across the ports of one
// address.
//
// UDP sources are forged freely, so nothing a forger can send may keep an honest client from its
// voice: a port past its budget is ignored (a forger cannot know the port a client will use
// next), but an address past its budget is only guarded: a new port of it may then still take a
// key of its own host's client when that client has no port yet or its port has gone dead (what a
// new login or a rebinding NAT looks like, and what needs the right key, which a forger does not
// have). Only addresses with a logged-in client come here at all (the intake
// drops the rest), so a crowd of forged addresses cannot fill the table.
//
// Used by the UDP listener thread only, so it takes no lock; nothing is allocated after
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
  // More than kPortBudget strange datagrams from one address and port within kWindowMs, and that
  // port is ignored for kIgnoreMs...
  static constexpr uint32_t kPortBudget = 5;
  static constexpr uint32_t kWindowMs = 60 * 1000;
  static constexpr uint32_t kIgnoreMs = 300 * 1000;
  // ...more than kHostBudget from all ports of one address within a window, and the address is
  // guarded for kIgnoreMs: a new port of it may take a client's key when the client has no port
  // yet (at most kGuardedClaims times a window), or when the client's port, silent for kQuietMs,
  // does not answer a server ping within kProbeWaitMs (its router moved it; a client still there
  // answers).
  static constexpr uint32_t kHostBudget = 50;
  static constexpr uint32_t kGuardedClaims = 8;
  static constexpr uint32_t kQuietMs = 500;
  static constexpr uint32_t kProbeWaitMs = 1000;
  // Sources (and addresses) remembered at once. When one that was counting within the window has
  // to give way to a newcomer, counts are being lost to a flood: for a window after that every
  // address is guarded.
  static constexpr size_t kMaxEntries = 4096;

  explicit StrangerGuard(size_t capacity = kMaxEntries);

  // A datagram whose source is not its client's current address and port, from an address some
  // logged-in client controls from.
  struct Stranger {
    enum class Kind {
      kUnknownKey,  // no client holds the key
      kForeignKey,  // the key's client controls from another address
      kClaim,       // the key's client controls from this address
    };
    Kind kind = Kind::kUnknownKey;
    uint16_t key = 0;
    // Claims: the client has no port yet, or how long its current port has been silent.
    bool firstDatagram = false;
    uint32_t quietMs = 0;
  };
  enum class Verdict {
    kIgnored,  // from an ignored port: dropped unseen
    kDrop,     // counted and dropped (no pong, no move, no relay)
    kUse,      // a claim that moves its client to the source port
    kProbe,    // a claim that may move its client once its current port proves dead (caller's part)
  };
  // Counts the datagram. An unknown key repeated by one port counts once: a client the server
  // dropped that goes on sending is not sweeping keys, and must find its port open when it logs
  // in again.
  Verdict Admit(const NetAddress& from, uint32_t now, const Stranger& datagram);

  // "Ignoring udp traffic from A:P for 300 s: 6 datagrams for unknown keys or other ports in 60 s"
  static std::string PortLine(const NetAddress& from);
  // "Guarding new udp ports of A for 300 s: 51 datagrams for unknown keys or other ports in 60 s"
  static std::string HostLine(const NetAddress& from);
  // "Udp stranger table full: new udp ports of every address are guarded for 60 s"
  static std::string CrowdedLine();

  // Datagrams dropped by an ignored port so far.
  uint64_t Dropped() const { return dropped_; }

 private:
  static constexpr uint32_t kNone = UINT32_MAX;
  static constexpr uint32_t kNoKey = UINT32_MAX;
  struct Entry {
    uint64_t key = 0;                     // packed address and port, or the address alone (HostKey)
    uint32_t prev = kNone, next = kNone;  // in its active list (most recent first) or the ignored list
    bool ignored = false;                 // a port
    bool guarded = false;                 // an address
    uint32_t since = 0;                   // the ignore's or the guard's start
    uint32_t seen = 0;                    // the last strange datagram
    uint32_t lastUnknown = kNoKey;        // a port: the unknown key of its last strange datagram
    // An address: strange datagrams and guarded claims in the window that began at windowStart. A
    // port: the ticks of its last count (at most kPortBudget) strange datagrams, ring[head] the
    // oldest once full.
    uint32_t windowStart = 0, count = 0, claims = 0;
    uint32_t ring[kPortBudget] = {};
    uint32_t head = 0;
  };
  struct List {
    uint32_t first = kNone, last = kNone;
  };

  // Counts one strange datagram on the address and on its port; false when the port is past its
  // budget (and from now on ignored).
  bool Count(uint32_t host, const NetAddress& from, uint32_t now, uint32_t unknownKey);
  bool Guarded(const Entry& host, uint32_t now) const;
  uint32_t Find(uint64_t key) const;
  // The entry of key, made when missing. When the table is full the least recently seen port
  // gives way (an address only when no port is left, never keep); kNone when nothing can.
  uint32_t FindOrMake(uint64_t key, uint32_t now, uint32_t keep);
  void Release(uint32_t index);
  List& ActiveList(uint64_t key);
  void Touch(uint32_t index);
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
  List ports_, hosts_, ignoredList_, free_;
  uint64_t dropped_ = 0;
  bool crowded_ = false;
  uint32_t crowdedTick_ = 0;  // the last time a counting entry gave way
};

}  // namespace qm
