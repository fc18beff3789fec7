#include "net/SocketError.hpp"

#include "platform/Error.hpp"
#include "platform/Socket.hpp"

namespace qm {

std::string SocketErrorMessage(int code) {
  return "Socket Error # " + std::to_string(code) + ": " + platform::SocketErrorText(code);
}

void ThrowSocketError(int code) { throw ESocketError(code, SocketErrorMessage(code)); }

void ThrowLastSocketError() { ThrowSocketError(platform::LastSocketError()); }

}  // namespace qm
