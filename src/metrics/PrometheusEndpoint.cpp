// The metrics listener on prometheus-cpp: its exposer (an embedded HTTP server) does the serving
// and the text format, including the escaping of "\\", "\"" and line feeds in label values; this
// file turns the server's figures into metric families on each scrape.
#include <limits>
#include <utility>

#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>

#include "datagram/VoiceStats.hpp"
#include "metrics/MetricsEndpoint.hpp"

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

// Voice dropped at intake by reason, and the relay's receive-to-send delay.
void AddVoiceFamilies(const ServerFigures& f, std::vector<MetricFamily>& out) {
  out.push_back(Family("quillmoot_voice_dropped_total", "Voice datagrams dropped at intake", MetricType::Counter));
  out.back().metric.push_back(
      Sample(MetricType::Counter, static_cast<double>(f.voiceDroppedBudget), {{"reason", "budget"}}));
  out.back().metric.push_back(
      Sample(MetricType::Counter, static_cast<double>(f.voiceDroppedLate), {{"reason", "late"}}));
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

    AddVoiceFamilies(f, out);

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

class PrometheusEndpoint : public MetricsEndpoint {
 public:
  PrometheusEndpoint(const MetricsAddress& address, std::function<ServerFigures()> figures)
      : collectable_(std::make_shared<FiguresCollectable>(std::move(figures))) {
    const std::string listen = address.ip + ":" + std::to_string(address.port);
    try {
      // One request per connection, bounded in time and size; the queue bounds connections
      // waiting for one of the few threads, so a flood costs the listener, not the server.
      exposer_ = std::make_unique<prometheus::Exposer>(std::vector<std::string>{
          "listening_ports", listen, "num_threads", std::to_string(kMetricsThreads), "connection_queue",
          std::to_string(kMetricsQueuedConnections), "listen_backlog", std::to_string(kMetricsQueuedConnections),
          "request_timeout_ms", std::to_string(kMetricsRequestTimeoutMs), "linger_timeout_ms", "1000",
          "max_request_size", std::to_string(kMetricsMaxRequestBytes), "enable_keep_alive", "no"});
    } catch (const std::exception& e) {
      throw EMetricsError("cannot listen on " + listen + ": " + e.what());
    }
    exposer_->RegisterCollectable(collectable_);
    const std::vector<int> ports = exposer_->GetListeningPorts();
    port_ = ports.empty() ? address.port : static_cast<uint16_t>(ports.front());
  }

  ~PrometheusEndpoint() override {
    // Stops the listener threads before the figures' source can go away.
    exposer_.reset();
  }

  uint16_t Port() const override { return port_; }

 private:
  std::shared_ptr<FiguresCollectable> collectable_;
  std::unique_ptr<prometheus::Exposer> exposer_;
  uint16_t port_ = 0;
};

}  // namespace

std::unique_ptr<MetricsEndpoint> StartMetricsEndpoint(const MetricsAddress& address,
                                                      std::function<ServerFigures()> figures) {
  return std::make_unique<PrometheusEndpoint>(address, std::move(figures));
}

}  // namespace qm
