#pragma once
// The stop request of a server run in the foreground: SIGINT or SIGTERM on POSIX, Ctrl+C,
// Ctrl+Break or the console closing on Windows. And the handover request (SIGUSR2, POSIX only).
#include <functional>

namespace qm::platform {

// Call first thing in main, before any thread exists, so the request reaches the waiting thread.
void PrepareStopSignals();
// Blocks until a stop is requested.
void WaitForStopSignal();
// Ends a waiting WaitForStopSignal as if a stop had been requested (tests, service stop).
void RequestStop();

// What a handover request runs, on the signal thread; empty: the request is ignored. Setting it
// waits for a request in progress, so once it is cleared no request touches what it used.
void SetHandoverRequestHandler(std::function<void()> handler);
// Runs the handler (if any) now, holding it against a concurrent change.
void RunHandoverRequest();

// SIGHUP (POSIX only): runs the handler on a thread of its own, each time the signal comes; none
// installed, the signal is ignored. PrepareStopSignals routes it here. Clearing (nullptr) waits
// for a handler that is running.
void SetReloadHandler(std::function<void()> handler);
// What SetReloadHandler installed runs now (the signal's thread, or a test).
void RunReloadHandler();

}  // namespace qm::platform
