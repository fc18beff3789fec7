// The process entry of qmserver.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Signals.hpp"
#include "server/TQuillmootServer.hpp"
#include "service/ProgramEntry.hpp"

int main(int argc, char** argv) {
  // Answered before anything else, so installers and package checks can ask without starting a
  // server.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("qmserver %s\n", qm::kServerVersionBase);
    return 0;
  }
  qm::platform::PrepareStopSignals();
  return qm::RunProgram(std::vector<std::string>(argv + 1, argv + argc));
}
