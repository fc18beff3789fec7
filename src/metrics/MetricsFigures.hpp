#pragma once
// The figures a metrics scrape publishes, copied from the running server: its counters, the
// number of clients and channels, and each listed player's traffic, loss and ping. Taking them
// holds each list's lock only for a copy of its entries; everything else is read afterwards.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "net/TrafficCounters.hpp"

namespace qm {

class ClientList;
class ChannelList;
class ControlHandlers;
struct PacingCounters;
struct VoiceStats;

// What a scrape reads of the server. The lists may be absent (a server that failed to start).
// Handovers into this server's line (its earlier images' included), those that left it on the
// old code, and the last one's pause; kept by the server, read at any time.
struct HandoverCounts {
  std::atomic<uint32_t> done{0};
  std::atomic<uint32_t> failed{0};
  std::atomic<uint32_t> lastPauseMs{0};
};

struct FigureSources {
  const TrafficCounters& counters;
  double startTime = 0;
  ClientList* clients = nullptr;
  ChannelList* channels = nullptr;
  const PacingCounters* pacing = nullptr;  // the control handlers' waits
  const VoiceStats* voice = nullptr;
  const HandoverCounts* handovers = nullptr;  // Linux: the server's handovers to a new executable
  ControlHandlers* control = nullptr;         // bans, refused logins
};

struct PlayerFigures {
  uint32_t playerWireId = 0;   // as clients and qmctl show it (player id + 1)
  std::string name;            // label-ready: valid UTF-8
  std::string channel;         // the channel's name, label-ready; empty when it has none
  TrafficSnapshot counters{};  // in the order of the statistics reply
  double lossRatio = 0.0;      // bad packets / UDP packets received; 0 before any
  double pingSeconds = 0.0;
  // For the status page: the same idle and connected times the statistics reply gives.
  int32_t channelWireId = 0;  // as clients see it (channel id + 1; 0: none)
  bool admin = false;
  double idleSeconds = 0.0;
  double connectedSeconds = 0.0;
};

struct ChannelFigures {
  int32_t channelWireId = 0;
  std::string name;  // label-ready
};

struct ServerFigures {
  uint32_t clients = 0;
  uint32_t channels = 0;
  double uptimeSeconds = 0.0;
  TrafficSnapshot counters{};  // the server's eight counters, in the same order
  // Channel changes and logins that waited for their budget.
  uint64_t channelChangeWaits = 0;
  uint64_t loginWaits = 0;
  std::vector<PlayerFigures> players;
  std::vector<ChannelFigures> channelList;  // in the server's order, empty ones included
  // What a MaxClients setting allows (the settings are written only before the listener starts).
  uint32_t maxClients = 0;
  std::string serverName;  // label-ready
  // Logins refused: server or address full, a wrong password looked at, and refused unseen by
  // the password-guessing guard (a blocked address or network, or no turn in the shared budget).
  uint64_t loginsRefusedFull = 0;
  uint64_t loginsRefusedPassword = 0;
  uint64_t loginsRefusedGuessing = 0;
  uint64_t loginsRefusedBanned = 0;    // an address the operator banned
  uint64_t loginsRefusedDraining = 0;  // the operator drains the server
  // Voice dropped at intake, by reason.
  uint64_t voiceDroppedBudget = 0;
  uint64_t voiceDroppedLate = 0;
  uint64_t voiceDroppedAddress = 0;  // over the speaker's address's share
  // Receive-to-send delay of relayed voice: datagrams per bucket (bounds in
  // RelayDelayHistogram::kBoundsMs, the last bucket unbounded) and their sum.
  std::vector<uint64_t> relayDelayBuckets;
  double relayDelaySumSeconds = 0.0;
  bool handoversKnown = false;  // the server can hand over (not on Windows)
  uint32_t handovers = 0;
  uint32_t handoverFailures = 0;
  double lastHandoverPauseSeconds = 0.0;
  // The operator's: bans in force and muted players.
  uint64_t bans = 0;
  uint32_t mutedPlayers = 0;
};

ServerFigures CollectFigures(const FigureSources& server);

// Names travel as single-byte text (the clients' code page); the exposition format is UTF-8, so
// each byte above 0x7F becomes the character of that Latin-1 code. Escaping is the serializer's.
std::string LabelText(const std::string& bytes);

}  // namespace qm
