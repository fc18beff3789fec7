#include "platform/Waker.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <vector>

#include "platform/Clock.hpp"

namespace qm::platform {

SocketWaker::SocketWaker() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

SocketWaker::~SocketWaker() {
  if (fd_ >= 0) ::close(fd_);
}

bool SocketWaker::Valid() const { return fd_ >= 0; }

void SocketWaker::Signal() {
  if (fd_ < 0) return;
  const uint64_t one = 1;
  // A counter at its limit is already a pending wake-up; nothing else can fail that a retry mends.
  while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void SocketWaker::Drain() {
  uint64_t count = 0;
  while (::read(fd_, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

int WaitSocket(SocketHandle s, bool wantRead, bool wantWrite, SocketWaker* waker, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  const bool withWaker = waker && waker->Valid();
  for (;;) {
    int wait = timeoutMs;
    if (timeoutMs >= 0) {
      wait = MillisecondsLeft(deadline);
    }
    pollfd p[2] = {{s, static_cast<short>((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0)), 0},
                   {withWaker ? waker->fd_ : -1, POLLIN, 0}};
    const int r = ::poll(p, withWaker ? 2 : 1, wait);
    if (r == 0) return 0;
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (p[0].revents & POLLNVAL) return -1;
    int result = 0;
    if (p[0].revents & (POLLIN | POLLERR | POLLHUP)) result |= kSocketReadable;
    if (p[0].revents & POLLOUT) result |= kSocketWritable;
    if (withWaker && (p[1].revents & POLLIN)) {
      waker->Drain();
      result |= kWakerSignalled;
    }
    if (result != 0) return result;
  }
}

int WaitSockets(SocketWait* sockets, size_t count, SocketWaker* waker, int timeoutMs) {
  const bool withWaker = waker && waker->Valid();
  std::vector<pollfd> p(count + 1);
  for (size_t i = 0; i < count; ++i) {
    sockets[i].ready = 0;
    p[i] = {sockets[i].socket,
            static_cast<short>((sockets[i].wantRead ? POLLIN : 0) | (sockets[i].wantWrite ? POLLOUT : 0)), 0};
  }
  p[count] = {withWaker ? waker->fd_ : -1, POLLIN, 0};
  int r = 0;
  do {
    r = ::poll(p.data(), count + 1, timeoutMs);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return -1;
  for (size_t i = 0; i < count; ++i) {
    if (p[i].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) sockets[i].ready |= kSocketReadable;
    if (p[i].revents & POLLOUT) sockets[i].ready |= kSocketWritable;
  }
  if (withWaker && (p[count].revents & POLLIN)) {
    waker->Drain();
    return kWakerSignalled;
  }
  return 0;
}

}  // namespace qm::platform
