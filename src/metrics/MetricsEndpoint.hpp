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

// Bounds of the listener. A scraper needs one connection at a time; anyone else on the network
// gets a thread per connection only until its request is complete, which must happen within the
// time limit, whatever pace it sends at. So a dozen connections trickling a header line a second
// each hold a thread for two seconds and leave threads free for the scrapes.
inline constexpr int kMetricsThreads = 16;             // requests served at once
inline constexpr int kMetricsQueuedConnections = 16;   // accepted connections waiting for a thread
inline constexpr int kMetricsRequestTimeoutMs = 2000;  // to send the whole request, and for each answer write
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
