// The metrics listener: our own HTTP listener (one thread, every connection in one wait) serves
// the scrape, and prometheus-cpp's text serializer writes the format, including the escaping of
// "\\", "\"" and line feeds in label values; this file turns the server's figures into metric
// families on each scrape.
#include <chrono>
#include <limits>
#include <utility>

#include <prometheus/collectable.h>
#include <prometheus/counter.h>
#include <prometheus/metric_family.h>
#include <prometheus/registry.h>
#include <prometheus/summary.h>
#include <prometheus/text_serializer.h>

#include "datagram/VoiceStats.hpp"
#include "metrics/MetricsEndpoint.hpp"
#include "metrics/StatusPage.hpp"
#include "metrics/StatusSamples.hpp"
#include "net/HttpListener.hpp"
#include "platform/Clock.hpp"
#include "platform/Version.hpp"

namespace qm {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

struct CounterInfo {
  const char* name;  // after the "quillmoot_" or "quillmoot_player_" prefix
  const char* help;
};
// The order of the figures' counters. They are 32 bits wide and wrap; a scraper sees the wrap as
// a counter reset, which rate() already handles.
constexpr CounterInfo kCounters[8] = {
    {"udp_packets_sent_total", "UDP datagrams sent"},
    {"udp_bytes_sent_total", "Bytes of the UDP datagrams sent"},
    {"udp_packets_received_total", "UDP datagrams received"},
    {"udp_bytes_received_total", "Bytes of the UDP datagrams received"},
    {"tcp_packets_sent_total", "Control packets sent"},
    {"tcp_bytes_sent_total", "Bytes of the control packets sent"},
    {"tcp_packets_received_total", "Control packets received"},
    {"tcp_bytes_received_total", "Bytes of the control packets received"},
};

// The format has no escape for the other control bytes, and some readers stop at a NUL or end a
// line at a CR, so one player's name could spoil every scrape: such a byte goes as the text "\r",
// "\0" or "\xHH". Line feeds and tabs are left to the format.
std::string LabelValue(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= 0x20 && b != 0x7F) || c == '\n' || c == '\t') {
      out += c;
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\0') {
      out += "\\0";
    } else {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    }
  }
  return out;
}

MetricFamily Family(std::string name, std::string help, MetricType type) {
  MetricFamily f;
  f.name = std::move(name);
  f.help = std::move(help);
  f.type = type;
  return f;
}

ClientMetric Sample(MetricType type, double value, std::vector<ClientMetric::Label> labels = {}) {
  ClientMetric m;
  m.label = std::move(labels);
  if (type == MetricType::Counter)
    m.counter.value = value;
  else
    m.gauge.value = value;
  return m;
}

// The handovers to a new executable (Linux), when the server keeps them.
void AddHandoverFamilies(const ServerFigures& f, std::vector<MetricFamily>& out) {
  if (!f.handoversKnown) return;
  out.push_back(Family("quillmoot_handovers_total", "Handovers of the clients to a new executable in this process",
                       MetricType::Counter));
  out.back().metric.push_back(Sample(MetricType::Counter, f.handovers));
  out.push_back(Family("quillmoot_handover_failures_total",
                       "Handovers that could not be made; the server went on with the old executable",
                       MetricType::Counter));
  out.back().metric.push_back(Sample(MetricType::Counter, f.handoverFailures));
  out.push_back(Family("quillmoot_handover_last_pause_seconds",
                       "How long the last handover stopped the relay and the read loops", MetricType::Gauge));
  out.back().metric.push_back(Sample(MetricType::Gauge, f.lastHandoverPauseSeconds));
}

// Voice dropped at intake by reason, and the relay's receive-to-send delay.
void AddVoiceFamilies(const ServerFigures& f, std::vector<MetricFamily>& out) {
  out.push_back(Family("quillmoot_voice_dropped_total", "Voice datagrams dropped at intake", MetricType::Counter));
  out.back().metric.push_back(
      Sample(MetricType::Counter, static_cast<double>(f.voiceDroppedBudget), {{"reason", "budget"}}));
  out.back().metric.push_back(
      Sample(MetricType::Counter, static_cast<double>(f.voiceDroppedLate), {{"reason", "late"}}));
  out.back().metric.push_back(
      Sample(MetricType::Counter, static_cast<double>(f.voiceDroppedAddress), {{"reason", "address"}}));
  if (f.relayDelayBuckets.size() != RelayDelayHistogram::kBuckets) return;
  out.push_back(Family("quillmoot_relay_delay_seconds",
                       "Delay from a voice datagram's arrival to the send of its copies", MetricType::Histogram));
  ClientMetric m;
  uint64_t cumulative = 0;
  for (size_t i = 0; i < RelayDelayHistogram::kBuckets; ++i) {
    cumulative += f.relayDelayBuckets[i];
    ClientMetric::Bucket b;
    b.cumulative_count = cumulative;
    b.upper_bound = i < RelayDelayHistogram::kBoundsMs.size() ? RelayDelayHistogram::kBoundsMs[i] / 1000.0
                                                              : std::numeric_limits<double>::infinity();
    m.histogram.bucket.push_back(b);
  }
  m.histogram.sample_count = cumulative;
  m.histogram.sample_sum = f.relayDelaySumSeconds;
  out.back().metric.push_back(std::move(m));
}

class FiguresCollectable : public prometheus::Collectable {
 public:
  explicit FiguresCollectable(std::function<ServerFigures()> figures) : figures_(std::move(figures)) {}

  std::vector<MetricFamily> Collect() const override {
    const ServerFigures f = figures_();
    std::vector<MetricFamily> out;
    const auto gauge = [&](const char* name, const char* help, double value) {
      out.push_back(Family(name, help, MetricType::Gauge));
      out.back().metric.push_back(Sample(MetricType::Gauge, value));
    };
    gauge("quillmoot_clients", "Clients logged in", f.clients);
    gauge("quillmoot_channels", "Channels", f.channels);
    gauge("quillmoot_uptime_seconds", "Seconds since the server started", f.uptimeSeconds);
    gauge("quillmoot_max_clients", "Clients the MaxClients setting allows", f.maxClients);
    for (size_t i = 0; i < 8; ++i) {
      out.push_back(Family(std::string("quillmoot_") + kCounters[i].name,
                           std::string(kCounters[i].help) + " by the server", MetricType::Counter));
      out.back().metric.push_back(Sample(MetricType::Counter, f.counters[i]));
    }
    out.push_back(
        Family("quillmoot_paced_waits_total", "Commands that waited for their budget, by reason", MetricType::Counter));
    out.back().metric.push_back(
        Sample(MetricType::Counter, static_cast<double>(f.channelChangeWaits), {{"reason", "channel_change"}}));
    out.back().metric.push_back(Sample(MetricType::Counter, static_cast<double>(f.loginWaits), {{"reason", "login"}}));

    out.push_back(Family("quillmoot_logins_refused_total",
                         "Logins refused: server or address full, wrong password, refused unseen by the "
                         "password-guessing guard, a banned address, or a draining server",
                         MetricType::Counter));
    out.back().metric.push_back(
        Sample(MetricType::Counter, static_cast<double>(f.loginsRefusedFull), {{"reason", "full"}}));
    out.back().metric.push_back(
        Sample(MetricType::Counter, static_cast<double>(f.loginsRefusedPassword), {{"reason", "password"}}));
    out.back().metric.push_back(
        Sample(MetricType::Counter, static_cast<double>(f.loginsRefusedGuessing), {{"reason", "guessing"}}));
    out.back().metric.push_back(
        Sample(MetricType::Counter, static_cast<double>(f.loginsRefusedBanned), {{"reason", "banned"}}));
    out.back().metric.push_back(
        Sample(MetricType::Counter, static_cast<double>(f.loginsRefusedDraining), {{"reason", "draining"}}));

    AddVoiceFamilies(f, out);
    AddHandoverFamilies(f, out);

    gauge("quillmoot_bans", "Bans in force", static_cast<double>(f.bans));
    gauge("quillmoot_muted_players", "Players the operator muted", f.mutedPlayers);
    out.push_back(Family("quillmoot_build_info", "The server's version; always 1", MetricType::Gauge));
    out.back().metric.push_back(Sample(MetricType::Gauge, 1, {{"version", QM_VERSION_TEXT}}));

    // Per player: one family per figure, one sample per player.
    std::vector<MetricFamily> player;
    for (size_t i = 0; i < 8; ++i)
      player.push_back(Family(std::string("quillmoot_player_") + kCounters[i].name,
                              std::string(kCounters[i].help) + " to or from this player", MetricType::Counter));
    player.push_back(Family("quillmoot_player_packet_loss_ratio",
                            "Share of this player's voice datagrams that arrived out of sequence or damaged",
                            MetricType::Gauge));
    player.push_back(
        Family("quillmoot_player_ping_seconds", "Latest ping round trip of this player", MetricType::Gauge));
    for (const PlayerFigures& p : f.players) {
      const std::vector<ClientMetric::Label> labels = {
          {"player", std::to_string(p.playerWireId)}, {"name", LabelValue(p.name)}, {"channel", LabelValue(p.channel)}};
      for (size_t i = 0; i < 8; ++i) player[i].metric.push_back(Sample(MetricType::Counter, p.counters[i], labels));
      player[8].metric.push_back(Sample(MetricType::Gauge, p.lossRatio, labels));
      player[9].metric.push_back(Sample(MetricType::Gauge, p.pingSeconds, labels));
    }
    for (auto& family : player) out.push_back(std::move(family));
    return out;
  }

 private:
  std::function<ServerFigures()> figures_;
};

// The listener's own figures, under the names and help texts scrapers have always seen first.
struct ListenerFigures {
  std::shared_ptr<prometheus::Registry> registry = std::make_shared<prometheus::Registry>();
  prometheus::Counter& bytes = prometheus::BuildCounter()
                                   .Name("exposer_transferred_bytes_total")
                                   .Help("Transferred bytes to metrics services")
                                   .Register(*registry)
                                   .Add({});
  prometheus::Counter& scrapes = prometheus::BuildCounter()
                                     .Name("exposer_scrapes_total")
                                     .Help("Number of times metrics were scraped")
                                     .Register(*registry)
                                     .Add({});
  prometheus::Summary& latencies =
      prometheus::BuildSummary()
          .Name("exposer_request_latencies")
          .Help("Latencies of serving scrape requests, in microseconds")
          .Register(*registry)
          .Add({}, prometheus::Summary::Quantiles{{0.5, 0.05}, {0.9, 0.01}, {0.99, 0.001}});
};

class PrometheusEndpoint : public MetricsEndpoint {
 public:
  PrometheusEndpoint(const MetricsAddress& address, std::function<ServerFigures()> figures)
      : figures_(figures),
        collectable_(std::move(figures)),
        // The paths the listener answers; anything else is 404.
        listener_({{"/metrics", [this](const HttpRequest&) { return Scrape(); }},
                   {"/status.json", [this](const HttpRequest&) { return Status(); }},
                   {"/", [](const HttpRequest&) { return Page(); }}},
                  HttpLimits{kMetricsMaxConnections, static_cast<uint32_t>(kMetricsRequestTimeoutMs),
                             static_cast<uint32_t>(kMetricsRequestTimeoutMs), kMetricsMaxRequestBytes},
                  [this] { TakeSampleIfDue(); }) {
    listener_.AddBinding(address.ip, address.port);
    try {
      listener_.Start();
    } catch (const std::exception& e) {
      throw EMetricsError("cannot listen on " + address.ip + ":" + std::to_string(address.port) + ": " + e.what());
    }
  }

  // Stops the listener thread before the figures' source can go away.
  ~PrometheusEndpoint() override { listener_.Stop(); }

  uint16_t Port() const override { return listener_.BoundPort(); }

 private:
  HttpResponse Scrape() {
    const auto start = std::chrono::steady_clock::now();
    std::vector<MetricFamily> families = own_.registry->Collect();
    std::vector<MetricFamily> figures = collectable_.Collect();
    families.insert(families.end(), std::make_move_iterator(figures.begin()), std::make_move_iterator(figures.end()));
    HttpResponse r;
    r.body = prometheus::TextSerializer().Serialize(families);
    own_.latencies.Observe(static_cast<double>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count()));
    own_.bytes.Increment(static_cast<double>(r.body.size()));
    own_.scrapes.Increment();
    return r;
  }

  HttpResponse Status() {
    const uint32_t tick = TickCount();
    HttpResponse r;
    r.contentType = "application/json";
    r.body = StatusJson(figures_(), samples_, tick);
    return r;
  }

  static HttpResponse Page() {
    HttpResponse r;
    r.contentType = "text/html; charset=utf-8";
    r.body = kStatusPage;
    return r;
  }

  // On the listener's thread, which alone touches the samples.
  void TakeSampleIfDue() {
    const uint32_t tick = TickCount();
    if (samples_.Due(tick)) samples_.Add(SampleOf(figures_(), tick));
  }

  std::function<ServerFigures()> figures_;
  StatusSamples samples_;
  FiguresCollectable collectable_;
  ListenerFigures own_;
  HttpListener listener_;  // last: its thread ends before the members it uses go
};

}  // namespace

std::unique_ptr<MetricsEndpoint> StartMetricsEndpoint(const MetricsAddress& address,
                                                      std::function<ServerFigures()> figures) {
  return std::make_unique<PrometheusEndpoint>(address, std::move(figures));
}

}  // namespace qm
