#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <condition_variable>
#include <mutex>

#include "platform/Signals.hpp"

namespace qm::platform {
namespace {
std::mutex gMutex;
std::condition_variable gCv;
bool gStop = false;

BOOL WINAPI OnConsoleControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      RequestStop();
      return TRUE;
    default:
      return FALSE;
  }
}
}  // namespace

void PrepareStopSignals() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

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
