#pragma once
// The standard CRC-32 of IEEE 802.3 (reflected, polynomial 0xEDB88320, initial and final
// 0xFFFFFFFF), as clients compute it over a voice datagram with its crc field zeroed.
#include <array>
#include <cstddef>
#include <cstdint>

namespace qm {

// Lengths above this are refused with 0xFFFFFFFF without reading the data: clients count the
// bytes in 16 bits.
inline constexpr size_t kCrcMaxLength = 65521;

uint32_t PacketCrc32(const uint8_t* data, size_t length);

// The byte-wise table, built at compile time (entry 1 is 0x77073096, entry 255 is 0x2D02EF8D).
const std::array<uint32_t, 256>& Crc32Table();

}  // namespace qm
