#pragma once
// Emptying the server before maintenance: while draining, logins are refused as by a full
// server (ControlHandlers checks the flag); with a stop, a watcher thread asks for the server's
// stop once the last client has left, or when the time given is up, whichever comes first.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace qm {

class ClientList;
class IClock;

class DrainWatch {
 public:
  // stop: the server's stop request, the one SIGTERM makes; called at most once per Start, on
  // the watcher's thread, and must not wait for the server to stop.
  DrainWatch(ClientList& clients, IClock& clock, std::function<void()> stop);
  ~DrainWatch();  // Cancel
  DrainWatch(const DrainWatch&) = delete;
  DrainWatch& operator=(const DrainWatch&) = delete;

  // Watches for the last client to leave; timeoutSeconds 0: no time limit. A watch already
  // running is replaced.
  void Start(int timeoutSeconds);
  // A watch carried over a handover: begun at startTick of the (monotonic) clock.
  void Resume(uint32_t startTick, uint32_t timeoutMs);
  void Cancel();  // ends the watch without a stop
  bool Watching();
  // The running watch's start and time limit; false without one.
  bool Watching(uint32_t& startTick, uint32_t& timeoutMs);

 private:
  void Run(uint32_t startTick, uint32_t timeoutMs);

  ClientList& clients_;
  IClock& clock_;
  std::function<void()> stop_;
  std::mutex lock_;
  std::condition_variable wake_;
  bool cancel_ = false;
  bool watching_ = false;
  uint32_t startTick_ = 0;
  uint32_t timeoutMs_ = 0;
  std::thread thread_;
};

}  // namespace qm
