#pragma once
// A small HTTP listener for read-only pages (the metrics scrape). One thread waits on every
// connection at once, so an idle or slow peer costs an entry in a bounded table, never a thread
// that a scraper needs. One request per connection, bounded in size and in time; the answer is
// written from the same loop without blocking, and a peer that does not read it is dropped at its
// deadline.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/Binding.hpp"
#include "platform/Waker.hpp"

namespace qm {

struct HttpRequest {
  std::string method;
  std::string path;  // the target without its query
};

struct HttpResponse {
  int status = 200;
  std::string contentType = "text/plain; charset=utf-8";
  std::string body;
};

// A path and what answers a GET of it (on the listener's thread; an exception answers 500).
struct HttpRoute {
  std::string path;
  std::function<HttpResponse(const HttpRequest&)> answer;
};

struct HttpLimits {
  // Connections held at once; a newcomer at the bound closes the oldest one still idle.
  size_t maxConnections = 256;
  // From the accept to the end of the request's head, whatever pace the peer sends at.
  uint32_t requestTimeoutMs = 2000;
  // For the peer to take the whole answer.
  uint32_t answerTimeoutMs = 2000;
  // The request line and headers; a longer head is answered 431.
  size_t maxRequestBytes = 4096;
};

class HttpListener : public BoundListener {
 public:
  // eachPass runs on the listener's thread at least once a second (timed work such as samples
  // kept beside the pages; it must not block).
  HttpListener(std::vector<HttpRoute> routes, HttpLimits limits, std::function<void()> eachPass = nullptr);
  ~HttpListener();  // stops
  HttpListener(const HttpListener&) = delete;
  HttpListener& operator=(const HttpListener&) = delete;

  // Binds, listens and starts the thread; throws ESocketError when the address cannot be used.
  void Start();
  // Ends the thread and closes every connection.
  void Stop();
  uint16_t BoundPort() const { return boundPort_; }
  // Connections closed for a newcomer at the bound, and closed at their deadline.
  uint64_t EvictedConnections() const { return evicted_.load(std::memory_order_relaxed); }
  uint64_t ExpiredConnections() const { return expired_.load(std::memory_order_relaxed); }

 private:
  using Clock = std::chrono::steady_clock;
  enum class Phase { kRequest, kAnswer, kDrain };
  struct Connection {
    platform::SocketHandle socket = platform::kInvalidSocket;
    Phase phase = Phase::kRequest;
    Clock::time_point opened;
    Clock::time_point deadline;
    std::string in;
    std::string out;
    size_t sent = 0;
  };

  void Run();
  void AcceptAll(Clock::time_point now);
  // Makes room for one more: closes the oldest connection that is not being answered (those
  // already answered first). False when every one is being answered.
  bool MakeRoom();
  // False when the connection is done and must be closed.
  bool Receive(Connection& c, Clock::time_point now);
  bool Send(Connection& c, Clock::time_point now);
  void Respond(Connection& c, const HttpResponse& response, Clock::time_point now);
  HttpResponse Route(const std::string& head) const;
  void Close(size_t index);

  std::vector<HttpRoute> routes_;
  HttpLimits limits_;
  std::function<void()> eachPass_;
  platform::SocketHandle listenSocket_ = platform::kInvalidSocket;
  uint16_t boundPort_ = 0;
  platform::SocketWaker waker_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::vector<Connection> connections_;  // the loop's own; no other thread touches it
  Clock::time_point acceptPausedUntil_{};
  std::atomic<uint64_t> evicted_{0};
  std::atomic<uint64_t> expired_{0};
};

}  // namespace qm
