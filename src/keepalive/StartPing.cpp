#include "keepalive/StartPing.hpp"

#include "clients/TServerClient.hpp"
#include "config/Settings.hpp"
#include "datagram/Datagrams.hpp"
#include "log/Log.hpp"
#include "platform/Clock.hpp"
#include "platform/Error.hpp"

namespace qm {
namespace {

// Negative settings would wrap to near-infinite waits; they mean "no wait" instead.
uint32_t Milliseconds(int32_t setting) { return setting < 0 ? 0u : static_cast<uint32_t>(setting); }

}  // namespace

PingOutcome StartPing(TServerClient& client, const PingSender& sender, const ServerSettings& settings, IClock& clock) {
  try {
    const uint32_t now = clock.TickCount();
    if (now - client.LastActivityTick() < Milliseconds(LiveSetting(settings.IdleTimeBeforePing)))
      return PingOutcome::kNothingToDo;

    if (client.PingPending.load()) {
      if (now - client.PingSentTick.load() < Milliseconds(LiveSetting(settings.PingWaitTime)))
        return PingOutcome::kNothingToDo;
      client.PingTries.fetch_add(1);
    }
    if (client.PingTries.load() > LiveSetting(settings.MaxPingTries)) return PingOutcome::kGiveUp;

    client.PingPending.store(false);
    client.PingSentTick.store(0);
    const NetAddress peer = client.Peer();
    if (!peer.IsSet()) return PingOutcome::kNothingToDo;

    try {
      const PingDatagram ping = ComposePing(client.SessionKey(), kPingRequest, kServerPingEcho);
      sender.udpServer.SendDatagram(peer, ping.data(), ping.size());
      client.PingSentTick.store(clock.TickCount());
      client.PingPending.store(true);
      const auto bytes = static_cast<uint32_t>(ping.size());
      sender.counters.CountUdpSent(1, bytes);
      client.Traffic.CountUdpSent(1, bytes);
      return PingOutcome::kPinged;
    } catch (const std::exception& e) {
      // Not pending, not counted: the next pass tries again.
      WriteLog(ExceptionLine("TServerClient.StartPing (DoPing)", e), kLogWarning);
    }
    return PingOutcome::kNothingToDo;
  } catch (const std::exception& e) {
    WriteLog(ExceptionLine("TServerClient.StartPing", e), kLogException);
    return PingOutcome::kNothingToDo;
  }
}

}  // namespace qm
