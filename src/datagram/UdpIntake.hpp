#pragma once
// UDP intake and relay: the UDP listener hands each batch it read to UDPServerBatchRead, which
// handles the datagrams in arrival order (counts, one parse, one key lookup, the checks, the
// copies staged) and sends the batch's copies and pongs together. What it may touch of the server
// comes in IntakeServices. Everything here runs on the listener thread only.
#include <cstddef>
#include <cstdint>

#include "clients/ClientList.hpp"
#include "datagram/TUDPSender.hpp"
#include "datagram/VoiceStats.hpp"
#include "net/NetAddress.hpp"
#include "net/ServerCounters.hpp"
#include "net/UdpEndpoint.hpp"

namespace qm {

class TRelayIndex;

// What the server lends the intake; all of it outlives the intake.
struct IntakeServices {
  TClientList& clients;  // its relay index: the key lookup and the recipients
  TServerCounters& counters;
  TUDPSender& relay;  // stages the copies and pongs, and sends them
  VoiceStats& stats;
  TUDPSender::NanoClock now = platform::DatagramClockNs;  // the receive stamps' clock
};

class UdpIntake : public DatagramSink {
 public:
  explicit UdpIntake(const IntakeServices& services) : s_(services) {}

  // One batch as the listener read it (the buffers may be changed in place); its copies and
  // pongs have left when this returns.
  void UDPServerBatchRead(platform::ReceivedDatagram* batch, int count) override;

  // Voice that waited in the server longer than this before intake reached it is dropped.
  static constexpr int64_t kMaxVoiceWaitNs = 100'000'000;

 private:
  struct Moment {
    uint32_t tick;  // TickCount
    int64_t nowNs;  // on the receive stamps' clock
  };
  // One datagram; the caller holds the relay index lock.
  void UDPServerUDPRead(TRelayIndex& index, const platform::ReceivedDatagram& d, const Moment& at);

  IntakeServices s_;
};

}  // namespace qm
