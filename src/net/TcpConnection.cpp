#include "net/TcpConnection.hpp"

#include <algorithm>
#include <climits>
#include <cstring>

#include "net/SocketError.hpp"
#include "platform/Clock.hpp"
#include "platform/Error.hpp"

namespace qm {
namespace {

const char* const kClosedGracefully = "Connection Closed Gracefully.";

// Only when the system gave us no wake-up handle: waits "without a time limit" are then made of
// slices, and the owner looks at the open flag between them.
constexpr int kWaitSliceMs = 500;

// One send call never takes more than this, so the length fits the int both systems accept.
constexpr size_t kMaxSendChunk = 1 << 20;

}  // namespace

TcpConnection::TcpConnection(platform::SocketHandle socket, std::string peerAddress, uint16_t peerPort)
    : socket_(socket), peerAddress_(std::move(peerAddress)), peerPort_(peerPort) {
  // Every wait goes through WaitSocket; a send or receive must never block the owner beyond it.
  platform::SetNonBlocking(socket_, true);
}

TcpConnection::~TcpConnection() { platform::CloseSocket(socket_); }

void TcpConnection::ReceiveOnce() {
  if (inputStart_ == input_.size()) {
    input_.clear();
    inputStart_ = 0;
    // A burst's worth of buffer is given back once taken: idle connections hold almost nothing.
    if (input_.capacity() > kIdleInputCapacity) input_.shrink_to_fit();
  } else if (inputStart_ > 0 && inputStart_ >= input_.size() / 2) {
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(inputStart_));
    inputStart_ = 0;
  }
  const size_t old = input_.size();
  // Room for what is waiting (at most one receive's worth), not a fresh 32 KB per connection.
  const size_t waiting = platform::BytesReadable(socket_);
  const size_t want = std::clamp<size_t>(waiting, kIdleInputCapacity, kReceiveSize);
  input_.resize(old + want);
  for (;;) {
    auto n = ::recv(socket_, reinterpret_cast<char*>(input_.data() + old), static_cast<int>(want), 0);
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
    if (code == platform::kErrWouldBlock) return;  // readiness that did not last: wait again
    // After our own Disconnect some systems report the shut-down socket as an error; that is
    // the end of the connection, not a fault of the peer's.
    if (!open_) {
      peerClosed_ = true;
      return;
    }
    ThrowSocketError(code);
  }
}

int TcpConnection::OutputDeadlineMs() {
  if (queuedPackets_ == 0) return -1;
  uint32_t queuedTick = 0;
  {
    std::lock_guard<std::mutex> guard(writeMutex_);
    if (!writing_.empty()) {
      queuedTick = writing_.front().queuedTick;
    } else {
      std::lock_guard<std::mutex> g(outboxMutex_);
      if (outbox_.empty()) return -1;
      queuedTick = outbox_.front().queuedTick;
    }
  }
  const uint32_t waited = TickCount() - queuedTick;
  const uint32_t limit = sendTimeoutMs_;
  return waited >= limit ? 0 : static_cast<int>(limit - waited);
}

int TcpConnection::WaitOnce(bool wantRead, int timeoutMs) {
  PumpOutput();
  const int outputDeadline = OutputDeadlineMs();
  int wait = timeoutMs;
  if (outputDeadline >= 0 && (wait < 0 || outputDeadline < wait)) wait = outputDeadline < 1 ? 1 : outputDeadline;
  if (!waker_.Valid() && (wait < 0 || wait > kWaitSliceMs)) wait = kWaitSliceMs;
  const int ready = platform::WaitSocket(socket_, wantRead, outputDeadline >= 0, &waker_, wait);
  if (ready > 0 && wantRead && (ready & platform::kSocketReadable)) ReceiveOnce();
  return ready;
}

void TcpConnection::ReadExact(uint8_t* destination, size_t n) {
  PumpOutput();
  while (InputSize() < n) {
    if (receiveShut_) {
      // Kicked: the notice about it is queued and still goes out. (Our own receive shutdown also
      // reads as the peer's close, so this comes first.)
      Close();
      throw EConnClosedGracefully(kClosedGracefully);
    }
    if (peerClosed_ || !open_) {
      Disconnect();
      throw EConnClosedGracefully(kClosedGracefully);
    }
    // Between packets (nothing unread) is the one place a pass holds no lock and no half-read
    // packet: the only place to rest for a handover.
    if (parkRequested_ && InputSize() == 0) {
      ParkHere();
      continue;
    }
    if (WaitOnce(true, -1) < 0) {
      if (!open_) continue;
      ThrowLastSocketError();
    }
  }
  if (n > 0) std::memcpy(destination, input_.data() + inputStart_, n);
  inputStart_ += n;
}

void TcpConnection::CheckClosed() {
  if (!peerClosed_ && open_) return;
  // After a kick's receive shutdown the notice about it still goes out.
  if (receiveShut_) {
    Close();
  } else {
    Disconnect();
  }
  if (InputSize() == 0) throw EConnClosedGracefully(kClosedGracefully);
}

void TcpConnection::WaitForInput(int timeoutMs) {
  if (peerClosed_ || !open_) {
    CheckClosed();
    return;
  }
  // A wake-up for queued output is not input: wait again (a bounded number of times), so the rest
  // of a packet split across segments is still taken in this pass.
  int ready = WaitOnce(true, timeoutMs);
  for (int again = 0; again < kWakeRetries && ready > 0 && !(ready & platform::kSocketReadable) && open_; ++again)
    ready = WaitOnce(true, timeoutMs);
  if (ready < 0) {
    if (open_) ThrowLastSocketError();
    CheckClosed();
    return;
  }
  if (peerClosed_ || !open_) CheckClosed();
}

bool TcpConnection::Pause(int timeoutMs) {
  if (peerClosed_ || receiveShut_ || !open_) return false;
  if (WaitOnce(InputSize() < kReceiveSize, timeoutMs < 1 ? 1 : timeoutMs) < 0 && open_) ThrowLastSocketError();
  return !peerClosed_ && !receiveShut_ && open_;
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
  if (open_.exchange(false)) {
    platform::ShutdownSocket(socket_, false);
    waker_.Signal();
  }
}

void TcpConnection::Close() {
  while (open_ && queuedPackets_ > 0) {
    PumpOutput();
    const int deadline = OutputDeadlineMs();
    if (!open_ || deadline < 0) break;
    if (platform::WaitSocket(socket_, false, true, &waker_, deadline < 1 ? 1 : deadline) < 0) break;
  }
  Disconnect();
}

void TcpConnection::ShutdownReceive() {
  // The flag makes the owner's wait end even where the shutdown itself does not wake it. It is
  // not peerClosed_: that would make IsConnected false between two passes of the owner.
  receiveShut_ = true;
  platform::ShutdownSocket(socket_, true);
  waker_.Signal();
}

void TcpConnection::Abandon() {
  overrun_ = true;
  Disconnect();
}

bool TcpConnection::Queue(std::vector<uint8_t> packet) {
  if (!open_) return false;
  const size_t size = packet.size();
  bool queued = false, wake = false;
  {
    std::lock_guard<std::mutex> g(outboxMutex_);
    if (!open_) return false;
    if (queuedPackets_ + 1 <= kMaxQueuedPackets && queuedBytes_ + size <= kMaxQueuedBytes) {
      outbox_.push_back(Outgoing{std::move(packet), TickCount()});
      queuedBytes_ += size;
      queued = true;
      // The owner waits for room to write only while something is queued; the first packet of an
      // empty queue must wake it, later ones find it waiting for room already.
      wake = queuedPackets_.fetch_add(1) == 0;
    }
  }
  if (!queued) {
    // Past the bound: the peer is too far behind to be waited for.
    Abandon();
    return false;
  }
  if (wake) waker_.Signal();
  return true;
}

void TcpConnection::SetWrittenHandler(WrittenHandler handler) {
  std::lock_guard<std::mutex> guard(writeMutex_);
  written_ = std::move(handler);
}

void TcpConnection::PumpOutput() {
  if (queuedPackets_ == 0) return;
  std::lock_guard<std::mutex> guard(writeMutex_);
  while (open_) {
    if (writing_.empty()) {
      std::lock_guard<std::mutex> g(outboxMutex_);
      writing_.swap(outbox_);
    }
    if (writing_.empty()) return;
    Outgoing& front = writing_.front();
    const size_t chunk = std::min(front.bytes.size() - writtenOfFront_, kMaxSendChunk);
    auto n = ::send(socket_, reinterpret_cast<const char*>(front.bytes.data() + writtenOfFront_),
                    static_cast<int>(chunk), platform::kSendFlags);
    if (n > 0) {
      writtenOfFront_ += static_cast<size_t>(n);
      if (writtenOfFront_ < front.bytes.size()) continue;
      const size_t size = front.bytes.size();
      writing_.pop_front();
      writtenOfFront_ = 0;
      queuedBytes_ -= size;
      --queuedPackets_;
      if (written_) written_(size);
      continue;
    }
    const int code = n == 0 ? platform::kErrConnAborted : platform::LastSocketError();
    if (code == platform::kErrInterrupted) continue;
    if (code == platform::kErrWouldBlock) break;
    // A broken connection: nothing queued can go out any more; the owner's read sees the close.
    Disconnect();
    return;
  }
  if (!open_ || writing_.empty()) return;
  if (TickCount() - writing_.front().queuedTick >= sendTimeoutMs_) Abandon();
}

void TcpConnection::WriteAll(const uint8_t* data, size_t size) {
  std::lock_guard<std::mutex> guard(writeMutex_);
  const uint32_t start = TickCount();
  const uint32_t limit = sendTimeoutMs_;
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
    if (code != platform::kErrWouldBlock) ThrowSocketError(code);
    const uint32_t waited = TickCount() - start;
    if (waited >= limit) {
      // A peer that stopped reading: give up on the whole connection, so its own thread sees
      // the failure and takes its close path instead of serving a half-written stream.
      Disconnect();
      ThrowSocketError(platform::kErrTimedOut);
    }
    platform::WaitSocket(socket_, false, true, nullptr, static_cast<int>(limit - waited));
  }
}

void TcpConnection::RequestPark() {
  {
    std::lock_guard<std::mutex> g(parkMutex_);
    parkRequested_ = true;
  }
  waker_.Signal();
}

void TcpConnection::Unpark() {
  {
    std::lock_guard<std::mutex> g(parkMutex_);
    parkRequested_ = false;
  }
  parkChanged_.notify_all();
}

void TcpConnection::ParkHere() {
  PumpOutput();
  std::unique_lock<std::mutex> g(parkMutex_);
  parked_ = true;
  parkChanged_.wait(g, [this] { return !parkRequested_; });
  parked_ = false;
}

std::vector<uint8_t> TcpConnection::UnreadInput() const {
  return std::vector<uint8_t>(input_.begin() + static_cast<std::ptrdiff_t>(inputStart_), input_.end());
}

std::vector<std::vector<uint8_t>> TcpConnection::UnsentOutput() {
  std::vector<std::vector<uint8_t>> out;
  std::lock_guard<std::mutex> guard(writeMutex_);
  bool first = true;
  for (const Outgoing& o : writing_) {
    const size_t skip = first ? writtenOfFront_ : 0;
    first = false;
    out.emplace_back(o.bytes.begin() + static_cast<std::ptrdiff_t>(skip), o.bytes.end());
  }
  std::lock_guard<std::mutex> g(outboxMutex_);
  for (const Outgoing& o : outbox_) out.push_back(o.bytes);
  return out;
}

void TcpConnection::Restore(std::vector<uint8_t> unread, std::vector<std::vector<uint8_t>> unsent) {
  input_ = std::move(unread);
  inputStart_ = 0;
  std::lock_guard<std::mutex> g(outboxMutex_);
  for (auto& packet : unsent) {
    queuedBytes_ += packet.size();
    ++queuedPackets_;
    outbox_.push_back(Outgoing{std::move(packet), TickCount()});
  }
}

}  // namespace qm
