#pragma once
// The TCP listener: one accept thread and one thread per accepted connection (no pool). Each
// connection thread calls the execute handler again and again until the connection no longer
// counts as connected.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/Binding.hpp"
#include "net/TcpConnection.hpp"
#include "platform/Waker.hpp"

namespace qm {

class TcpEndpoint : public BoundListener {
 public:
  using ExecuteHandler = std::function<void(TcpContext&)>;
  static constexpr int kBacklog = 15;
  static constexpr uint32_t kTerminateWaitTime = 5000;
  // A connection costs a thread, so those that have not logged in (their slot still empty) are
  // capped and given a deadline; a peer that opens connections and never logs in cannot exhaust
  // the process. While the cap has room any address may use it (fifty clients behind one NAT
  // connect at once); at the cap a newcomer closes the longest-waiting connection of the address
  // holding the most (its own counting), so one host cannot lock out the others.
  static constexpr size_t kDefaultMaxPendingConnections = 64;
  static constexpr uint32_t kDefaultLoginTimeoutMs = 30000;
  // Keep-alive on accepted connections, so a peer that vanished without a reset frees its place
  // within a few minutes (60 s idle, then six probes 10 s apart).
  static constexpr uint32_t kKeepAliveIdleMs = 60000;
  static constexpr uint32_t kKeepAliveIntervalMs = 10000;
  static constexpr uint32_t kKeepAliveProbes = 6;

  TcpEndpoint();
  ~TcpEndpoint();  // deactivates

  void SetExecuteHandler(ExecuteHandler handler);
  void SetSendTimeout(uint32_t milliseconds);  // applied to every accepted connection
  // Both limits may be changed while the endpoint is active; 0 lifts the limit.
  void SetMaxPendingConnections(size_t count) { maxPending_ = count; }
  void SetLoginTimeout(uint32_t milliseconds) { loginTimeoutMs_ = milliseconds; }

  // Binds, listens and starts the accept thread. Throws ESocketError when the address cannot be
  // bound (in use, not local) or listened on.
  void Activate();
  // Stops accepting, shuts down every open connection and joins the connection threads. They
  // end at once when their handler returns to a closed connection; kTerminateWaitTime bounds the
  // wait for that, after which the stragglers are still joined (no thread is ever detached).
  void Deactivate();
  bool Active() const { return active_; }
  // The port actually bound (useful when configured as 0).
  uint16_t BoundPort() const { return boundPort_; }
  // Connections whose thread is still running.
  size_t ConnectionCount();
  // Open connections whose slot has never held an object (closing those past the deadline).
  size_t PendingConnectionCount();
  // Connections closed to make room for a newcomer at the cap, and closed for missing the login
  // deadline.
  uint64_t EvictedConnections() const { return evicted_; }
  uint64_t ExpiredConnections() const { return expired_; }

  // --- handover ---
  // Stops accepting (the listening socket stays open) and brings every connection's thread to
  // rest between packets; those that end meanwhile end. False, with everything running again,
  // when some thread did not come to rest within timeoutMs.
  bool Suspend(int timeoutMs);
  // Undoes Suspend: the threads go on, accepting resumes.
  void Resume();
  // While suspended: every connection still open, in accept order, with its context.
  std::vector<std::shared_ptr<TcpContext>> OpenConnections();
  platform::SocketHandle ListenSocket() const { return listenSocket_; }
  // Activate with a listening socket an earlier image opened.
  void Adopt(platform::SocketHandle listening);
  // Serves a connection an earlier image accepted: fill puts the application's object in its slot
  // before its thread starts. Only while active.
  void AdoptConnection(std::shared_ptr<TcpConnection> connection, const std::function<void(TcpContext&)>& fill);

 private:
  struct Worker;
  void AcceptLoop();
  void RunConnection(Worker* w);
  void ReapFinished();
  struct PendingTally {
    size_t total = 0;
    // At the cap, the one to close for a newcomer from the host asked about: the longest-waiting
    // of the host with the most waiting (the newcomer counting for its own host).
    Worker* evict = nullptr;
  };
  // Counts the pending connections and closes those past the login deadline (workersMutex_ held).
  PendingTally SweepPendingLocked(const uint32_t* newcomerHost = nullptr);

  ExecuteHandler handler_;
  uint32_t sendTimeoutMs_ = TcpConnection::kDefaultSendTimeoutMs;
  platform::SocketHandle listenSocket_ = platform::kInvalidSocket;
  uint16_t boundPort_ = 0;
  std::atomic<bool> active_{false};
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;
  platform::SocketWaker acceptWaker_;  // a new connection is not the only news for the accept thread
  std::mutex workersMutex_;
  std::condition_variable workersDone_;  // a worker finished (with workersMutex_)
  std::list<std::unique_ptr<Worker>> workers_;
  std::atomic<size_t> maxPending_{kDefaultMaxPendingConnections};
  std::atomic<uint32_t> loginTimeoutMs_{kDefaultLoginTimeoutMs};
  std::atomic<uint64_t> evicted_{0};
  uint64_t acceptCount_ = 0;  // accept thread only
  std::atomic<uint64_t> expired_{0};
};

}  // namespace qm
