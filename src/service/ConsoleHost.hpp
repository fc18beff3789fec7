#pragma once
// Runs the service in the foreground until SIGINT/SIGTERM (Ctrl+C on Windows), keeping the order
// every host keeps: create the server and make it RunningServer, Server_Init; on the stop request
// Server_DeInit, destroy the server, clear RunningServer. Under systemd this is also the service
// process: it reports READY=1 after Server_Init succeeded and STOPPING=1 when the stop begins.
#include "platform/ServiceManager.hpp"

namespace qm {

// The process exit status: 1 when start-up failed (the reason goes to stderr and the log), 0
// after an orderly stop.
int RunConsole(platform::ServiceModule& service);

}  // namespace qm
