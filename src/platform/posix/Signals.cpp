#include "platform/Signals.hpp"

#include <signal.h>

#include <thread>

namespace qm::platform {

void PrepareStopSignals() {
  static sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  // Blocked in every thread created from now on; one thread takes them with sigwait.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
  std::thread([] {
    int sig = 0;
    sigwait(&set, &sig);
    RequestStop();
  }).detach();  // lives as long as the process; touches only process-long state
}

}  // namespace qm::platform
