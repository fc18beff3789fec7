#include "platform/Signals.hpp"

#include <signal.h>

#include <thread>

namespace qm::platform {

void PrepareStopSignals() {
  static sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  // The handover request: blocked from the start, so one that comes before the server is up
  // waits rather than ending the process (its default action).
  sigaddset(&set, SIGUSR2);
  // Blocked in every thread created from now on; one thread takes them with sigwait.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
  std::thread([] {
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) != 0) continue;
      if (sig == SIGUSR2) {
        // On this thread, so a stop signal that comes meanwhile is taken after the handover.
        RunHandoverRequest();
        continue;
      }
      RequestStop();
      return;
    }
  }).detach();  // lives as long as the process; touches only process-long state
}

}  // namespace qm::platform
