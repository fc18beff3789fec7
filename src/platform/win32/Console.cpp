#include "platform/Console.hpp"

#include <atomic>
#include <cstdio>
#include <string>

#include "platform/win32/WinApi.hpp"

namespace qm::platform {
namespace {
std::atomic<bool> gInterrupted{false};

BOOL WINAPI OnConsoleControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      gInterrupted = true;
      return TRUE;
    default:
      return FALSE;
  }
}
}  // namespace

bool StdinIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

bool ReadLineWithoutEcho(const std::string& prompt, std::string& line) {
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD saved = 0;
  if (!GetConsoleMode(in, &saved)) return false;
  if (!SetConsoleMode(in, (saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT)) return false;
  // Only now the prompt: what is typed on seeing it must not be echoed.
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  line.clear();
  bool gotLine = false;
  for (;;) {
    char c = 0;
    DWORD n = 0;
    if (!ReadFile(in, &c, 1, &n, nullptr) || n != 1) break;
    if (c == '\n') {
      gotLine = true;
      break;
    }
    if (c != '\r') line += c;
  }
  SetConsoleMode(in, saved);
  // The echo was off, so the line end the operator typed was not shown either.
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), "\r\n", 2, &written, nullptr);
  return gotLine || !line.empty();
}

void CatchInterrupt() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

bool InterruptRequested() { return gInterrupted.load(); }

}  // namespace qm::platform
