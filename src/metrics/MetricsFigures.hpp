#pragma once
// The figures a metrics scrape publishes, copied from the running server: its counters, the
// number of clients and channels, and each listed player's traffic, loss and ping. Taking them
// holds each list's lock only for a copy of its entries; everything else is read afterwards.
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
struct FigureSources {
  const TrafficCounters& counters;
  double startTime = 0;
  ClientList* clients = nullptr;
  ChannelList* channels = nullptr;
  const PacingCounters* pacing = nullptr;  // the control handlers' waits
  const VoiceStats* voice = nullptr;
  ControlHandlers* control = nullptr;  // bans, refused logins
};

struct PlayerFigures {
  uint32_t playerWireId = 0;   // as clients and qmctl show it (player id + 1)
  std::string name;            // label-ready: valid UTF-8
  std::string channel;         // the channel's name, label-ready; empty when it has none
  TrafficSnapshot counters{};  // in the order of the statistics reply
  double lossRatio = 0.0;      // bad packets / UDP packets received; 0 before any
  double pingSeconds = 0.0;
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
  // Voice dropped at intake, by reason.
  uint64_t voiceDroppedBudget = 0;
  uint64_t voiceDroppedLate = 0;
  uint64_t voiceDroppedAddress = 0;  // over the speaker's address's share
  // Receive-to-send delay of relayed voice: datagrams per bucket (bounds in
  // RelayDelayHistogram::kBoundsMs, the last bucket unbounded) and their sum.
  std::vector<uint64_t> relayDelayBuckets;
  double relayDelaySumSeconds = 0.0;
  // The operator's: bans in force, logins refused by reason, muted players.
  uint64_t bans = 0;
  uint64_t refusedFull = 0, refusedPassword = 0, refusedBanned = 0, refusedDraining = 0;
  uint32_t mutedPlayers = 0;
};

ServerFigures CollectFigures(const FigureSources& server);

// Names travel as single-byte text (the clients' code page); the exposition format is UTF-8, so
// each byte above 0x7F becomes the character of that Latin-1 code. Escaping is the serializer's.
std::string LabelText(const std::string& bytes);

}  // namespace qm
