#pragma once
// The two datagram families of the UDP port, voice and ping: the one module that knows their
// offsets. Parsers never read past the bytes received; a datagram too short for a family's fields
// parses as "no datagram".
//
// Voice, 16-byte header then body:
//   magic 0xB0BA | sessionKey u16 | length u16 | kind u8 | (client byte) | packetId u32 | crc u32
//   kind 0: payload. kind 1 (whisper): targetCount u8 | targetCount wire player ids | payload
// Ping, 12 bytes:
//   magic 0xAABB | sessionKey u16 | length u16 (12) | kind u8 | echo u8 | marker u32 (0x0000EEFF)
#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qm {

inline constexpr uint16_t kVoiceMagic = 0xB0BA;
inline constexpr uint16_t kPingMagic = 0xAABB;
inline constexpr size_t kDatagramHeadSize = 4;  // magic and session key
inline constexpr size_t kVoiceHeaderSize = 16;
inline constexpr size_t kPingFieldsSize = 8;  // what intake reads of a ping: up to echo
inline constexpr size_t kPingSize = 12;
inline constexpr uint32_t kPingMarker = 0x0000EEFF;
// A client's ping carries an echo of at most this; anything above answers a server ping.
inline constexpr uint8_t kMaxClientEcho = 4;
inline constexpr uint8_t kServerPingEcho = 200;

enum VoiceKind : uint8_t { kVoiceChannel = 0, kVoiceWhisper = 1 };
enum PingKind : uint8_t { kPingRequest = 1, kPingAnswer = 2 };

struct DatagramHead {
  uint16_t magic = 0;
  uint16_t sessionKey = 0;
};
// False when the datagram is too short to carry a session key.
bool ParseDatagramHead(const uint8_t* data, size_t size, DatagramHead& out);

struct VoiceHeader {
  uint8_t kind = 0;
  uint32_t packetId = 0;
  uint32_t crc = 0;
};
// False when shorter than the 16-byte header.
bool ParseVoiceHeader(const uint8_t* data, size_t size, VoiceHeader& out);

struct PingFields {
  uint8_t kind = 0;
  uint8_t echo = 0;
};
// False when shorter than the fields intake reads (8 bytes); the marker is not checked.
bool ParsePingFields(const uint8_t* data, size_t size, PingFields& out);

using PingDatagram = std::array<uint8_t, kPingSize>;
PingDatagram ComposePing(uint32_t sessionKey, uint8_t kind, uint8_t echo);

// Zeroes the crc field of a voice datagram (at least 16 bytes) in place and returns the checksum
// over the whole datagram so zeroed: what the sender's crc must equal.
uint32_t ZeroCrcAndCompute(uint8_t* data, size_t size);
// Readies one relayed copy in place: the recipient's key at offset 2 and a fresh crc.
void StampVoiceCopy(uint8_t* data, size_t size, uint16_t recipientKey);

enum class WhisperStatus {
  kConverted,      // targets read, datagram now channel voice
  kNoTargetCount,  // not even the targetCount byte: the conversion cannot be done
  kShortTargets,   // fewer target bytes than targetCount says: nothing converted
};
using WhisperTargets = std::bitset<256>;
// Reads a whisper's target set and turns the datagram, in place, into channel voice: bytes 15 to
// 15 + targetCount go, the payload follows the header, kind becomes 0 and length the new size.
// size becomes the new size; the bytes after it are left as they were.
WhisperStatus ConvertWhisper(uint8_t* data, size_t& size, WhisperTargets& targets);
WhisperStatus ConvertWhisper(std::vector<uint8_t>& datagram, WhisperTargets& targets);

// A voice datagram as a client composes it, crc filled in (tests, benchmarks, tools).
std::vector<uint8_t> ComposeVoice(uint16_t sessionKey, uint8_t kind, uint8_t clientByte, uint32_t packetId,
                                  const uint8_t* body, size_t bodySize);

}  // namespace qm
