// The process entry of qmserver.
#include <string>
#include <vector>

#include "platform/Signals.hpp"
#include "server/TQuillmootServer.hpp"
#include "service/ConsoleHost.hpp"

int main(int argc, char** argv) {
  qm::platform::PrepareStopSignals();
  std::vector<std::string> args(argv + 1, argv + argc);
  qm::SetProcessArguments(args);
  return qm::RunConsole();
}
