#pragma once
// The relay's outgoing side: for one checked voice datagram, a copy per recipient (the recipient's
// key and a fresh crc stamped in), and the pongs, staged in one arena and sent with the endpoint's
// batch send. It has no thread: the UDP listener stages while it handles a batch and sends at the
// batch's end (or sooner, when the arena is full), with the relay index locked throughout, so
// every copy reaches its recipient in the order the datagrams arrived.
#include <atomic>
#include <cstdint>
#include <vector>

#include "datagram/Datagrams.hpp"
#include "datagram/VoiceStats.hpp"
#include "net/TrafficCounters.hpp"
#include "net/UdpEndpoint.hpp"

namespace qm {

class TServerClient;
class RelayIndex;

class TUDPSender {
 public:
  // now: the clock the receive stamps are on (DatagramClockNs; tests pass their own).
  using NanoClock = int64_t (*)();
  TUDPSender(UdpEndpoint& udpServer, TrafficCounters& counters, VoiceStats& stats,
             NanoClock now = platform::DatagramClockNs);

  // Shutdown's first step: voice handled afterwards gets no copies (pongs still go). True the
  // first time only.
  bool Terminate() { return !terminated_.exchange(true); }
  bool Terminated() const { return terminated_.load(std::memory_order_relaxed); }

  // Stages the copies of one voice datagram from speaker (changed in place: a whisper becomes
  // channel voice). receivedNs: when it arrived (0: unknown, not measured). The caller holds the
  // index lock until SendStaged.
  void StageVoice(RelayIndex& index, TServerClient& speaker, uint8_t* data, size_t size, int64_t receivedNs);
  // Stages a pong; only the server's counters count it, and a lost one is the client's to retry.
  void StagePong(const NetAddress& to, const PingDatagram& pong);
  // Sends what is staged, counts what went out, and records each relayed datagram's delay.
  void SendStaged();

  // Copies sent by one system call at most, and the bytes they may hold together.
  static constexpr size_t kMaxStagedCopies = 512;
  static constexpr size_t kMaxStagedBytes = 256 * 1024;

 private:
  // Puts one copy into the outgoing batch (sending the batch first when it is full); recipient
  // nullptr: a pong.
  void Stage(TServerClient* recipient, const NetAddress& to, const uint8_t* data, size_t size, uint16_t key,
             bool whisper);

  struct Staged {
    size_t offset;  // into arena_
    size_t size;
    TServerClient* recipient;  // kept alive by the index, whose lock the caller holds; nullptr: a pong
    NetAddress to;             // read once, when staged
    bool whisper;              // a failed whisper copy is logged; a failed channel copy is not
  };

  UdpEndpoint& udpServer_;
  TrafficCounters& counters_;
  VoiceStats& stats_;
  NanoClock now_;
  std::atomic<bool> terminated_{false};
  WhisperTargets targets_;
  std::vector<uint8_t> arena_;  // the staged copies' bytes
  std::vector<Staged> staged_;
  std::vector<UdpEndpoint::Outgoing> outgoing_;
  std::vector<int64_t> received_;  // receive stamps of the datagrams whose copies are all staged
};

}  // namespace qm
