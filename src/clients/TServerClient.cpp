#include "clients/TServerClient.hpp"

#include "platform/Clock.hpp"

namespace qm {

TServerClient::TServerClient(std::shared_ptr<TcpConnection> connection, TcpContext* context, TrafficCounters* server)
    : connection_(std::move(connection)), context_(context) {
  if (connection_ && server) {
    // The server counts a packet once its last byte went to the socket, on the connection's
    // own thread; the server outlives every connection.
    connection_->SetWrittenHandler([server](size_t size) { server->CountTcpSent(1, static_cast<uint32_t>(size)); });
  }
  connectedAt_ = Now();
  lastActivity_.store(connectedAt_);
  lastActivityTick_.store(TickCount());
}

TServerClient::~TServerClient() = default;

void TServerClient::SetClientVersion(std::string version) {
  clientVersion_ = std::move(version);
  isOldClient_ = clientVersion_ == kOldClientVersion;
}

void TServerClient::TouchActivity() {
  lastActivity_.store(Now(), std::memory_order_relaxed);
  lastActivityTick_.store(TickCount(), std::memory_order_relaxed);
}

void TServerClient::Enqueue(Buffer buffer) {
  if (destroyed_.load()) return;
  std::lock_guard<std::mutex> g(sendMutex_);
  if (destroyed_.load()) return;
  sendQueue_.push_back(std::move(buffer));
}

void TServerClient::EnqueueCopy(const uint8_t* data, size_t size) { Enqueue(Buffer(data, data + size)); }

void TServerClient::Flush() {
  if (destroyed_.load()) return;
  std::lock_guard<std::mutex> g(sendMutex_);
  // Oldest first: a queued login reply must reach the client before notifications sent after it.
  // Handing over never writes: the connection's own thread does, so this may run under any lock.
  while (!sendQueue_.empty() && !destroyed_.load()) {
    Buffer buffer = std::move(sendQueue_.front());
    sendQueue_.pop_front();
    Traffic.CountTcpSent(1, static_cast<uint32_t>(buffer.size()));
    // Refused on a closed connection, or past its bound (which closes it, so its own thread takes
    // the close path): either way the packet is lost, as a failed write always was.
    if (connection_) connection_->Queue(std::move(buffer));
  }
}

void TServerClient::Send(Buffer packet) {
  Enqueue(std::move(packet));
  Flush();
}

void TServerClient::Destroy() {
  destroyed_.store(true);
  if (context_) {
    // Only clear the slot when it still refers to this record.
    std::lock_guard<std::mutex> g(context_->slotMutex);
    if (context_->slot.get() == this) context_->slot.reset();
  }
  std::lock_guard<std::mutex> g(sendMutex_);
  sendQueue_.clear();
}

}  // namespace qm
