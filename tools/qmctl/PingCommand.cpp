// ping: round trips of the protocol's own UDP ping, as a voice client measures them.
#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>
#include <vector>

#include "client/QmClient.hpp"
#include "datagram/Datagrams.hpp"
#include "datagram/UdpIntake.hpp"
#include "platform/Clock.hpp"
#include "platform/Socket.hpp"
#include "qmctl/Commands.hpp"
#include "qmctl/Output.hpp"
#include "qmctl/Session.hpp"

namespace qm::ctl {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Echo values above 4 mark a datagram as an answer to the server's own ping, so ours cycle 1-4.
constexpr int kEchoCycle = 4;
// The server answers so many pings a second of each client and drops the rest unanswered; pinging
// faster would report its limit as loss on the network.
constexpr int kServerPingIntervalMs = 1000 / static_cast<int>(UdpIntake::kPingsPerSecond);

bool IsPongFor(const std::vector<uint8_t>& d, uint16_t sessionKey, uint8_t echo) {
  DatagramHead head;
  PingFields fields;
  return ParseDatagramHead(d.data(), d.size(), head) && ParsePingFields(d.data(), d.size(), fields) &&
         head.magic == kPingMagic && head.sessionKey == sessionKey && fields.kind == kPingAnswer && fields.echo == echo;
}

std::string Ms(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", v);
  return buf;
}

// One ping and the wait for its pong, reported per ping to people: the round trip in
// milliseconds, or nothing when it was lost.
std::optional<double> PingOnce(const Options& o, Session& s, client::VoiceClient& udp, uint16_t udpPort,
                               const std::string& dotted, int i, SteadyClock::time_point start) {
  const uint8_t echo = static_cast<uint8_t>(1 + i % kEchoCycle);
  const auto ping = ComposePing(s.SessionKey(), kPingRequest, echo);
  std::optional<double> rtt;
  try {
    udp.SendTo(udpPort, ping.data(), ping.size(), dotted);
    const auto deadline = start + std::chrono::milliseconds(o.timeoutMs);
    while (!rtt) {
      const int left = MillisecondsLeft(deadline);
      if (left <= 0) break;
      const auto d = udp.Receive(left);
      if (!d) break;
      // Late pongs of earlier pings and the server's own idle pings are passed over.
      if (IsPongFor(*d, s.SessionKey(), echo))
        rtt = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
    }
  } catch (const std::exception& e) {
    // A refused send (an ICMP error from a closed port, say) counts as a lost ping.
    if (!o.json) Emit("ping " + std::to_string(i + 1) + ": " + e.what() + "\n");
  }
  if (!o.json)
    Emit(rtt ? "pong " + std::to_string(i + 1) + ": echo " + std::to_string(echo) + ", " + Ms(*rtt) + " ms\n"
             : "ping " + std::to_string(i + 1) + ": no pong within " + std::to_string(o.timeoutMs) + " ms\n");
  return rtt;
}

// The summary line (or the JSON document); returns how many pongs came back.
int Summarise(const Options& o, const std::vector<std::optional<double>>& rtts, const std::string& dotted,
              uint16_t udpPort) {
  int received = 0;
  double lo = 0, hi = 0, sum = 0;
  for (const auto& r : rtts) {
    if (!r) continue;
    lo = received == 0 ? *r : std::min(lo, *r);
    hi = received == 0 ? *r : std::max(hi, *r);
    sum += *r;
    ++received;
  }
  const int sent = static_cast<int>(rtts.size());
  const int lossPercent = (sent - received) * 100 / sent;
  if (o.json) {
    JsonWriter j;
    j.BeginObject().Key("host").String(o.host).Key("address").String(dotted).Key("port").Int(udpPort);
    j.Key("sent").Int(sent).Key("received").Int(received).Key("loss_percent").Int(lossPercent);
    j.Key("rtt_ms").BeginArray();
    for (const auto& r : rtts) r ? j.Number(*r, 3) : j.Null();
    j.EndArray();
    if (received > 0) j.Key("min_ms").Number(lo, 3).Key("avg_ms").Number(sum / received, 3).Key("max_ms").Number(hi, 3);
    j.EndObject();
    Emit(j.Text() + "\n");
  } else {
    std::string summary = std::to_string(sent) + " sent, " + std::to_string(received) + " received, " +
                          std::to_string(lossPercent) + "% lost";
    if (received > 0) summary += "; round trip min/avg/max " + Ms(lo) + "/" + Ms(sum / received) + "/" + Ms(hi) + " ms";
    Emit(summary + "\n");
  }
  return received;
}

}  // namespace

int RunPing(const Options& o) {
  if (!o.arguments.empty()) throw CtlError(kExitUsage, "ping takes no arguments (use --count and --interval)");
  if (o.port == 65535) throw CtlError(kExitUsage, "the UDP port would be 65536: use a TCP port below 65535");
  const uint16_t udpPort = static_cast<uint16_t>(o.port + 1);

  Session s(o);
  s.Open();  // pings are answered only for a logged-in session key
  platform::SocketsStartup();
  uint32_t ip = 0;
  if (platform::ResolveIPv4(o.host, ip) != 0) throw CtlError(kExitConnection, "cannot resolve " + o.host);
  const sockaddr_in address = platform::ToSocketAddress(ip, 0);
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  const std::string dotted = text;

  std::optional<client::VoiceClient> udp;
  try {
    udp.emplace("0.0.0.0");
  } catch (const std::exception& e) {
    throw CtlError(kExitFailure, std::string("cannot open a UDP socket: ") + e.what());
  }
  if (!o.json) Emit("PING " + o.host + " (" + dotted + ") UDP port " + std::to_string(udpPort) + "\n");

  int intervalMs = o.intervalMs;
  if (intervalMs < kServerPingIntervalMs && o.count > 1) {
    // On stderr, so --json output stays one document.
    std::fprintf(stderr, "qmctl: --interval %d raised to %d ms: the server answers %d pings a second\n", intervalMs,
                 kServerPingIntervalMs, static_cast<int>(UdpIntake::kPingsPerSecond));
    intervalMs = kServerPingIntervalMs;
  }

  std::vector<std::optional<double>> rtts;
  for (int i = 0; i < o.count; ++i) {
    const auto start = SteadyClock::now();
    rtts.push_back(PingOnce(o, s, *udp, udpPort, dotted, i, start));
    if (i + 1 < o.count) std::this_thread::sleep_until(start + std::chrono::milliseconds(intervalMs));
  }
  s.Leave();
  if (Summarise(o, rtts, dotted, udpPort) == 0) throw CtlError(kExitTimeout, "no pong came back", 0);
  return kExitOk;
}

}  // namespace qm::ctl
