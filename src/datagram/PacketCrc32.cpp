#include "datagram/PacketCrc32.hpp"

#include "net/ByteOrder.hpp"

namespace qm {
namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;

// Slice k advances a byte that sits k positions ahead of the register's end, so eight bytes fold
// in with eight look-ups; slice 0 is the standard byte-wise table.
using Slices = std::array<std::array<uint32_t, 256>, 8>;

constexpr Slices MakeSlices() {
  Slices s{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (c >> 1) ^ kPolynomial : c >> 1;
    s[0][i] = c;
  }
  for (size_t k = 1; k < s.size(); ++k)
    for (size_t i = 0; i < 256; ++i) s[k][i] = (s[k - 1][i] >> 8) ^ s[0][s[k - 1][i] & 0xFFu];
  return s;
}

constexpr Slices kSlices = MakeSlices();
static_assert(kSlices[0][1] == 0x77073096u && kSlices[0][255] == 0x2D02EF8Du);

}  // namespace

const std::array<uint32_t, 256>& Crc32Table() { return kSlices[0]; }

uint32_t PacketCrc32(const uint8_t* data, size_t length) {
  if (length > kCrcMaxLength) return 0xFFFFFFFFu;
  const auto& t = kSlices;
  uint32_t crc = 0xFFFFFFFFu;
  for (; length >= 8; length -= 8, data += 8) {
    const uint32_t low = crc ^ LoadU32(data);
    const uint32_t high = LoadU32(data + 4);
    crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^ t[3][high & 0xFF] ^
          t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
  }
  for (; length > 0; --length, ++data) crc = t[0][(crc ^ *data) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

}  // namespace qm
