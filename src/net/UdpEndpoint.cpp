#include "net/UdpEndpoint.hpp"

#include <memory>

#include "net/SocketError.hpp"
#include "platform/Error.hpp"
#include "platform/Handover.hpp"

namespace qm {

UdpEndpoint::UdpEndpoint() = default;

UdpEndpoint::~UdpEndpoint() { Deactivate(); }

void UdpEndpoint::SetReadHandler(ReadHandler handler) { handler_ = std::move(handler); }

void UdpEndpoint::SetBatchHandler(BatchHandler handler) { batchHandler_ = std::move(handler); }

void UdpEndpoint::Activate() {
  if (active_) return;
  // No address reuse here: on Linux it would let a second server share the UDP port silently.
  platform::SocketHandle s = binding_.Open(SOCK_DGRAM, /*reuseAddress=*/false, 0, boundPort_);
  platform::PrepareDatagramSocket(s);

  socket_ = s;
  stopping_ = false;
  thread_ = std::thread([this] { ListenLoop(); });
  active_ = true;
}

void UdpEndpoint::Adopt(platform::SocketHandle socket) {
  if (active_) return;
  socket_ = socket;
  boundPort_ = platform::BoundPortOf(socket);
  stopping_ = false;
  thread_ = std::thread([this] { ListenLoop(); });
  active_ = true;
}

void UdpEndpoint::Suspend() {
  if (!active_ || !thread_.joinable()) return;
  stopping_ = true;
  waker_.Signal();
  thread_.join();
}

void UdpEndpoint::Resume() {
  if (!active_ || thread_.joinable()) return;
  stopping_ = false;
  thread_ = std::thread([this] { ListenLoop(); });
}

void UdpEndpoint::Deactivate() {
  if (!active_) return;
  stopping_ = true;
  // Wakes the listener at once where the system allows it; elsewhere it notices within
  // kListenWaitMs.
  platform::ShutdownSocket(socket_, false);
  waker_.Signal();
  if (thread_.joinable()) thread_.join();
  platform::CloseSocket(socket_);
  socket_ = platform::kInvalidSocket;
  active_ = false;
}

void UdpEndpoint::ListenLoop() {
  // One byte more than the largest datagram accepted per slot: a datagram that fills it was
  // longer and is dropped rather than handed on cut short.
  constexpr size_t kSlotSize = kBufferSize + 1;
  // Left uninitialised: only the pages datagrams are written into become resident.
  std::unique_ptr<uint8_t[]> buffers(new uint8_t[kSlotSize * kReadBatch]);
  platform::ReceivedDatagram batch[kReadBatch];
  // Where a stop wakes the wait, the listener sleeps until a datagram comes: no idle wake-ups.
  const int waitMs = platform::ShutdownWakesDatagramWait() || waker_.Valid() ? -1 : kListenWaitMs;
  bool mayHaveMore = false;
  while (!stopping_) {
    // A full batch suggests more are waiting: read again before sleeping. A partial one emptied
    // the socket, so the next read would only find nothing.
    if (!mayHaveMore) {
      const int ready = platform::WaitSocket(socket_, true, false, &waker_, waitMs);
      if (ready <= 0 || !(ready & platform::kSocketReadable) || stopping_) continue;
    }
    for (int i = 0; i < kReadBatch; ++i) {
      batch[i].data = buffers.get() + static_cast<size_t>(i) * kSlotSize;
      batch[i].capacity = kSlotSize;
    }
    const int n = platform::ReceiveDatagrams(socket_, batch, kReadBatch);
    mayHaveMore = n == kReadBatch;
    if (n <= 0 || stopping_) continue;
    if (sink_) {
      for (int i = 0; i < n; ++i)
        if (batch[i].size > kBufferSize) batch[i].truncated = true;
      try {
        sink_->UDPServerBatchRead(batch, n);
      } catch (...) {
        // One bad batch must not stop reception of the next.
      }
      continue;
    }
    for (int i = 0; i < n; ++i) {
      const platform::ReceivedDatagram& d = batch[i];
      if (d.truncated || d.size > kBufferSize) continue;
      try {
        if (handler_) handler_(d.data, d.size, NetAddress{d.ip, d.port});
      } catch (...) {
        // One bad datagram must not stop reception of the next.
      }
    }
    try {
      if (batchHandler_) batchHandler_();
    } catch (...) {
    }
  }
}

namespace {

void SendTo(platform::SocketHandle s, const sockaddr_in& to, const uint8_t* data, size_t size) {
  if (s == platform::kInvalidSocket) ThrowSocketError(platform::kErrNotSocket);
  if (size > static_cast<size_t>(INT32_MAX)) throw EPackageSizeTooBig("Package Size Too Big.");
  auto n = ::sendto(s, reinterpret_cast<const char*>(data), static_cast<int>(size), platform::kSendFlags,
                    reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (n < 0) {
    const int code = platform::LastSocketError();
    if (code == platform::kErrMsgSize) throw EPackageSizeTooBig("Package Size Too Big.");
    ThrowSocketError(code);
  }
  if (static_cast<size_t>(n) != size) throw ENotAllBytesSent("Not all bytes sent.");
}

}  // namespace

void UdpEndpoint::SendDatagram(const std::string& address, int port, const uint8_t* data, size_t size) {
  if (address.empty() || port <= 0 || port > 0xFFFF) ThrowSocketError(platform::kErrAddrNotAvail);
  NetAddress to;
  if (int code = NetAddress::Resolve(address, static_cast<uint16_t>(port), to); code != 0) ThrowSocketError(code);
  SendDatagram(to, data, size);
}

int UdpEndpoint::SendDatagrams(Outgoing* batch, int count) {
  if (socket_ == platform::kInvalidSocket) {
    for (int i = 0; i < count; ++i) batch[i].error = platform::kErrNotSocket;
    return 0;
  }
  return platform::SendDatagrams(socket_, batch, count);
}

std::string UdpEndpoint::DescribeSendError(int error) {
  if (error == platform::kErrMsgSize) return DescribeException(EPackageSizeTooBig("Package Size Too Big."));
  if (error == platform::kErrPartialSend) return DescribeException(ENotAllBytesSent("Not all bytes sent."));
  return DescribeException(ESocketError(error, SocketErrorMessage(error)));
}

void UdpEndpoint::SendDatagram(const NetAddress& to, const uint8_t* data, size_t size) {
  if (!to.IsSet()) ThrowSocketError(platform::kErrAddrNotAvail);
  SendTo(socket_, to.ToSockaddr(), data, size);
}

}  // namespace qm
