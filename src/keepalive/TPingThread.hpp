#pragma once
// The ping thread: every 500 ms a ping pass over the clients; once per cycle of 350 passes (and
// once at start) the web status report when it is enabled.
#include <memory>
#include <mutex>
#include <string>

#include "clients/ClientList.hpp"
#include "keepalive/StartPing.hpp"
#include "platform/Sync.hpp"
#include "platform/Thread.hpp"

namespace qm {

class HttpClient;

// What the server lends the ping thread; the objects outlive the thread.
struct PingServices {
  TClientList& clients;
  PingSender sender;
  double startTime = 0;  // the server's, for the uptime in the report
  std::string serverVersion;
};

class TPingThread : public TThread {
 public:
  static constexpr int kPassesPerCycle = 350;
  static constexpr uint32_t kPassIntervalMs = 500;

  explicit TPingThread(const PingServices& services);
  ~TPingThread() override;

  // Wakes the thread from its pause between passes so a stop is seen at once.
  void Wake() { wake_.Set(); }
  // Terminate, Wake, and abort a web status request in progress: a stop never waits on a web
  // server. Safe from any thread.
  void Stop();
  // One ping pass (public so tests can drive passes with a test clock).
  void PingClients();
  // The web status report: builds the query and posts it to the enabled addresses.
  void UpdateStats();
  void PostData(const std::string& query);

 protected:
  void Execute() override;

 private:
  PingServices s_;
  AutoResetEvent wake_;
  std::mutex httpMutex_;  // guards the http_ pointer (not its use) for Stop's abort
  std::unique_ptr<HttpClient> http_;
};

}  // namespace qm
