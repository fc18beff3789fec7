#pragma once
// UDP intake: the UDP listener's handlers. What they may touch of the server comes in
// IntakeServices.
#include <cstddef>
#include <cstdint>

#include "clients/ClientList.hpp"
#include "datagram/TUDPSender.hpp"
#include "datagram/VoiceQueue.hpp"
#include "net/NetAddress.hpp"
#include "net/ServerCounters.hpp"
#include "net/UdpEndpoint.hpp"
#include "platform/Sync.hpp"

namespace qm {

// What the server lends the intake; all of it outlives the intake.
struct IntakeServices {
  RecursiveLock& udpReadLock;  // held for the handling of one datagram
  TClientList& clients;
  TVoiceQueue& voiceQueue;
  UdpEndpoint& udpServer;  // pongs go out from it
  TServerCounters& counters;
  TUDPSender& relay;  // relays what a batch queued
};

class UdpIntake {
 public:
  explicit UdpIntake(const IntakeServices& services) : s_(services) {}

  // One call per received datagram, on the UDP listener thread.
  void UDPServerUDPRead(const uint8_t* data, size_t size, const NetAddress& from);
  // After the listener has handed over every datagram of one batch: relays what was queued.
  void UDPServerBatchRead();

 private:
  IntakeServices s_;
};

}  // namespace qm
