#pragma once
// The control packets: the 8-byte header, command codes, packet types, reply codes, and one
// function per packet that composes it (server side and, for the client library, client side)
// or parses it. Nothing else in the tree knows an offset of a control packet.
//
// Header, 8 bytes: magic 0xB0BA | sessionKey u16 | length u16 | command i16. Little-endian.
#include <cstdint>
#include <string>
#include <vector>

#include "control/WireFormat.hpp"
#include "control/WireId.hpp"
#include "net/TrafficCounters.hpp"

namespace qm {

using Packet = std::vector<uint8_t>;

inline constexpr uint16_t kControlMagic = 0xB0BA;
inline constexpr size_t kHeaderSize = 8;
inline constexpr size_t kNameCapacity = 30;     // names, passwords, versions
inline constexpr size_t kAddressCapacity = 15;  // dotted IPv4
inline constexpr size_t kShortString30 = 31;
inline constexpr size_t kPacketBufferSize = 4096;

// Client to server.
enum Command : int16_t {
  kCmdClientLogin = 1,
  kCmdClientSetup = 2,
  kCmdClientChangeRoom = 50,
  kCmdClientLeave = 51,
  kCmdPlayerStatsReq = 60,
  kCmdServerStatsReq = 70,
  kCmdAdminLogin = 100,
  kCmdAdminCreateRoom = 110,
  kCmdAdminDeleteRoom = 120,
  kCmdAdminKickPlayer = 130,
  kCmdAdminChangeServerPassword = 140,
  kCmdAdminSaveAsDefaultChannels = 150,
  kCmdAdminChangeAdminPassword = 160,
};

// Server to client packet types.
enum PacketType : int16_t {
  kPktLoginAccepted = 1,
  kPktListsOld = 2,
  kPktListsNew = 3,
  kPktPlayerChangedChannel = 10,
  kPktPlayerJoined = 11,
  kPktPlayerLeft = 12,
  kPktChannelAdded = 13,
  kPktChannelDeleted = 14,
  kPktPlayerIsAdmin = 15,
  kPktPlayerStatsOld = 60,
  kPktPlayerStatsNew = 61,
  kPktServerStats = 70,
};

// Replies: the header alone, length 8.
enum ReplyCode : int16_t {
  kReplyServerFull = -1,
  kReplyWrongPassword = -2,
  kReplySetupRefused = -5,
  kReplyNoSuchPlayerStats = -60,
  kReplyNotAdmin = -100,
  kReplyWrongAdminPassword = -101,
  kReplyChannelExists = -111,
  kReplyNoSuchChannel = -120,
  kReplyNoSuchPlayerKick = -130,
  kReplyAdminLoginOk = 100,
  kReplyServerPasswordChanged = 140,
  kReplyChannelsSaved = 150,
  kReplyAdminPasswordChanged = 160,
};

// Player-left reasons (type 12, offset 9).
enum LeftReason : uint8_t { kLeftReasonLeft = 0, kLeftReasonPingTimeout = 2, kLeftReasonKicked = 4 };

struct PacketHeader {
  uint16_t magic = 0;
  uint16_t sessionKey = 0;
  uint16_t length = 0;
  int16_t command = 0;
};
PacketHeader ParseHeader(const uint8_t* data, size_t size);

// ---- server to client ----
Packet ComposeReply(uint32_t sessionKey, int32_t code);
// Login accepted, 43 bytes: header | server name (short string 30) | 0 | 2 | 1 | 2
Packet ComposeLoginAccepted(uint32_t sessionKey, const std::string& serverName);
// Player changed channel, 10 bytes: header | player | channel as the mover sent it
Packet ComposePlayerChangedChannel(uint32_t sessionKey, uint8_t player, uint8_t channel);
// Player joined, 41 bytes: header | player | channel | name (short string 30)
Packet ComposePlayerJoined(uint32_t sessionKey, uint8_t player, uint8_t channel, const std::string& name);
// Player left, 10 bytes: header | player | reason
Packet ComposePlayerLeft(uint32_t sessionKey, uint8_t player, uint8_t reason);
// Channel added, 40 bytes: header | channel | name (short string 30)
Packet ComposeChannelAdded(uint32_t sessionKey, uint8_t channel, const std::string& name);
// Channel deleted, 9 bytes: header | channel
Packet ComposeChannelDeleted(uint32_t sessionKey, uint8_t channel);
// Player is administrator, 9 bytes: header | player
Packet ComposePlayerIsAdmin(uint32_t sessionKey, uint8_t player);

// Lists, type 2 (old) or 3 (new): head of 12 bytes | 32 per channel | 33 (old) or 34 (new) per
// player. Head: header | channel count (u8) | player count (u8) | own wire player (u16).
struct ListPlayer {
  uint8_t wirePlayer;
  uint8_t wireChannel;
  bool isAdmin;
  std::string name;
};
struct ListChannel {
  uint8_t wireChannel;
  std::string name;
};
void AppendListPlayer(std::vector<uint8_t>& records, const ListPlayer& p, bool oldLayout);
void AppendListChannel(std::vector<uint8_t>& records, const ListChannel& c);
Packet ComposeLists(uint32_t sessionKey, bool oldLayout, size_t channelCount,
                    const std::vector<uint8_t>& channelRecords, size_t playerCount,
                    const std::vector<uint8_t>& playerRecords, uint16_t ownWirePlayer);

struct PlayerStats {
  uint32_t connectedMs = 0;
  float lossPercent = 0.0f;
  uint32_t idleMs = 0;
  uint16_t pingMs = 0;
  uint16_t port = 0;
  std::string address;  // empty unless the requester is an administrator
  std::string version;  // new layout only
  TrafficSnapshot counters{};
  uint8_t requestByte = 0;
};
// Player statistics: 73 bytes, type 60 (old) or 104 bytes, type 61 (new).
Packet ComposePlayerStats(uint32_t sessionKey, bool oldLayout, const PlayerStats& s);

struct ServerStats {
  uint32_t uptimeMs = 0;
  TrafficSnapshot counters{};
  std::string version;
};
// Server statistics, 75 bytes, type 70: header | uptime | 8 counters | version (short string 30)
Packet ComposeServerStats(uint32_t sessionKey, const ServerStats& s);

// ---- client to server (bodies at offset 8) ----
struct LoginRequest {
  std::string name, password, version;
};
Packet ComposeLogin(const LoginRequest& r);  // 101 bytes
LoginRequest ParseLogin(const uint8_t* data, size_t size);
struct SetupRequest {
  uint8_t value = 0;
  uint8_t flag = 0;
};
Packet ComposeSetup(uint8_t value, uint8_t flag);
SetupRequest ParseSetup(const uint8_t* data, size_t size);
// Commands whose body is one byte (50, 60, 120, 130) or none (51, 70, 150).
Packet ComposeCommand(int16_t command);
Packet ComposeByteCommand(int16_t command, uint8_t value);
uint8_t ParseByteArgument(const uint8_t* data, size_t size);
// Commands whose body is one short string of 30 (100, 110, 140, 160).
Packet ComposeStringCommand(int16_t command, const std::string& text);
std::string ParseStringArgument(const uint8_t* data, size_t size);

// ---- server to client, parsed (client library, tests) ----
struct ParsedLists {
  bool oldLayout = false;
  uint16_t ownWirePlayer = 0;
  std::vector<ListChannel> channels;
  std::vector<ListPlayer> players;
};
bool ParseLists(const uint8_t* data, size_t size, ParsedLists& out);
bool ParsePlayerStats(const uint8_t* data, size_t size, PlayerStats& out, bool& oldLayout);
bool ParseServerStats(const uint8_t* data, size_t size, ServerStats& out);
// Login accepted: the session key from the header and the server name.
bool ParseLoginAccepted(const uint8_t* data, size_t size, uint16_t& sessionKey, std::string& serverName);
// Notifications, types 10 to 15; fields a type does not carry stay zero or empty.
struct Notification {
  int16_t type = 0;
  uint8_t player = 0, channel = 0, reason = 0;
  std::string name;
};
bool ParseNotification(const uint8_t* data, size_t size, Notification& out);

}  // namespace qm
