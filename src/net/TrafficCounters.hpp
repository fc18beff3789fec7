#pragma once
// The eight traffic counters, kept by the server and by each client alike, in the order the
// statistics reply and the metrics publish them.
// Relaxed atomics: many threads add to them and exact totals under contention are not required.
#include <array>
#include <atomic>
#include <cstdint>

namespace qm {

// UDP packets sent, bytes sent, packets received, bytes received, then the same for TCP.
using TrafficSnapshot = std::array<uint32_t, 8>;

class TrafficCounters {
 public:
  std::atomic<uint32_t> UdpPacketsSent{0};
  std::atomic<uint32_t> UdpBytesSent{0};
  std::atomic<uint32_t> UdpPacketsReceived{0};
  std::atomic<uint32_t> UdpBytesReceived{0};
  std::atomic<uint32_t> TcpPacketsSent{0};
  std::atomic<uint32_t> TcpBytesSent{0};
  std::atomic<uint32_t> TcpPacketsReceived{0};
  std::atomic<uint32_t> TcpBytesReceived{0};

  // Packets and their bytes are always counted together.
  void CountUdpSent(uint32_t packets, uint32_t bytes) { Add(UdpPacketsSent, packets, UdpBytesSent, bytes); }
  void CountUdpReceived(uint32_t packets, uint32_t bytes) { Add(UdpPacketsReceived, packets, UdpBytesReceived, bytes); }
  void CountTcpSent(uint32_t packets, uint32_t bytes) { Add(TcpPacketsSent, packets, TcpBytesSent, bytes); }
  void CountTcpReceived(uint32_t packets, uint32_t bytes) { Add(TcpPacketsReceived, packets, TcpBytesReceived, bytes); }

  // Each counter read once; the eight are not one instant, which nobody needs.
  TrafficSnapshot Snapshot() const {
    const auto get = [](const std::atomic<uint32_t>& c) { return c.load(std::memory_order_relaxed); };
    return {get(UdpPacketsSent), get(UdpBytesSent), get(UdpPacketsReceived), get(UdpBytesReceived),
            get(TcpPacketsSent), get(TcpBytesSent), get(TcpPacketsReceived), get(TcpBytesReceived)};
  }

 private:
  static void Add(std::atomic<uint32_t>& packetCounter, uint32_t packets, std::atomic<uint32_t>& byteCounter,
                  uint32_t bytes) {
    packetCounter.fetch_add(packets, std::memory_order_relaxed);
    byteCounter.fetch_add(bytes, std::memory_order_relaxed);
  }
};

}  // namespace qm
