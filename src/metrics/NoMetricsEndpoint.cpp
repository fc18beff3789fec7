// The metrics listener of builds without the exposition library (the Windows build).
#include "metrics/MetricsEndpoint.hpp"

namespace qm {

std::unique_ptr<MetricsEndpoint> StartMetricsEndpoint(const MetricsAddress&, std::function<ServerFigures()>) {
  throw EMetricsError("this build has no metrics listener (-METRICS= is Linux only)");
}

}  // namespace qm
