#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "datagram/PacketCrc32.hpp"

namespace qm {
namespace {

// Bit by bit, independent of any table, so a wrong table entry cannot hide in both sides.
uint32_t BitwiseCrc32(const uint8_t* data, size_t length) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return crc ^ 0xFFFFFFFFu;
}

TEST(PacketCrc32, KnownValues) {
  const char* digits = "123456789";
  EXPECT_EQ(PacketCrc32(reinterpret_cast<const uint8_t*>(digits), 9), 0xCBF43926u);
  EXPECT_EQ(PacketCrc32(nullptr, 0), 0x00000000u);
  const uint8_t zero = 0;
  EXPECT_EQ(PacketCrc32(&zero, 1), 0xD202EF8Du);
}

TEST(PacketCrc32, TableIsTheStandardOne) {
  const auto& table = Crc32Table();
  EXPECT_EQ(table[0], 0u);
  EXPECT_EQ(table[1], 0x77073096u);
  EXPECT_EQ(table[255], 0x2D02EF8Du);
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    ASSERT_EQ(table[i], c) << "entry " << i;
  }
}

TEST(PacketCrc32, LengthLimit) {
  std::vector<uint8_t> data(kCrcMaxLength + 1);
  std::mt19937 rng(7);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  EXPECT_EQ(PacketCrc32(data.data(), kCrcMaxLength), BitwiseCrc32(data.data(), kCrcMaxLength));
  EXPECT_EQ(PacketCrc32(data.data(), kCrcMaxLength + 1), 0xFFFFFFFFu);
  // Refused lengths must not touch the buffer at all.
  EXPECT_EQ(PacketCrc32(nullptr, kCrcMaxLength + 1), 0xFFFFFFFFu);
  EXPECT_EQ(PacketCrc32(nullptr, 1u << 20), 0xFFFFFFFFu);
}

TEST(PacketCrc32, MatchesBitwiseForEveryLengthAndAlignment) {
  std::vector<uint8_t> buffer(2048 + 16);
  std::mt19937 rng(12345);
  for (auto& b : buffer) b = static_cast<uint8_t>(rng());
  for (size_t offset = 0; offset < 8; ++offset)
    for (size_t length = 0; length <= 300; ++length)
      ASSERT_EQ(PacketCrc32(buffer.data() + offset, length), BitwiseCrc32(buffer.data() + offset, length))
          << "offset " << offset << " length " << length;
  for (size_t length : {511u, 512u, 513u, 1400u, 2048u})
    EXPECT_EQ(PacketCrc32(buffer.data() + 3, length), BitwiseCrc32(buffer.data() + 3, length));
}

TEST(PacketCrc32, DetectsEverySingleBitFlip) {
  std::vector<uint8_t> datagram(64, 0x5A);
  const uint32_t original = PacketCrc32(datagram.data(), datagram.size());
  for (size_t bit = 0; bit < datagram.size() * 8; ++bit) {
    datagram[bit / 8] ^= uint8_t(1u << (bit % 8));
    ASSERT_NE(PacketCrc32(datagram.data(), datagram.size()), original) << "bit " << bit;
    datagram[bit / 8] ^= uint8_t(1u << (bit % 8));
  }
}

}  // namespace
}  // namespace qm
