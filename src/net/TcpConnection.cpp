#include "net/TcpConnection.hpp"

#include <algorithm>
#include <climits>
#include <cstring>

#include "net/SocketError.hpp"
#include "platform/Error.hpp"

namespace qm {
namespace {

const char* const kClosedGracefully = "Connection Closed Gracefully.";

// Waits "without a time limit" are made of slices: a shutdown from another thread does not wake
// a blocked wait on every system, so the owner looks at the open flag between slices.
constexpr int kWaitSliceMs = 500;

// One send call never takes more than this, so the length fits the int both systems accept.
constexpr size_t kMaxSendChunk = 1 << 20;

}  // namespace

TcpConnection::TcpConnection(platform::SocketHandle socket, std::string peerAddress, uint16_t peerPort)
    : socket_(socket), peerAddress_(std::move(peerAddress)), peerPort_(peerPort) {}

TcpConnection::~TcpConnection() { platform::CloseSocket(socket_); }

void TcpConnection::ReceiveOnce() {
  if (inputStart_ == input_.size()) {
    input_.clear();
    inputStart_ = 0;
  } else if (inputStart_ > 0 && inputStart_ >= input_.size() / 2) {
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(inputStart_));
    inputStart_ = 0;
  }
  const size_t old = input_.size();
  input_.resize(old + kReceiveSize);
  for (;;) {
    auto n = ::recv(socket_, reinterpret_cast<char*>(input_.data() + old), static_cast<int>(kReceiveSize), 0);
    if (n > 0) {
      input_.resize(old + static_cast<size_t>(n));
      return;
    }
    if (n == 0) {
      input_.resize(old);
      peerClosed_ = true;
      return;
    }
    const int code = platform::LastSocketError();
    if (code == platform::kErrInterrupted) continue;
    input_.resize(old);
    // After our own Disconnect some systems report the shut-down socket as an error; that is
    // the end of the connection, not a fault of the peer's.
    if (!open_) {
      peerClosed_ = true;
      return;
    }
    ThrowSocketError(code);
  }
}

void TcpConnection::ReadExact(uint8_t* destination, size_t n) {
  while (InputSize() < n) {
    if (peerClosed_ || !open_ || receiveShut_) {
      Disconnect();
      throw EConnClosedGracefully(kClosedGracefully);
    }
    const int ready = platform::WaitReadable(socket_, kWaitSliceMs);
    if (ready < 0) {
      if (!open_) continue;
      ThrowLastSocketError();
    }
    if (ready > 0) ReceiveOnce();
  }
  if (n > 0) std::memcpy(destination, input_.data() + inputStart_, n);
  inputStart_ += n;
}

void TcpConnection::CheckClosed() {
  if (!peerClosed_ && open_) return;
  Disconnect();
  if (InputSize() == 0) throw EConnClosedGracefully(kClosedGracefully);
}

void TcpConnection::WaitForInput(int timeoutMs) {
  if (peerClosed_ || !open_) {
    CheckClosed();
    return;
  }
  const int ready = platform::WaitReadable(socket_, timeoutMs);
  if (ready < 0) {
    if (open_) ThrowLastSocketError();
    CheckClosed();
    return;
  }
  if (ready == 0) return;
  ReceiveOnce();
  if (peerClosed_) CheckClosed();
}

bool TcpConnection::IsConnected() {
  try {
    CheckClosed();
  } catch (const EConnClosedGracefully&) {
  }
  return open_;
}

size_t TcpConnection::InputSize() const { return input_.size() - inputStart_; }

void TcpConnection::Disconnect() {
  if (open_.exchange(false)) platform::ShutdownSocket(socket_, false);
}

void TcpConnection::ShutdownReceive() {
  // The flag makes the owner's wait end even where the shutdown itself does not wake it. It is
  // not peerClosed_: that would make IsConnected false between two passes of the owner.
  receiveShut_ = true;
  platform::ShutdownSocket(socket_, true);
}

void TcpConnection::WriteAll(const uint8_t* data, size_t size) {
  std::lock_guard<std::mutex> guard(writeMutex_);
  size_t sent = 0;
  while (sent < size) {
    if (!open_) ThrowSocketError(platform::kErrShutdown);
    const size_t chunk = std::min(size - sent, kMaxSendChunk);
    auto n = ::send(socket_, reinterpret_cast<const char*>(data + sent), static_cast<int>(chunk), platform::kSendFlags);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    const int code = n == 0 ? platform::kErrConnAborted : platform::LastSocketError();
    if (code == platform::kErrInterrupted) continue;
    if (code == platform::kErrWouldBlock || code == platform::kErrTimedOut) {
      // A peer that stopped reading: give up on the whole connection, so its own thread sees
      // the failure and takes its close path instead of serving a half-written stream.
      Disconnect();
      ThrowSocketError(platform::kErrTimedOut);
    }
    ThrowSocketError(code);
  }
}

void TcpConnection::SetSendTimeout(uint32_t milliseconds) { platform::SetSendTimeout(socket_, milliseconds); }

}  // namespace qm
