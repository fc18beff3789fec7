#include "platform/Socket.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/Clock.hpp"

namespace qm::platform {
namespace {

// errno values and their Windows counterparts: log lines and the callers' tests (10053, 10054,
// 10060, ...) read the same on both systems.
struct ErrnoPair {
  int posix;
  int windows;
};
constexpr ErrnoPair kErrnoMap[] = {
    {EINTR, 10004},         {EBADF, 10009},        {EACCES, 10013},          {EFAULT, 10014},
    {EINVAL, 10022},        {EMFILE, 10024},       {EWOULDBLOCK, 10035},     {EINPROGRESS, 10036},
    {EALREADY, 10037},      {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},    {EPFNOSUPPORT, 10046}, {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},     {ENETUNREACH, 10051},     {ENETRESET, 10052},
    {ECONNABORTED, 10053},  {ECONNRESET, 10054},   {ENOBUFS, 10055},         {EISCONN, 10056},
    {ENOTCONN, 10057},      {ESHUTDOWN, 10058},    {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},  {ELOOP, 10062},        {ENAMETOOLONG, 10063},    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},
};

int MapErrno(int e) {
  if (e == EAGAIN) e = EWOULDBLOCK;
  // A send on a connection the peer or we already tore down: Windows reports it as aborted.
  if (e == EPIPE) return kErrConnAborted;
  for (const auto& p : kErrnoMap)
    if (p.posix == e) return p.windows;
  return e;
}

int UnmapCode(int code) {
  for (const auto& p : kErrnoMap)
    if (p.windows == code) return p.posix;
  return code;
}

// strerror_r comes in two flavours; these overloads accept whichever the C library declares.
[[maybe_unused]] const char* PickText(int result, const char* buffer) { return result == 0 ? buffer : "Unknown error"; }
[[maybe_unused]] const char* PickText(const char* result, const char*) { return result; }

int WaitFor(SocketHandle s, short events, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    int wait = timeoutMs;
    if (timeoutMs >= 0) {
      wait = MillisecondsLeft(deadline);
    }
    pollfd p{s, events, 0};
    int r = ::poll(&p, 1, wait);
    if (r > 0) return (p.revents & POLLNVAL) ? -1 : 1;
    if (r == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

}  // namespace

void SocketsStartup() {}

int LastSocketError() { return MapErrno(errno); }

std::string SocketErrorText(int code) {
  switch (code) {
    case kErrHostNotFound:
      return "Host not found";
    case kErrTryAgain:
      return "Temporary failure in name resolution";
    case kErrNoRecovery:
      return "Non-recoverable failure in name resolution";
    default:
      break;
  }
  char buffer[256] = {};
  return PickText(strerror_r(UnmapCode(code), buffer, sizeof buffer), buffer);
}

std::string SystemSocketErrorText(int code) {
  return SocketErrorText(code) + " (errno " + std::to_string(UnmapCode(code)) + ")";
}

void CloseSocket(SocketHandle s) {
  if (s != kInvalidSocket) ::close(s);
}

void ShutdownSocket(SocketHandle s, bool receiveOnly) {
  if (s != kInvalidSocket) ::shutdown(s, receiveOnly ? SHUT_RD : SHUT_RDWR);
}

void ShutdownSending(SocketHandle s) {
  if (s != kInvalidSocket) ::shutdown(s, SHUT_WR);
}

bool SetNonBlocking(SocketHandle s, bool on) {
  int flags = ::fcntl(s, F_GETFL, 0);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(s, F_SETFL, flags) == 0;
}

bool SetSendTimeout(SocketHandle s, uint32_t milliseconds) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(milliseconds / 1000);
  tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
  return ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

bool SetKeepAlive(SocketHandle s, uint32_t idleMs, uint32_t intervalMs, uint32_t probes) {
  int on = 1;
  bool ok = ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0;
  int idle = static_cast<int>((idleMs + 999) / 1000);
  int interval = static_cast<int>((intervalMs + 999) / 1000);
  int count = static_cast<int>(probes);
#if defined(TCP_KEEPIDLE)
  ok = ::setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0 && ok;
#elif defined(TCP_KEEPALIVE)
  ok = ::setsockopt(s, IPPROTO_TCP, TCP_KEEPALIVE, &idle, sizeof idle) == 0 && ok;
#endif
#if defined(TCP_KEEPINTVL)
  ok = ::setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0 && ok;
#endif
#if defined(TCP_KEEPCNT)
  ok = ::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) == 0 && ok;
#endif
  (void)idle, (void)interval, (void)count;
  return ok;
}

bool SetReuseAddress(SocketHandle s) {
  // On Linux and the BSDs this only forgives TIME_WAIT; a live listener still blocks the bind.
  int on = 1;
  return ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

void PrepareDatagramSocket(SocketHandle s) {
  // Without stamps every datagram reads as received when the batch was read: late voice then
  // goes unnoticed, nothing worse.
  int on = 1;
  ::setsockopt(s, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

namespace {
int64_t ClockNs(clockid_t clock) {
  timespec t{};
  ::clock_gettime(clock, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}
}  // namespace

int64_t DatagramClockNs() { return ClockNs(CLOCK_MONOTONIC); }

int PendingSocketError(SocketHandle s) {
  int error = 0;
  socklen_t len = sizeof error;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return LastSocketError();
  return error == 0 ? 0 : MapErrno(error);
}

size_t BytesReadable(SocketHandle s) {
  int n = 0;
  if (::ioctl(s, FIONREAD, &n) != 0 || n < 0) return 0;
  return static_cast<size_t>(n);
}

int TranslateResolverError(int code) {
  if (code == EAI_SYSTEM) return LastSocketError();
  return code == EAI_AGAIN ? kErrTryAgain : (code == EAI_FAIL ? kErrNoRecovery : kErrHostNotFound);
}

namespace {

// Per-thread scratch for the message headers: a batch call allocates nothing once warm.
struct BatchScratch {
  std::vector<mmsghdr> headers;
  std::vector<iovec> parts;
  std::vector<sockaddr_in> addresses;
  // Room for one receive stamp per datagram.
  struct Control {
    alignas(cmsghdr) unsigned char bytes[CMSG_SPACE(sizeof(timespec))];
  };
  std::vector<Control> controls;
  void Size(size_t n) {
    if (headers.size() >= n) return;
    headers.resize(n);
    parts.resize(n);
    addresses.resize(n);
    controls.resize(n);
  }
  // One datagram per header: its address slot and its one buffer.
  void PointHeader(size_t i) {
    mmsghdr& h = headers[i];
    h = mmsghdr{};
    h.msg_hdr.msg_name = &addresses[i];
    h.msg_hdr.msg_namelen = sizeof(sockaddr_in);
    h.msg_hdr.msg_iov = &parts[i];
    h.msg_hdr.msg_iovlen = 1;
  }
};
thread_local BatchScratch tScratch;

}  // namespace

int ReceiveDatagrams(SocketHandle s, ReceivedDatagram* batch, int count) {
  if (count <= 0) return 0;
  BatchScratch& w = tScratch;
  w.Size(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    w.parts[i] = iovec{batch[i].data, batch[i].capacity};
    w.PointHeader(static_cast<size_t>(i));
    w.headers[i].msg_hdr.msg_control = &w.controls[i];
    w.headers[i].msg_hdr.msg_controllen = sizeof(BatchScratch::Control);
  }
  int n;
  do {
    n = ::recvmmsg(s, w.headers.data(), static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
  // The kernel's stamps are on the wall clock, which may be stepped at any time: each becomes a
  // wait before this read, measured on the monotonic clock.
  const int64_t readNs = n > 0 ? DatagramClockNs() : 0;
  const int64_t wallReadNs = n > 0 ? ClockNs(CLOCK_REALTIME) : 0;
  for (int i = 0; i < n; ++i) {
    mmsghdr& h = w.headers[i];
    // A socket shut down for reading yields empty "datagrams" without a source: not datagrams.
    if (h.msg_hdr.msg_namelen < sizeof(sockaddr_in)) return i;
    ReceivedDatagram& d = batch[i];
    d.size = h.msg_len;
    d.truncated = (h.msg_hdr.msg_flags & MSG_TRUNC) != 0;
    d.ip = IpOf(w.addresses[i]);
    d.port = PortOf(w.addresses[i]);
    d.receivedNs = readNs;
    for (cmsghdr* c = CMSG_FIRSTHDR(&h.msg_hdr); c; c = CMSG_NXTHDR(&h.msg_hdr, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
        timespec t{};
        std::memcpy(&t, CMSG_DATA(c), sizeof t);
        d.receivedNs =
            WallStampToMonotonic(static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec, wallReadNs, readNs);
      }
    }
  }
  return n;
}

int SendDatagrams(SocketHandle s, OutgoingDatagram* batch, int count) {
  if (count <= 0) return 0;
  BatchScratch& w = tScratch;
  w.Size(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    OutgoingDatagram& d = batch[i];
    d.error = 0;
    w.addresses[i] = ToSocketAddress(d.ip, d.port);
    w.parts[i] = iovec{const_cast<uint8_t*>(d.data), d.size};
    w.PointHeader(static_cast<size_t>(i));
  }
  int sent = 0;
  int next = 0;
  while (next < count) {
    const int n = ::sendmmsg(s, w.headers.data() + next, static_cast<unsigned>(count - next), kSendFlags);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      // The call stops at the first failing datagram and reports it alone: note it, go on after it.
      batch[next].error = n < 0 ? LastSocketError() : kErrWouldBlock;
      ++next;
      continue;
    }
    for (int i = next; i < next + n; ++i) {
      if (w.headers[i].msg_len == batch[i].size) {
        ++sent;
      } else {
        batch[i].error = kErrPartialSend;
      }
    }
    next += n;
  }
  return sent;
}

// On Linux, shutdown() of even an unconnected datagram socket wakes its pollers.
bool ShutdownWakesDatagramWait() { return true; }

int WaitReadable(SocketHandle s, int timeoutMs) { return WaitFor(s, POLLIN, timeoutMs); }
int WaitWritable(SocketHandle s, int timeoutMs) { return WaitFor(s, POLLOUT, timeoutMs); }

}  // namespace qm::platform
