#include "service/ConsoleHost.hpp"

namespace qm {

int RunConsole(platform::ServiceModule& service) { return platform::RunForeground(service); }

}  // namespace qm
