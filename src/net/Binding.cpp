#include "net/Binding.hpp"

#include "net/NetAddress.hpp"
#include "net/SocketError.hpp"

namespace qm {

platform::SocketHandle Binding::Open(int type, bool reuseAddress, int backlog, uint16_t& boundPort) const {
  platform::SocketsStartup();
  NetAddress local{INADDR_ANY, defaultPort_};
  if (configured_ && !NetAddress::FromDotted(ip_, port_, local)) ThrowSocketError(platform::kErrAddrNotAvail);
  const sockaddr_in address = local.ToSockaddr();

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
  boundPort = NetAddress::FromSockaddr(bound).port;
  return s;
}

}  // namespace qm
