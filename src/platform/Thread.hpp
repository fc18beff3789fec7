#pragma once
// A worker thread with a terminate flag, created suspended and started explicitly, the shape every
// worker of the server has. Its owner asks it to stop and joins it: no worker outlives the
// objects it uses.
#include <atomic>
#include <thread>

namespace qm {

class Thread {
 public:
  Thread() = default;
  virtual ~Thread() { Join(); }
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts Execute on a new thread (the "resume" of a thread created suspended).
  void Start() {
    if (thread_.joinable()) return;
    thread_ = std::thread([this] {
      Execute();
      finished_.store(true);
    });
  }
  // Asks the loop to end at its next check.
  void Terminate() { terminated_.store(true); }
  bool Terminated() const { return terminated_.load(); }
  bool Started() const { return thread_.joinable(); }
  bool Finished() const { return finished_.load(); }
  void Join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  }

 protected:
  virtual void Execute() = 0;

 private:
  std::thread thread_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
};

}  // namespace qm
