#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "platform/Console.hpp"

namespace qm::platform {

bool StdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }

bool ReadLineWithoutEcho(std::string& line) {
  termios saved{};
  if (tcgetattr(STDIN_FILENO, &saved) != 0) return false;
  termios quiet = saved;
  quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
  quiet.c_lflag |= ECHONL;  // the operator still sees the line end
  if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0) return false;
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

}  // namespace qm::platform
