#include "net/NetAddress.hpp"

#include "platform/Socket.hpp"

namespace qm {

std::string NetAddress::AddressText() const {
  if (ip == 0) return {};
  std::string text;
  text.reserve(15);
  for (int shift = 24; shift >= 0; shift -= 8) {
    text += std::to_string((ip >> shift) & 0xFF);
    if (shift > 0) text += '.';
  }
  return text;
}

// Exactly four decimal parts of 0..255, one to three digits each: what clients and the
// configuration write. Forms the system resolver also takes ("127.1", hex parts) are refused.
bool NetAddress::FromDotted(const std::string& text, uint16_t port, NetAddress& out) {
  uint32_t value = 0;
  size_t i = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
    uint32_t number = 0;
    size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
      number = number * 10 + static_cast<uint32_t>(text[i] - '0');
      ++i;
      ++digits;
    }
    if (digits == 0 || digits > 3 || number > 255) return false;
    value = (value << 8) | number;
  }
  if (i != text.size()) return false;
  out.ip = value;
  out.port = port;
  return true;
}

int NetAddress::Resolve(const std::string& host, uint16_t port, NetAddress& out) {
  if (FromDotted(host, port, out)) return 0;
  uint32_t ip = 0;
  if (int code = platform::ResolveIPv4(host, ip); code != 0) return code;
  out = NetAddress{ip, port};
  return 0;
}

sockaddr_in NetAddress::ToSockaddr() const { return platform::ToSocketAddress(ip, port); }

NetAddress NetAddress::FromSockaddr(const sockaddr_in& address) {
  return NetAddress{platform::IpOf(address), platform::PortOf(address)};
}

}  // namespace qm
