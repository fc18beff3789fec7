#pragma once
// The record of one logged-in client, shared by every thread of the server: its own connection
// thread, other connections' broadcasts and kicks, UDP intake and relay, and the ping thread.
// Records are held by std::shared_ptr, so one found by a lookup stays alive while it is used even
// if its own connection removes it meanwhile. Fields that several threads touch are
// atomics; the name, version and player id are set before the record is listed and never again.
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/NetAddress.hpp"
#include "net/TcpConnection.hpp"
#include "net/TrafficCounters.hpp"
#include "platform/TokenBucket.hpp"

namespace qm {

// The client version whose clients get the older packet layouts (exact, case-sensitive).
inline constexpr const char* kOldClientVersion = "1.2.0";

// A client's loss: bad packets over UDP packets received, 0 before any. The statistics reply
// sends it as a percent, the metrics as a ratio.
inline double LossRatio(uint32_t bad, const TrafficSnapshot& traffic) {
  const uint32_t received = traffic[2];  // UDP packets received
  return received != 0 ? static_cast<double>(bad) / received : 0.0;
}

class TServerClient {
 public:
  using Buffer = std::vector<uint8_t>;

  // Creates the record for a connection. server: the running server's counters, for what the
  // connection writes.
  TServerClient(std::shared_ptr<TcpConnection> connection, TcpContext* context, TrafficCounters* server);
  ~TServerClient();
  TServerClient(const TServerClient&) = delete;
  TServerClient& operator=(const TServerClient&) = delete;

  // --- identity (set by the login before the record is listed) ---
  const std::string& ClientName() const { return clientName_; }
  const std::string& ClientVersion() const { return clientVersion_; }
  bool IsOldClient() const { return isOldClient_; }
  uint8_t PlayerId() const { return playerId_.load(std::memory_order_relaxed); }
  uint32_t SessionKey() const { return sessionKey_.load(std::memory_order_relaxed); }
  void SetClientName(std::string name) { clientName_ = std::move(name); }
  void SetClientVersion(std::string version);
  void SetPlayerId(uint8_t id) { playerId_.store(id, std::memory_order_relaxed); }
  void SetSessionKey(uint32_t key) { sessionKey_.store(key, std::memory_order_relaxed); }

  // The control connection's IPv4 address (host order), set at login: datagrams speak for this
  // client only from that host.
  uint32_t ControlHost() const { return controlHost_; }
  void SetControlHost(uint32_t ip) { controlHost_ = ip; }

  const TcpContext* Connection() const { return context_; }
  const std::shared_ptr<TcpConnection>& TcpLink() const { return connection_; }

  // --- state ---
  int32_t ChannelId() const { return channelId_.load(std::memory_order_relaxed); }
  void SetChannelId(int32_t id) { channelId_.store(id, std::memory_order_relaxed); }
  bool IsAdmin() const { return isAdmin_.load(); }
  void SetIsAdmin(bool v) { isAdmin_.store(v); }
  bool Leaving() const { return leaving_.load(); }
  void SetLeaving() { leaving_.store(true); }
  bool Destroyed() const { return destroyed_.load(); }

  // The UDP return address: address and port change together, as one word.
  NetAddress Peer() const { return NetAddress::Unpack(peer_.load(std::memory_order_relaxed)); }
  void SetPeer(const NetAddress& a) {
    const uint64_t packed = a.Pack();
    if (peer_.load(std::memory_order_relaxed) != packed) peer_.store(packed, std::memory_order_relaxed);
  }
  std::string PeerAddress() const { return Peer().AddressText(); }
  int32_t PeerPort() const { return Peer().port; }

  // Latest sign of life: the local date-time (for statistics) and the tick (for idle tests,
  // which must not depend on the time of day).
  double LastActivity() const { return lastActivity_.load(std::memory_order_relaxed); }
  uint32_t LastActivityTick() const { return lastActivityTick_.load(std::memory_order_relaxed); }
  void TouchActivity();
  double ConnectedAt() const { return connectedAt_; }
  // A client taken over from an earlier image keeps its times (before it is listed).
  void RestoreTimes(double connectedAt, double lastActivity, uint32_t lastActivityTick) {
    connectedAt_ = connectedAt;
    lastActivity_.store(lastActivity);
    lastActivityTick_.store(lastActivityTick);
  }

  // --- counters (relaxed atomics: exact totals under contention are not required) ---
  TrafficCounters Traffic;
  std::atomic<uint32_t> LastPacketId{0}, BadPackets{0};

  // --- keep-alive state (ping thread and UDP intake) ---
  std::atomic<uint32_t> PingRoundTrip{0};
  std::atomic<bool> PingPending{false};
  std::atomic<uint32_t> PingSentTick{0};
  std::atomic<int32_t> PingTries{0};
  // The ping thread gave up on this client: never pinged again. It closes nothing (the client is
  // told it left and its connection stays until the client ends it); the name is the one the
  // give-up's log line uses, "Initiated Ping Disconnect".
  std::atomic<bool> PingDisconnect{false};

  // The operator muted this player: its voice and whispers are no longer relayed (read by the
  // UDP intake for every datagram; never kept across a restart).
  std::atomic<bool> Muted{false};

  // --- voice budget: touched by the UDP intake only, which holds the relay index lock while it
  // does (in the server, the listener thread alone), so plain fields suffice ---
  // Drops not yet in the log. The intake's list of lines to write shares this, not the record, so
  // a line outlives a client that leaves before its minute ends and keeps no record alive.
  struct VoiceDrops {
    std::string name;          // the client's, for the line
    uint32_t ip = 0;           // its address, whose share the second count is of
    uint32_t overOwn = 0;      // over its own budget since the last line
    uint32_t overAddress = 0;  // over its address's share since the last line
    uint32_t windowStart = 0;  // tick of the first of them
  };
  struct VoiceBudget {
    uint32_t generation = 0;            // the intake's limits it was set up with (0: not yet)
    TokenBucket packets;                // voice and whisper datagrams a second
    TokenBucket bytes;                  // and their bytes
    TokenBucket pings;                  // pings answered a second
    std::shared_ptr<VoiceDrops> drops;  // made at the client's first drop
  };
  VoiceBudget& Budget() { return budget_; }
  // The tick of the last datagram from Peer(), kept by the same intake.
  uint32_t PeerSeenTick() const { return peerSeenTick_; }
  void SetPeerSeenTick(uint32_t tick) { peerSeenTick_ = tick; }
  // A new port that claimed the client while its address was guarded, and when Peer() was asked
  // (pinged) whether it is still there; claimer 0: none.
  struct PortProbe {
    uint64_t claimer = 0;
    uint32_t sentTick = 0;
  };
  PortProbe& Probe() { return probe_; }

  // --- sending ---
  // Takes a composed packet and queues it (dropped once teardown has begun).
  void Enqueue(Buffer buffer);
  void EnqueueCopy(const uint8_t* data, size_t size);
  // Hands every queued packet, oldest first, to the connection, whose own thread writes them; never
  // touches the socket. The client's counters count the attempt; the server's only a written
  // packet. A packet the connection refuses (closed, or past its bound) is dropped silently.
  void Flush();

  // Queues a packet composed for this client and flushes at once: replies and notifications.
  void Send(Buffer packet);

  // Begins teardown: no more queueing or flushing, queued packets dropped, the connection's slot
  // emptied so it no longer refers to this record.
  void Destroy();

 private:
  std::shared_ptr<TcpConnection> connection_;
  TcpContext* context_;

  std::string clientName_;
  std::string clientVersion_;
  bool isOldClient_ = false;
  uint32_t controlHost_ = 0;
  std::atomic<uint8_t> playerId_{0};
  std::atomic<uint32_t> sessionKey_{0};
  std::atomic<int32_t> channelId_{0};
  std::atomic<bool> isAdmin_{false};
  std::atomic<bool> leaving_{false};
  std::atomic<bool> destroyed_{false};
  std::atomic<uint64_t> peer_{0};
  std::atomic<double> lastActivity_;
  std::atomic<uint32_t> lastActivityTick_;
  double connectedAt_;

  VoiceBudget budget_;
  uint32_t peerSeenTick_ = 0;
  PortProbe probe_;
  std::mutex sendMutex_;  // the SendQueue lock; never held across a socket call
  std::deque<Buffer> sendQueue_;
};

using ClientPtr = std::shared_ptr<TServerClient>;

}  // namespace qm
