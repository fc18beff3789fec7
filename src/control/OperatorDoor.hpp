#pragma once
// The operator's door: the local control socket's connections, each on a thread of its own (a
// bounded number at once), read and answered in OperatorFrames' framing. What a request does is
// the executor's; the door only guarantees that no peer, however it behaves, holds the server up:
// every request must arrive and every answer be taken within its time, and nothing the relay or
// the clients need is held while a peer is waited on.
#include <atomic>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <thread>

#include "platform/OperatorChannel.hpp"

namespace qm {

struct OperatorDoorLimits {
  int requestMs = 5000;  // for a whole request, from the end of the previous answer (or the connect)
  int answerMs = 5000;   // for the peer to take a whole answer
  size_t connections = 8;
};

class OperatorDoor {
 public:
  // Runs one parsed request: its command and the whole request object; returns the answer.
  using Executor = std::function<nlohmann::json(const std::string& command, const nlohmann::json& request)>;

  OperatorDoor(std::unique_ptr<platform::OperatorListener> listener, Executor executor, OperatorDoorLimits limits = {});
  ~OperatorDoor();  // Stop()
  OperatorDoor(const OperatorDoor&) = delete;
  OperatorDoor& operator=(const OperatorDoor&) = delete;

  void Start();
  // Closes the door and every connection, and waits for their threads (a request being executed
  // is finished first).
  void Stop();
  const std::string& Name() const { return listener_->Name(); }

 private:
  struct Connection {
    std::shared_ptr<platform::OperatorLink> link;
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void AcceptLoop();
  void Serve(platform::OperatorLink& link);
  // Writes a failure answer within the answer time, ignoring what becomes of it.
  void Refuse(platform::OperatorLink& link, const std::string& error);
  size_t ReapFinished();  // joins finished connections; returns how many still run

  std::unique_ptr<platform::OperatorListener> listener_;
  Executor executor_;
  const OperatorDoorLimits limits_;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;
  std::mutex connectionsLock_;  // held only to add, reap or wake connections, never over a wait
  std::list<Connection> connections_;
};

}  // namespace qm
