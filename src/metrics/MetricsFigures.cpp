#include "metrics/MetricsFigures.hpp"

#include <algorithm>

#include "clients/ChannelList.hpp"
#include "clients/ClientList.hpp"
#include "config/Settings.hpp"
#include "control/ControlHandlers.hpp"
#include "control/Pacing.hpp"
#include "control/WireId.hpp"
#include "datagram/VoiceStats.hpp"
#include "platform/Clock.hpp"

namespace qm {

std::string LabelText(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

ServerFigures CollectFigures(const FigureSources& server) {
  ServerFigures f;
  f.counters = server.counters.Snapshot();
  // The full time since start: a scraper computes rates from it, so it must not restart daily.
  const double days = Now() - server.startTime;
  f.uptimeSeconds = days > 0 ? days * 86400.0 : 0.0;
  if (server.pacing) {
    f.channelChangeWaits = server.pacing->channelChangeWaits.load(std::memory_order_relaxed);
    f.loginWaits = server.pacing->loginWaits.load(std::memory_order_relaxed);
    f.loginsRefusedFull = server.pacing->loginsRefusedFull.load(std::memory_order_relaxed);
    f.loginsRefusedPassword = server.pacing->loginsRefusedPassword.load(std::memory_order_relaxed);
    f.loginsRefusedGuessing = server.pacing->loginsRefusedGuessing.load(std::memory_order_relaxed);
    f.loginsRefusedBanned = server.pacing->loginsRefusedBanned.load(std::memory_order_relaxed);
    f.loginsRefusedDraining = server.pacing->loginsRefusedDraining.load(std::memory_order_relaxed);
  }
  if (server.handovers) {
    f.handoversKnown = true;
    f.handovers = server.handovers->done.load(std::memory_order_relaxed);
    f.handoverFailures = server.handovers->failed.load(std::memory_order_relaxed);
    f.lastHandoverPauseSeconds = server.handovers->lastPauseMs.load(std::memory_order_relaxed) / 1000.0;
  }
  if (server.voice) {
    f.voiceDroppedBudget = server.voice->droppedBudget.load(std::memory_order_relaxed);
    f.voiceDroppedLate = server.voice->droppedLate.load(std::memory_order_relaxed);
    f.voiceDroppedAddress = server.voice->droppedAddress.load(std::memory_order_relaxed);
    const auto counts = server.voice->relayDelay.Counts();
    f.relayDelayBuckets.assign(counts.begin(), counts.end());
    f.relayDelaySumSeconds = server.voice->relayDelay.SumSeconds();
  }
  {
    const ServerSettings& s = Settings();
    f.maxClients = static_cast<uint32_t>(std::clamp(LiveSetting(s.MaxClients), 0, kMostClients));
    f.serverName = LabelText(s.Servername.Get());
  }
  if (server.control) {
    f.bans = server.control->Bans().Count();
  }
  if (!server.clients || !server.channels) return f;

  // Channel list first and apart: nothing takes channelList while holding clientList.
  const std::vector<ChannelRecord> channels = server.channels->Snapshot();
  std::vector<ClientPtr> clients;
  {
    LockGuard g(server.clients->Lock());
    clients = server.clients->Items();
  }
  f.channels = static_cast<uint32_t>(channels.size());
  f.clients = static_cast<uint32_t>(clients.size());
  f.channelList.reserve(channels.size());
  for (const ChannelRecord& ch : channels)
    f.channelList.push_back(ChannelFigures{ToWireId(ch.ChannelId), LabelText(ch.Name())});
  const double now = Now();
  f.players.reserve(clients.size());
  for (const ClientPtr& c : clients) f.mutedPlayers += c->Muted.load(std::memory_order_relaxed) ? 1 : 0;
  for (const ClientPtr& c : clients) {
    PlayerFigures p;
    p.playerWireId = static_cast<uint32_t>(ToWireId(c->PlayerId()));
    p.name = LabelText(c->ClientName());
    const int32_t channelId = c->ChannelId();
    p.channelWireId = ToWireId(channelId);
    p.admin = c->IsAdmin();
    // As the statistics reply counts them: the date-time's milliseconds, within a day.
    p.idleSeconds = MillisecondsOf(now - c->LastActivity()) / 1000.0;
    p.connectedSeconds = MillisecondsOf(now - c->ConnectedAt()) / 1000.0;
    for (const ChannelRecord& ch : channels)
      if (ch.ChannelId == channelId) {
        p.channel = LabelText(ch.Name());
        break;
      }
    p.counters = c->Traffic.Snapshot();
    p.lossRatio = LossRatio(c->BadPackets.load(std::memory_order_relaxed), p.counters);
    p.pingSeconds = c->PingRoundTrip.load(std::memory_order_relaxed) / 1000.0;
    f.players.push_back(std::move(p));
  }
  return f;
}

}  // namespace qm
