#pragma once
// The relay: takes what voiceQueue holds and sends each datagram to the other clients of its
// speaker's channel or to a whisper's targets, the copies of a pass leaving in batches. A pass
// normally runs on the UDP listener right after the batch it read (RelayReceived), so a datagram
// costs no hand-over between threads; the relay sender thread sleeps on SystemEvent and runs a
// pass when woken. Passes never overlap, and each takes the queue whole, so copies reach every
// recipient in the order their datagrams arrived.
#include <cstdint>
#include <mutex>
#include <vector>

#include "clients/ClientList.hpp"
#include "datagram/Datagrams.hpp"
#include "datagram/VoiceQueue.hpp"
#include "net/ServerCounters.hpp"
#include "net/UdpEndpoint.hpp"
#include "platform/Sync.hpp"
#include "platform/Thread.hpp"

namespace qm {

class TServerClient;
class TRelayIndex;

// What the server lends the relay; all of it outlives the relay.
struct RelayServices {
  TVoiceQueue& voiceQueue;
  TClientList& clients;  // its relay index: the recipients
  UdpEndpoint& udpServer;
  AutoResetEvent& wake;  // SystemEvent: wakes the relay sender thread
  TServerCounters& counters;
};

class TUDPSender : public TThread {
 public:
  explicit TUDPSender(const RelayServices& services) : s_(services) {}
  ~TUDPSender() override;
  // One relay pass over everything queued (public for tests that drive passes directly).
  void ProcessUDPList();
  // A pass on the calling thread (the UDP listener, after each batch), unless the relay has been
  // told to stop: then what is queued stays unrelayed, as at shutdown.
  void RelayReceived();

  // Copies sent by one system call at most, and the bytes they may hold together.
  static constexpr size_t kMaxStagedCopies = 512;
  static constexpr size_t kMaxStagedBytes = 256 * 1024;

 protected:
  void Execute() override;

 private:
  // Relays one datagram; the caller holds the index lock.
  void Relay(TRelayIndex& index, std::vector<uint8_t>& datagram);
  // Puts a copy, stamped for the recipient, into the outgoing batch (sending the batch first
  // when it is full).
  void Stage(TServerClient& recipient, const std::vector<uint8_t>& datagram, bool whisper);
  // Sends the staged copies and counts those that went out.
  void SendStaged();

  struct Staged {
    size_t offset;  // into arena_
    size_t size;
    TServerClient* recipient;  // kept alive by the index, whose lock the pass holds
    NetAddress to;             // read once, when staged
    bool whisper;              // a failed whisper copy is logged; a failed channel copy is not
  };

  RelayServices s_;
  std::mutex passLock_;                      // one pass at a time, whichever thread runs it
  std::vector<std::vector<uint8_t>> batch_;  // reused between passes
  WhisperTargets targets_;
  std::vector<uint8_t> arena_;  // the staged copies' bytes
  std::vector<Staged> staged_;
  std::vector<UdpEndpoint::Outgoing> outgoing_;
};

}  // namespace qm
