#include "platform/Signals.hpp"

#include <signal.h>

#include <thread>

namespace qm::platform {

void PrepareStopSignals() {
  // SIGHUP asks for a reload, as often as it comes, taken by a thread of its own so a reload never
  // delays a stop. Blocked before any thread exists, or one of them would take it and die of it.
  static sigset_t hangup;
  sigemptyset(&hangup);
  sigaddset(&hangup, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &hangup, nullptr);
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
  std::thread([] {
    for (;;) {
      int sig = 0;
      if (sigwait(&hangup, &sig) == 0) RunReloadHandler();
    }
  }).detach();
}

}  // namespace qm::platform
