#include "datagram/Datagrams.hpp"

#include <cstring>

#include "datagram/PacketCrc32.hpp"
#include "net/ByteOrder.hpp"

namespace qm {
namespace {
constexpr size_t kMagicAt = 0, kKeyAt = 2, kLengthAt = 4, kKindAt = 6, kEchoAt = 7, kPacketIdAt = 8, kCrcAt = 12;
constexpr size_t kTargetCountAt = 16, kTargetsAt = 17;
}  // namespace

bool ParseDatagramHead(const uint8_t* data, size_t size, DatagramHead& out) {
  if (size < kDatagramHeadSize) return false;
  out.magic = LoadU16(data + kMagicAt);
  out.sessionKey = LoadU16(data + kKeyAt);
  return true;
}

bool ParseVoiceHeader(const uint8_t* data, size_t size, VoiceHeader& out) {
  if (size < kVoiceHeaderSize) return false;
  out.kind = data[kKindAt];
  out.packetId = LoadU32(data + kPacketIdAt);
  out.crc = LoadU32(data + kCrcAt);
  return true;
}

bool ParsePingFields(const uint8_t* data, size_t size, PingFields& out) {
  if (size < kPingFieldsSize) return false;
  out.kind = data[kKindAt];
  out.echo = data[kEchoAt];
  return true;
}

PingDatagram ComposePing(uint32_t sessionKey, uint8_t kind, uint8_t echo) {
  PingDatagram d{};
  StoreU16(d.data() + kMagicAt, kPingMagic);
  StoreU16(d.data() + kKeyAt, static_cast<uint16_t>(sessionKey));
  StoreU16(d.data() + kLengthAt, static_cast<uint16_t>(kPingSize));
  d[kKindAt] = kind;
  d[kEchoAt] = echo;
  StoreU32(d.data() + kPacketIdAt, kPingMarker);
  return d;
}

uint32_t ZeroCrcAndCompute(uint8_t* data, size_t size) {
  StoreU32(data + kCrcAt, 0);
  return PacketCrc32(data, size);
}

void StampVoiceCopy(uint8_t* data, size_t size, uint16_t recipientKey) {
  StoreU16(data + kKeyAt, recipientKey);
  StoreU32(data + kCrcAt, ZeroCrcAndCompute(data, size));
}

WhisperStatus ConvertWhisper(uint8_t* d, size_t& size, WhisperTargets& targets) {
  targets.reset();
  if (size < kTargetsAt) return WhisperStatus::kNoTargetCount;
  const size_t count = d[kTargetCountAt];
  if (size - kTargetsAt < count) return WhisperStatus::kShortTargets;
  for (size_t i = 0; i < count; ++i) targets.set(d[kTargetsAt + i]);
  // The last target byte (or the count itself) lands on byte 15, inside the crc field that every
  // copy overwrites; the payload moves up to offset 16.
  const size_t keepFrom = kTargetCountAt + count;
  std::memmove(d + kCrcAt + 3, d + keepFrom, size - keepFrom);
  size -= count + 1;
  d[kKindAt] = kVoiceChannel;
  StoreU16(d + kLengthAt, static_cast<uint16_t>(size));
  return WhisperStatus::kConverted;
}

WhisperStatus ConvertWhisper(std::vector<uint8_t>& datagram, WhisperTargets& targets) {
  size_t size = datagram.size();
  const WhisperStatus status = ConvertWhisper(datagram.data(), size, targets);
  datagram.resize(size);
  return status;
}

std::vector<uint8_t> ComposeVoice(uint16_t sessionKey, uint8_t kind, uint8_t clientByte, uint32_t packetId,
                                  const uint8_t* body, size_t bodySize) {
  std::vector<uint8_t> d;
  d.reserve(kVoiceHeaderSize + bodySize);
  ByteWriter w(d);
  w.U16(kVoiceMagic).U16(sessionKey).U16(static_cast<uint16_t>(kVoiceHeaderSize + bodySize)).U8(kind).U8(clientByte);
  w.U32(packetId).U32(0);
  if (bodySize) w.Bytes(body, bodySize);
  StoreU32(d.data() + kCrcAt, PacketCrc32(d.data(), d.size()));
  return d;
}

}  // namespace qm
