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

TPingThread::TPingThread(const PingServices& services)
    : s_(services), reporter_(services.settings, [this](HttpClient& http) { UpdateStats(&http); }) {}

TPingThread::~TPingThread() {
  Stop();
  Join();
}

void TPingThread::Stop() {
  Terminate();
  stopSignal_.Set();
  reporter_.Stop();
}

void TPingThread::Execute() {
  WriteLog("PingThread.Execute", kLogProgress);
  const ServerSettings& s = s_.settings;
  // The reports are made on their own thread, so the passes keep their rhythm whatever the web
  // servers do. A stop that comes before the start still ends that thread: its flag stays set.
  // A reload may switch the reports on later: their thread starts with the first.
  bool reporting = false;
  const auto report = [&] {
    if (!reporting) reporter_.Start();
    reporting = true;
    reporter_.RequestReport();
  };
  if (LiveSetting(s.Active) && !Terminated()) report();
  while (!Terminated()) {
    for (int i = 0; i < kPassesPerCycle; ++i) {
      stopSignal_.WaitFor(kPassIntervalMs);
      if (Terminated()) break;
      PingClients();
      // Held-back log counts are written when their window ends, even if nothing else is logged.
      FlushLogNotes();
      if (s_.eachPass) s_.eachPass();
    }
    if (!Terminated() && LiveSetting(s.Active)) report();
  }
  reporter_.Stop();
  reporter_.Join();
  WriteLog("PingThread.Terminated", kLogProgress);
}

void TPingThread::PingClients() {
  try {
    ClientList& list = s_.clients;
    LockGuard g(list.Lock());
    for (const ClientPtr& c : list.Items()) {
      if (c->Leaving() || c->PingDisconnect.load()) continue;
      try {
        if (StartPing(*c, s_.sender, s_.settings, s_.clock) != PingOutcome::kGiveUp) continue;
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
