#pragma once
// The metrics listener: answers GET /metrics in the Prometheus text exposition format with the
// figures of MetricsFigures.hpp. It takes no login and no place in the player list, so nobody is
// told about a scrape. Off unless the command line holds "-METRICS=address:port".
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "metrics/MetricsFigures.hpp"
#include "platform/Error.hpp"

namespace qm {

QM_DECLARE_ERROR(EMetricsError, QmError);

// The usage line for the -METRICS= switch, for the program's --help text.
inline constexpr const char* kMetricsUsage =
    "  -METRICS=ADDR:PORT  answer GET /metrics (Prometheus text format) on that IPv4 address, e.g.\n"
    "                      -METRICS=127.0.0.1:9465 (Linux only; off by default)\n";

// Bounds of the listener: a scraper needs one connection at a time; these keep anyone else on
// the network from tying up more than this.
inline constexpr int kMetricsThreads = 2;              // requests served at once
inline constexpr int kMetricsQueuedConnections = 4;    // accepted connections waiting for a thread
inline constexpr int kMetricsRequestTimeoutMs = 5000;  // to send the request and read the answer
inline constexpr int kMetricsMaxRequestBytes = 4096;

struct MetricsAddress {
  std::string ip;
  uint16_t port = 0;  // 0: any free port (tests)
};
// "a.b.c.d:port" with a dotted IPv4 address; throws EMetricsError for anything else, so a typo
// cannot open the listener on every interface.
MetricsAddress ParseMetricsAddress(const std::string& text);

class MetricsEndpoint {
 public:
  virtual ~MetricsEndpoint() = default;
  virtual uint16_t Port() const = 0;  // the port it listens on
};

// Opens the listener; each scrape calls figures() on a listener thread. Throws EMetricsError when
// the address cannot be used or this build has no metrics listener.
std::unique_ptr<MetricsEndpoint> StartMetricsEndpoint(const MetricsAddress& address,
                                                      std::function<ServerFigures()> figures);

// What the command line asked for ("-METRICS="); empty when it is off.
void SetMetricsSwitch(std::string value);
std::string MetricsSwitch();

}  // namespace qm
