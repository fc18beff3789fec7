#pragma once
// The running server: its start time and traffic counters, start-up and shutdown, and the
// handlers the listeners call. It owns the process-wide objects start-up creates (lists,
// listeners, event, workers), so a process may start and stop a server more than once (tests do).
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "clients/ChannelList.hpp"
#include "clients/ClientList.hpp"
#include "control/GuessThrottle.hpp"
#include "datagram/VoiceQueue.hpp"
#include "net/ServerCounters.hpp"
#include "net/TcpEndpoint.hpp"
#include "net/UdpEndpoint.hpp"
#include "platform/Sync.hpp"

namespace qm {

class TPingThread;
class TUDPSender;
class MetricsEndpoint;

// The server's version text before start-up adds its suffixes.
inline constexpr const char* kServerVersionBase = "v1.2.2";

class TQuillmootServer : public TServerCounters {
 public:
  TQuillmootServer();
  ~TQuillmootServer();
  TQuillmootServer(const TQuillmootServer&) = delete;
  TQuillmootServer& operator=(const TQuillmootServer&) = delete;

  bool Server_Init();
  void Server_DeInit();

  double StartTime;
  std::string ServerVersion = kServerVersionBase;
  std::string StartupError;
  // The failure behind StartupError, "<ClassName>: <message>" as the log line has it.
  std::string StartupCause;

  // --- process-wide objects, created by Server_Init ---
  std::unique_ptr<RecursiveLock> udpReadLock;
  std::unique_ptr<TClientList> clientList;
  std::unique_ptr<TChannelList> channelList;
  std::unique_ptr<TVoiceQueue> voiceQueue;
  std::unique_ptr<UdpEndpoint> udpServer;
  std::unique_ptr<TcpEndpoint> tcpServer;
  std::unique_ptr<AutoResetEvent> SystemEvent;
  std::unique_ptr<TPingThread> pingThread;
  std::unique_ptr<TUDPSender> udpSender;
  std::unique_ptr<MetricsEndpoint> metrics;  // only with "-METRICS="

  // --- control connection: one pass per packet (read loop and dispatch) ---
  void TCPServerExecute(TcpContext& context);
  bool ClientLogin(TcpContext& context, const uint8_t* packet, size_t size);
  bool ClientSetup(const uint8_t* packet, size_t size, const ClientPtr& client);
  bool ClientLeave(const ClientPtr& client);
  void ClientChangeRoom(const uint8_t* packet, size_t size, const ClientPtr& client);
  void PlayerStatsReq(const uint8_t* packet, size_t size, const ClientPtr& client);
  void ServerStatsReq(const uint8_t* packet, size_t size, const ClientPtr& client);
  void AdminLogin(const uint8_t* packet, size_t size, const ClientPtr& client);
  void AdminCreateRoom(const uint8_t* packet, size_t size, const ClientPtr& client);
  void AdminDeleteRoom(const uint8_t* packet, size_t size, const ClientPtr& client);
  void AdminKickPlayer(const uint8_t* packet, size_t size, const ClientPtr& client);
  void AdminChangeServerPassword(const uint8_t* packet, size_t size, const ClientPtr& client);
  void AdminSaveAsDefaultChannels(const uint8_t* packet, size_t size, const ClientPtr& client);
  void AdminChangeAdminPassword(const uint8_t* packet, size_t size, const ClientPtr& client);

  // --- datagrams: one call per received datagram, on the UDP listener thread ---
  void UDPServerUDPRead(const uint8_t* data, size_t size, const NetAddress& from);
  // After the listener has handed over every datagram of one batch: relays what was queued.
  void UDPServerBatchRead();

  // Failed server passwords and failed administrator passwords, per source address.
  GuessThrottle loginGuesses;
  GuessThrottle adminGuesses;

  // Draws a session key candidate (1..50,000) from the generator seeded at start-up.
  uint32_t RandomSessionKey();

  // The pause between asking the workers to stop and stopping the listeners (2 s). Tests shorten
  // it; it is not a setting.
  uint32_t ShutdownPauseMs = 2000;

 private:
  bool Fail(const char* text, const std::exception& cause);
  void StartMetrics();  // throws when asked for and not available
  void StopWorkers();
  std::atomic<uint64_t> randomState_{0};
};

// The one running server, set by the host around the server's life.
extern std::atomic<TQuillmootServer*> RunningServer;

// The process's command line as start-up reads it ("-INI=", "-LOG="); set by the process entry.
void SetProcessArguments(std::vector<std::string> arguments);
void ParseCommandLine();
// "-INI=", "-LOG=" or "-METRICS=" (any letter case): the switches ParseCommandLine takes a value from.
bool IsValueSwitch(const std::string& arg);

}  // namespace qm
