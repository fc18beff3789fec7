#include "platform/Signals.hpp"

#include "platform/win32/WinApi.hpp"

namespace qm::platform {
namespace {
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

}  // namespace qm::platform
