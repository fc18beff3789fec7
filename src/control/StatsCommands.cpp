// Statistics requests: one player's traffic and times, and the whole server's counters.
#include "clients/ClientLog.hpp"
#include "control/ControlHandlers.hpp"
#include "control/ControlPackets.hpp"
#include "control/Notices.hpp"
#include "log/Log.hpp"
#include "platform/Clock.hpp"

namespace qm {

void ControlHandlers::PlayerStatsReq(const uint8_t* packet, size_t size, const ClientPtr& client) {
  LogEvent("CMD <-", "PlayerStatsReq", kCmdPlayerStatsReq, client.get());
  const uint8_t request = ParseByteArgument(packet, size);
  // The shared record stays alive while it is read, even if its own thread destroys it meanwhile.
  const ClientPtr target = clientList_->FindClientByPlayerId(FromWireByte(request));
  if (!target) {
    client->Send(ComposeReply(*client, kReplyNoSuchPlayerStats));
    return;
  }

  PlayerStats s;
  s.connectedMs = MillisecondsOf(clock_.Now() - target->ConnectedAt());
  s.counters = target->Traffic.Snapshot();
  const uint32_t bad = target->BadPackets.load(std::memory_order_relaxed);
  s.lossPercent = static_cast<float>(LossRatio(bad, s.counters) * 100.0);
  s.idleMs = MillisecondsOf(clock_.Now() - target->LastActivity());
  s.pingMs = static_cast<uint16_t>(target->PingRoundTrip.load(std::memory_order_relaxed));
  // A player's network address is for administrators only.
  if (client->IsAdmin()) {
    const NetAddress peer = target->Peer();  // address and port of one and the same datagram
    s.port = static_cast<uint16_t>(peer.port);
    s.address = peer.AddressText();
  }
  s.version = target->ClientVersion();
  s.requestByte = request;

  const Packet reply = ComposePlayerStats(client->SessionKey(), client->IsOldClient(), s);
  client->EnqueueCopy(reply.data(), reply.size());
}

void ControlHandlers::ServerStatsReq(const uint8_t*, size_t, const ClientPtr& client) {
  try {
    LogEvent("CMD <-", "ServerStatsReq", kCmdServerStatsReq, client.get());
    ServerStats s;
    s.uptimeMs = MillisecondsOf(clock_.Now() - startTime_);
    s.counters = counters_.Snapshot();
    s.version = serverVersion_;
    const Packet reply = ComposeServerStats(client->SessionKey(), s);
    client->EnqueueCopy(reply.data(), reply.size());
  } catch (...) {
    // Server statistics are a courtesy: a failure sends nothing and is not logged.
  }
}

}  // namespace qm
