#include "platform/Waker.hpp"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace qm::platform {
namespace {

bool Prepare(int fd) {
  const int flags = ::fcntl(fd, F_GETFL, 0);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

}  // namespace

SocketWaker::SocketWaker() {
  int fds[2];
  if (::pipe(fds) != 0) return;
  if (!Prepare(fds[0]) || !Prepare(fds[1])) {
    ::close(fds[0]);
    ::close(fds[1]);
    return;
  }
  readFd_ = fds[0];
  writeFd_ = fds[1];
}

SocketWaker::~SocketWaker() {
  if (readFd_ >= 0) ::close(readFd_);
  if (writeFd_ >= 0) ::close(writeFd_);
}

bool SocketWaker::Valid() const { return readFd_ >= 0; }

void SocketWaker::Signal() {
  if (writeFd_ < 0) return;
  const char byte = 1;
  // A full pipe is already a pending wake-up; nothing else can go wrong that a retry would mend.
  while (::write(writeFd_, &byte, 1) < 0 && errno == EINTR) {
  }
}

void SocketWaker::Drain() {
  char buffer[64];
  for (;;) {
    const auto n = ::read(readFd_, buffer, sizeof buffer);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    return;
  }
}

int WaitSocket(SocketHandle s, bool wantRead, bool wantWrite, SocketWaker* waker, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  const bool withWaker = waker && waker->Valid();
  for (;;) {
    int wait = timeoutMs;
    if (timeoutMs >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    pollfd p[2] = {{s, static_cast<short>((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0)), 0},
                   {withWaker ? waker->readFd_ : -1, POLLIN, 0}};
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

}  // namespace qm::platform
