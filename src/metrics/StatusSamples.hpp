#pragma once
// The status page's last hour: one sample a minute of the figures its charts show, in a ring of
// fixed size, so a server that runs for months holds the same few kilobytes and a sample costs no
// allocation. Kept and read by the metrics listener's thread alone, so it needs no lock.
#include <array>
#include <cstddef>
#include <cstdint>

#include "metrics/MetricsFigures.hpp"

namespace qm {

struct StatusSample {
  uint32_t tick = 0;  // the clock's millisecond tick when it was taken
  uint32_t clients = 0;
  // Cumulative, as the counters stand; the charts show the change from one sample to the next.
  uint32_t voiceIn = 0;    // UDP datagrams received (32 bits: differences wrap as the counter does)
  uint32_t copiesOut = 0;  // UDP datagrams sent
  uint64_t droppedBudget = 0;
  uint64_t droppedLate = 0;
  uint64_t droppedAddress = 0;
  uint64_t refusedLogins = 0;
};

StatusSample SampleOf(const ServerFigures& f, uint32_t tick);

class StatusSamples {
 public:
  static constexpr size_t kSize = 60;
  static constexpr uint32_t kIntervalMs = 60 * 1000;

  // True when no sample was taken yet or a minute has passed since the last one.
  bool Due(uint32_t tick) const { return count_ == 0 || tick - At(count_ - 1).tick >= kIntervalMs; }
  void Add(const StatusSample& sample);
  size_t Count() const { return count_; }
  // 0 is the oldest kept.
  const StatusSample& At(size_t i) const { return ring_[(next_ + kSize - count_ + i) % kSize]; }

 private:
  std::array<StatusSample, kSize> ring_{};
  size_t next_ = 0;
  size_t count_ = 0;
};

// The status document (/status.json): the figures and, from the samples and the figures of now,
// the last hour per minute. nowTick is the clock's tick the figures were taken at.
std::string StatusJson(const ServerFigures& f, const StatusSamples& samples, uint32_t nowTick);

// Text for a JSON string: quotes, backslashes and control bytes escaped, and "<", ">" and "&" as
// \u escapes, so a name cannot end a script block or an element whatever a page does with it.
std::string JsonString(const std::string& utf8);

}  // namespace qm
