#pragma once
// What the voice path counts for the metrics: voice dropped at intake by reason, and the delay
// from a datagram's receive stamp to the return of the send call that carried its copies, both on
// the monotonic clock. Written by the UDP listener only, read by scrapes: relaxed atomics, no lock.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace qm {

class RelayDelayHistogram {
 public:
  // Upper bounds of the buckets in milliseconds; one more bucket holds everything above.
  static constexpr std::array<double, 13> kBoundsMs = {0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 25, 50, 100, 250, 1000};
  static constexpr size_t kBuckets = kBoundsMs.size() + 1;

  void Record(int64_t delayNs) {
    if (delayNs < 0) delayNs = 0;  // a stamp read a little after its own "now"; never a negative delay
    size_t i = 0;
    while (i < kBoundsMs.size() && static_cast<double>(delayNs) > kBoundsMs[i] * 1e6) ++i;
    counts_[i].fetch_add(1, std::memory_order_relaxed);
    sumNs_.fetch_add(static_cast<uint64_t>(delayNs), std::memory_order_relaxed);
  }
  // Datagrams per bucket (not cumulative).
  std::array<uint64_t, kBuckets> Counts() const {
    std::array<uint64_t, kBuckets> out{};
    for (size_t i = 0; i < kBuckets; ++i) out[i] = counts_[i].load(std::memory_order_relaxed);
    return out;
  }
  double SumSeconds() const { return static_cast<double>(sumNs_.load(std::memory_order_relaxed)) / 1e9; }

 private:
  std::array<std::atomic<uint64_t>, kBuckets> counts_{};
  std::atomic<uint64_t> sumNs_{0};
};

struct VoiceStats {
  std::atomic<uint64_t> droppedBudget{0};   // over the speaker's budget
  std::atomic<uint64_t> droppedAddress{0};  // within it, but over its address's share
  std::atomic<uint64_t> droppedLate{0};     // waited in the server longer than kMaxVoiceWaitNs
  RelayDelayHistogram relayDelay;
};

}  // namespace qm
