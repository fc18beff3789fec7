// UDP intake: every datagram that reaches the server's UDP port.
#include "server/TQuillmootServer.hpp"

namespace qm {

void TQuillmootServer::UDPServerUDPRead(const uint8_t* data, size_t size, const UdpAddress& from) {
  LockGuard g(*udpReadLock);
  Add(UdpBytesReceived, static_cast<uint32_t>(size));
  Add(UdpPacketsReceived, 1);
}

}  // namespace qm
