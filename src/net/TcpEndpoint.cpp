#include "net/TcpEndpoint.hpp"

#include <chrono>
#include <unordered_map>

#include "net/NetAddress.hpp"
#include "net/SocketError.hpp"
#include "platform/Clock.hpp"
#include "platform/Error.hpp"
#include "platform/Handover.hpp"

namespace qm {
namespace {

// While connections await their login the accept thread waits in slices, to close those past
// the deadline (on the server's clock). Otherwise it sleeps until a connection comes, a worker
// finishes (to be joined) or the stop: an idle server wakes no thread. Without a waker (out of
// descriptors) it keeps the slices, so it still notices Deactivate.
constexpr int kAcceptWaitMs = 250;
// After an accept failure that is not the client's (out of handles, say) the thread pauses
// before retrying instead of spinning on a socket that stays readable.
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(50);

}  // namespace

struct TcpEndpoint::Worker {
  std::shared_ptr<TcpConnection> connection;
  std::shared_ptr<TcpContext> context;
  std::thread thread;
  uint32_t acceptedTick = 0;
  uint64_t acceptOrder = 0;  // which accept it was: ties for eviction go to the longest-waiting
  uint32_t host = 0;         // the peer's IPv4 address, host order
  bool finished = false;     // guarded by workersMutex_
  bool loggedIn = false;     // guarded by workersMutex_; once set, no limit applies again
};

TcpEndpoint::TcpEndpoint() = default;

TcpEndpoint::~TcpEndpoint() { Deactivate(); }

void TcpEndpoint::SetExecuteHandler(ExecuteHandler handler) { handler_ = std::move(handler); }
void TcpEndpoint::SetSendTimeout(uint32_t milliseconds) { sendTimeoutMs_ = milliseconds; }

void TcpEndpoint::Activate() {
  if (active_) return;
  // Address reuse only lets a restart bind while old connections linger in TIME_WAIT.
  listenSocket_ = binding_.Open(SOCK_STREAM, /*reuseAddress=*/true, kBacklog, boundPort_);
  stopping_ = false;
  acceptThread_ = std::thread([this] { AcceptLoop(); });
  active_ = true;
}

void TcpEndpoint::AcceptLoop() {
  while (!stopping_) {
    ReapFinished();
    size_t pending;
    {
      std::lock_guard<std::mutex> guard(workersMutex_);
      pending = SweepPendingLocked().total;
    }
    const int wait = pending > 0 || !acceptWaker_.Valid() ? kAcceptWaitMs : -1;
    const int ready = platform::WaitSocket(listenSocket_, true, false, &acceptWaker_, wait);
    if (ready <= 0 || !(ready & platform::kSocketReadable) || stopping_) continue;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    platform::SocketHandle s = ::accept(listenSocket_, reinterpret_cast<sockaddr*>(&peer), &length);
    if (s == platform::kInvalidSocket) {
      const int code = platform::LastSocketError();
      // The client gave up between its connect and our accept: nothing to pause for.
      if (code != platform::kErrConnAborted && code != platform::kErrConnReset && code != platform::kErrWouldBlock &&
          code != platform::kErrInterrupted && !stopping_)
        std::this_thread::sleep_for(kAcceptRetryPause);
      continue;
    }
    // Control packets are small and answered at once; Nagle would only delay them.
    int noDelay = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    platform::SetKeepAlive(s, kKeepAliveIdleMs, kKeepAliveIntervalMs, kKeepAliveProbes);

    const NetAddress from = NetAddress::FromSockaddr(peer);
    std::lock_guard<std::mutex> guard(workersMutex_);
    const PendingTally tally = SweepPendingLocked(&from.ip);
    const size_t cap = maxPending_;
    if (cap != 0 && tally.total >= cap && tally.evict) {
      // Its thread sees the closed socket at its next wait slice and ends by itself.
      tally.evict->connection->Disconnect();
      ++evicted_;
    }
    auto worker = std::make_unique<Worker>();
    worker->connection = std::make_shared<TcpConnection>(s, from.AddressText(), from.port);
    worker->connection->SetSendTimeout(sendTimeoutMs_);
    worker->context = std::make_shared<TcpContext>();
    worker->context->connection = worker->connection;
    worker->acceptedTick = TickCount();
    worker->acceptOrder = ++acceptCount_;
    worker->host = from.ip;
    Worker* w = worker.get();
    workers_.push_back(std::move(worker));
    w->thread = std::thread([this, w] { RunConnection(w); });
  }
}

TcpEndpoint::PendingTally TcpEndpoint::SweepPendingLocked(const uint32_t* newcomerHost) {
  const uint32_t limit = loginTimeoutMs_;
  const uint32_t now = TickCount();
  struct HostShare {
    size_t count = 0;
    Worker* oldest = nullptr;
  };
  std::unordered_map<uint32_t, HostShare> hosts;
  PendingTally tally;
  for (auto& w : workers_) {
    if (w->finished || w->loggedIn) continue;
    if (w->context->HasSlot()) {
      w->loggedIn = true;
      continue;
    }
    if (!w->connection->IsOpen()) continue;  // already on its way out
    if (limit != 0 && now - w->acceptedTick >= limit) {
      // Its thread sees the closed socket at its next wait slice and ends by itself.
      w->connection->Disconnect();
      ++expired_;
      continue;
    }
    ++tally.total;
    if (newcomerHost) {
      HostShare& share = hosts[w->host];
      ++share.count;
      if (!share.oldest) share.oldest = w.get();  // the list is in accept order
    }
  }
  if (!newcomerHost) return tally;
  ++hosts[*newcomerHost].count;
  const HostShare* most = nullptr;
  for (const auto& [host, share] : hosts) {
    if (!share.oldest) continue;  // the newcomer alone: nothing of its host's to close
    if (!most || share.count > most->count ||
        (share.count == most->count && share.oldest->acceptOrder < most->oldest->acceptOrder))
      most = &share;
  }
  if (most) tally.evict = most->oldest;
  return tally;
}

size_t TcpEndpoint::PendingConnectionCount() {
  std::lock_guard<std::mutex> guard(workersMutex_);
  return SweepPendingLocked().total;
}

void TcpEndpoint::RunConnection(Worker* w) {
  {
    TcpContext& context = *w->context;
    TcpConnection& connection = *context.connection;
    for (;;) {
      try {
        if (handler_) {
          handler_(context);
        } else {
          connection.Disconnect();
        }
      } catch (const ESocketError& e) {
        if (e.Code() == platform::kErrConnAborted || e.Code() == platform::kErrConnReset) connection.Disconnect();
      } catch (...) {
        // The server's handler logs its own failures; one that still escapes must not end the
        // connection's service, let alone the process.
      }
      if (!connection.IsConnected()) break;
    }
    // A connection dropped from outside (a peer past its output bound, shutdown) while
    // the application still keeps an object in the slot: one more pass lets the handler see the
    // broken connection and run its own close path, so nothing stays behind referring to it.
    for (int last = 0; last < 2 && handler_ && context.Slot<void>(); ++last) {
      try {
        handler_(context);
      } catch (...) {
      }
    }
    connection.Disconnect();
    // Whatever the application kept in the slot goes with the thread.
    context.SetSlot(nullptr);
  }
  {
    std::lock_guard<std::mutex> guard(workersMutex_);
    w->finished = true;
  }
  workersDone_.notify_all();
  acceptWaker_.Signal();
}

void TcpEndpoint::ReapFinished() {
  std::list<std::unique_ptr<Worker>> finished;
  {
    std::lock_guard<std::mutex> guard(workersMutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
      auto next = std::next(it);
      if ((*it)->finished) finished.splice(finished.end(), workers_, it);
      it = next;
    }
  }
  for (auto& w : finished) w->thread.join();
}

void TcpEndpoint::Deactivate() {
  if (!active_) return;
  stopping_ = true;
  platform::ShutdownSocket(listenSocket_, false);
  acceptWaker_.Signal();
  if (acceptThread_.joinable()) acceptThread_.join();
  platform::CloseSocket(listenSocket_);
  listenSocket_ = platform::kInvalidSocket;

  std::list<std::unique_ptr<Worker>> all;
  {
    std::unique_lock<std::mutex> guard(workersMutex_);
    for (auto& w : workers_) w->connection->Disconnect();
    // A handler that does not return once its socket is shut down is stuck elsewhere; it is
    // still joined below, because no thread may outlive the endpoint whose handler it runs.
    workersDone_.wait_for(guard, std::chrono::milliseconds(kTerminateWaitTime), [this] {
      for (auto& w : workers_)
        if (!w->finished) return false;
      return true;
    });
    all.swap(workers_);
  }
  for (auto& w : all) w->thread.join();
  active_ = false;
}

size_t TcpEndpoint::ConnectionCount() {
  std::lock_guard<std::mutex> guard(workersMutex_);
  size_t count = 0;
  for (auto& w : workers_)
    if (!w->finished) ++count;
  return count;
}

void TcpEndpoint::Adopt(platform::SocketHandle listening) {
  if (active_) return;
  listenSocket_ = listening;
  boundPort_ = platform::BoundPortOf(listening);
  stopping_ = false;
  acceptThread_ = std::thread([this] { AcceptLoop(); });
  active_ = true;
}

void TcpEndpoint::AdoptConnection(std::shared_ptr<TcpConnection> connection,
                                  const std::function<void(TcpContext&)>& fill) {
  auto worker = std::make_unique<Worker>();
  connection->SetSendTimeout(sendTimeoutMs_);
  worker->connection = std::move(connection);
  worker->context = std::make_shared<TcpContext>();
  worker->context->connection = worker->connection;
  if (fill) fill(*worker->context);
  NetAddress peer;
  NetAddress::FromDotted(worker->connection->PeerAddress(), worker->connection->PeerPort(), peer);
  worker->host = peer.ip;
  worker->acceptedTick = TickCount();
  std::lock_guard<std::mutex> guard(workersMutex_);
  worker->acceptOrder = ++acceptCount_;
  Worker* w = worker.get();
  workers_.push_back(std::move(worker));
  w->thread = std::thread([this, w] { RunConnection(w); });
}

bool TcpEndpoint::Suspend(int timeoutMs) {
  if (!active_) return false;
  stopping_ = true;
  acceptWaker_.Signal();
  if (acceptThread_.joinable()) acceptThread_.join();
  {
    std::lock_guard<std::mutex> guard(workersMutex_);
    for (auto& w : workers_)
      if (!w->finished) w->connection->RequestPark();
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    bool resting = true;
    {
      std::lock_guard<std::mutex> guard(workersMutex_);
      for (auto& w : workers_)
        if (!w->finished && !w->connection->Parked()) resting = false;
    }
    if (resting) return true;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Resume();
  return false;
}

void TcpEndpoint::Resume() {
  {
    std::lock_guard<std::mutex> guard(workersMutex_);
    for (auto& w : workers_) w->connection->Unpark();
  }
  if (acceptThread_.joinable()) return;
  stopping_ = false;
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

std::vector<std::shared_ptr<TcpContext>> TcpEndpoint::OpenConnections() {
  std::vector<std::shared_ptr<TcpContext>> open;
  std::lock_guard<std::mutex> guard(workersMutex_);
  for (auto& w : workers_)
    if (!w->finished && w->connection->IsOpen()) open.push_back(w->context);
  return open;
}

}  // namespace qm
