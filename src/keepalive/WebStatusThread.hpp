#pragma once
// The web status report's own thread. The ping thread asks for a report and goes straight on with
// its passes, so a web server that is slow, or accepts and never answers, holds this thread alone
// and never delays a ping.
#include <functional>
#include <memory>
#include <mutex>

#include "platform/Sync.hpp"
#include "platform/Thread.hpp"

namespace qm {

class HttpClient;
struct ServerSettings;

class WebStatusThread : public Thread {
 public:
  // One report, made with the thread's own HTTP client.
  using Report = std::function<void(HttpClient&)>;

  // The settings (its bound IP) outlive the thread.
  WebStatusThread(const ServerSettings& settings, Report report);
  ~WebStatusThread() override;
  WebStatusThread(const WebStatusThread&) = delete;
  WebStatusThread& operator=(const WebStatusThread&) = delete;

  // Asks for one report. Asked again while one is under way, it makes one more when that ends;
  // asks beyond that fold into it, so a slow web server never builds up a backlog.
  void RequestReport() { due_.Set(); }
  // Terminate, wake, and abort a request in progress: a stop never waits on a web server. Safe
  // from any thread, before or after Start.
  void Stop();

 protected:
  void Execute() override;

 private:
  const ServerSettings& settings_;
  Report report_;
  AutoResetEvent due_;
  std::mutex httpMutex_;  // guards the http_ pointer (not its use) for Stop's abort
  std::unique_ptr<HttpClient> http_;
};

}  // namespace qm
