#pragma once
// A server of its own for the metrics suites: started in a test server's folder with one switch
// (the metrics address), since the switches are read at start-up, and stopped with the process's
// own names given back.
#include <memory>
#include <string>

#include "config/Settings.hpp"
#include "log/Log.hpp"
#include "server/TQuillmootServer.hpp"
#include "support/ServerProbe.hpp"
#include "support/TestServer.hpp"

namespace qm::test {

inline std::unique_ptr<TQuillmootServer> StartWith(const TestServer& t, const std::string& argument) {
  SetExeDirOverride(t.Dir().Str());
  SetIniFileName("qmserver.ini");
  SetLogFileName(t.LogPath().string());
  SetProcessArguments({argument});
  auto server = std::make_unique<TQuillmootServer>();
  ServerProbe(*server).shutdownPauseMs = 50;
  server->Server_Init();
  SetProcessArguments({});
  return server;
}

inline void Stop(std::unique_ptr<TQuillmootServer> server) {
  server->Server_DeInit();
  server.reset();
  SetExeDirOverride("");
  SetLogFileName("qmserver.log");
}

}  // namespace qm::test
