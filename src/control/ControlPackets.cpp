#include "control/ControlPackets.hpp"

namespace qm {
namespace {

WireWriter Header(Packet& p, uint32_t sessionKey, uint16_t length, int32_t command) {
  p.reserve(length);
  WireWriter w(p);
  w.U16(kControlMagic).U16(static_cast<uint16_t>(sessionKey)).U16(length).I16(command);
  return w;
}

constexpr size_t kPlayerStatsOldSize = 73;
constexpr size_t kPlayerStatsNewSize = 104;
constexpr size_t kServerStatsSize = 75;
constexpr size_t kListHeadSize = 12;
constexpr size_t kChannelRecordSize = 32;
constexpr size_t kPlayerRecordOldSize = 33;
constexpr size_t kPlayerRecordNewSize = 34;

}  // namespace

PacketHeader ParseHeader(const uint8_t* data, size_t size) {
  WireReader r(data, size);
  return PacketHeader{r.U16(0), r.U16(2), r.U16(4), r.I16(6)};
}

Packet ComposeReply(uint32_t sessionKey, int32_t code) {
  Packet p;
  Header(p, sessionKey, kHeaderSize, code);
  return p;
}

Packet ComposeLoginAccepted(uint32_t sessionKey, const std::string& serverName) {
  Packet p;
  Header(p, sessionKey, 43, kPktLoginAccepted).ShortString(serverName, kNameCapacity).U8(0).U8(2).U8(1).U8(2);
  return p;
}

Packet ComposePlayerChangedChannel(uint32_t sessionKey, uint8_t player, uint8_t channel) {
  Packet p;
  Header(p, sessionKey, 10, kPktPlayerChangedChannel).U8(player).U8(channel);
  return p;
}

Packet ComposePlayerJoined(uint32_t sessionKey, uint8_t player, uint8_t channel, const std::string& name) {
  Packet p;
  Header(p, sessionKey, 41, kPktPlayerJoined).U8(player).U8(channel).ShortString(name, kNameCapacity);
  return p;
}

Packet ComposePlayerLeft(uint32_t sessionKey, uint8_t player, uint8_t reason) {
  Packet p;
  Header(p, sessionKey, 10, kPktPlayerLeft).U8(player).U8(reason);
  return p;
}

Packet ComposeChannelAdded(uint32_t sessionKey, uint8_t channel, const std::string& name) {
  Packet p;
  Header(p, sessionKey, 40, kPktChannelAdded).U8(channel).ShortString(name, kNameCapacity);
  return p;
}

Packet ComposeChannelDeleted(uint32_t sessionKey, uint8_t channel) {
  Packet p;
  Header(p, sessionKey, 9, kPktChannelDeleted).U8(channel);
  return p;
}

Packet ComposePlayerIsAdmin(uint32_t sessionKey, uint8_t player) {
  Packet p;
  Header(p, sessionKey, 9, kPktPlayerIsAdmin).U8(player);
  return p;
}

void AppendListPlayer(std::vector<uint8_t>& records, const ListPlayer& p, bool oldLayout) {
  WireWriter w(records);
  w.U8(p.wirePlayer).U8(p.wireChannel);
  if (!oldLayout) w.U8(p.isAdmin ? 1 : 0);
  w.ShortString(p.name, kNameCapacity);
}

void AppendListChannel(std::vector<uint8_t>& records, const ListChannel& c) {
  WireWriter(records).U8(c.wireChannel).ShortString(c.name, kNameCapacity);
}

Packet ComposeLists(uint32_t sessionKey, bool oldLayout, size_t channelCount,
                    const std::vector<uint8_t>& channelRecords, size_t playerCount,
                    const std::vector<uint8_t>& playerRecords, uint16_t ownWirePlayer) {
  Packet p;
  // The length is a 16-bit field; with at most 256 entries per list it always fits.
  const size_t total = kListHeadSize + channelRecords.size() + playerRecords.size();
  Header(p, sessionKey, static_cast<uint16_t>(total), oldLayout ? kPktListsOld : kPktListsNew)
      .U8(static_cast<uint8_t>(channelCount))
      .U8(static_cast<uint8_t>(playerCount))
      .U16(ownWirePlayer)
      .Bytes(channelRecords.data(), channelRecords.size())
      .Bytes(playerRecords.data(), playerRecords.size());
  return p;
}

// Player statistics (old | new offsets):
//  8 connected ms | 12 loss (single) | 16 idle ms | 20 ping u16 | 22 port u16 | 24 address (ss15)
//  new only: 40 version (ss30) | then 8 counters u32 (40 | 71) | request byte (72 | 103)
Packet ComposePlayerStats(uint32_t sessionKey, bool oldLayout, const PlayerStats& s) {
  Packet p;
  WireWriter w = Header(p, sessionKey, static_cast<uint16_t>(oldLayout ? kPlayerStatsOldSize : kPlayerStatsNewSize),
                        oldLayout ? kPktPlayerStatsOld : kPktPlayerStatsNew);
  w.U32(s.connectedMs)
      .F32(s.lossPercent)
      .U32(s.idleMs)
      .U16(s.pingMs)
      .U16(s.port)
      .ShortString(s.address, kAddressCapacity);
  if (!oldLayout) w.ShortString(s.version, kNameCapacity);
  for (uint32_t c : s.counters) w.U32(c);
  w.U8(s.requestByte);
  return p;
}

Packet ComposeServerStats(uint32_t sessionKey, const ServerStats& s) {
  Packet p;
  WireWriter w = Header(p, sessionKey, kServerStatsSize, kPktServerStats);
  w.U32(s.uptimeMs);
  for (uint32_t c : s.counters) w.U32(c);
  w.ShortString(s.version, kNameCapacity);
  return p;
}

// Login request, 101 bytes: header | name (ss30) | password (ss30) | version (ss30)
Packet ComposeLogin(const LoginRequest& r) {
  Packet p;
  Header(p, 0, 101, kCmdClientLogin)
      .ShortString(r.name, kNameCapacity)
      .ShortString(r.password, kNameCapacity)
      .ShortString(r.version, kNameCapacity);
  return p;
}

LoginRequest ParseLogin(const uint8_t* data, size_t size) {
  WireReader r(data, size);
  return LoginRequest{r.ShortString(8, kNameCapacity), r.ShortString(8 + kShortString30, kNameCapacity),
                      r.ShortString(8 + 2 * kShortString30, kNameCapacity)};
}

Packet ComposeSetup(uint8_t value, uint8_t flag) {
  Packet p;
  Header(p, 0, 10, kCmdClientSetup).U8(value).U8(flag);
  return p;
}

SetupRequest ParseSetup(const uint8_t* data, size_t size) {
  WireReader r(data, size);
  return SetupRequest{r.U8(8), r.U8(9)};
}

Packet ComposeCommand(int16_t command) {
  Packet p;
  Header(p, 0, kHeaderSize, command);
  return p;
}

Packet ComposeByteCommand(int16_t command, uint8_t value) {
  Packet p;
  Header(p, 0, 9, command).U8(value);
  return p;
}

uint8_t ParseByteArgument(const uint8_t* data, size_t size) { return WireReader(data, size).U8(8); }

Packet ComposeStringCommand(int16_t command, const std::string& text) {
  Packet p;
  Header(p, 0, kHeaderSize + kShortString30, command).ShortString(text, kNameCapacity);
  return p;
}

std::string ParseStringArgument(const uint8_t* data, size_t size) {
  return WireReader(data, size).ShortString(8, kNameCapacity);
}

bool ParseLists(const uint8_t* data, size_t size, ParsedLists& out) {
  WireReader r(data, size);
  const int16_t type = r.I16(6);
  if (type != kPktListsOld && type != kPktListsNew) return false;
  out = ParsedLists{};
  out.oldLayout = type == kPktListsOld;
  const size_t channels = r.U8(8), players = r.U8(9);
  out.ownWirePlayer = r.U16(10);
  const size_t playerSize = out.oldLayout ? kPlayerRecordOldSize : kPlayerRecordNewSize;
  if (!r.Has(0, kListHeadSize + channels * kChannelRecordSize + players * playerSize)) return false;
  size_t at = kListHeadSize;
  for (size_t i = 0; i < channels; ++i, at += kChannelRecordSize)
    out.channels.push_back(ListChannel{r.U8(at), r.ShortString(at + 1, kNameCapacity)});
  for (size_t i = 0; i < players; ++i, at += playerSize) {
    ListPlayer p{r.U8(at), r.U8(at + 1), false, {}};
    if (out.oldLayout) {
      p.name = r.ShortString(at + 2, kNameCapacity);
    } else {
      p.isAdmin = r.U8(at + 2) != 0;
      p.name = r.ShortString(at + 3, kNameCapacity);
    }
    out.players.push_back(std::move(p));
  }
  return true;
}

bool ParsePlayerStats(const uint8_t* data, size_t size, PlayerStats& out, bool& oldLayout) {
  WireReader r(data, size);
  const int16_t type = r.I16(6);
  if (type == kPktPlayerStatsOld && size >= kPlayerStatsOldSize)
    oldLayout = true;
  else if (type == kPktPlayerStatsNew && size >= kPlayerStatsNewSize)
    oldLayout = false;
  else
    return false;
  out = PlayerStats{};
  out.connectedMs = r.U32(8);
  out.lossPercent = r.F32(12);
  out.idleMs = r.U32(16);
  out.pingMs = r.U16(20);
  out.port = r.U16(22);
  out.address = r.ShortString(24, kAddressCapacity);
  size_t at = 40;
  if (!oldLayout) {
    out.version = r.ShortString(40, kNameCapacity);
    at = 71;
  }
  for (uint32_t& c : out.counters) {
    c = r.U32(at);
    at += 4;
  }
  out.requestByte = r.U8(at);
  return true;
}

bool ParseServerStats(const uint8_t* data, size_t size, ServerStats& out) {
  WireReader r(data, size);
  if (r.I16(6) != kPktServerStats || size < kServerStatsSize) return false;
  out.uptimeMs = r.U32(8);
  for (int i = 0; i < 8; ++i) out.counters[i] = r.U32(12 + 4 * static_cast<size_t>(i));
  out.version = r.ShortString(44, kNameCapacity);
  return true;
}

bool ParseLoginAccepted(const uint8_t* data, size_t size, uint16_t& sessionKey, std::string& serverName) {
  WireReader r(data, size);
  if (r.I16(6) != kPktLoginAccepted || !r.Has(0, 43)) return false;
  sessionKey = r.U16(2);
  serverName = r.ShortString(8, kNameCapacity);
  return true;
}

bool ParseNotification(const uint8_t* data, size_t size, Notification& n) {
  const WireReader r(data, size);
  n = Notification{};
  n.type = r.I16(6);
  switch (n.type) {
    case kPktPlayerChangedChannel:
      n.player = r.U8(8), n.channel = r.U8(9);
      return r.Has(0, 10);
    case kPktPlayerJoined:
      n.player = r.U8(8), n.channel = r.U8(9), n.name = r.ShortString(10, kNameCapacity);
      return r.Has(0, 41);
    case kPktPlayerLeft:
      n.player = r.U8(8), n.reason = r.U8(9);
      return r.Has(0, 10);
    case kPktChannelAdded:
      n.channel = r.U8(8), n.name = r.ShortString(9, kNameCapacity);
      return r.Has(0, 40);
    case kPktChannelDeleted:
      n.channel = r.U8(8);
      return r.Has(0, 9);
    case kPktPlayerIsAdmin:
      n.player = r.U8(8);
      return r.Has(0, 9);
    default:
      return false;
  }
}

}  // namespace qm
