#include "net/Binding.hpp"

#include "net/NetAddress.hpp"
#include "platform/Error.hpp"

namespace qm {

namespace {

// A listener that cannot open stops start-up: the operator needs to know which one and why, in
// the system's own terms ("Cannot open TCP 0.0.0.0:8765: Address already in use (errno 98)").
[[noreturn]] void ThrowOpenError(int type, const std::string& ip, uint16_t port, int code) {
  const std::string where = std::string(type == SOCK_STREAM ? "TCP " : "UDP ") + ip + ":" + std::to_string(port);
  throw ESocketError(code, "Cannot open " + where + ": " + platform::SystemSocketErrorText(code));
}

}  // namespace

platform::SocketHandle Binding::Open(int type, bool reuseAddress, int backlog, uint16_t& boundPort) const {
  platform::SocketsStartup();
  NetAddress local{INADDR_ANY, defaultPort_};
  const std::string ip = configured_ ? ip_ : std::string("0.0.0.0");
  const uint16_t port = configured_ ? port_ : defaultPort_;
  if (configured_ && !NetAddress::FromDotted(ip_, port_, local))
    ThrowOpenError(type, ip, port, platform::kErrAddrNotAvail);
  const sockaddr_in address = local.ToSockaddr();

  const int protocol = type == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP;
  platform::SocketHandle s = ::socket(AF_INET, type, protocol);
  if (s == platform::kInvalidSocket) ThrowOpenError(type, ip, port, platform::LastSocketError());
  if (reuseAddress) platform::SetReuseAddress(s);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      (type == SOCK_STREAM && ::listen(s, backlog) != 0)) {
    const int code = platform::LastSocketError();
    platform::CloseSocket(s);
    ThrowOpenError(type, ip, port, code);
  }
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length);
  boundPort = NetAddress::FromSockaddr(bound).port;
  return s;
}

}  // namespace qm
