#pragma once
// UDP intake and relay: the UDP listener hands each batch it read to UDPServerBatchRead, which
// handles the datagrams in arrival order (counts, one parse, one key lookup, the checks, the
// copies staged) and sends the batch's copies and pongs together. What it may touch of the server,
// its settings and its clock included, comes in IntakeServices. Everything here runs on the
// listener thread only.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "clients/ClientList.hpp"
#include "datagram/AddressVoiceShares.hpp"
#include "datagram/StrangerGuard.hpp"
#include "datagram/TUDPSender.hpp"
#include "datagram/VoiceStats.hpp"
#include "net/NetAddress.hpp"
#include "net/TrafficCounters.hpp"
#include "net/UdpEndpoint.hpp"

namespace qm {

class IClock;
class RelayIndex;
struct ServerSettings;

// What the server lends the intake; all of it outlives the intake.
struct IntakeServices {
  ClientList& clients;  // its relay index: the key lookup and the recipients
  TrafficCounters& counters;
  TUDPSender& relay;  // stages the copies and pongs, and sends them
  VoiceStats& stats;
  // Its [Limits] give each speaker's budget of voice and whisper datagrams and bytes a second (0:
  // no limit), with one second's burst, and how many speakers' budgets one address shares (0: no
  // share); read when the intake is made.
  const ServerSettings& settings;
  IClock& clock;                                          // the ticks of the budgets and of the ping round trip
  TUDPSender::NanoClock now = platform::DatagramClockNs;  // the receive stamps' (monotonic) clock
};

class UdpIntake : public DatagramSink {
 public:
  explicit UdpIntake(const IntakeServices& services);

  // One batch as the listener read it (the buffers may be changed in place); its copies and
  // pongs have left when this returns.
  void UDPServerBatchRead(platform::ReceivedDatagram* batch, int count) override;
  // Writes the line of every speaker whose minute of drops has ended (with all, at a stop: of every
  // speaker with drops not yet written). Takes the relay index lock, so any thread may call it and
  // a line comes when its minute ends, whether or not another datagram arrives.
  void WriteBudgetLines(bool all = false);

  // Voice that waited in the server longer than this before intake reached it is dropped
  // (measured on the monotonic clock, so a step of the wall clock neither drops nor lets through).
  static constexpr int64_t kMaxVoiceWaitNs = 100'000'000;
  // Pings a client gets answered a second; beyond them, no pong.
  static constexpr uint32_t kPingsPerSecond = 10;
  // A speaker over its budget is named in the log once per this many milliseconds.
  static constexpr uint32_t kBudgetReportMs = 60'000;

 private:
  struct Moment {
    uint32_t tick;  // TickCount
    int64_t nowNs;  // on the receive stamps' clock
  };
  // One datagram; the caller holds the relay index lock.
  void UDPServerUDPRead(RelayIndex& index, const platform::ReceivedDatagram& d, const Moment& at);
  // The client's budgets, set up at its first datagram and again after a change of the limits.
  TServerClient::VoiceBudget& BudgetOf(TServerClient& client, uint32_t tick) const;
  // Takes one voice datagram from the speaker's budget and its address's share; false (counted,
  // noted for the log) when either lacks it, and then neither is taken from.
  bool TakeVoiceBudget(TServerClient& client, uint32_t ip, size_t size, uint32_t tick);
  void NoteDrop(TServerClient& client, TServerClient::VoiceBudget& b, bool overAddress, uint32_t tick);
  // A claim of the client's key from a new port of its guarded address: true once the client's
  // current port has not answered a server ping within the wait (asked here, on the claim).
  bool OldPortGone(TServerClient& client, const NetAddress& claimer, uint32_t tick);
  // The caller holds the relay index lock.
  void WriteDueLines(uint32_t tick, bool all);

  IntakeServices s_;
  // The [Limits] voice values in force, read once a batch so a reload reaches every speaker at
  // its next datagram; each change moves limitsGeneration_ on, and a budget made under an older
  // one is set up again.
  void RefreshLimits();
  uint32_t voicePacketsPerSecond_;
  uint32_t voiceBytesPerSecond_;
  uint32_t voiceSpeakersPerAddress_;
  uint32_t limitsGeneration_ = 1;
  StrangerGuard guard_;                // sources that are not their key's current address and port
  AddressVoiceShares voiceByAddress_;  // each address's share of voice
  // Speakers with drops not yet in the log: their notes, not their records, so a client that has
  // left is named at its minute's end without being kept alive until then.
  std::vector<std::shared_ptr<TServerClient::VoiceDrops>> overBudget_;
};

}  // namespace qm
