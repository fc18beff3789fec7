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

#include "net/TcpConnection.hpp"

namespace qm {

class TcpEndpoint {
 public:
  using ExecuteHandler = std::function<void(TcpContext&)>;
  static constexpr int kBacklog = 15;
  static constexpr uint32_t kTerminateWaitTime = 5000;

  TcpEndpoint();
  ~TcpEndpoint();  // deactivates

  // Without bindings the endpoint listens on all local addresses at the default port.
  void SetDefaultPort(uint16_t port);
  void ClearBindings();
  void AddBinding(const std::string& ip, uint16_t port);
  void SetExecuteHandler(ExecuteHandler handler);
  void SetSendTimeout(uint32_t milliseconds);  // applied to every accepted connection

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

 private:
  struct Worker;
  void AcceptLoop();
  void RunConnection(Worker* w);
  void ReapFinished();

  uint16_t defaultPort_ = 0;
  std::vector<std::pair<std::string, uint16_t>> bindings_;
  ExecuteHandler handler_;
  uint32_t sendTimeoutMs_ = TcpConnection::kDefaultSendTimeoutMs;
  platform::SocketHandle listenSocket_ = platform::kInvalidSocket;
  uint16_t boundPort_ = 0;
  std::atomic<bool> active_{false};
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;
  std::mutex workersMutex_;
  std::condition_variable workersDone_;  // a worker finished (with workersMutex_)
  std::list<std::unique_ptr<Worker>> workers_;
};

}  // namespace qm
