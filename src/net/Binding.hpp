#pragma once
// Where a listener opens its socket: on all local addresses at the default port, or on the one
// configured address. Both listeners keep one and open their socket through it.
#include <cstdint>
#include <string>

#include "platform/Socket.hpp"

namespace qm {

class Binding {
 public:
  void SetDefaultPort(uint16_t port) { defaultPort_ = port; }
  void Clear() {
    configured_ = false;
    ip_.clear();
    port_ = 0;
  }
  // One socket, one address: a later binding replaces an earlier one.
  void Set(const std::string& ip, uint16_t port) {
    configured_ = true;
    ip_ = ip;
    port_ = port;
  }

  // Opens a socket of the type, binds it as set (address reuse only when asked) and, for a stream
  // socket, listens with the backlog. Returns the socket and the port actually bound; throws
  // ESocketError (an address that is not a dotted IPv4 text counts as not available).
  platform::SocketHandle Open(int type, bool reuseAddress, int backlog, uint16_t& boundPort) const;

 private:
  uint16_t defaultPort_ = 0;
  bool configured_ = false;  // when set, ip_ and port_ are the one binding
  std::string ip_;
  uint16_t port_ = 0;
};

// What both listeners offer their owner for choosing where they listen.
class BoundListener {
 public:
  // Without bindings the listener opens its socket on all local addresses at the default port.
  void SetDefaultPort(uint16_t port) { binding_.SetDefaultPort(port); }
  void ClearBindings() { binding_.Clear(); }
  // One socket, one address: a later binding replaces an earlier one.
  void AddBinding(const std::string& ip, uint16_t port) { binding_.Set(ip, port); }

 protected:
  Binding binding_;
};

}  // namespace qm
