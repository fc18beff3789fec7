#pragma once
// The stop request of a server run in the foreground: SIGINT or SIGTERM on POSIX, Ctrl+C,
// Ctrl+Break or the console closing on Windows.
namespace qm::platform {

// Call first thing in main, before any thread exists, so the request reaches the waiting thread.
void PrepareStopSignals();
// Blocks until a stop is requested.
void WaitForStopSignal();
// Ends a waiting WaitForStopSignal as if a stop had been requested (tests, service stop).
void RequestStop();

}  // namespace qm::platform
