#include "platform/Socket.hpp"

#include <mstcpip.h>

#include <chrono>
#include <mutex>

#include "platform/Waker.hpp"

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace qm::platform {
namespace {

// select() rather than WSAPoll: WSAPoll misses a failed non-blocking connect on older systems.
int WaitFor(SocketHandle s, bool forWrite, int timeoutMs) {
  // A failure on the socket counts as ready, so the next call reports it.
  const int r = WaitSocket(s, !forWrite, forWrite, nullptr, timeoutMs);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

}  // namespace

void SocketsStartup() {
  static std::once_flag once;
  // The library stays loaded until the process ends; there is no matching WSACleanup.
  std::call_once(once, [] {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
  });
}

int LastSocketError() { return ::WSAGetLastError(); }

std::string SocketErrorText(int code) {
  char buffer[512] = {};
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), 0, buffer, sizeof buffer, nullptr);
  while (n > 0 && (buffer[n - 1] == '\r' || buffer[n - 1] == '\n' || buffer[n - 1] == ' ')) --n;
  if (n == 0) return "Unknown error";
  return std::string(buffer, n);
}

std::string SystemSocketErrorText(int code) {
  return "Socket Error # " + std::to_string(code) + ": " + SocketErrorText(code);
}

void CloseSocket(SocketHandle s) {
  if (s != kInvalidSocket) ::closesocket(s);
}

void ShutdownSocket(SocketHandle s, bool receiveOnly) {
  if (s != kInvalidSocket) ::shutdown(s, receiveOnly ? SD_RECEIVE : SD_BOTH);
}

void ShutdownSending(SocketHandle s) {
  if (s != kInvalidSocket) ::shutdown(s, SD_SEND);
}

bool SetNonBlocking(SocketHandle s, bool on) {
  u_long mode = on ? 1 : 0;
  return ::ioctlsocket(s, FIONBIO, &mode) == 0;
}

bool SetSendTimeout(SocketHandle s, uint32_t milliseconds) {
  DWORD ms = milliseconds;
  return ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms) == 0;
}

bool SetKeepAlive(SocketHandle s, uint32_t idleMs, uint32_t intervalMs, uint32_t probes) {
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = idleMs;
  values.keepaliveinterval = intervalMs;
  DWORD returned = 0;
  const bool ok =
      ::WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr) == 0;
#ifdef TCP_KEEPCNT
  DWORD count = probes;
  ::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char*>(&count), sizeof count);
#else
  (void)probes;
#endif
  return ok;
}

bool SetReuseAddress(SocketHandle) {
  // Windows' SO_REUSEADDR lets another socket take over a port in active use; its default
  // already permits rebinding over TIME_WAIT, so nothing is set.
  return true;
}

void PrepareDatagramSocket(SocketHandle s) {
  BOOL report = FALSE;
  DWORD returned = 0;
  ::WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
}

int PendingSocketError(SocketHandle s) {
  int error = 0;
  int len = sizeof error;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) != 0) return LastSocketError();
  return error;
}

size_t BytesReadable(SocketHandle s) {
  u_long n = 0;
  if (::ioctlsocket(s, FIONREAD, &n) != 0) return 0;
  return static_cast<size_t>(n);
}

// Winsock's resolver codes are its socket error numbers already.
int TranslateResolverError(int code) { return code; }

int64_t DatagramClockNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Winsock has no batch calls: a plain loop, one datagram per call. Its datagrams carry no receive
// stamp, so each reads as received when the batch was read.
int ReceiveDatagrams(SocketHandle s, ReceivedDatagram* batch, int count) {
  const int64_t readNs = DatagramClockNs();
  int n = 0;
  while (n < count && WaitFor(s, false, 0) > 0) {
    ReceivedDatagram& d = batch[n];
    sockaddr_in from{};
    int length = sizeof from;
    const int r = ::recvfrom(s, reinterpret_cast<char*>(d.data), static_cast<int>(d.capacity), 0,
                             reinterpret_cast<sockaddr*>(&from), &length);
    d.truncated = false;
    if (r == SOCKET_ERROR) {
      const int code = ::WSAGetLastError();
      if (code == WSAEMSGSIZE) {
        // Longer than the buffer: Winsock drops the rest and reports it here.
        d.truncated = true;
        d.size = d.capacity;
      } else if (code == WSAEWOULDBLOCK) {
        break;
      } else {
        return n > 0 ? n : -1;
      }
    } else {
      d.size = static_cast<size_t>(r);
    }
    d.ip = IpOf(from);
    d.port = PortOf(from);
    d.receivedNs = readNs;
    ++n;
  }
  return n;
}

int SendDatagrams(SocketHandle s, OutgoingDatagram* batch, int count) {
  int sent = 0;
  for (int i = 0; i < count; ++i) {
    OutgoingDatagram& d = batch[i];
    const sockaddr_in to = ToSocketAddress(d.ip, d.port);
    const int r = ::sendto(s, reinterpret_cast<const char*>(d.data), static_cast<int>(d.size), 0,
                           reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (r == SOCKET_ERROR) {
      d.error = ::WSAGetLastError();
    } else if (static_cast<size_t>(r) != d.size) {
      d.error = kErrPartialSend;
    } else {
      d.error = 0;
      ++sent;
    }
  }
  return sent;
}

// Whether closing down a datagram socket ends a select() on it is not something to rely on
// here: the listener keeps its bounded wait.
bool ShutdownWakesDatagramWait() { return false; }

int WaitReadable(SocketHandle s, int timeoutMs) { return WaitFor(s, false, timeoutMs); }
int WaitWritable(SocketHandle s, int timeoutMs) { return WaitFor(s, true, timeoutMs); }

}  // namespace qm::platform
