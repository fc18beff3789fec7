#include "keepalive/TPingThread.hpp"

#include "net/HttpClient.hpp"
#include "platform/Error.hpp"
#include "server/Log.hpp"
#include "server/Settings.hpp"
#include "server/TQuillmootServer.hpp"

namespace qm {

TPingThread::TPingThread(TQuillmootServer& server) : server_(server) {}

TPingThread::~TPingThread() {
  Terminate();
  Wake();
  Join();
}

void TPingThread::Execute() {
  WriteLog("PingThread.Execute", kLogProgress);
  http_ = std::make_unique<HttpClient>();
  const TSettings& s = Settings();
  if (!s.IP.empty()) http_->SetBoundIP(s.IP);
  if (s.Active) UpdateStats();
  while (!Terminated()) {
    for (int i = 0; i < kPassesPerCycle; ++i) {
      wake_.WaitFor(kPassIntervalMs);
      if (Terminated()) break;
      PingClients();
    }
    if (!Terminated() && s.Active) UpdateStats();
  }
  http_->Disconnect();
  http_.reset();
  WriteLog("PingThread.Terminated", kLogProgress);
}

void TPingThread::PingClients() {}

}  // namespace qm
