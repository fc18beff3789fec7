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

// Bounds of the listener. One thread waits on every connection, so a connection costs a table
// entry, not a thread: a crowd of idle connections delays no scrape. At the bound a newcomer
// closes the oldest connection that is still idle; each has a deadline for its whole request and
// one for taking its answer, whatever pace it keeps.
inline constexpr size_t kMetricsMaxConnections = 256;
inline constexpr int kMetricsRequestTimeoutMs = 2000;  // to send the whole request, and to take the answer
inline constexpr size_t kMetricsMaxRequestBytes = 4096;

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
