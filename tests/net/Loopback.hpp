#pragma once
// Raw loopback sockets for the net tests: the far end of a connection, a listener the test
// controls, and a bounded wait for what another thread makes true.
#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Socket.hpp"
#include "support/Waits.hpp"

namespace qm::test {

// Every wait in these tests gives up after this long, so a fault fails a test, not the run.
inline constexpr int kTestWaitMs = 5000;

inline sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

inline uint16_t LocalPort(platform::SocketHandle s) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

class Socket {
 public:
  explicit Socket(platform::SocketHandle s = platform::kInvalidSocket) : s_(s) {}
  Socket(Socket&& o) noexcept : s_(o.Release()) {}
  ~Socket() { Close(); }
  platform::SocketHandle Get() const { return s_; }
  platform::SocketHandle Release() { return std::exchange(s_, platform::kInvalidSocket); }
  void Close() { platform::CloseSocket(Release()); }
  // Closes with a reset instead of an orderly close.
  void Abort() {
    linger l{1, 0};
    ::setsockopt(s_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    Close();
  }
  void SendAll(const std::string& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
      auto n = ::send(s_, bytes.data() + sent, static_cast<int>(bytes.size() - sent), platform::kSendFlags);
      ASSERT_GT(n, 0);
      sent += static_cast<size_t>(n);
    }
  }
  // Up to `count` bytes: fewer when the peer closed or kTestWaitMs passed.
  std::string Receive(size_t count) {
    std::string out;
    char buffer[65536];
    while (out.size() < count && platform::WaitReadable(s_, kTestWaitMs) > 0) {
      auto n = ::recv(s_, buffer, static_cast<int>(std::min(sizeof buffer, count - out.size())), 0);
      if (n <= 0) break;
      out.append(buffer, static_cast<size_t>(n));
    }
    return out;
  }
  // True when the peer's close (or reset) arrives within kTestWaitMs.
  bool SeesClose() {
    char byte;
    return platform::WaitReadable(s_, kTestWaitMs) > 0 && ::recv(s_, &byte, 1, 0) <= 0;
  }

 private:
  platform::SocketHandle s_;
};

inline Socket ConnectTo(uint16_t port) {
  Socket s(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  sockaddr_in a = Loopback(port);
  EXPECT_EQ(::connect(s.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a), 0) << "port " << port;
  return s;
}

// A connection from another loopback address (127.0.0.2 stands in for a second host).
inline Socket ConnectFrom(const char* localAddress, uint16_t port) {
  Socket s(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, localAddress, &local.sin_addr);
  EXPECT_EQ(::bind(s.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local), 0) << localAddress;
  sockaddr_in a = Loopback(port);
  EXPECT_EQ(::connect(s.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a), 0) << "port " << port;
  return s;
}

inline Socket BoundSocket(int type) {
  Socket s(::socket(AF_INET, type, 0));
  sockaddr_in a = Loopback(0);
  EXPECT_EQ(::bind(s.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
  if (type == SOCK_STREAM) {
    EXPECT_EQ(::listen(s.Get(), 8), 0);
  }
  return s;
}

// The next connection on a listening socket, or an invalid socket after kTestWaitMs.
inline Socket Accept(const Socket& listener) {
  if (platform::WaitReadable(listener.Get(), kTestWaitMs) <= 0) return Socket();
  return Socket(::accept(listener.Get(), nullptr, nullptr));
}

}  // namespace qm::test
