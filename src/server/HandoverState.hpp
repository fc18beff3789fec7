#pragma once
// What a running server hands to the executable that takes over from it (SIGUSR2): the sockets'
// handle numbers (inherited across the exec) and the state behind them. Written and read here
// only, little-endian, behind a magic and a layout version. A reader reads its own layout and
// every earlier one, so a server can take over from the release before it; a layout change adds
// a version and keeps the old reading.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qm {

struct HandoverClient {
  uint8_t playerId = 0;
  uint32_t sessionKey = 0;
  std::string name;
  std::string version;
  int32_t channelId = 0;
  bool admin = false;
  bool leaving = false;
  uint32_t controlHost = 0;
  uint64_t udpPeer = 0;  // NetAddress::Pack
  double connectedAt = 0;
  double lastActivity = 0;
  uint32_t lastActivityTick = 0;  // monotonic milliseconds, which an exec does not reset
  std::array<uint32_t, 8> traffic{};
  uint32_t lastPacketId = 0;
  uint32_t badPackets = 0;
  uint32_t pingRoundTrip = 0;
  bool pingPending = false;
  uint32_t pingSentTick = 0;
  int32_t pingTries = 0;
  bool pingDisconnect = false;
  bool muted = false;  // since layout 2: the operator's mute outlives an upgrade
};

struct HandoverConnection {
  int32_t socket = -1;
  uint32_t peerIp = 0;  // host order
  uint16_t peerPort = 0;
  std::vector<uint8_t> unread;               // received, not yet taken by the read loop
  std::vector<std::vector<uint8_t>> unsent;  // queued packets not yet written (the first may be a rest)
  bool hasClient = false;                    // not yet logged in otherwise
  HandoverClient client;
};

struct HandoverChannel {
  uint8_t id = 0;
  std::string name;
};

// One failed-password record of a guard (since layout 2): a block must not end because the
// server was upgraded. The shared budget and the waiting turns start afresh.
struct HandoverGuess {
  uint8_t throttle = 0;  // 0: server passwords, 1: administrator passwords
  bool network = false;  // the key is a /24, not an address
  std::string key;
  uint32_t windowStart = 0;  // monotonic milliseconds, as the ticks above
  uint32_t failures = 0;
  bool blocked = false;
  uint32_t blockStart = 0;
};

struct HandoverState {
  static constexpr uint32_t kLayoutVersion = 2;

  uint32_t layoutVersion = kLayoutVersion;  // the one it was read in
  int32_t tcpListenSocket = -1;
  int32_t udpSocket = -1;
  double startTime = 0;
  std::array<uint32_t, 8> counters{};
  uint32_t handovers = 0;       // those before this one
  uint32_t lastPauseMs = 0;     // of the one before
  uint32_t pauseBeganTick = 0;  // monotonic milliseconds when the relay stopped for this one
  std::vector<HandoverChannel> channels;
  std::vector<HandoverConnection> connections;
  // Since layout 2 (a layout-1 state reads as none of them).
  uint32_t failures = 0;  // handovers that failed, before this one
  bool draining = false;
  bool drainStop = false;  // the server stops once the last client has left
  uint32_t drainStartTick = 0;
  uint32_t drainTimeoutMs = 0;  // 0: no time limit
  std::vector<HandoverGuess> guesses;
};

std::vector<uint8_t> WriteHandoverState(const HandoverState& state);
// Throws std::runtime_error naming what is wrong: not a state, a layout this build does not know,
// cut short.
HandoverState ReadHandoverState(const uint8_t* data, size_t size);

}  // namespace qm
