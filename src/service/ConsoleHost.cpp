#include "service/ConsoleHost.hpp"

#include <cstdio>
#include <memory>

#include "platform/Signals.hpp"
#include "server/Log.hpp"
#include "server/TQuillmootServer.hpp"

namespace qm {

int RunConsole() {
  auto server = std::make_unique<TQuillmootServer>();
  RunningServer.store(server.get());
  bool started = false;
  try {
    started = server->Server_Init();
  } catch (const std::exception& e) {
    server->StartupError = std::string("FATAL ERROR: ") + e.what();
  }
  if (!started) {
    std::fprintf(stderr, "%s\n", server->StartupError.c_str());
    WriteLog(server->StartupError, kLogException);
    server.reset();
    RunningServer.store(nullptr);
    return 1;
  }
  platform::WaitForStopSignal();
  try {
    server->Server_DeInit();
  } catch (...) {
  }
  server.reset();
  RunningServer.store(nullptr);
  return 0;
}

}  // namespace qm
