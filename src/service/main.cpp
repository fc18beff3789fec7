// The process entry of qmserver.
#include <string>
#include <vector>

#include "platform/Signals.hpp"
#include "server/TQuillmootServer.hpp"
#include "service/ProgramEntry.hpp"

int main(int argc, char** argv) {
  qm::platform::PrepareStopSignals();
  return qm::RunProgram(std::vector<std::string>(argv + 1, argv + argc));
}
