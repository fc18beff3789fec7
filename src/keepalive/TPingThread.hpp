#pragma once
// The ping thread: every 500 ms a ping pass over the clients; once per cycle of 350 passes (and
// once at start) it asks its web status thread for the report when that is enabled.
#include <functional>
#include <string>

#include "clients/ClientList.hpp"
#include "keepalive/StartPing.hpp"
#include "keepalive/WebStatusThread.hpp"
#include "platform/Sync.hpp"
#include "platform/Thread.hpp"

namespace qm {

class HttpClient;
class IClock;
struct ServerSettings;

// What the server lends the ping thread; the objects outlive the thread.
struct PingServices {
  ClientList& clients;
  PingSender sender;
  // The keep-alive rule's [Ping] values, the report's [WebStatus] and what it tells of the server.
  const ServerSettings& settings;
  IClock& clock;         // the quiet times, the pings' ticks and the report's uptime
  double startTime = 0;  // the server's, for the uptime in the report
  std::string serverVersion;
  // The server's own upkeep that is due every pass whether or not traffic comes (the voice budget
  // lines whose minute has ended); may be empty.
  std::function<void()> eachPass = nullptr;
};

class TPingThread : public Thread {
 public:
  static constexpr int kPassesPerCycle = 350;
  static constexpr uint32_t kPassIntervalMs = 500;

  explicit TPingThread(const PingServices& services);
  ~TPingThread() override;

  // Terminate, end the pause between passes so the flag is seen at once, and stop the web status
  // thread, aborting a request in progress: a stop never waits on a web server. Safe from any
  // thread.
  void Stop();
  // One ping pass (public so tests can drive passes with a test clock).
  void PingClients();
  // The web status report: builds the query and posts it to the enabled addresses, on the calling
  // thread, with the given HTTP client or, without one, a client of its own made for the report.
  void UpdateStats(HttpClient* http = nullptr);
  void PostData(const std::string& query, HttpClient* http = nullptr);

 protected:
  void Execute() override;

 private:
  PingServices s_;
  AutoResetEvent stopSignal_;  // set only by Stop; the pause between passes waits on it
  // Started and joined by Execute; makes each report this thread asks for.
  WebStatusThread reporter_;
};

}  // namespace qm
