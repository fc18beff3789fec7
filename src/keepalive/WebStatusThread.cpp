#include "keepalive/WebStatusThread.hpp"

#include <utility>

#include "config/Settings.hpp"
#include "log/Log.hpp"
#include "net/HttpClient.hpp"
#include "platform/Error.hpp"

namespace qm {

WebStatusThread::WebStatusThread(const ServerSettings& settings, Report report)
    : settings_(settings), report_(std::move(report)) {}

WebStatusThread::~WebStatusThread() {
  Stop();
  Join();
}

void WebStatusThread::Stop() {
  Terminate();
  due_.Set();
  std::lock_guard<std::mutex> g(httpMutex_);
  if (http_) http_->Abort();
}

void WebStatusThread::Execute() {
  try {
    auto http = std::make_unique<HttpClient>();
    if (!settings_.IP.empty()) http->SetBoundIP(settings_.IP);
    {
      std::lock_guard<std::mutex> g(httpMutex_);
      http_ = std::move(http);
    }
    // A stop that came before the client existed could not abort it; the flag is checked after.
    while (!Terminated()) {
      due_.Wait();
      if (Terminated()) break;
      report_(*http_);
    }
    http_->Disconnect();
  } catch (const std::exception& e) {
    WriteLog(ExceptionLine("TPingThread.UpdateStats", e), kLogException);
  }
  std::lock_guard<std::mutex> g(httpMutex_);
  http_.reset();
}

}  // namespace qm
