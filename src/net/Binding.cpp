#include "net/Binding.hpp"

#include "net/NetAddress.hpp"
#include "net/SocketError.hpp"

namespace qm {

platform::SocketHandle OpenBoundSocket(const Binding& binding, int type, bool reuseAddress, int backlog,
                                       uint16_t& boundPort) {
  platform::SocketsStartup();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(binding.defaultPort);
  if (binding.configured) {
    NetAddress parsed;
    if (!NetAddress::FromDotted(binding.ip, binding.port, parsed)) ThrowSocketError(platform::kErrAddrNotAvail);
    address.sin_addr.s_addr = htonl(parsed.ip);
    address.sin_port = htons(parsed.port);
  }

  const int protocol = type == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP;
  platform::SocketHandle s = ::socket(AF_INET, type, protocol);
  if (s == platform::kInvalidSocket) ThrowLastSocketError();
  if (reuseAddress) platform::SetReuseAddress(s);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      (type == SOCK_STREAM && ::listen(s, backlog) != 0)) {
    const int code = platform::LastSocketError();
    platform::CloseSocket(s);
    ThrowSocketError(code);
  }
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length);
  boundPort = ntohs(bound.sin_port);
  return s;
}

}  // namespace qm
