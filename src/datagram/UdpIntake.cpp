// UDP intake: every datagram that reaches the server's UDP port, on the listener thread. Voice is
// checked and its copies staged at once; pings are answered in the same outgoing batch.
#include "datagram/UdpIntake.hpp"

#include <mutex>
#include <string>

#include "clients/ClientLog.hpp"
#include "clients/RelayIndex.hpp"
#include "config/Settings.hpp"
#include "datagram/Datagrams.hpp"
#include "log/Log.hpp"
#include "platform/Clock.hpp"
#include "platform/Error.hpp"

namespace qm {
namespace {

// Voice: sequence first, checksum only when the sequence holds; either finding counts once and
// the datagram is relayed all the same. The crc field is zeroed in the listener's buffer, which
// every copy overwrites anyway.
void CheckVoice(TServerClient& client, uint8_t* data, size_t size, const VoiceHeader& voice) {
  const uint32_t last = client.LastPacketId.load(std::memory_order_relaxed);
  bool bad = false;
  if (last != 0 && last + 1 != voice.packetId) {
    LogEventLimited("UDP Error", "lost packet " + std::to_string(voice.packetId), std::to_string(client.SessionKey()),
                    &client);
    bad = true;
  } else if (ZeroCrcAndCompute(data, size) != voice.crc) {
    LogEventLimited("UDP Error", "false CRC32", std::to_string(client.SessionKey()), &client);
    bad = true;
  }
  if (bad) client.BadPackets.fetch_add(1, std::memory_order_relaxed);
  client.LastPacketId.store(voice.packetId, std::memory_order_relaxed);
}

// A key is a 16-bit number anyone can sweep; what makes a datagram the client's is that it comes
// from the host of the client's control connection. Its port may differ and change (NAT
// rebinding), so only the address is compared.
bool FromControlHost(const TServerClient& client, const NetAddress& from) { return client.ControlHost() == from.ip; }

}  // namespace

UdpIntake::UdpIntake(const IntakeServices& services)
    : s_(services),
      voicePacketsPerSecond_(static_cast<uint32_t>(LiveSetting(services.settings.VoicePacketsPerSecond))),
      voiceBytesPerSecond_(static_cast<uint32_t>(LiveSetting(services.settings.VoiceBytesPerSecond))),
      voiceSpeakersPerAddress_(static_cast<uint32_t>(LiveSetting(services.settings.VoiceSpeakersPerAddress))),
      voiceByAddress_(voiceSpeakersPerAddress_, voicePacketsPerSecond_, voiceBytesPerSecond_) {
  // Room for the usual few: noting a speaker over budget allocates nothing.
  overBudget_.reserve(64);
}

TServerClient::VoiceBudget& UdpIntake::BudgetOf(TServerClient& client, uint32_t tick) const {
  TServerClient::VoiceBudget& b = client.Budget();
  if (b.generation != limitsGeneration_) {
    b.packets.Configure(voicePacketsPerSecond_, voicePacketsPerSecond_, tick);
    b.bytes.Configure(voiceBytesPerSecond_, voiceBytesPerSecond_, tick);
    b.pings.Configure(kPingsPerSecond, kPingsPerSecond, tick);
    b.generation = limitsGeneration_;
  }
  return b;
}

void UdpIntake::RefreshLimits() {
  const auto packets = static_cast<uint32_t>(LiveSetting(s_.settings.VoicePacketsPerSecond));
  const auto bytes = static_cast<uint32_t>(LiveSetting(s_.settings.VoiceBytesPerSecond));
  const auto speakers = static_cast<uint32_t>(LiveSetting(s_.settings.VoiceSpeakersPerAddress));
  if (packets == voicePacketsPerSecond_ && bytes == voiceBytesPerSecond_ && speakers == voiceSpeakersPerAddress_)
    return;
  voicePacketsPerSecond_ = packets;
  voiceBytesPerSecond_ = bytes;
  voiceSpeakersPerAddress_ = speakers;
  // Only after a reload: every budget and share starts again, full, at the new rates.
  voiceByAddress_ = AddressVoiceShares(speakers, packets, bytes);
  ++limitsGeneration_;
}

bool UdpIntake::TakeVoiceBudget(TServerClient& client, uint32_t ip, size_t size, uint32_t tick) {
  TServerClient::VoiceBudget& b = BudgetOf(client, tick);
  const auto bytes = static_cast<uint32_t>(size);
  // A whole datagram's worth of everything, or nothing taken: a datagram the address's share
  // refuses costs its speaker nothing.
  const bool own = b.packets.Holds(tick) && b.bytes.Holds(tick, bytes);
  AddressVoiceShares::Share* share = own ? voiceByAddress_.ShareOf(ip, tick) : nullptr;
  if (own && (!share || share->Holds(tick, bytes))) {
    b.packets.Take();
    b.bytes.Take(bytes);
    if (share) share->Take(bytes);
    return true;
  }
  NoteDrop(client, b, own, tick);
  return false;
}

void UdpIntake::NoteDrop(TServerClient& client, TServerClient::VoiceBudget& b, bool overAddress, uint32_t tick) {
  (overAddress ? s_.stats.droppedAddress : s_.stats.droppedBudget).fetch_add(1, std::memory_order_relaxed);
  if (!b.drops) {
    // Once in a client's life, at its first drop.
    b.drops = std::make_shared<TServerClient::VoiceDrops>();
    b.drops->name = client.ClientName();
    b.drops->ip = client.ControlHost();
  }
  TServerClient::VoiceDrops& d = *b.drops;
  if (d.overOwn == 0 && d.overAddress == 0) {
    d.windowStart = tick;
    overBudget_.push_back(b.drops);
  }
  ++(overAddress ? d.overAddress : d.overOwn);
}

void UdpIntake::WriteDueLines(uint32_t tick, bool all) {
  for (size_t i = 0; i < overBudget_.size();) {
    TServerClient::VoiceDrops& d = *overBudget_[i];
    if (!all && tick - d.windowStart < kBudgetReportMs) {
      ++i;
      continue;
    }
    // At a stop the minute may not be over: "in 60 s" still holds, and watchers know the text.
    if (d.overOwn != 0)
      WriteLog("Voice budget exceeded by client :" + d.name + " (" + std::to_string(d.overOwn) +
                   " datagrams dropped in 60 s)",
               kLogWarning);
    if (d.overAddress != 0)
      WriteLog("Voice share of address " + NetAddress{d.ip, 0}.AddressText() + " exceeded by client :" + d.name + " (" +
                   std::to_string(d.overAddress) + " datagrams dropped in 60 s)",
               kLogWarning);
    d.overOwn = d.overAddress = 0;
    overBudget_[i] = std::move(overBudget_.back());
    overBudget_.pop_back();
  }
}

void UdpIntake::WriteBudgetLines(bool all) {
  std::lock_guard<std::mutex> g(s_.clients.Relay().Lock());
  if (overBudget_.empty()) return;
  try {
    WriteDueLines(s_.clock.TickCount(), all);
  } catch (const std::exception& e) {
    WriteLog(ExceptionLine("TUDPSender.ProcessUDPList", e), kLogException);
  }
}

void UdpIntake::UDPServerBatchRead(platform::ReceivedDatagram* batch, int count) {
  const Moment at{s_.clock.TickCount(), s_.now()};
  RefreshLimits();
  // One hold for the whole batch: no record found here leaves the index (or is destroyed) before
  // its copies have gone, and list upkeep waits at most one batch.
  RelayIndex& index = s_.clients.Relay();
  std::lock_guard<std::mutex> g(index.Lock());
  for (int i = 0; i < count; ++i)
    if (!batch[i].truncated) UDPServerUDPRead(index, batch[i], at);
  try {
    s_.relay.SendStaged();
    if (!overBudget_.empty()) WriteDueLines(at.tick, false);
  } catch (const std::exception& e) {
    WriteLog(ExceptionLine("TUDPSender.ProcessUDPList", e), kLogException);
  }
}

bool UdpIntake::OldPortGone(TServerClient& client, const NetAddress& claimer, uint32_t tick) {
  TServerClient::PortProbe& probe = client.Probe();
  const uint32_t age = tick - probe.sentTick;
  if (probe.claimer == claimer.Pack() && age >= StrangerGuard::kProbeWaitMs) {
    // Nothing from the old port since it was asked: it is gone. Anything from it since then, and
    // the claimer is refused until the next question.
    const bool gone = static_cast<int32_t>(client.PeerSeenTick() - probe.sentTick) < 0;
    probe.claimer = 0;
    if (gone) return true;
  }
  // One question at a time, at most one a wait: a claimer cannot make the server ping anyone
  // faster than that.
  if (probe.claimer == 0 || age >= 2 * StrangerGuard::kProbeWaitMs) {
    probe.claimer = claimer.Pack();
    probe.sentTick = tick;
    s_.relay.StagePong(client.Peer(), ComposePing(client.SessionKey(), kPingRequest, kServerPingEcho));
  }
  return false;
}

void UdpIntake::UDPServerUDPRead(RelayIndex& index, const platform::ReceivedDatagram& d, const Moment& at) {
  uint8_t* const data = d.data;
  const size_t size = d.size;
  const NetAddress from{d.ip, d.port};
  try {
    s_.counters.CountUdpReceived(1, static_cast<uint32_t>(size));

    DatagramHead head;
    // Under four bytes there is no key to find a client by: only the server's counters see it.
    if (!ParseDatagramHead(data, size, head)) return;

    const ClientPtr* found = index.FindLocked(head.sessionKey);
    const bool ownHost = found && FromControlHost(**found, from);
    // A client's own current address and port is never held back. Anything else from an address
    // a client controls from is a stranger until shown otherwise: someone sharing the client's
    // host could sweep keys and then take its voice. An address no client controls from can take
    // nothing, so it gets no place in the guard's table (a crowd of forged addresses cannot fill
    // it).
    if ((!found || (*found)->Peer() != from) && (ownHost || index.HostsClientLocked(from.ip))) {
      using Kind = StrangerGuard::Stranger::Kind;
      StrangerGuard::Stranger stranger;
      stranger.kind = !found ? Kind::kUnknownKey : ownHost ? Kind::kClaim : Kind::kForeignKey;
      stranger.key = head.sessionKey;
      if (ownHost) {
        stranger.firstDatagram = !(*found)->Peer().IsSet();
        stranger.quietMs = at.tick - (*found)->PeerSeenTick();
      }
      const StrangerGuard::Verdict verdict = guard_.Admit(from, at.tick, stranger);
      if (verdict == StrangerGuard::Verdict::kIgnored) return;
      if (verdict == StrangerGuard::Verdict::kProbe && !OldPortGone(**found, from, at.tick)) return;
      if (ownHost && verdict == StrangerGuard::Verdict::kDrop) return;  // a new port of the right host, held back
    }
    // An unknown key, or a known one from a foreign host: the datagram is a stranger's. It is told
    // nothing, not even that the key exists: traced alike, no pong, nothing moved.
    if (!ownHost) {
      const std::string address = from.AddressText();
      LogEventLimited("ALERT UDP", "Incoming traffic from unknown client ip: " + address, address, nullptr);
      return;
    }
    TServerClient& client = **found;
    if (client.Leaving()) {
      WriteLogLimited("ALERT UDP: Incoming traffic from leaving client :" + client.ClientName(), kLogWarning,
                      client.ClientName());
      return;
    }

    // Whatever follows the key, the datagram came from this client: its return address and
    // activity follow it. A datagram too short for its family's fields is dropped only after
    // this, like one of unknown magic, and touches no counter of the client.
    client.TouchActivity();
    client.SetPeer(from);
    client.SetPeerSeenTick(at.tick);

    if (head.magic == kVoiceMagic) {
      VoiceHeader voice;
      if (!ParseVoiceHeader(data, size, voice)) return;
      client.Traffic.CountUdpReceived(1, static_cast<uint32_t>(size));
      // Late or over budget: dropped before the crc and any copy, yet received all the same. The
      // sequence moves on, so the next accepted datagram is not taken for a loss on the way: the
      // loss figures describe the client's line, and these drops are counted apart.
      const bool late = d.receivedNs != 0 && at.nowNs - d.receivedNs > kMaxVoiceWaitNs;
      if (late) s_.stats.droppedLate.fetch_add(1, std::memory_order_relaxed);
      if (late || !TakeVoiceBudget(client, from.ip, size, at.tick)) {
        client.LastPacketId.store(voice.packetId, std::memory_order_relaxed);
        return;
      }
      CheckVoice(client, data, size, voice);
      // Received and counted as any other, so the player's line figures stay true; not relayed.
      if (client.Muted.load(std::memory_order_relaxed)) return;
      s_.relay.StageVoice(index, client, data, size, d.receivedNs);
      return;
    }

    if (head.magic == kPingMagic) {
      PingFields ping;
      if (!ParsePingFields(data, size, ping)) return;
      client.Traffic.CountUdpReceived(1, static_cast<uint32_t>(size));
      // An echo above what clients use marks the answer to a server ping, whatever the kind.
      const uint8_t kind = ping.echo > kMaxClientEcho ? static_cast<uint8_t>(kPingAnswer) : ping.kind;
      if (kind == kPingRequest) {
        if (BudgetOf(client, at.tick).pings.TryTake(at.tick))
          s_.relay.StagePong(from, ComposePing(client.SessionKey(), kPingAnswer, ping.echo));
      } else if (kind == kPingAnswer) {
        if (client.PingPending.load())
          client.PingRoundTrip.store(s_.clock.TickCount() - client.PingSentTick.load(), std::memory_order_relaxed);
        client.PingPending.store(false);
        client.PingTries.store(0);
        client.PingSentTick.store(0);
      }
    }
  } catch (const std::exception& e) {
    WriteLog(ExceptionLine("TQuillmootServer.UDPServerUDPRead", e), kLogException);
  }
}

}  // namespace qm
