#pragma once
// One churning client of the soak: a control connection and a UDP socket, driven one action at
// a time by a worker thread that also pumps it (reads what the server sent, answers its pings).
#include <atomic>
#include <cstdint>
#include <memory>
#include <random>
#include <set>
#include <string>

#include "client/QmClient.hpp"

namespace qm::soak {

inline constexpr const char* kSoakAdminPassword = "soakadmin";
inline constexpr int kSoakChannels = 6;

struct SoakStats {
  std::atomic<uint64_t> logins{0}, refused{0}, voice{0}, whispers{0}, pings{0}, pongs{0}, channelChanges{0},
      playerStats{0}, serverStats{0}, leaves{0}, drops{0}, kicks{0}, closedByServer{0}, garbageDatagrams{0},
      garbagePackets{0}, packetsIn{0}, datagramsIn{0}, sendFailures{0};
  void Print() const;
};

class SoakClient {
 public:
  SoakClient(int index, uint16_t tcpPort);
  // Opens the control connection only; false when the server does not accept it.
  bool TryConnect();
  // Connects when needed, logs in, sends the setup and waits for the lists.
  bool LogIn(SoakStats& stats);
  // Reads everything the server sent (control and UDP) and answers the server's pings; notices
  // a close by the server.
  void Pump(SoakStats& stats);
  // One random action: login when out, otherwise voice, whisper, channel change, statistics,
  // leave, drop, kick, garbage.
  void Act(std::mt19937& rng, SoakStats& stats);
  void Leave();              // leave politely and close
  void Quit(bool politely);  // leave, or just drop the connection
  void Close();
  bool LoggedIn() const { return loggedIn_; }
  const std::string& Name() const { return name_; }
  // The player names of the lists packet received at the last login.
  const std::set<std::string>& ListedNames() const { return listed_; }

 private:
  void Voice(std::mt19937& rng, SoakStats& stats, bool whisper);
  void SendUdp(const std::vector<uint8_t>& d);

  int index_;
  uint16_t tcpPort_;
  int generation_ = 0;
  std::string name_;
  std::unique_ptr<client::ControlClient> control_;
  client::VoiceClient voice_;
  bool loggedIn_ = false;
  uint16_t key_ = 0;
  uint32_t packetId_ = 0;
  std::set<std::string> listed_;
};

}  // namespace qm::soak
