#pragma once
// Runs the server in the foreground, in the order a service host must keep: create the server
// object and make it RunningServer, Server_Init; on the stop request Server_DeInit, then destroy
// the object and clear RunningServer.
namespace qm {

// Returns the process exit status: 1 when start-up failed (the reason goes to stderr and the
// log), 0 after an orderly stop.
int RunConsole();

}  // namespace qm
