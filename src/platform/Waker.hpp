#pragma once
// A wake-up that another thread can post to a thread waiting on a socket, so that thread can sleep
// without a time slice and still see new work or a close at once. POSIX: an eventfd (one
// descriptor per connection); Win32: a UDP socket on loopback that sends to itself (select waits
// on sockets only).
#include "platform/Socket.hpp"

namespace qm::platform {

struct SocketWait;

class SocketWaker {
 public:
  SocketWaker();
  ~SocketWaker();
  SocketWaker(const SocketWaker&) = delete;
  SocketWaker& operator=(const SocketWaker&) = delete;

  // False when the system gave us no handle for it (out of descriptors); waits then need a slice.
  bool Valid() const;
  // From any thread. Several signals before a wait give one wake-up.
  void Signal();

 private:
  friend int WaitSocket(SocketHandle s, bool wantRead, bool wantWrite, SocketWaker* waker, int timeoutMs);
  friend int WaitSockets(SocketWait* sockets, size_t count, SocketWaker* waker, int timeoutMs);
  void Drain();
#ifdef _WIN32
  SocketHandle socket_ = kInvalidSocket;
#else
  int fd_ = -1;
#endif
};

enum : int { kSocketReadable = 1, kSocketWritable = 2, kWakerSignalled = 4 };

// Waits until the socket is readable (wantRead) or writable (wantWrite), the waker (may be null)
// is signalled, or timeoutMs passes (negative: no limit). A signal is consumed by the wait that
// reports it. Returns the kSocket*/kWaker* flags that hold, 0 on time-out, -1 on error. An error
// or hang-up on the socket counts as readable, so the next receive reports it.
int WaitSocket(SocketHandle s, bool wantRead, bool wantWrite, SocketWaker* waker, int timeoutMs);

// One socket of a wait on several.
struct SocketWait {
  SocketHandle socket = kInvalidSocket;
  bool wantRead = false;
  bool wantWrite = false;
  int ready = 0;  // after the wait: the kSocket* flags that hold (an error or hang-up reads as readable)
};
// Waits until one of the sockets is ready as asked, the waker (may be null) is signalled, or
// timeoutMs passes (negative: no limit); one thread serves many connections this way. Fills each
// entry's ready flags. Returns kWakerSignalled when the waker was signalled (the signal consumed),
// 0 otherwise (a time-out or some socket ready), -1 on error.
int WaitSockets(SocketWait* sockets, size_t count, SocketWaker* waker, int timeoutMs);

}  // namespace qm::platform
