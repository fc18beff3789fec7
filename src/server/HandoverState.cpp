#include "server/HandoverState.hpp"

#include <cstring>
#include <stdexcept>

#include "net/ByteOrder.hpp"

namespace qm {
namespace {

constexpr uint8_t kMagic[4] = {'Q', 'M', 'H', 'S'};
// Far above any real state (255 clients with full queues); a larger count is damage, not data.
constexpr uint32_t kMaxItems = 1u << 20;

class StateWriter final : public BasicByteWriter<StateWriter> {
 public:
  using BasicByteWriter::BasicByteWriter;
  StateWriter& U64(uint64_t v) { return U32(static_cast<uint32_t>(v)).U32(static_cast<uint32_t>(v >> 32)); }
  StateWriter& F64(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    return U64(bits);
  }
  StateWriter& Blob(const uint8_t* data, size_t size) { return U32(static_cast<uint32_t>(size)).Bytes(data, size); }
  StateWriter& Text(const std::string& s) { return Blob(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
  StateWriter& Counters(const std::array<uint32_t, 8>& c) {
    for (uint32_t v : c) U32(v);
    return *this;
  }
};

// Reads in order; any field past the end makes the whole state unreadable.
class StateReader {
 public:
  StateReader(const uint8_t* data, size_t size) : r_(data, size), data_(data) {}
  void Need(size_t n) {
    if (!r_.Has(at_, n)) throw std::runtime_error("handover state cut short at byte " + std::to_string(at_));
  }
  uint8_t U8() {
    Need(1);
    return r_.U8(at_++);
  }
  uint16_t U16() {
    Need(2);
    const uint16_t v = r_.U16(at_);
    at_ += 2;
    return v;
  }
  uint32_t U32() {
    Need(4);
    const uint32_t v = r_.U32(at_);
    at_ += 4;
    return v;
  }
  int32_t I32() { return static_cast<int32_t>(U32()); }
  uint64_t U64() {
    const uint64_t low = U32();
    return low | (static_cast<uint64_t>(U32()) << 32);
  }
  double F64() {
    const uint64_t bits = U64();
    double v;
    std::memcpy(&v, &bits, 8);
    return v;
  }
  uint32_t Count() {
    const uint32_t n = U32();
    if (n > kMaxItems) throw std::runtime_error("handover state holds an impossible count " + std::to_string(n));
    return n;
  }
  std::vector<uint8_t> Blob() {
    const uint32_t n = U32();
    Need(n);
    std::vector<uint8_t> v(data_ + at_, data_ + at_ + n);
    at_ += n;
    return v;
  }
  std::string Text() {
    const std::vector<uint8_t> v = Blob();
    return std::string(v.begin(), v.end());
  }
  std::array<uint32_t, 8> Counters() {
    std::array<uint32_t, 8> c{};
    for (uint32_t& v : c) v = U32();
    return c;
  }
  size_t At() const { return at_; }

 private:
  ByteReader r_;
  const uint8_t* data_;
  size_t at_ = 0;
};

void WriteClient(StateWriter& w, const HandoverClient& c) {
  w.U8(c.playerId).U32(c.sessionKey).Text(c.name).Text(c.version).U32(static_cast<uint32_t>(c.channelId));
  w.U8(c.admin ? 1 : 0).U8(c.leaving ? 1 : 0).U32(c.controlHost).U64(c.udpPeer);
  w.F64(c.connectedAt).F64(c.lastActivity).U32(c.lastActivityTick).Counters(c.traffic);
  w.U32(c.lastPacketId).U32(c.badPackets).U32(c.pingRoundTrip).U8(c.pingPending ? 1 : 0).U32(c.pingSentTick);
  w.U32(static_cast<uint32_t>(c.pingTries)).U8(c.pingDisconnect ? 1 : 0);
  w.U8(c.muted ? 1 : 0);
}

HandoverClient ReadClient(StateReader& r, uint32_t layout) {
  HandoverClient c;
  c.playerId = r.U8();
  c.sessionKey = r.U32();
  c.name = r.Text();
  c.version = r.Text();
  c.channelId = r.I32();
  c.admin = r.U8() != 0;
  c.leaving = r.U8() != 0;
  c.controlHost = r.U32();
  c.udpPeer = r.U64();
  c.connectedAt = r.F64();
  c.lastActivity = r.F64();
  c.lastActivityTick = r.U32();
  c.traffic = r.Counters();
  c.lastPacketId = r.U32();
  c.badPackets = r.U32();
  c.pingRoundTrip = r.U32();
  c.pingPending = r.U8() != 0;
  c.pingSentTick = r.U32();
  c.pingTries = r.I32();
  c.pingDisconnect = r.U8() != 0;
  if (layout >= 2) c.muted = r.U8() != 0;
  return c;
}

}  // namespace

std::vector<uint8_t> WriteHandoverState(const HandoverState& s) {
  std::vector<uint8_t> out;
  StateWriter w(out);
  w.Bytes(kMagic, 4).U32(HandoverState::kLayoutVersion);
  w.U32(static_cast<uint32_t>(s.tcpListenSocket)).U32(static_cast<uint32_t>(s.udpSocket));
  w.F64(s.startTime).Counters(s.counters).U32(s.handovers).U32(s.lastPauseMs).U32(s.pauseBeganTick);
  w.U32(static_cast<uint32_t>(s.channels.size()));
  for (const HandoverChannel& ch : s.channels) w.U8(ch.id).Text(ch.name);
  w.U32(static_cast<uint32_t>(s.connections.size()));
  for (const HandoverConnection& c : s.connections) {
    w.U32(static_cast<uint32_t>(c.socket)).U32(c.peerIp).U16(c.peerPort);
    w.Blob(c.unread.data(), c.unread.size());
    w.U32(static_cast<uint32_t>(c.unsent.size()));
    for (const auto& packet : c.unsent) w.Blob(packet.data(), packet.size());
    w.U8(c.hasClient ? 1 : 0);
    if (c.hasClient) WriteClient(w, c.client);
  }
  w.U32(s.failures).U8(s.draining ? 1 : 0).U8(s.drainStop ? 1 : 0).U32(s.drainStartTick).U32(s.drainTimeoutMs);
  w.U32(static_cast<uint32_t>(s.guesses.size()));
  for (const HandoverGuess& g : s.guesses) {
    w.U8(g.throttle).U8(g.network ? 1 : 0).Text(g.key).U32(g.windowStart).U32(g.failures);
    w.U8(g.blocked ? 1 : 0).U32(g.blockStart);
  }
  return out;
}

HandoverState ReadHandoverState(const uint8_t* data, size_t size) {
  StateReader r(data, size);
  r.Need(4);
  if (std::memcmp(data, kMagic, 4) != 0) throw std::runtime_error("not a handover state");
  for (int i = 0; i < 4; ++i) r.U8();
  HandoverState s;
  s.layoutVersion = r.U32();
  // Layout 1 is the first; a later layout reads its own fields after a branch on the version.
  if (s.layoutVersion < 1 || s.layoutVersion > HandoverState::kLayoutVersion)
    throw std::runtime_error("handover state layout " + std::to_string(s.layoutVersion) +
                             " is unknown to this build (it reads 1 to " +
                             std::to_string(HandoverState::kLayoutVersion) + ")");
  s.tcpListenSocket = r.I32();
  s.udpSocket = r.I32();
  s.startTime = r.F64();
  s.counters = r.Counters();
  s.handovers = r.U32();
  s.lastPauseMs = r.U32();
  s.pauseBeganTick = r.U32();
  for (uint32_t n = r.Count(); n > 0; --n) {
    HandoverChannel ch;
    ch.id = r.U8();
    ch.name = r.Text();
    s.channels.push_back(std::move(ch));
  }
  for (uint32_t n = r.Count(); n > 0; --n) {
    HandoverConnection c;
    c.socket = r.I32();
    c.peerIp = r.U32();
    c.peerPort = r.U16();
    c.unread = r.Blob();
    for (uint32_t p = r.Count(); p > 0; --p) c.unsent.push_back(r.Blob());
    c.hasClient = r.U8() != 0;
    if (c.hasClient) c.client = ReadClient(r, s.layoutVersion);
    s.connections.push_back(std::move(c));
  }
  if (s.layoutVersion >= 2) {
    s.failures = r.U32();
    s.draining = r.U8() != 0;
    s.drainStop = r.U8() != 0;
    s.drainStartTick = r.U32();
    s.drainTimeoutMs = r.U32();
    for (uint32_t n = r.Count(); n > 0; --n) {
      HandoverGuess g;
      g.throttle = r.U8();
      g.network = r.U8() != 0;
      g.key = r.Text();
      g.windowStart = r.U32();
      g.failures = r.U32();
      g.blocked = r.U8() != 0;
      g.blockStart = r.U32();
      s.guesses.push_back(std::move(g));
    }
  }
  if (r.At() != size)
    throw std::runtime_error("handover state has " + std::to_string(size - r.At()) + " bytes too many");
  return s;
}

}  // namespace qm
