#include "server/TQuillmootServer.hpp"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "config/IniFile.hpp"
#include "config/Settings.hpp"
#include "control/OperatorCommands.hpp"
#include "control/OperatorDoor.hpp"
#include "datagram/TUDPSender.hpp"
#include "keepalive/TPingThread.hpp"
#include "log/Log.hpp"
#include "metrics/MetricsEndpoint.hpp"
#include "platform/Ascii.hpp"
#include "platform/Clock.hpp"
#include "platform/Error.hpp"
#include "platform/Handover.hpp"
#include "platform/OperatorChannel.hpp"
#include "platform/Platform.hpp"
#include "platform/Signals.hpp"
#include "server/HandoverState.hpp"

namespace qm {

namespace {
std::mutex gArgsMutex;
std::vector<std::string> gArguments;
// "-CONTROL=": where the operator's socket goes; empty turns it off. Unset: the default place.
std::optional<std::string> gControlSwitch;

}  // namespace

void SetProcessArguments(std::vector<std::string> arguments) {
  std::lock_guard<std::mutex> g(gArgsMutex);
  gArguments = std::move(arguments);
}

std::vector<std::string> ProcessArguments() {
  std::lock_guard<std::mutex> g(gArgsMutex);
  return gArguments;
}

bool IsValueSwitch(const std::string& arg) {
  return StartsWithNoCase(arg, "-INI=") || StartsWithNoCase(arg, "-LOG=") || StartsWithNoCase(arg, "-METRICS=") ||
         StartsWithNoCase(arg, "-CONTROL=");
}

void ParseCommandLine() {
  std::vector<std::string> args;
  {
    std::lock_guard<std::mutex> g(gArgsMutex);
    args = gArguments;
  }
  SetMetricsSwitch(std::string());
  std::optional<std::string> control;
  for (std::string arg : args) {
    if (StartsWithNoCase(arg, "-CONTROL=")) control = arg.substr(9);
    if (StartsWithNoCase(arg, "-METRICS=")) SetMetricsSwitch(arg.substr(9));
    if (StartsWithNoCase(arg, "-INI=")) {
      arg.erase(0, 5);
      SetIniFileName(arg);
    }
    if (StartsWithNoCase(arg, "-LOG=")) {
      arg.erase(0, 5);
      SetLogFileName(arg);
    }
  }
  std::lock_guard<std::mutex> g(gArgsMutex);
  gControlSwitch = control;
}

TQuillmootServer::TQuillmootServer() : settings_(Settings()), clock_(Clock()), startTime_(clock_.Now()) {}

TQuillmootServer::~TQuillmootServer() {
  // A failed start leaves workers and listeners running; they must not outlive this object.
  door_.reset();
  metrics_.reset();
  StopWorkers();
  if (tcpServer_) tcpServer_->Deactivate();
  if (udpServer_) udpServer_->Deactivate();
  if (clientList_) {
    for (auto& c : clientList_->TakeAll()) c->Destroy();
  }
}

bool TQuillmootServer::Fail(const char* text, const std::exception& cause) {
  startupError_ = text;
  startupCause_ = DescribeException(cause);
  return false;
}

bool TQuillmootServer::Server_Init() {
  BeginStartup();
  takingOver_ = true;
  if (!BeginTakeOver()) return TakeOverFailed();
  if (!takeover_) takingOver_ = false;
  CreateLocks();
  LocateExecutable();
  RaisePriority();
  CreateLists();
  if (!LoadConfigurationFile()) return TakeOverFailed();
  if (takeover_) RestoreChannels();
  WarnAboutAdminPassword();
  CompleteVersion();
  if (!CreateListeners()) return TakeOverFailed();
  CreatePingThread();
  CreateRelay();
  if (!Activate()) return TakeOverFailed();
  // Taking over, everything that can fail comes before the first connection is served: until
  // then the earlier image can take the state back.
  if (!StartMetrics()) return TakeOverFailed();
  if (!OpenOperatorDoor()) return TakeOverFailed();
  if (takeover_) FinishTakeOver();
  // SIGHUP reloads the configuration file as the operator's reload does.
  platform::SetReloadHandler([this] { Reload(); });
  WriteLog("----Quillmoot server started----", kLogBanner);
  return true;
}

void TQuillmootServer::BeginStartup() {
  sessionKeySeed_ = platform::RandomSeed();
  ParseCommandLine();
  ResetLogRateLimiter();
  WriteLog("----Entering server init----", kLogProgress);
}

void TQuillmootServer::CreateLocks() {
  // The log's lock is permanent (the log is usable before start-up and after shutdown); the
  // others belong to the lists and records they guard.
}

void TQuillmootServer::LocateExecutable() {
  std::string dir = ExeDirOverride();
  if (dir.empty()) {
    dir = platform::ExecutablePath();
    const size_t cut = dir.find_last_of(platform::PathSeparator());
    dir = cut == std::string::npos ? std::string() : dir.substr(0, cut);
  }
  if (dir.empty() || dir.back() != platform::PathSeparator()) dir += platform::PathSeparator();
  SetExeDir(dir);
}

void TQuillmootServer::RaisePriority() {
  if (!platform::RaiseProcessPriority()) {
    // An ordinary user may not raise its priority on most systems; a server that refused to start
    // for that reason would be useless there, so this is a warning only.
    // The log alone would hide it from an operator watching the console or the journal.
    const char* warning = "Warning: Cant set PriorityClass, running at normal priority";
    WriteLog(warning, kLogWarning);
    std::fprintf(stderr, "%s\n", warning);
    std::fflush(stderr);
  }
}

void TQuillmootServer::CreateLists() {
  clientList_ = std::make_unique<ClientList>();
  channelList_ = std::make_unique<ChannelList>(*clientList_);
  WriteLog("Created Threadlists", kLogProgress);
}

bool TQuillmootServer::LoadConfigurationFile() {
  try {
    // A save cut short (power loss, a kill) leaves its temporary, which holds the passwords.
    IniFile(IniFilePath()).RemoveStaleTemporaries();
    LoadConfiguration([this](const std::string& name) {
      if (!channelList_->AddChannel(name)) throw EConfigError("No channel id left for " + name);
    });
  } catch (const std::exception& e) {
    WriteLog(ExceptionLine("Server_Init (config)", e), kLogException);
    return Fail("FATAL ERROR: Unable to create config file", e);
  }
  WriteLog("Done reading ini file", kLogProgress);
  return true;
}

void TQuillmootServer::WarnAboutAdminPassword() {
  // Everyone can read the built-in password, and an empty one switches administration off: the
  // operator must hear of either wherever they look.
  const std::string admin = settings_.AdminPassword.Get();
  const char* warning = admin == kDefaultAdminPassword ? "Warning: AdminPassword is the built-in default; anyone can "
                                                         "become administrator. Set your own in qmserver.ini"
                        : admin.empty()
                            ? "Warning: AdminPassword is empty; administrator login is off. Set one in qmserver.ini"
                            : nullptr;
  if (warning) {
    WriteLog(warning, kLogWarning);
    std::fprintf(stderr, "%s\n", warning);
  }
}

void TQuillmootServer::CompleteVersion() {
  serverVersion_ += " Win32";
  if (!platform::FindTopLevelWindow("TApplication", "KvServer")) serverVersion_ += " Service";
}

bool TQuillmootServer::CreateListeners() {
  const ServerSettings& s = settings_;
  udpServer_ = std::make_unique<UdpEndpoint>();
  tcpServer_ = std::make_unique<TcpEndpoint>();
  WriteLog("UDP+TCP created", kLogProgress);

  control_ = std::make_unique<ControlHandlers>(ControlServices{counters_, *clientList_, *channelList_, settings_,
                                                               clock_, startTime_, serverVersion_, sessionKeySeed_});
  // The operator's bans, kept beside the configuration file, are in force from the first login.
  control_->Bans().Load(BanFilePath(IniFilePath()));
  tcpServer_->SetDefaultPort(static_cast<uint16_t>(s.TCPPort));
  tcpServer_->SetExecuteHandler([control = control_.get()](TcpContext& c) { control->TCPServerExecute(c); });
  // The intake becomes the listener's sink with the relay (CreateRelay), before activation.
  udpServer_->SetDefaultPort(static_cast<uint16_t>(s.UDPPort));

  if (!s.IP.empty()) {
    try {
      tcpServer_->SetDefaultPort(static_cast<uint16_t>(s.TCPPort));
      tcpServer_->ClearBindings();
      tcpServer_->AddBinding(s.IP, static_cast<uint16_t>(s.TCPPort));
      udpServer_->SetDefaultPort(static_cast<uint16_t>(s.UDPPort));
      udpServer_->ClearBindings();
      udpServer_->AddBinding(s.IP, static_cast<uint16_t>(s.UDPPort));
    } catch (const std::exception& e) {
      return Fail("FATAL ERROR: Unable to bind IP and Port", e);
    }
  }
  return true;
}

void TQuillmootServer::CreatePingThread() {
  WriteLog("Creating ping thread", kLogProgress);
  // The intake is made after the thread and gone only after it has been joined.
  pingThread_ = std::make_unique<TPingThread>(PingServices{*clientList_, PingSender{*udpServer_, counters_}, settings_,
                                                           clock_, startTime_, serverVersion_, [this] {
                                                             if (intake_) intake_->WriteBudgetLines();
                                                           }});
  WriteLog("Created ping thread", kLogProgress);
}

void TQuillmootServer::CreateRelay() {
  // The relay runs on the UDP listener and has no thread of its own; its progress lines stay
  // where operators and their scripts have always found them.
  WriteLog("Creating UDPsender thread", kLogProgress);
  udpSender_ = std::make_unique<TUDPSender>(*udpServer_, counters_, voiceStats_);
  WriteLog("Created UDPsender thread", kLogProgress);
  WriteLog("UDPSender.Execute", kLogProgress);
  intake_ =
      std::make_unique<UdpIntake>(IntakeServices{*clientList_, counters_, *udpSender_, voiceStats_, settings_, clock_});
  udpServer_->SetSink(intake_.get());
}

bool TQuillmootServer::Activate() {
  const ServerSettings& s = settings_;
  try {
    // The UDP port is the TCP port + 1, and a port of 0 would let the system pick one no client
    // could know: either way voice could never reach the server.
    if (s.TCPPort < 1 || s.TCPPort > 65534)
      throw EConfigError("TCPPort " + std::to_string(s.TCPPort) +
                         " is outside 1 to 65534 (the UDP port is TCPPort + 1)");
    if (takeover_) {
      AdoptListeners();
    } else {
      udpServer_->Activate();
      tcpServer_->Activate();
    }
    WriteLog("Activated tcp/udp", kLogProgress);
    pingThread_->Start();
    WriteLog("Started Ping Thread", kLogProgress);
  } catch (const std::exception& e) {
    WriteLog(ExceptionLine("Server_Init (activate)", e), kLogException);
    return Fail("FATAL ERROR: Unable to initialize communication", e);
  }
  return true;
}

bool TQuillmootServer::StartMetrics() {
  try {
    const std::string wanted = MetricsSwitch();
    if (wanted.empty()) return true;
    const MetricsAddress address = ParseMetricsAddress(wanted);
    metrics_ = StartMetricsEndpoint(address, [this, pacing = control_ ? &control_->Pacing() : nullptr]() {
      return CollectFigures(FigureSources{counters_, startTime_, clientList_.get(), channelList_.get(), pacing,
                                          &voiceStats_, platform::HandoverSupported() ? &handovers_ : nullptr,
                                          control_.get()});
    });
    WriteLog("Metrics on " + address.ip + ":" + std::to_string(metrics_->Port()) + "/metrics", kLogProgress);
  } catch (const std::exception& e) {
    // Asked for and not available: an operator who scrapes this server learns it at once.
    WriteLog(ExceptionLine("Server_Init (metrics)", e), kLogException);
    return Fail("FATAL ERROR: Unable to initialize communication", e);
  }
  return true;
}

bool TQuillmootServer::OpenOperatorDoor() {
  std::optional<std::string> wanted;
  {
    std::lock_guard<std::mutex> g(gArgsMutex);
    wanted = gControlSwitch;
  }
  if (wanted && wanted->empty()) return true;  // "-CONTROL=": no operator socket
  std::string name = wanted.value_or(std::string());
  if (name.empty()) name = platform::DefaultOperatorChannel(IniFilePath(), static_cast<uint16_t>(settings_.TCPPort));
  try {
    OperatorHooks hooks;
    hooks.stop = [this] {
      if (stopRequest_)
        stopRequest_();
      else
        platform::RequestStop();
    };
    hooks.reload = [this] { return Reload(); };
    operatorCommands_ =
        std::make_unique<OperatorCommands>(*control_,
                                           ControlServices{counters_, *clientList_, *channelList_, settings_, clock_,
                                                           startTime_, serverVersion_, sessionKeySeed_},
                                           std::move(hooks));
    door_ = std::make_unique<OperatorDoor>(
        std::make_unique<platform::OperatorListener>(name),
        [commands = operatorCommands_.get()](const std::string& command, const nlohmann::json& request) {
          return commands->Execute(command, request);
        });
    door_->Start();
    WriteLog("Operator socket on " + name, kLogProgress);
  } catch (const platform::OperatorChannelError& e) {
    const bool occupied = dynamic_cast<const platform::OperatorChannelOccupied*>(&e) != nullptr;
    if (wanted || occupied) {
      WriteLog(ExceptionLine("Server_Init (operator socket)", e), kLogException);
      return Fail("FATAL ERROR: Unable to open the operator socket", e);
    }
    // The default place may not allow a socket (a read-only folder, a second server beside the
    // same file): the server runs without one and says so where the operator looks.
    const std::string warning = std::string("Warning: no operator socket: ") + e.what() + " (set -CONTROL=)";
    WriteLog(warning, kLogWarning);
    std::fprintf(stderr, "%s\n", warning.c_str());
    door_.reset();
  } catch (const std::exception& e) {
    WriteLog(ExceptionLine("Server_Init (operator socket)", e), kLogException);
    return Fail("FATAL ERROR: Unable to open the operator socket", e);
  }
  return true;
}

ReloadOutcome TQuillmootServer::Reload() {
  ReloadOutcome r = ReloadConfiguration(settings_);
  if (!r.ok) {
    WriteLogAlways("Reload of " + IniFilePath() + " refused, nothing changed: " + r.error, kLogWarning);
    return r;
  }
  std::string line = "Reloaded " + IniFilePath() + ":";
  for (const auto& k : r.applied) line += " " + k;
  if (r.applied.empty()) line += " nothing to apply";
  WriteLogAlways(line, kLogProgress);
  if (!r.needsRestart.empty()) {
    std::string waits = "Reload: changed in the file, in force after a restart:";
    for (const auto& k : r.needsRestart) waits += " " + k;
    WriteLogAlways(waits, kLogWarning);
  }
  return r;
}

std::string TQuillmootServer::OperatorSocket() const { return door_ ? door_->Name() : std::string(); }

uint16_t TQuillmootServer::MetricsPort() const { return metrics_ ? metrics_->Port() : 0; }

void TQuillmootServer::StopWorkers() {
  if (pingThread_) pingThread_->Stop();
  if (udpSender_ && udpSender_->Terminate()) WriteLog("UDPSender.Terminated", kLogProgress);
  if (pingThread_) pingThread_->Join();
}

void TQuillmootServer::Server_DeInit() {
  WriteLog("----Entering Server_DeInit ---- ", kLogProgress);
  // The operator's requests end first: they read and change what the steps below take down.
  platform::SetReloadHandler(nullptr);
  if (door_) door_->Stop();
  // Scrapes read the client list, so the metrics listener ends before anything they read goes.
  // Its embedded HTTP server takes up to 2 s to stop; that overlaps the pause below.
  std::thread metricsStop([this]() { metrics_.reset(); });
  if (pingThread_) {
    // Also aborts a web status request in progress, so the join after the pause is quick.
    pingThread_->Stop();
    WriteLog("Server_DeInit -- pingpong term sent", kLogProgress);
  }
  if (udpSender_) {
    // From here the listener relays no more voice (pongs still go), as at every shutdown.
    const bool running = udpSender_->Terminate();
    WriteLog("Server_DeInit -- UDPThread term + event sent", kLogProgress);
    if (running) WriteLog("UDPSender.Terminated", kLogProgress);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(shutdownPauseMs_));
  metricsStop.join();
  WriteLog("Server_DeInit -- Slept 2 secs", kLogProgress);
  // The workers were asked to stop before the pause; wait for them here, before the sockets, the
  // event, the clients and the locks they use go away.
  StopWorkers();

  if (tcpServer_) tcpServer_->Deactivate();
  WriteLog("Server_DeInit -- Stopped TCP", kLogProgress);
  if (udpServer_) udpServer_->Deactivate();
  WriteLog("Server_DeInit -- Stopped UDP", kLogProgress);

  // The listener has stopped: the intake and the relay go before the clients they read, the
  // intake once it has named every speaker whose drops are not yet in the log.
  if (intake_) intake_->WriteBudgetLines(true);
  intake_.reset();
  udpSender_.reset();

  if (clientList_) {
    for (auto& c : clientList_->TakeAll()) {
      try {
        c->Destroy();
      } catch (...) {
      }
    }
  }
  // Whatever the log limits still hold back is counted before the last line.
  FlushLogNotes(true);
  WriteLog("----Quillmoot server shutdown----", kLogBanner);
}

}  // namespace qm
