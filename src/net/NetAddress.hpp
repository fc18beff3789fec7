#pragma once
// An IPv4 address and port kept as numbers, so the relay can send copy after copy without
// parsing text. Packs into one 64-bit word so a client's address and port change as one pair.
#include <cstdint>
#include <string>

struct sockaddr_in;

namespace qm {

struct NetAddress {
  uint32_t ip = 0;    // host byte order: 127.0.0.1 is 0x7F000001
  uint16_t port = 0;  // host byte order

  bool IsSet() const { return ip != 0 && port != 0; }
  uint64_t Pack() const { return (static_cast<uint64_t>(ip) << 16) | port; }
  static NetAddress Unpack(uint64_t v) {
    return NetAddress{static_cast<uint32_t>(v >> 16), static_cast<uint16_t>(v & 0xFFFF)};
  }
  // Dotted text ("" for 0.0.0.0).
  std::string AddressText() const;
  // Parses dotted IPv4 text; false when it is not one.
  static bool FromDotted(const std::string& text, uint16_t port, NetAddress& out);
  // A dotted IPv4 text as it is, any other text resolved as a host name. 0 on success, otherwise
  // the resolver's error code (as platform::ResolveIPv4 gives it).
  static int Resolve(const std::string& host, uint16_t port, NetAddress& out);
  // The system's socket address and back.
  sockaddr_in ToSockaddr() const;
  static NetAddress FromSockaddr(const sockaddr_in& address);
  bool operator==(const NetAddress&) const = default;
};

}  // namespace qm
