#pragma once
// The control connection's side of the server: one pass per packet (read, dispatch, close) and a
// handler per command. What the handlers may touch of the server, its settings and its clock
// included, comes in ControlServices, so a test can run them on settings and a clock of its own.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "clients/ChannelList.hpp"
#include "clients/ClientList.hpp"
#include "control/Bans.hpp"
#include "control/GuessThrottle.hpp"
#include "control/Pacing.hpp"
#include "net/TcpConnection.hpp"
#include "net/TrafficCounters.hpp"

namespace qm {

class IClock;
struct ServerSettings;

namespace test {
class ServerProbe;
}

// What the server lends the control handlers; all of it outlives them.
struct ControlServices {
  TrafficCounters& counters;
  ClientList& clients;
  ChannelList& channels;
  // Read by every handler; administrators change the passwords in it.
  ServerSettings& settings;
  // Paces, throttles and their waits count on it.
  IClock& clock;
  double startTime = 0;  // the server's, for the uptime in statistics
  std::string serverVersion;
  uint64_t sessionKeySeed = 0;  // seeds the session key generator
};

class ControlHandlers {
 public:
  explicit ControlHandlers(const ControlServices& services);
  ControlHandlers(const ControlHandlers&) = delete;
  ControlHandlers& operator=(const ControlHandlers&) = delete;

  // ReadLoop.cpp: one pass of a control connection, the listener's execute handler.
  void TCPServerExecute(TcpContext& context);

  // The command handlers; true from those that return a value means "close the connection".
  // Login.cpp
  bool ClientLogin(TcpContext& context, const uint8_t* packet, size_t size);
  bool ClientSetup(const uint8_t* packet, size_t size, const ClientPtr& client);
  bool ClientLeave(const ClientPtr& client);
  // StatsCommands.cpp
  void PlayerStatsReq(const uint8_t* packet, size_t size, const ClientPtr& client);
  void ServerStatsReq(const uint8_t* packet, size_t size, const ClientPtr& client);
  // AdminCommands.cpp: channel changes and administration
  void ClientChangeRoom(const uint8_t* packet, size_t size, const ClientPtr& client);
  void AdminLogin(const uint8_t* packet, size_t size, const ClientPtr& client);
  void AdminCreateRoom(const uint8_t* packet, size_t size, const ClientPtr& client);
  void AdminDeleteRoom(const uint8_t* packet, size_t size, const ClientPtr& client);
  void AdminKickPlayer(const uint8_t* packet, size_t size, const ClientPtr& client);
  void AdminChangeServerPassword(const uint8_t* packet, size_t size, const ClientPtr& client);
  void AdminSaveAsDefaultChannels(const uint8_t* packet, size_t size, const ClientPtr& client);
  void AdminChangeAdminPassword(const uint8_t* packet, size_t size, const ClientPtr& client);

  // What an administrator may do, whoever asks: a client's command (above) or the operator's
  // socket. Each announces to the clients as the client's command does; those that write the
  // configuration file throw EConfigError when it cannot be written, and refuse (log it, change
  // nothing, return false or kNotStorable) what the file could not hold exactly. command names
  // the request in such a refusal's log line.
  enum class ChannelCreation { kCreated, kExists, kNotStorable };
  ChannelCreation CreateChannel(const std::string& name, const char* command, ChannelRecord& created);
  bool DeleteChannel(uint8_t id, ChannelRecord& deleted);
  ClientPtr KickPlayer(uint8_t id);  // the kicked record; null when no player has the id
  bool SaveChannels();
  bool SetPassword(bool admin, const std::string& password);  // admin: the administrator password

  // The waits the pacing made, by reason (for the metrics).
  const PacingCounters& Pacing() const { return pacing_; }

  // The operator's bans, checked at every login.
  BanList& Bans() { return bans_; }
  // Sends away every connected client the target covers, as a kick does; the records sent away.
  std::vector<ClientPtr> KickBanned(const BanTarget& target);

  // The failed-password guards (server passwords, administrator passwords), for a handover.
  GuessThrottle& LoginGuesses() { return loginGuesses_; }
  GuessThrottle& AdminGuesses() { return adminGuesses_; }

  // While draining, every login is refused as by a full server.
  void SetDraining(bool on) { draining_.store(on, std::memory_order_relaxed); }
  bool Draining() const { return draining_.load(std::memory_order_relaxed); }

 private:
  friend class test::ServerProbe;

  // ReadLoop.cpp: the steps of a pass: waiting for a packet's first byte (false when the connection ended),
  // reading what came with it (returns the packet's size in the buffer; n receives the bytes
  // taken after the first, a cut-off rest included), dispatching its command (true: close), and
  // the close path.
  static bool AwaitPacket(TcpConnection& conn);
  static size_t ReadPacket(TcpConnection& conn, size_t& n);
  bool Dispatch(TcpContext& context, const ClientPtr& c, const uint8_t* packet, size_t size);
  void CloseConnection(TcpConnection& conn, const ClientPtr& c);
  // Pacing.cpp budgets, waited out on the connection's own thread; false: the connection ended
  // during the wait. A channel change draws on the connection's budget (ReadLoop.cpp), a login on
  // its address's (Login.cpp).
  bool PaceChannelChange(TcpConnection& conn);
  bool PaceLogin(TcpConnection& conn);

  // Draws a session key candidate (1..50,000) from the generator seeded at start-up.
  uint32_t RandomSessionKey();

  TrafficCounters& counters_;
  ServerSettings& settings_;
  IClock& clock_;
  // The server's objects and figures, under the names the handlers have always used.
  ClientList* const clientList_;
  ChannelList* const channelList_;
  const double startTime_;
  const std::string serverVersion_;

  // Failed server passwords and failed administrator passwords, per source address.
  GuessThrottle loginGuesses_{clock_};
  GuessThrottle adminGuesses_{clock_};

  PacingCounters pacing_;
  AddressBudgets loginBudgets_{clock_};
  // Logins refused because their address holds its share of places: one line a minute each.
  AddressLineLimiter placeRefusalLines_{clock_, 60 * 1000};

  std::atomic<uint64_t> randomState_;

  BanList bans_{clock_};
  std::atomic<bool> draining_{false};
};

}  // namespace qm
