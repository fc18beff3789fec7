#include "control/OperatorDoor.hpp"

#include <chrono>
#include <nlohmann/json.hpp>

#include "control/OperatorFrames.hpp"
#include "log/Log.hpp"
#include "platform/Error.hpp"

namespace qm {
namespace {

using Steady = std::chrono::steady_clock;
using platform::ChannelIo;

int MsLeft(Steady::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

std::string Seconds(int ms) { return std::to_string((ms + 999) / 1000) + " s"; }

}  // namespace

OperatorDoor::OperatorDoor(std::unique_ptr<platform::OperatorListener> listener, Executor executor,
                           OperatorDoorLimits limits)
    : listener_(std::move(listener)), executor_(std::move(executor)), limits_(limits) {}

OperatorDoor::~OperatorDoor() { Stop(); }

void OperatorDoor::Start() {
  if (!acceptThread_.joinable()) acceptThread_ = std::thread([this] { AcceptLoop(); });
}

void OperatorDoor::Stop() {
  stopping_.store(true);
  listener_->Close();
  if (acceptThread_.joinable()) acceptThread_.join();
  {
    std::lock_guard<std::mutex> g(connectionsLock_);
    for (auto& c : connections_) c.link->Shutdown();
  }
  // The accept loop has ended, so nothing is added any more; the threads end after their wake.
  for (auto& c : connections_)
    if (c.thread.joinable()) c.thread.join();
  connections_.clear();
}

size_t OperatorDoor::ReapFinished() {
  std::lock_guard<std::mutex> g(connectionsLock_);
  size_t running = 0;
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (it->done.load()) {
      it->thread.join();
      it = connections_.erase(it);
    } else {
      ++running;
      ++it;
    }
  }
  return running;
}

void OperatorDoor::AcceptLoop() {
  while (!stopping_.load()) {
    std::unique_ptr<platform::OperatorLink> accepted = listener_->Accept(1000);
    if (!accepted) continue;
    if (ReapFinished() >= limits_.connections) {
      // A fresh connection's send buffer is empty: the short answer goes at once or not at all.
      WriteLogLimited("Operator socket: refused a connection (" + accepted->PeerText() +
                          "): " + std::to_string(limits_.connections) + " are open already",
                      kLogWarning, "operator socket");
      Refuse(*accepted,
             "too many operator connections at once (at most " + std::to_string(limits_.connections) + "); try again");
      continue;
    }
    std::lock_guard<std::mutex> g(connectionsLock_);
    Connection& c = connections_.emplace_back();
    c.link = std::move(accepted);
    c.thread = std::thread([this, &c] {
      try {
        Serve(*c.link);
      } catch (const std::exception& e) {
        WriteLogAlways(ExceptionLine("Operator socket", e), kLogException);
      }
      // The peer learns of the end now, not when the place is reaped at the next connection.
      c.link->Shutdown();
      c.done.store(true);
    });
  }
}

void OperatorDoor::Refuse(platform::OperatorLink& link, const std::string& error) {
  const std::string frame = ComposeOperatorFrame(OperatorFailure(error));
  link.WriteFull(frame.data(), frame.size(), limits_.answerMs);
}

void OperatorDoor::Serve(platform::OperatorLink& link) {
  const std::string peer = link.PeerText();
  if (!link.Admitted()) {
    // Limited per account: a refused local user must not fill the log by connecting in a loop.
    WriteLogLimited("Operator socket: refused " + peer + ": " + link.Refusal(), kLogWarning, link.Refusal());
    Refuse(link, "permission denied: " + link.Refusal());
    return;
  }
  // An admitted peer is the operator, or runs as the server: each of its failures is logged.
  auto closeWith = [&](const std::string& why, const std::string& error) {
    WriteLogAlways("Operator socket: closed the connection of " + peer + ": " + why, kLogWarning);
    if (!error.empty()) Refuse(link, error);
  };
  for (;;) {
    const auto deadline = Steady::now() + std::chrono::milliseconds(limits_.requestMs);
    uint8_t head[kOperatorLengthSize];
    size_t got = 0;
    ChannelIo io = link.ReadFull(head, sizeof head, limits_.requestMs, got);
    if (io == ChannelIo::kClosed && got == 0) return;  // the peer is done
    if (io == ChannelIo::kTimedOut && got == 0) {
      closeWith("no request within " + Seconds(limits_.requestMs),
                "no request within " + Seconds(limits_.requestMs) + "; connection closed");
      return;
    }
    if (io != ChannelIo::kDone) {
      closeWith("a cut-off request", "truncated request: " + std::to_string(got) + " of the length's 4 bytes");
      return;
    }
    const uint32_t size = DecodeOperatorLength(head);
    if (size > kMaxOperatorMessage) {
      closeWith("a request of " + std::to_string(size) + " bytes",
                "the request is " + std::to_string(size) + " bytes; at most " + std::to_string(kMaxOperatorMessage) +
                    " are taken");
      return;
    }
    std::string body(size, '\0');
    io = size == 0 ? ChannelIo::kDone : link.ReadFull(body.data(), size, MsLeft(deadline), got);
    if (io != ChannelIo::kDone) {
      const std::string cut = "truncated request: " + std::to_string(got) + " of " + std::to_string(size) + " bytes";
      closeWith(
          io == ChannelIo::kTimedOut ? "no whole request within " + Seconds(limits_.requestMs) : cut,
          io == ChannelIo::kTimedOut ? cut + " within " + Seconds(limits_.requestMs) + "; connection closed" : cut);
      return;
    }
    nlohmann::json request;
    const OperatorRequestParse parsed = ParseOperatorRequest(body, request);
    const nlohmann::json answer = parsed.ok ? executor_(parsed.command, request) : OperatorFailure(parsed.error);
    const std::string frame = ComposeOperatorFrame(answer);
    io = link.WriteFull(frame.data(), frame.size(), limits_.answerMs);
    if (io == ChannelIo::kTimedOut) closeWith("the answer was not taken within " + Seconds(limits_.answerMs), "");
    if (io != ChannelIo::kDone) return;
  }
}

}  // namespace qm
