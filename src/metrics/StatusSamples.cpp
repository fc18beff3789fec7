#include "metrics/StatusSamples.hpp"

#include <cmath>
#include <cstdio>
#include <string>

#include "datagram/VoiceStats.hpp"

namespace qm {
namespace {

std::string Number(double v) {
  if (!std::isfinite(v)) return "0";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.15g", v);  // whole seconds of a long uptime stay exact
  return buffer;
}
std::string Number(uint64_t v) { return std::to_string(v); }
std::string Number(uint32_t v) { return std::to_string(v); }

// One point of the last hour: the change between two samples, per second (counts per minute for
// refused logins, which come one by one).
std::string Point(const StatusSample& from, const StatusSample& to, uint32_t nowTick) {
  const double seconds = (to.tick - from.tick) / 1000.0;
  const auto rate = [&](uint64_t a, uint64_t b) { return seconds > 0 && b >= a ? (b - a) / seconds : 0.0; };
  const auto rate32 = [&](uint32_t a, uint32_t b) {
    return seconds > 0 ? static_cast<uint32_t>(b - a) / seconds : 0.0;
  };
  std::string o = "{\"agoSeconds\":" + Number((nowTick - to.tick) / 1000.0);
  o += ",\"clients\":" + Number(to.clients);
  o += ",\"voiceInPerSecond\":" + Number(rate32(from.voiceIn, to.voiceIn));
  o += ",\"copiesOutPerSecond\":" + Number(rate32(from.copiesOut, to.copiesOut));
  o += ",\"droppedPerSecond\":{\"budget\":" + Number(rate(from.droppedBudget, to.droppedBudget));
  o += ",\"late\":" + Number(rate(from.droppedLate, to.droppedLate));
  o += ",\"address\":" + Number(rate(from.droppedAddress, to.droppedAddress)) + "}";
  o += ",\"refusedLoginsPerMinute\":" + Number(seconds > 0 && to.refusedLogins >= from.refusedLogins
                                                   ? (to.refusedLogins - from.refusedLogins) * 60.0 / seconds
                                                   : 0.0);
  return o + "}";
}

}  // namespace

StatusSample SampleOf(const ServerFigures& f, uint32_t tick) {
  StatusSample s;
  s.tick = tick;
  s.clients = f.clients;
  s.voiceIn = f.counters[2];
  s.copiesOut = f.counters[0];
  s.droppedBudget = f.voiceDroppedBudget;
  s.droppedLate = f.voiceDroppedLate;
  s.droppedAddress = f.voiceDroppedAddress;
  s.refusedLogins = f.loginsRefusedFull + f.loginsRefusedPassword + f.loginsRefusedGuessing + f.loginsRefusedBanned +
                    f.loginsRefusedDraining;
  return s;
}

void StatusSamples::Add(const StatusSample& sample) {
  ring_[next_] = sample;
  next_ = (next_ + 1) % kSize;
  if (count_ < kSize) ++count_;
}

std::string JsonString(const std::string& utf8) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : utf8) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (b < 0x20 || c == '<' || c == '>' || c == '&' || b == 0x7F) {
      out += "\\u00";
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string StatusJson(const ServerFigures& f, const StatusSamples& samples, uint32_t nowTick) {
  static constexpr const char* kCounterNames[8] = {"udpPacketsSent",     "udpBytesSent",    "udpPacketsReceived",
                                                   "udpBytesReceived",   "tcpPacketsSent",  "tcpBytesSent",
                                                   "tcpPacketsReceived", "tcpBytesReceived"};
  std::string o = "{\"server\":{\"name\":" + JsonString(f.serverName);
  o += ",\"uptimeSeconds\":" + Number(f.uptimeSeconds);
  o += ",\"clients\":" + Number(f.clients) + ",\"maxClients\":" + Number(f.maxClients);
  o += ",\"channels\":" + Number(f.channels) + "}";
  o += ",\"counters\":{";
  for (size_t i = 0; i < 8; ++i)
    o += std::string(i ? "," : "") + "\"" + kCounterNames[i] + "\":" + Number(f.counters[i]);
  o += "},\"voiceDropped\":{\"budget\":" + Number(f.voiceDroppedBudget) + ",\"late\":" + Number(f.voiceDroppedLate) +
       ",\"address\":" + Number(f.voiceDroppedAddress) + "}";
  o += ",\"loginsRefused\":{\"full\":" + Number(f.loginsRefusedFull) +
       ",\"password\":" + Number(f.loginsRefusedPassword) + ",\"guessing\":" + Number(f.loginsRefusedGuessing) +
       ",\"banned\":" + Number(f.loginsRefusedBanned) + ",\"draining\":" + Number(f.loginsRefusedDraining) + "}";
  o +=
      ",\"pacedWaits\":{\"channelChange\":" + Number(f.channelChangeWaits) + ",\"login\":" + Number(f.loginWaits) + "}";
  if (f.handoversKnown)
    o += ",\"handovers\":{\"done\":" + Number(f.handovers) + ",\"failed\":" + Number(f.handoverFailures) +
         ",\"lastPauseSeconds\":" + Number(f.lastHandoverPauseSeconds) + "}";

  // Channels in the server's order with their players; a player whose channel is not listed
  // (it went while the figures were taken) goes under an entry of its own, without a name.
  o += ",\"channelList\":[";
  std::vector<bool> placed(f.players.size(), false);
  const auto players = [&](int32_t channelWireId) {
    std::string p = "[";
    bool first = true;
    for (size_t i = 0; i < f.players.size(); ++i) {
      const PlayerFigures& pl = f.players[i];
      if (placed[i] || pl.channelWireId != channelWireId) continue;
      placed[i] = true;
      p += std::string(first ? "" : ",") + "{\"id\":" + Number(pl.playerWireId) + ",\"name\":" + JsonString(pl.name);
      p += ",\"admin\":" + std::string(pl.admin ? "true" : "false");
      p += ",\"idleSeconds\":" + Number(pl.idleSeconds) + ",\"connectedSeconds\":" + Number(pl.connectedSeconds);
      p += ",\"pingSeconds\":" + Number(pl.pingSeconds) + ",\"lossRatio\":" + Number(pl.lossRatio);
      p += ",\"udpPacketsReceived\":" + Number(pl.counters[2]) + ",\"udpPacketsSent\":" + Number(pl.counters[0]) + "}";
      first = false;
    }
    return p + "]";
  };
  bool firstChannel = true;
  for (const ChannelFigures& ch : f.channelList) {
    o += std::string(firstChannel ? "" : ",") + "{\"id\":" + std::to_string(ch.channelWireId) +
         ",\"name\":" + JsonString(ch.name) + ",\"players\":" + players(ch.channelWireId) + "}";
    firstChannel = false;
  }
  for (size_t i = 0; i < f.players.size(); ++i) {
    if (placed[i]) continue;
    o += std::string(firstChannel ? "" : ",") + "{\"id\":" + std::to_string(f.players[i].channelWireId) +
         ",\"name\":\"\",\"players\":" + players(f.players[i].channelWireId) + "}";
    firstChannel = false;
  }
  o += "]";

  // The relay's delay: the buckets' upper bounds and counts, as the histogram in /metrics.
  o += ",\"relayDelay\":{\"sumSeconds\":" + Number(f.relayDelaySumSeconds) + ",\"boundsMs\":[";
  for (size_t i = 0; i < RelayDelayHistogram::kBoundsMs.size(); ++i)
    o += std::string(i ? "," : "") + Number(RelayDelayHistogram::kBoundsMs[i]);
  o += "],\"counts\":[";
  for (size_t i = 0; i < f.relayDelayBuckets.size(); ++i)
    o += std::string(i ? "," : "") + Number(f.relayDelayBuckets[i]);
  o += "]}";

  // The last hour, oldest first: between each two samples, and from the last one to now.
  o += ",\"history\":{\"intervalSeconds\":" + Number(StatusSamples::kIntervalMs / 1000) + ",\"points\":[";
  for (size_t i = 1; i < samples.Count(); ++i)
    o += std::string(i > 1 ? "," : "") + Point(samples.At(i - 1), samples.At(i), nowTick);
  if (samples.Count() > 0 && nowTick != samples.At(samples.Count() - 1).tick)
    o += std::string(samples.Count() > 1 ? "," : "") +
         Point(samples.At(samples.Count() - 1), SampleOf(f, nowTick), nowTick);
  o += "]}}";
  return o;
}

}  // namespace qm
