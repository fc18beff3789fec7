#include "control/Drain.hpp"

#include <chrono>
#include <string>

#include "clients/ClientList.hpp"
#include "log/Log.hpp"
#include "platform/Clock.hpp"

namespace qm {
namespace {
// How often the watcher looks; a stop a tenth of a second after the last leave is soon enough.
constexpr auto kLookEvery = std::chrono::milliseconds(100);
}  // namespace

DrainWatch::DrainWatch(ClientList& clients, IClock& clock, std::function<void()> stop)
    : clients_(clients), clock_(clock), stop_(std::move(stop)) {}

DrainWatch::~DrainWatch() { Cancel(); }

void DrainWatch::Start(int timeoutSeconds) {
  Resume(clock_.TickCount(), static_cast<uint32_t>(timeoutSeconds) * 1000u);
}

void DrainWatch::Resume(uint32_t startTick, uint32_t timeoutMs) {
  Cancel();
  std::lock_guard g(lock_);
  cancel_ = false;
  watching_ = true;
  startTick_ = startTick;
  timeoutMs_ = timeoutMs;
  thread_ = std::thread([this, startTick, timeoutMs] { Run(startTick, timeoutMs); });
}

void DrainWatch::Cancel() {
  {
    std::lock_guard g(lock_);
    cancel_ = true;
    wake_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
  std::lock_guard g(lock_);
  watching_ = false;
}

bool DrainWatch::Watching() {
  std::lock_guard g(lock_);
  return watching_;
}

bool DrainWatch::Watching(uint32_t& startTick, uint32_t& timeoutMs) {
  std::lock_guard g(lock_);
  startTick = startTick_;
  timeoutMs = timeoutMs_;
  return watching_;
}

void DrainWatch::Run(uint32_t startTick, uint32_t timeoutMs) {
  std::unique_lock g(lock_);
  for (;;) {
    if (cancel_) return;
    const size_t left = clients_.ClientCount();
    const bool timedOut = timeoutMs != 0 && clock_.TickCount() - startTick >= timeoutMs;
    if (left == 0 || timedOut) {
      watching_ = false;
      g.unlock();
      WriteLogAlways(left == 0 ? std::string("Drain: the last client has left; stopping the server")
                               : "Drain: " + std::to_string(timeoutMs / 1000) + " s are up with " +
                                     std::to_string(left) + " clients logged in; stopping the server",
                     kLogProgress);
      stop_();
      return;
    }
    wake_.wait_for(g, kLookEvery);
  }
}

}  // namespace qm
