#pragma once
// The server's eight traffic counters, in the order the statistics reply publishes them.
// Relaxed atomics: many threads add to them and exact totals under contention are not required.
#include <atomic>
#include <cstdint>

namespace qm {

class TServerCounters {
 public:
  std::atomic<uint32_t> UdpPacketsSent{0};
  std::atomic<uint32_t> UdpBytesSent{0};
  std::atomic<uint32_t> UdpPacketsReceived{0};
  std::atomic<uint32_t> UdpBytesReceived{0};
  std::atomic<uint32_t> TcpPacketsSent{0};
  std::atomic<uint32_t> TcpBytesSent{0};
  std::atomic<uint32_t> TcpPacketsReceived{0};
  std::atomic<uint32_t> TcpBytesReceived{0};

  static void Add(std::atomic<uint32_t>& counter, uint32_t amount) {
    counter.fetch_add(amount, std::memory_order_relaxed);
  }
};

}  // namespace qm
