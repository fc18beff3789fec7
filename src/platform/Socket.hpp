#pragma once
// The socket calls that differ between the two systems. The net layer includes this header and
// otherwise uses the BSD calls both systems share (socket, bind, listen, accept, recv, send,
// sendto, recvfrom, getaddrinfo, inet_pton, inet_ntop).
#include <cstdint>
#include <string>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/types.h>
#endif

namespace qm::platform {

#ifdef _WIN32
using SocketHandle = SOCKET;
inline constexpr SocketHandle kInvalidSocket = INVALID_SOCKET;
inline constexpr int kSendFlags = 0;
#else
using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;
inline constexpr int kSendFlags = MSG_NOSIGNAL;  // a dead peer must not raise SIGPIPE
#endif

// Portable error codes the net layer tells apart (Windows numbering, which log lines show).
inline constexpr int kErrConnAborted = 10053;
inline constexpr int kErrConnReset = 10054;
inline constexpr int kErrTimedOut = 10060;
inline constexpr int kErrMsgSize = 10040;
inline constexpr int kErrWouldBlock = 10035;
inline constexpr int kErrInProgress = 10036;
inline constexpr int kErrConnRefused = 10061;
inline constexpr int kErrInterrupted = 10004;
inline constexpr int kErrNotSocket = 10038;
inline constexpr int kErrAddrInUse = 10048;
inline constexpr int kErrAddrNotAvail = 10049;
inline constexpr int kErrNotConnected = 10057;
inline constexpr int kErrShutdown = 10058;
// Name resolution failures, numbered as the Windows resolver numbers them.
inline constexpr int kErrHostNotFound = 11001;
inline constexpr int kErrTryAgain = 11002;
inline constexpr int kErrNoRecovery = 11003;

// Starts the socket library once per process (WSAStartup); a no-op on POSIX.
void SocketsStartup();

// The last socket error of the calling thread, mapped to the Windows numbering above where a
// counterpart exists (ECONNRESET -> 10054, ...), the system's own code otherwise.
int LastSocketError();
// The system's text for such a code.
std::string SocketErrorText(int code);
// Such a code in the system's own terms, for an operator reading a start-up failure: on Windows
// "Socket Error # 10048: <text>", elsewhere "<text> (errno 98)".
std::string SystemSocketErrorText(int code);

void CloseSocket(SocketHandle s);
// Shuts down the receiving side (receiveOnly) or both sides; wakes a thread blocked in recv.
void ShutdownSocket(SocketHandle s, bool receiveOnly);
// Ends the sending side only: the peer reads what was sent, then the end, while this side can
// still read (and discard) what the peer sends until it closes.
void ShutdownSending(SocketHandle s);
bool SetNonBlocking(SocketHandle s, bool on);
// Bounds blocking sends; a send that cannot complete in time fails with kErrTimedOut.
bool SetSendTimeout(SocketHandle s, uint32_t milliseconds);
// Turns on TCP keep-alive: the first probe after idleMs without traffic, then one every
// intervalMs, the connection failing after `probes` unanswered ones (Windows fixes the count at
// ten where the system has no setting for it). False when the system refuses.
bool SetKeepAlive(SocketHandle s, uint32_t idleMs, uint32_t intervalMs, uint32_t probes);
// Lets a restarted server bind a port whose old connections still linger in TIME_WAIT. It must
// never let a second live listener share the port: on Windows, where SO_REUSEADDR would allow
// exactly that, this sets nothing.
bool SetReuseAddress(SocketHandle s);
// Readies a UDP socket for a server: on Windows an ICMP "port unreachable" from one client would
// otherwise make the next receive fail; on Linux it asks the kernel to stamp each datagram with
// its receive time.
void PrepareDatagramSocket(SocketHandle s);
// The error a non-blocking connect ended with (SO_ERROR), mapped as LastSocketError; 0 for none.
int PendingSocketError(SocketHandle s);
// Bytes a receive would take at once from a stream socket; 0 when unknown.
size_t BytesReadable(SocketHandle s);
// Resolves a host name to its first IPv4 address (host byte order in ip). 0 on success,
// otherwise one of the kErr resolver codes above (or the system's own).
int ResolveIPv4(const std::string& host, uint32_t& ip);
// A failed getaddrinfo's code as one of the kErr resolver codes (each side maps its own).
int TranslateResolverError(int code);

// The system's IPv4 socket address for an address and port in host byte order, and back: the one
// place that knows sockaddr_in keeps them in network order.
inline sockaddr_in ToSocketAddress(uint32_t ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(ip);
  a.sin_port = htons(port);
  return a;
}
inline uint32_t IpOf(const sockaddr_in& a) { return ntohl(a.sin_addr.s_addr); }
inline uint16_t PortOf(const sockaddr_in& a) { return ntohs(a.sin_port); }

// One datagram of a receive batch. Address and port are in host byte order.
struct ReceivedDatagram {
  uint8_t* data = nullptr;  // the caller's buffer
  size_t capacity = 0;      // its size
  size_t size = 0;          // bytes received
  uint32_t ip = 0;
  uint16_t port = 0;
  bool truncated = false;  // the datagram was longer than the buffer; size is not its length
  // When the system received it, in DatagramClockNs's time: the kernel's stamp where the system
  // gives one (Linux), else the time the batch was read.
  int64_t receivedNs = 0;
};
// Now on the clock receive stamps are given in: a monotonic clock, in nanoseconds, so that a step
// of the wall clock neither drops voice as late nor makes a delay negative.
int64_t DatagramClockNs();
// The kernel stamps on the wall clock (Linux); a stamp moves onto the monotonic clock by the wait
// it shows against a pair of readings of both clocks taken together just after the receive. A
// stamp after the wall reading (the clock stepped back) is a wait of 0, never a negative one.
inline int64_t WallStampToMonotonic(int64_t stampNs, int64_t wallNowNs, int64_t monotonicNowNs) {
  const int64_t waited = wallNowNs - stampNs;
  return waited > 0 ? monotonicNowNs - waited : monotonicNowNs;
}
// Receives up to count datagrams that are already waiting, without waiting for more. Returns how
// many were received (0 when none waits), -1 on a socket error (LastSocketError).
int ReceiveDatagrams(SocketHandle s, ReceivedDatagram* batch, int count);

// A send that left fewer bytes than given (a datagram goes whole or not at all, so it is rare).
inline constexpr int kErrPartialSend = -2;
// One datagram of a send batch. Address and port are in host byte order.
struct OutgoingDatagram {
  const uint8_t* data = nullptr;
  size_t size = 0;
  uint32_t ip = 0;
  uint16_t port = 0;
  int error = 0;  // after the send: 0 sent whole, kErrPartialSend, or the socket error's code
};
// Sends the datagrams in order, as few system calls as the system allows; one that fails does
// not stop the ones after it. Returns how many were sent whole.
int SendDatagrams(SocketHandle s, OutgoingDatagram* batch, int count);

// Whether shutting a datagram socket down wakes a thread waiting for it to become readable.
// Where it does, the listener can wait without a time limit and never wakes without work.
bool ShutdownWakesDatagramWait();

// Waits until the socket is readable (or writable). 1 ready, 0 time-out, -1 error.
// A negative timeout waits without limit.
int WaitReadable(SocketHandle s, int timeoutMs);
// Writable also reports a failed non-blocking connect (the error is then in PendingSocketError).
int WaitWritable(SocketHandle s, int timeoutMs);

}  // namespace qm::platform
