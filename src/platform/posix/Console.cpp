#include "platform/Console.hpp"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace qm::platform {
namespace {
volatile sig_atomic_t gInterrupted = 0;
void OnInterrupt(int) { gInterrupted = 1; }
}  // namespace

bool StdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }

bool ReadLineWithoutEcho(const std::string& prompt, std::string& line) {
  termios saved{};
  if (tcgetattr(STDIN_FILENO, &saved) != 0) return false;
  termios quiet = saved;
  quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
  quiet.c_lflag |= ECHONL;  // the operator still sees the line end
  // Anything typed before the prompt is dropped here, so the prompt must follow, not precede.
  if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0) return false;
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  line.clear();
  bool gotLine = false;
  // read(2) rather than stdio so no typed-ahead secret is left in a user-space buffer.
  for (;;) {
    char c = 0;
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n != 1) break;
    if (c == '\n') {
      gotLine = true;
      break;
    }
    if (c != '\r') line += c;
  }
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  return gotLine || !line.empty();
}

void CatchInterrupt() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a wait in poll returns at once and the flag is seen
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool InterruptRequested() { return gInterrupted != 0; }

}  // namespace qm::platform
