#pragma once
// voiceQueue: voice datagrams received and not yet relayed. UDP intake appends a private copy of
// each datagram; the relay sender takes everything queued in one go. Buffers are recycled so the
// steady state allocates nothing.
#include <cstdint>
#include <vector>

#include "platform/Sync.hpp"

namespace qm {

class TVoiceQueue {
 public:
  using Buffer = std::vector<uint8_t>;

  RecursiveLock& Lock() { return lock_; }
  // Appends a copy of the datagram (subject to the same bound as Push).
  bool Append(const uint8_t* data, size_t size);
  // A spare buffer (empty, capacity kept) for intake to copy a datagram into outside the lock.
  Buffer Acquire();
  // Appends a buffer filled by the caller (ownership passes to the queue). False, and the buffer
  // dropped, when kMaxQueued datagrams already wait: intake never waits for the relay, so a relay
  // that cannot keep up must not let the queue grow without bound.
  bool Push(Buffer buffer);
  // Moves every queued datagram into out (which must be empty), oldest first.
  void TakeAll(std::vector<Buffer>& out);
  // Hands relayed buffers back for reuse; out is left empty.
  void Recycle(std::vector<Buffer>& buffers);
  size_t Count();

  static constexpr size_t kMaxQueued = 8192;

 private:
  static constexpr size_t kMaxSpare = 1024;
  RecursiveLock lock_;
  std::vector<Buffer> queue_;
  std::vector<Buffer> spare_;
};

}  // namespace qm
