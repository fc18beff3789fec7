#include <gtest/gtest.h>

#include "datagram/Datagrams.hpp"
#include "datagram/PacketCrc32.hpp"
#include "datagram/VoiceStats.hpp"

namespace qm {
namespace {

using Bytes = std::vector<uint8_t>;

uint32_t CrcOfCopy(Bytes d) {
  const uint32_t stored = d[12] | d[13] << 8 | d[14] << 16 | static_cast<uint32_t>(d[15]) << 24;
  d[12] = d[13] = d[14] = d[15] = 0;
  EXPECT_EQ(PacketCrc32(d.data(), d.size()), stored);
  return stored;
}

TEST(Datagrams, PingBytesAreExact) {
  const PingDatagram p = ComposePing(0x1234ABCD, kPingAnswer, 3);
  const Bytes expected{0xBB, 0xAA, 0xCD, 0xAB, 12, 0, 2, 3, 0xFF, 0xEE, 0x00, 0x00};
  EXPECT_EQ(Bytes(p.begin(), p.end()), expected);
  const PingDatagram server = ComposePing(7, kPingRequest, kServerPingEcho);
  EXPECT_EQ(server[6], 1);
  EXPECT_EQ(server[7], 200);
}

TEST(Datagrams, ParsersRefuseWhatIsTooShort) {
  const Bytes voice = ComposeVoice(0x0102, kVoiceChannel, 9, 0xA0B0C0D0, nullptr, 0);
  ASSERT_EQ(voice.size(), 16u);
  DatagramHead h;
  EXPECT_FALSE(ParseDatagramHead(voice.data(), 3, h));
  ASSERT_TRUE(ParseDatagramHead(voice.data(), 4, h));
  EXPECT_EQ(h.magic, kVoiceMagic);
  EXPECT_EQ(h.sessionKey, 0x0102);
  VoiceHeader v;
  EXPECT_FALSE(ParseVoiceHeader(voice.data(), 15, v));
  ASSERT_TRUE(ParseVoiceHeader(voice.data(), 16, v));
  EXPECT_EQ(v.packetId, 0xA0B0C0D0u);
  EXPECT_EQ(v.kind, kVoiceChannel);
  PingFields p;
  EXPECT_FALSE(ParsePingFields(voice.data(), 7, p));
  EXPECT_TRUE(ParsePingFields(voice.data(), 8, p));
}

TEST(Datagrams, ComposedVoiceCarriesItsOwnCrcAndCopiesAreRestamped) {
  const Bytes body{1, 2, 3, 4, 5};
  Bytes d = ComposeVoice(0x00FF, kVoiceChannel, 0x77, 42, body.data(), body.size());
  const Bytes head{0xBA, 0xB0, 0xFF, 0x00, 21, 0, 0, 0x77, 42, 0, 0, 0};
  EXPECT_EQ(Bytes(d.begin(), d.begin() + 12), head);
  CrcOfCopy(d);
  StampVoiceCopy(d.data(), d.size(), 0xBEEF);
  EXPECT_EQ(d[2], 0xEF);
  EXPECT_EQ(d[3], 0xBE);
  CrcOfCopy(d);
  EXPECT_EQ(Bytes(d.begin() + 16, d.end()), body);
}

TEST(Datagrams, WhisperConvertsByteByByte) {
  // header | count 2 | targets 3, 9 | payload AA BB CC
  const Bytes body{2, 3, 9, 0xAA, 0xBB, 0xCC};
  Bytes d = ComposeVoice(0x0506, kVoiceWhisper, 0x11, 0x01020304, body.data(), body.size());
  const Bytes before = d;
  WhisperTargets t;
  ASSERT_EQ(ConvertWhisper(d, t), WhisperStatus::kConverted);
  EXPECT_TRUE(t.test(3));
  EXPECT_TRUE(t.test(9));
  EXPECT_EQ(t.count(), 2u);
  ASSERT_EQ(d.size(), before.size() - 3);
  // Bytes 0..14 kept but kind and length; byte 15 is the last target byte (later overwritten by
  // the crc); the payload follows from 16.
  const Bytes expected{0xBA, 0xB0, 0x06,       0x05,       19,         0, 0,    0x11, 4,   3,
                       2,    1,    before[12], before[13], before[14], 9, 0xAA, 0xBB, 0xCC};
  EXPECT_EQ(d, expected);
}

TEST(Datagrams, WhisperWithoutTargetsKeepsTheCountByteInTheCrcField) {
  const Bytes body{0, 0x42};
  Bytes d = ComposeVoice(1, kVoiceWhisper, 0, 1, body.data(), body.size());
  WhisperTargets t;
  ASSERT_EQ(ConvertWhisper(d, t), WhisperStatus::kConverted);
  EXPECT_TRUE(t.none());
  ASSERT_EQ(d.size(), 17u);
  EXPECT_EQ(d[15], 0);
  EXPECT_EQ(d[16], 0x42);
  EXPECT_EQ(d[4], 17);
}

TEST(Datagrams, ShortWhispersAreRefusedUntouched) {
  WhisperTargets t;
  Bytes bare = ComposeVoice(1, kVoiceWhisper, 0, 1, nullptr, 0);
  EXPECT_EQ(ConvertWhisper(bare, t), WhisperStatus::kNoTargetCount);
  EXPECT_EQ(bare.size(), 16u);
  // Count 5 but only two target bytes follow: neither read past the end nor converted.
  const Bytes body{5, 1, 2};
  Bytes shortTargets = ComposeVoice(1, kVoiceWhisper, 0, 1, body.data(), body.size());
  const Bytes before = shortTargets;
  EXPECT_EQ(ConvertWhisper(shortTargets, t), WhisperStatus::kShortTargets);
  EXPECT_EQ(shortTargets, before);
  EXPECT_TRUE(t.none());
  // Exactly enough targets and no payload converts to a bare header.
  const Bytes exact{2, 1, 2};
  Bytes full = ComposeVoice(1, kVoiceWhisper, 0, 1, exact.data(), exact.size());
  EXPECT_EQ(ConvertWhisper(full, t), WhisperStatus::kConverted);
  EXPECT_EQ(full.size(), 16u);
}

// A bucket holds delays up to and including its bound, as the exposition's "le" says.
TEST(RelayDelayHistogram, BoundsBelongToTheirBucketAndTheRestToTheLast) {
  RelayDelayHistogram h;
  h.Record(50'000);       // 0.05 ms
  h.Record(50'001);       // just above: the 0.1 ms bucket
  h.Record(-5);           // a clock step back counts as no delay
  h.Record(100'000'000);  // 100 ms
  h.Record(2'000'000'000);
  const auto c = h.Counts();
  EXPECT_EQ(c[0], 2u);
  EXPECT_EQ(c[1], 1u);
  EXPECT_EQ(c[10], 1u);
  EXPECT_EQ(c[RelayDelayHistogram::kBuckets - 1], 1u);
  EXPECT_NEAR(h.SumSeconds(), 2.1001, 1e-6);
}

}  // namespace
}  // namespace qm
