#include "platform/Waker.hpp"

#include <vector>

namespace qm::platform {

SocketWaker::SocketWaker() {
  SocketsStartup();
  SocketHandle s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == kInvalidSocket) return;
  sockaddr_in a = ToSocketAddress(INADDR_LOOPBACK, 0);
  int len = sizeof a;
  // Bound to loopback and connected to itself: nobody else can post to it.
  if (::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
      ::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || !SetNonBlocking(s, true)) {
    ::closesocket(s);
    return;
  }
  PrepareDatagramSocket(s);
  socket_ = s;
}

SocketWaker::~SocketWaker() {
  if (socket_ != kInvalidSocket) ::closesocket(socket_);
}

bool SocketWaker::Valid() const { return socket_ != kInvalidSocket; }

void SocketWaker::Signal() {
  if (socket_ == kInvalidSocket) return;
  const char byte = 1;
  // A full buffer is already a pending wake-up.
  ::send(socket_, &byte, 1, 0);
}

void SocketWaker::Drain() {
  char buffer[64];
  while (::recv(socket_, buffer, sizeof buffer, 0) > 0) {
  }
}

int WaitSocket(SocketHandle s, bool wantRead, bool wantWrite, SocketWaker* waker, int timeoutMs) {
  const bool withWaker = waker && waker->Valid();
  fd_set reads, writes, failures;
  FD_ZERO(&reads);
  FD_ZERO(&writes);
  FD_ZERO(&failures);
  if (wantRead) FD_SET(s, &reads);
  if (wantWrite) FD_SET(s, &writes);
  FD_SET(s, &failures);
  if (withWaker) FD_SET(waker->socket_, &reads);
  timeval tv{};
  timeval* limit = nullptr;
  if (timeoutMs >= 0) {
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    limit = &tv;
  }
  const int r = ::select(0, &reads, &writes, &failures, limit);
  if (r == SOCKET_ERROR) return -1;
  if (r == 0) return 0;
  int result = 0;
  if (FD_ISSET(s, &reads) || FD_ISSET(s, &failures)) result |= kSocketReadable;
  if (FD_ISSET(s, &writes)) result |= kSocketWritable;
  if (withWaker && FD_ISSET(waker->socket_, &reads)) {
    waker->Drain();
    result |= kWakerSignalled;
  }
  return result;
}

int WaitSockets(SocketWait* sockets, size_t count, SocketWaker* waker, int timeoutMs) {
  const bool withWaker = waker && waker->Valid();
  // WSAPoll, not select: a select set holds 64 sockets here.
  std::vector<WSAPOLLFD> p(count + 1);
  for (size_t i = 0; i < count; ++i) {
    sockets[i].ready = 0;
    p[i].fd = sockets[i].socket;
    p[i].events = static_cast<SHORT>((sockets[i].wantRead ? POLLRDNORM : 0) | (sockets[i].wantWrite ? POLLWRNORM : 0));
    p[i].revents = 0;
  }
  // A negative descriptor is passed over; the entry keeps the count simple.
  p[count].fd = withWaker ? waker->socket_ : static_cast<SOCKET>(INVALID_SOCKET);
  p[count].events = POLLRDNORM;
  p[count].revents = 0;
  const int r = ::WSAPoll(p.data(), static_cast<ULONG>(withWaker ? count + 1 : count), timeoutMs);
  if (r == SOCKET_ERROR) return -1;
  for (size_t i = 0; i < count; ++i) {
    if (p[i].revents & (POLLRDNORM | POLLERR | POLLHUP | POLLNVAL)) sockets[i].ready |= kSocketReadable;
    if (p[i].revents & POLLWRNORM) sockets[i].ready |= kSocketWritable;
  }
  if (withWaker && (p[count].revents & POLLRDNORM)) {
    waker->Drain();
    return kWakerSignalled;
  }
  return 0;
}

}  // namespace qm::platform
