// The stop request itself, the same on both systems; the sides only connect it to the system's
// signals or console events.
#include "platform/Signals.hpp"

#include <condition_variable>
#include <mutex>
#include <utility>

namespace qm::platform {
namespace {
// Never destroyed: the thread that takes the signal may still be inside RequestStop while the
// process exits and runs static destructors.
struct StopState {
  std::mutex mutex;
  std::condition_variable cv;
  bool stop = false;
};
StopState& State() {
  static auto* state = new StopState;
  return *state;
}
// Never destroyed either, for the same reason.
struct HandoverRequest {
  std::mutex mutex;
  std::function<void()> handler;
};
HandoverRequest& Handover() {
  static auto* request = new HandoverRequest;
  return *request;
}
}  // namespace

void WaitForStopSignal() {
  StopState& s = State();
  std::unique_lock<std::mutex> g(s.mutex);
  s.cv.wait(g, [&] { return s.stop; });
}

void RequestStop() {
  StopState& s = State();
  // Notified under the lock: the waiter may return and end the process as soon as it can take
  // the lock, so the notify must be over by then.
  std::lock_guard<std::mutex> g(s.mutex);
  s.stop = true;
  s.cv.notify_all();
}

void SetHandoverRequestHandler(std::function<void()> handler) {
  HandoverRequest& h = Handover();
  std::lock_guard<std::mutex> g(h.mutex);
  h.handler = std::move(handler);
}

void RunHandoverRequest() {
  HandoverRequest& h = Handover();
  std::lock_guard<std::mutex> g(h.mutex);
  if (h.handler) h.handler();
}

namespace {
std::mutex& ReloadLock() {
  static auto* lock = new std::mutex;
  return *lock;
}
std::function<void()>& ReloadHandler() {
  static auto* handler = new std::function<void()>;
  return *handler;
}
}  // namespace

void SetReloadHandler(std::function<void()> handler) {
  std::lock_guard<std::mutex> g(ReloadLock());
  ReloadHandler() = std::move(handler);
}

void RunReloadHandler() {
  // Held while the handler runs, so clearing it waits for a reload in progress.
  std::lock_guard<std::mutex> g(ReloadLock());
  if (ReloadHandler()) ReloadHandler()();
}

}  // namespace qm::platform
