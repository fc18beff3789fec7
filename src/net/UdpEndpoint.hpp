#pragma once
// The UDP endpoint: one socket, one listener thread that calls the read handler per datagram,
// and sends from the same socket (so clients see replies come from the server's UDP port).
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "net/UdpAddress.hpp"
#include "platform/Socket.hpp"

namespace qm {

class UdpEndpoint {
 public:
  static constexpr size_t kBufferSize = 8192;
  static constexpr int kListenWaitMs = 1000;
  // Called on the listener thread; data is the endpoint's reused buffer (copy what you keep).
  using ReadHandler = std::function<void(const uint8_t* data, size_t size, const UdpAddress& from)>;

  UdpEndpoint();
  ~UdpEndpoint();  // deactivates

  void SetDefaultPort(uint16_t port);
  void ClearBindings();
  void AddBinding(const std::string& ip, uint16_t port);
  void SetReadHandler(ReadHandler handler);

  // Binds and starts the listener thread; throws ESocketError when the address cannot be bound.
  void Activate();
  // Stops the listener thread (within kListenWaitMs), closes the socket, joins the thread.
  void Deactivate();
  bool Active() const { return active_; }
  uint16_t BoundPort() const { return boundPort_; }

  // Sends one datagram from the endpoint's socket. A dotted IPv4 text is used directly, any other
  // text is resolved as a host name. Throws EPackageSizeTooBig ("Package Size Too Big."),
  // ENotAllBytesSent ("Not all bytes sent.") or ESocketError. Safe from several threads while the
  // endpoint is active; the senders must have stopped before Deactivate closes the socket.
  void SendDatagram(const std::string& address, int port, const uint8_t* data, size_t size);
  // The same to an address already in numeric form: no parsing, no allocation.
  void SendDatagram(const UdpAddress& to, const uint8_t* data, size_t size);

 private:
  void ListenLoop();

  uint16_t defaultPort_ = 0;
  std::string bindIp_;
  uint16_t bindPort_ = 0;
  bool hasBinding_ = false;
  ReadHandler handler_;
  platform::SocketHandle socket_ = platform::kInvalidSocket;
  uint16_t boundPort_ = 0;
  std::atomic<bool> active_{false};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace qm
