#pragma once
// Player and channel ids are 0-based inside the server and travel as id + 1, so that a wire 0
// names nobody. The conversions live here and nowhere else.
#include <cstdint>

namespace qm {

// The wire number of an id, not cut to a byte: player 255 is 256, which no byte field can name (and
// a channel id of -1 is 0). Logs show players by this number.
constexpr int32_t ToWireId(int32_t id) { return id + 1; }
// The id a wire number names (wire 0 names channel -1).
constexpr int32_t FromWireId(int32_t wire) { return wire - 1; }

// The same for the one-byte fields of packets and datagrams: the byte wraps, so player 255 goes
// out as 0, and a wire 0 names id 255.
constexpr uint8_t ToWireByte(int32_t id) { return static_cast<uint8_t>(id + 1); }
constexpr uint8_t FromWireByte(uint8_t wire) { return static_cast<uint8_t>(wire - 1); }

}  // namespace qm
