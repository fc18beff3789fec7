#include "keepalive/TPingThread.hpp"

#include "clients/ClientLog.hpp"
#include "config/Settings.hpp"
#include "control/ControlPackets.hpp"
#include "keepalive/StartPing.hpp"
#include "log/Log.hpp"
#include "net/HttpClient.hpp"
#include "platform/Clock.hpp"
#include "platform/Error.hpp"

namespace qm {

TPingThread::TPingThread(const PingServices& services) : s_(services) {}

TPingThread::~TPingThread() {
  Stop();
  Join();
}

void TPingThread::Stop() {
  Terminate();
  Wake();
  std::lock_guard<std::mutex> g(httpMutex_);
  if (http_) http_->Abort();
}

void TPingThread::Execute() {
  WriteLog("PingThread.Execute", kLogProgress);
  {
    auto http = std::make_unique<HttpClient>();
    std::lock_guard<std::mutex> g(httpMutex_);
    http_ = std::move(http);
  }
  const TSettings& s = Settings();
  if (!s.IP.empty()) http_->SetBoundIP(s.IP);
  // A stop that came before the client existed could not abort it; the flag is checked after.
  if (s.Active && !Terminated()) UpdateStats();
  while (!Terminated()) {
    for (int i = 0; i < kPassesPerCycle; ++i) {
      wake_.WaitFor(kPassIntervalMs);
      if (Terminated()) break;
      PingClients();
      // Held-back log counts are written when their window ends, even if nothing else is logged.
      FlushLogNotes();
    }
    if (!Terminated() && s.Active) UpdateStats();
  }
  http_->Disconnect();
  {
    std::lock_guard<std::mutex> g(httpMutex_);
    http_.reset();
  }
  WriteLog("PingThread.Terminated", kLogProgress);
}

void TPingThread::PingClients() {
  try {
    TClientList& list = s_.clients;
    const TSettings& settings = Settings();
    LockGuard g(list.Lock());
    for (const ClientPtr& c : list.Items()) {
      if (c->Leaving() || c->PingDisconnect.load()) continue;
      try {
        if (StartPing(*c, s_.sender, settings, Clock()) != PingOutcome::kGiveUp) continue;
        LogEvent("TCP/IP", "Initiated Ping Disconnect", 0, c.get());
        c->PingDisconnect.store(true);
        c->Send(ComposePlayerLeft(c->SessionKey(), ToWireByte(c->PlayerId()), kLeftReasonPingTimeout));
        // One give-up per pass: the rest wait for the next pass.
        return;
      } catch (const std::exception& e) {
        WriteLog(ExceptionLine("TPingThread.PingClients (StartPing)", e), kLogWarning);
      }
    }
  } catch (const std::exception& e) {
    WriteLog(ExceptionLine("TPingThread.PingClients", e), kLogException);
  }
}

}  // namespace qm
