#include "net/UdpEndpoint.hpp"

#include "net/Binding.hpp"

#include <vector>

#include "net/SocketError.hpp"
#include "platform/Error.hpp"

namespace qm {

UdpEndpoint::UdpEndpoint() = default;

UdpEndpoint::~UdpEndpoint() { Deactivate(); }

void UdpEndpoint::SetDefaultPort(uint16_t port) { defaultPort_ = port; }

void UdpEndpoint::ClearBindings() {
  bindIp_.clear();
  bindPort_ = 0;
  hasBinding_ = false;
}

void UdpEndpoint::AddBinding(const std::string& ip, uint16_t port) {
  // One socket, one address: a later binding replaces the earlier one.
  bindIp_ = ip;
  bindPort_ = port;
  hasBinding_ = true;
}

void UdpEndpoint::SetReadHandler(ReadHandler handler) { handler_ = std::move(handler); }

void UdpEndpoint::Activate() {
  if (active_) return;
  // No address reuse here: on Linux it would let a second server share the UDP port silently.
  platform::SocketHandle s =
      OpenBoundSocket(Binding{defaultPort_, hasBinding_, bindIp_, bindPort_}, SOCK_DGRAM, /*reuseAddress=*/false, 0, boundPort_);
  platform::PrepareDatagramSocket(s);

  socket_ = s;
  stopping_ = false;
  thread_ = std::thread([this] { ListenLoop(); });
  active_ = true;
}

void UdpEndpoint::Deactivate() {
  if (!active_) return;
  stopping_ = true;
  // Wakes the listener at once where the system allows it; elsewhere it notices within
  // kListenWaitMs.
  platform::ShutdownSocket(socket_, false);
  if (thread_.joinable()) thread_.join();
  platform::CloseSocket(socket_);
  socket_ = platform::kInvalidSocket;
  active_ = false;
}

void UdpEndpoint::ListenLoop() {
  // One byte more than the largest datagram accepted: a datagram that fills it was longer and
  // is dropped rather than handed on cut short.
  std::vector<uint8_t> buffer(kBufferSize + 1);
  while (!stopping_) {
    if (platform::WaitReadable(socket_, kListenWaitMs) <= 0 || stopping_) continue;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    auto n = ::recvfrom(socket_, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 0,
                        reinterpret_cast<sockaddr*>(&peer), &length);
    if (n < 0 || static_cast<size_t>(n) > kBufferSize || stopping_) continue;
    const UdpAddress from{ntohl(peer.sin_addr.s_addr), ntohs(peer.sin_port)};
    try {
      if (handler_) handler_(buffer.data(), static_cast<size_t>(n), from);
    } catch (...) {
      // One bad datagram must not stop reception of the next.
    }
  }
}

namespace {

void SendTo(platform::SocketHandle s, const sockaddr_in& to, const uint8_t* data, size_t size) {
  if (s == platform::kInvalidSocket) ThrowSocketError(platform::kErrNotSocket);
  if (size > static_cast<size_t>(INT32_MAX)) throw EPackageSizeTooBig("Package Size Too Big.");
  auto n = ::sendto(s, reinterpret_cast<const char*>(data), static_cast<int>(size), platform::kSendFlags,
                    reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (n < 0) {
    const int code = platform::LastSocketError();
    if (code == platform::kErrMsgSize) throw EPackageSizeTooBig("Package Size Too Big.");
    ThrowSocketError(code);
  }
  if (static_cast<size_t>(n) != size) throw ENotAllBytesSent("Not all bytes sent.");
}

}  // namespace

void UdpEndpoint::SendDatagram(const std::string& address, int port, const uint8_t* data, size_t size) {
  if (address.empty() || port <= 0 || port > 0xFFFF) ThrowSocketError(platform::kErrAddrNotAvail);
  UdpAddress to;
  if (!UdpAddress::FromDotted(address, static_cast<uint16_t>(port), to)) {
    in_addr resolved{};
    if (int code = platform::ResolveIPv4(address, resolved); code != 0) ThrowSocketError(code);
    to.ip = ntohl(resolved.s_addr);
    to.port = static_cast<uint16_t>(port);
  }
  SendDatagram(to, data, size);
}

void UdpEndpoint::SendDatagram(const UdpAddress& to, const uint8_t* data, size_t size) {
  if (!to.IsSet()) ThrowSocketError(platform::kErrAddrNotAvail);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(to.ip);
  address.sin_port = htons(to.port);
  SendTo(socket_, address, data, size);
}

}  // namespace qm
