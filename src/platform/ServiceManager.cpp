#include "platform/ServiceManager.hpp"

#include "platform/Signals.hpp"

namespace qm::platform {

int RunForeground(ServiceModule& module) {
  bool started = false;
  module.ServiceStart(started);
  if (!started) return 1;
  NotifyServiceReady();
  WaitForStopSignal();
  NotifyServiceStopping();
  bool stopped = false;
  module.ServiceStop(stopped);
  return 0;
}

}  // namespace qm::platform
