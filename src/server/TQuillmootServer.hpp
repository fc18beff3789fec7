#pragma once
// The running server: its start time and traffic counters, start-up and shutdown. It owns the
// process-wide objects start-up creates (lists, listeners, event, handlers, workers), so a
// process may start and stop a server more than once (tests do), and lends each handler and
// worker only the services it uses: the settings and the clock in force when it was made among
// them, which workers read from there rather than from the process-wide ones.
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "clients/ChannelList.hpp"
#include "clients/ClientList.hpp"
#include "config/Settings.hpp"
#include "control/ControlHandlers.hpp"
#include "datagram/UdpIntake.hpp"
#include "metrics/MetricsFigures.hpp"
#include "net/TcpEndpoint.hpp"
#include "net/TrafficCounters.hpp"
#include "net/UdpEndpoint.hpp"
#include "platform/Sync.hpp"

namespace qm {

class IClock;
class TPingThread;
class TUDPSender;
class MetricsEndpoint;
class OperatorCommands;
class OperatorDoor;
struct HandoverState;

namespace test {
class ServerProbe;
}

class TQuillmootServer {
 public:
  TQuillmootServer();
  ~TQuillmootServer();
  TQuillmootServer(const TQuillmootServer&) = delete;
  TQuillmootServer& operator=(const TQuillmootServer&) = delete;

  bool Server_Init();
  void Server_DeInit();

  // After a failed Server_Init: its "FATAL ERROR: ..." text, and the failure behind it,
  // "<ClassName>: <message>" as the log line has it.
  const std::string& StartupError() const { return startupError_; }
  const std::string& StartupCause() const { return startupCause_; }

  // What the server holds, for the figures, its owner and tests. The lists exist from Server_Init
  // on, a failed start included; they lock for themselves.
  ClientList& Clients() { return *clientList_; }
  ChannelList& Channels() { return *channelList_; }
  // Relaxed atomics, read at any time.
  const TrafficCounters& Counters() const { return counters_; }
  const VoiceStats& Voice() const { return voiceStats_; }
  // The paced waits of the control handlers; null before Server_Init made them.
  const PacingCounters* Pacing() const { return control_ ? &control_->Pacing() : nullptr; }
  double StartTime() const { return startTime_; }
  // What clients are told: the protocol version with start-up's suffixes.
  const std::string& ServerVersion() const { return serverVersion_; }
  // The port the metrics listener was bound to; 0 without "-METRICS=".
  uint16_t MetricsPort() const;
  // Where the operator's socket is open ("-CONTROL="); empty without one.
  std::string OperatorSocket() const;
  // Reads the configuration file again (the operator's reload, SIGHUP): applies what can change
  // while running, logs what waits for a restart.
  ReloadOutcome Reload();
  // What "drain --stop" calls: the stop SIGTERM requests, unless a test puts its own (before it
  // asks for the drain).
  void SetStopRequest(std::function<void()> stop) { stopRequest_ = std::move(stop); }

  // Hands the clients, sockets and state over to the executable now at this process's path, in
  // this process (SIGUSR2). Returns only when it could not: the server then goes on serving, and
  // cause (also in the log) says why. Not concurrently with Server_DeInit.
  bool HandOver(std::string& cause);
  // Handovers into this server's line (those of its earlier images included), and the last one's
  // pause: how long the relay and the read loops stood still, in milliseconds. Relaxed, any time.
  uint32_t Handovers() const { return handovers_.done.load(std::memory_order_relaxed); }
  uint32_t LastHandoverPauseMs() const { return handovers_.lastPauseMs.load(std::memory_order_relaxed); }

 private:
  friend class test::ServerProbe;

  // --- the steps of Server_Init, in their order; those that can fail return false ---
  void BeginStartup();  // seeds the session keys, reads the command line
  void CreateLocks();
  void LocateExecutable();
  void RaisePriority();
  void CreateLists();
  bool LoadConfigurationFile();
  void WarnAboutAdminPassword();
  void CompleteVersion();
  bool CreateListeners();  // and wires their handlers; binds the configured IP
  void CreatePingThread();
  void CreateRelay();  // the relay's sender and the UDP intake, the listener's sink
  bool Activate();     // the listeners and the ping thread
  bool StartMetrics();
  bool OpenOperatorDoor();  // "-CONTROL=", by default beside the configuration file

  // --- taking over from an earlier image (Handover.cpp) ---
  bool BeginTakeOver();  // reads the state it left, if any; restores the start time and counters
  void RestoreChannels();
  void AdoptListeners();  // the TCP listener
  void FinishTakeOver();  // the connections and clients, then the UDP listener; the closing line
  // A start that fails while taking over gives the state back to the earlier image (the process
  // goes on as that); false when that cannot be done either.
  bool TakeOverFailed();
  bool takingOver_ = false;

  bool Fail(const char* text, const std::exception& cause);
  void StopWorkers();

  // The process's, as they were when the server was made; every worker reads these.
  ServerSettings& settings_;
  IClock& clock_;
  TrafficCounters counters_;
  double startTime_;
  std::string serverVersion_ = kProtocolVersion;  // start-up adds the suffixes
  std::string startupError_;
  std::string startupCause_;
  uint64_t sessionKeySeed_ = 0;
  // The pause between asking the workers to stop and stopping the listeners (2 s). Tests shorten
  // it; it is not a setting.
  uint32_t shutdownPauseMs_ = 2000;

  // --- process-wide objects, created by Server_Init ---
  std::unique_ptr<ClientList> clientList_;
  std::unique_ptr<ChannelList> channelList_;
  VoiceStats voiceStats_;
  // The listeners' handlers; declared before the listeners, so they outlive them.
  std::unique_ptr<ControlHandlers> control_;
  std::unique_ptr<TUDPSender> udpSender_;
  std::unique_ptr<UdpIntake> intake_;
  std::unique_ptr<UdpEndpoint> udpServer_;
  std::unique_ptr<TcpEndpoint> tcpServer_;
  std::unique_ptr<TPingThread> pingThread_;
  std::unique_ptr<MetricsEndpoint> metrics_;  // only with "-METRICS="
  std::unique_ptr<HandoverState> takeover_;   // the earlier image's state, until it is taken over
  HandoverCounts handovers_;                  // both counted on across handovers
  // The operator's socket and what it runs; last, so they go first.
  std::unique_ptr<OperatorCommands> operatorCommands_;
  std::unique_ptr<OperatorDoor> door_;
  std::function<void()> stopRequest_;
};

// The process's command line as start-up reads it ("-INI=", "-LOG="); set by the process entry.
void SetProcessArguments(std::vector<std::string> arguments);
std::vector<std::string> ProcessArguments();
void ParseCommandLine();
// "-INI=", "-LOG=", "-METRICS=" or "-CONTROL=" (any letter case): the switches ParseCommandLine takes a value from.
bool IsValueSwitch(const std::string& arg);

}  // namespace qm
