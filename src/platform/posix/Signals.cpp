#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/Signals.hpp"

namespace qm::platform {
namespace {
std::mutex gMutex;
std::condition_variable gCv;
bool gStop = false;
sigset_t gSet;
std::atomic<bool> gPrepared{false};
}  // namespace

void PrepareStopSignals() {
  sigemptyset(&gSet);
  sigaddset(&gSet, SIGINT);
  sigaddset(&gSet, SIGTERM);
  // Blocked in every thread created from now on; one thread takes them with sigwait.
  pthread_sigmask(SIG_BLOCK, &gSet, nullptr);
  signal(SIGPIPE, SIG_IGN);
  gPrepared.store(true);
  std::thread([] {
    int sig = 0;
    sigwait(&gSet, &sig);
    RequestStop();
  }).detach();  // lives as long as the process; touches only these globals
}

void WaitForStopSignal() {
  std::unique_lock<std::mutex> g(gMutex);
  gCv.wait(g, [] { return gStop; });
}

void RequestStop() {
  // Notified under the lock: the waiter may return, end the process and destroy gCv as soon as
  // it can take the lock, so the notify must be over by then.
  std::lock_guard<std::mutex> g(gMutex);
  gStop = true;
  gCv.notify_all();
}

}  // namespace qm::platform
