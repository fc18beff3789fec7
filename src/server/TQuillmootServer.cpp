#include "server/TQuillmootServer.hpp"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "config/Settings.hpp"
#include "datagram/TUDPSender.hpp"
#include "keepalive/TPingThread.hpp"
#include "log/Log.hpp"
#include "metrics/MetricsEndpoint.hpp"
#include "platform/Ascii.hpp"
#include "platform/Clock.hpp"
#include "platform/Error.hpp"
#include "platform/Platform.hpp"
#include "platform/SplitMix.hpp"

namespace qm {

std::atomic<TQuillmootServer*> RunningServer{nullptr};

namespace {
std::mutex gArgsMutex;
std::vector<std::string> gArguments;

}  // namespace

void SetProcessArguments(std::vector<std::string> arguments) {
  std::lock_guard<std::mutex> g(gArgsMutex);
  gArguments = std::move(arguments);
}

bool IsValueSwitch(const std::string& arg) {
  return StartsWithNoCase(arg, "-INI=") || StartsWithNoCase(arg, "-LOG=") || StartsWithNoCase(arg, "-METRICS=");
}

void ParseCommandLine() {
  std::vector<std::string> args;
  {
    std::lock_guard<std::mutex> g(gArgsMutex);
    args = gArguments;
  }
  SetMetricsSwitch(std::string());
  for (std::string arg : args) {
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
}

TQuillmootServer::TQuillmootServer() : StartTime(Now()) {}

TQuillmootServer::~TQuillmootServer() {
  // A failed start leaves workers and listeners running; they must not outlive this object.
  metrics.reset();
  StopWorkers();
  if (tcpServer) tcpServer->Deactivate();
  if (udpServer) udpServer->Deactivate();
  if (clientList) {
    for (auto& c : clientList->TakeAll()) c->Destroy();
  }
}

bool TQuillmootServer::Fail(const char* text, const std::exception& cause) {
  StartupError = text;
  StartupCause = DescribeException(cause);
  return false;
}

uint32_t TQuillmootServer::RandomSessionKey() {
  // Successive states of one generator; the range is 1..50,000.
  const uint64_t z = SplitMix64(randomState_.fetch_add(0x9E3779B97F4A7C15ULL, std::memory_order_relaxed));
  return static_cast<uint32_t>(z % 50000) + 1;
}

bool TQuillmootServer::Server_Init() {
  randomState_.store(platform::RandomSeed());
  ParseCommandLine();
  ResetLogRateLimiter();
  WriteLog("----Entering server init----", kLogProgress);

  udpReadLock = std::make_unique<RecursiveLock>();
  CreateLogLock();

  std::string dir = ExeDirOverride();
  if (dir.empty()) {
    dir = platform::ExecutablePath();
    const size_t cut = dir.find_last_of(platform::PathSeparator());
    dir = cut == std::string::npos ? std::string() : dir.substr(0, cut);
  }
  if (dir.empty() || dir.back() != platform::PathSeparator()) dir += platform::PathSeparator();
  SetExeDir(dir);

  if (!platform::RaiseProcessPriority()) {
    // An ordinary user may not raise its priority on most systems; a server that refused to start
    // for that reason would be useless there, so this is a warning only.
    WriteLog("Warning: Cant set PriorityClass, running at normal priority", kLogWarning);
  }

  clientList = std::make_unique<TClientList>();
  channelList = std::make_unique<TChannelList>(*clientList);
  voiceQueue = std::make_unique<TVoiceQueue>();
  WriteLog("Created Threadlists", kLogProgress);

  try {
    LoadConfiguration([this](const std::string& name) {
      if (!channelList->AddChannel(name)) throw EConfigError("No channel id left for " + name);
    });
  } catch (const std::exception& e) {
    WriteLog(ExceptionLine("Server_Init (config)", e), kLogException);
    return Fail("FATAL ERROR: Unable to create config file", e);
  }
  WriteLog("Done reading ini file", kLogProgress);
  {
    // Everyone can read the built-in password, and an empty one switches administration off: the
    // operator must hear of either wherever they look.
    const std::string admin = Settings().AdminPassword.Get();
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

  ServerVersion += " Win32";
  if (!platform::FindTopLevelWindow("TApplication", "KvServer")) ServerVersion += " Service";

  const TSettings& s = Settings();
  udpServer = std::make_unique<UdpEndpoint>();
  tcpServer = std::make_unique<TcpEndpoint>();
  WriteLog("UDP+TCP created", kLogProgress);

  tcpServer->SetDefaultPort(static_cast<uint16_t>(s.TCPPort));
  tcpServer->SetExecuteHandler([this](TcpContext& c) { TCPServerExecute(c); });
  udpServer->SetDefaultPort(static_cast<uint16_t>(s.UDPPort));
  udpServer->SetReadHandler(
      [this](const uint8_t* d, size_t n, const NetAddress& from) { UDPServerUDPRead(d, n, from); });
  udpServer->SetBatchHandler([this] { UDPServerBatchRead(); });

  if (!s.IP.empty()) {
    try {
      tcpServer->SetDefaultPort(static_cast<uint16_t>(s.TCPPort));
      tcpServer->ClearBindings();
      tcpServer->AddBinding(s.IP, static_cast<uint16_t>(s.TCPPort));
      udpServer->SetDefaultPort(static_cast<uint16_t>(s.UDPPort));
      udpServer->ClearBindings();
      udpServer->AddBinding(s.IP, static_cast<uint16_t>(s.UDPPort));
    } catch (const std::exception& e) {
      return Fail("FATAL ERROR: Unable to bind IP and Port", e);
    }
  }

  WriteLog("Creating ping thread", kLogProgress);
  pingThread = std::make_unique<TPingThread>(*this);
  WriteLog("Created ping thread", kLogProgress);

  SystemEvent = std::make_unique<AutoResetEvent>();

  WriteLog("Creating UDPsender thread", kLogProgress);
  udpSender = std::make_unique<TUDPSender>(*this);
  WriteLog("Created UDPsender thread", kLogProgress);
  udpSender->SetHighestPriority();
  udpSender->Start();

  try {
    // The UDP port is the TCP port + 1, and a port of 0 would let the system pick one no client
    // could know: either way voice could never reach the server.
    if (s.TCPPort < 1 || s.TCPPort > 65534)
      throw EConfigError("TCPPort " + std::to_string(s.TCPPort) +
                         " is outside 1 to 65534 (the UDP port is TCPPort + 1)");
    udpServer->Activate();
    tcpServer->Activate();
    WriteLog("Activated tcp/udp", kLogProgress);
    pingThread->Start();
    WriteLog("Started Ping Thread", kLogProgress);
  } catch (const std::exception& e) {
    WriteLog(ExceptionLine("Server_Init (activate)", e), kLogException);
    return Fail("FATAL ERROR: Unable to initialize communication", e);
  }
  try {
    StartMetrics();
  } catch (const std::exception& e) {
    // Asked for and not available: an operator who scrapes this server learns it at once.
    WriteLog(ExceptionLine("Server_Init (metrics)", e), kLogException);
    return Fail("FATAL ERROR: Unable to initialize communication", e);
  }

  WriteLog("----Quillmoot server started----", kLogBanner);
  return true;
}

void TQuillmootServer::StartMetrics() {
  const std::string wanted = MetricsSwitch();
  if (wanted.empty()) return;
  const MetricsAddress address = ParseMetricsAddress(wanted);
  metrics = StartMetricsEndpoint(address, [this]() { return CollectFigures(*this); });
  WriteLog("Metrics on " + address.ip + ":" + std::to_string(metrics->Port()) + "/metrics", kLogProgress);
}

void TQuillmootServer::StopWorkers() {
  if (pingThread) pingThread->Stop();
  if (udpSender) {
    udpSender->Terminate();
    if (SystemEvent) SystemEvent->Set();
  }
  if (pingThread) pingThread->Join();
  if (udpSender) udpSender->Join();
}

void TQuillmootServer::Server_DeInit() {
  WriteLog("----Entering Server_DeInit ---- ", kLogProgress);
  // Scrapes read the client list, so the metrics listener ends before anything they read goes.
  // Its embedded HTTP server takes up to 2 s to stop; that overlaps the pause below.
  std::thread metricsStop([this]() { metrics.reset(); });
  if (pingThread) {
    // Also aborts a web status request in progress, so the join after the pause is quick.
    pingThread->Stop();
    WriteLog("Server_DeInit -- pingpong term sent", kLogProgress);
  }
  if (udpSender) {
    udpSender->Terminate();
    if (SystemEvent) SystemEvent->Set();
    WriteLog("Server_DeInit -- UDPThread term + event sent", kLogProgress);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ShutdownPauseMs));
  metricsStop.join();
  WriteLog("Server_DeInit -- Slept 2 secs", kLogProgress);
  // The workers were asked to stop before the pause; wait for them here, before the sockets, the
  // event, the clients and the locks they use go away.
  StopWorkers();

  if (tcpServer) tcpServer->Deactivate();
  WriteLog("Server_DeInit -- Stopped TCP", kLogProgress);
  if (udpServer) udpServer->Deactivate();
  WriteLog("Server_DeInit -- Stopped UDP", kLogProgress);

  SystemEvent.reset();

  if (clientList) {
    for (auto& c : clientList->TakeAll()) {
      try {
        c->Destroy();
      } catch (...) {
      }
    }
  }
  WriteLog("----Quillmoot server shutdown----", kLogBanner);
  udpReadLock.reset();
  DestroyLogLock();
}

}  // namespace qm
