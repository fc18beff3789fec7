#pragma once
// A tiny web server on 127.0.0.1 for the status report tests: one thread, one connection at a
// time. It records each request head as received and answers with the reply set for it, or, with
// an empty reply, holds the connection open without a word until the client gives up.
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Socket.hpp"

namespace qm::test {

class FakeWebServer {
 public:
  explicit FakeWebServer(std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nok")
      : reply_(std::move(reply)) {
    platform::SocketsStartup();
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    ::listen(listener_, 8);
    socklen_t len = sizeof a;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~FakeWebServer() {
    stop_.store(true);
    thread_.join();
    platform::CloseSocket(listener_);
  }
  FakeWebServer(const FakeWebServer&) = delete;
  FakeWebServer& operator=(const FakeWebServer&) = delete;

  uint16_t Port() const { return port_; }
  std::string Url(const std::string& target) const { return "http://127.0.0.1:" + std::to_string(port_) + target; }
  std::string HostHeader() const { return "Host: 127.0.0.1:" + std::to_string(port_) + "\r\n"; }
  void SetReply(std::string reply) {
    std::lock_guard<std::mutex> g(mutex_);
    reply_ = std::move(reply);
  }
  std::vector<std::string> Requests() const {
    std::lock_guard<std::mutex> g(mutex_);
    return requests_;
  }
  std::vector<std::string> Peers() const {
    std::lock_guard<std::mutex> g(mutex_);
    return peers_;
  }
  // Waits (at most timeoutMs) until at least n requests have come in.
  bool WaitForRequests(size_t n, int timeoutMs = 5000) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Requests().size() < n) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

 private:
  static constexpr int kPollMs = 20;
  static constexpr int kMaxHoldMs = 10000;  // the longest a silent answer keeps a connection

  void Run() {
    while (!stop_.load()) {
      if (platform::WaitReadable(listener_, kPollMs) <= 0) continue;
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const auto peer = ::accept(listener_, reinterpret_cast<sockaddr*>(&from), &len);
      if (peer == platform::kInvalidSocket) continue;
      char text[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
      Serve(peer, text);
      platform::CloseSocket(peer);
    }
  }

  // Reads until the peer's head is complete, closes or kMaxHoldMs pass; true when it closed.
  bool ReadUntil(platform::SocketHandle peer, std::string& data, bool wholeHeadEnds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMaxHoldMs);
    char buffer[4096];
    while (!stop_.load() && std::chrono::steady_clock::now() < deadline) {
      if (wholeHeadEnds && data.find("\r\n\r\n") != std::string::npos) return false;
      if (platform::WaitReadable(peer, kPollMs) <= 0) continue;
      const auto n = ::recv(peer, buffer, sizeof buffer, 0);
      if (n <= 0) return true;
      data.append(buffer, static_cast<size_t>(n));
    }
    return false;
  }

  void Serve(platform::SocketHandle peer, const std::string& peerAddress) {
    std::string request;
    if (ReadUntil(peer, request, true) && request.empty()) return;
    std::string reply;
    {
      std::lock_guard<std::mutex> g(mutex_);
      requests_.push_back(request);
      peers_.push_back(peerAddress);
      reply = reply_;
    }
    if (reply.empty()) {
      std::string ignored;
      ReadUntil(peer, ignored, false);  // silent until the client hangs up
      return;
    }
    for (size_t sent = 0; sent < reply.size();) {
      const auto n = ::send(peer, reply.data() + sent, static_cast<int>(reply.size() - sent), platform::kSendFlags);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }

  platform::SocketHandle listener_ = platform::kInvalidSocket;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::string reply_;
  std::vector<std::string> requests_;
  std::vector<std::string> peers_;
  std::thread thread_;
};

}  // namespace qm::test
