#pragma once
// How both listeners open their socket: on all local addresses at the default port, or on the one
// configured address.
#include <cstdint>
#include <string>

#include "platform/Socket.hpp"

namespace qm {

struct Binding {
  uint16_t defaultPort = 0;
  bool configured = false;  // when set, ip and port below are the one binding
  std::string ip;
  uint16_t port = 0;
};

// Opens a socket of the type, binds it as the binding says (address reuse only when asked) and,
// for a stream socket, listens with the backlog. Returns the socket and the port actually bound;
// throws ESocketError (an address that is not a dotted IPv4 text counts as not available).
platform::SocketHandle OpenBoundSocket(const Binding& binding, int type, bool reuseAddress, int backlog,
                                       uint16_t& boundPort);

}  // namespace qm
