#pragma once
// Client records on real loopback connections, for the registry and record tests: each record
// queues on a server-side TcpConnection whose far end the test reads packet by packet. The test
// thread stands in for the connection's own thread and writes the queued output when it reads.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "clients/ClientList.hpp"
#include "control/ControlPackets.hpp"
#include "control/Notices.hpp"
#include "net/Loopback.hpp"
#include "net/TrafficCounters.hpp"

namespace qm::test {

class ClientEnd {
 public:
  ClientEnd(const Socket& listener, TrafficCounters* counters) : peer_(ConnectTo(LocalPort(listener.Get()))) {
    Socket accepted = Accept(listener);
    context_.connection = std::make_shared<TcpConnection>(accepted.Release(), "127.0.0.1", LocalPort(peer_.Get()));
    client_ = std::make_shared<TServerClient>(context_.connection, &context_, counters);
    context_.SetSlot(client_);
  }
  ~ClientEnd() {
    if (client_) client_->Destroy();
  }

  const ClientPtr& Client() const { return client_; }
  TcpContext& Context() { return context_; }
  Socket& Peer() { return peer_; }

  // The next packet the record wrote, framed by its header's length; nullopt after timeoutMs.
  std::optional<Packet> Next(int timeoutMs = kTestWaitMs) {
    for (;;) {
      context_.connection->PumpOutput();
      if (input_.size() >= kHeaderSize) {
        const size_t length = std::max<size_t>(ParseHeader(input_.data(), input_.size()).length, kHeaderSize);
        if (input_.size() >= length) {
          Packet p(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(length));
          input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(length));
          return p;
        }
      }
      if (platform::WaitReadable(peer_.Get(), timeoutMs) <= 0) return std::nullopt;
      uint8_t buffer[4096];
      const auto n = ::recv(peer_.Get(), reinterpret_cast<char*>(buffer), sizeof buffer, 0);
      if (n <= 0) return std::nullopt;
      input_.insert(input_.end(), buffer, buffer + n);
    }
  }
  // True when nothing at all arrives within the time.
  bool Silent(int timeoutMs = 100) {
    context_.connection->PumpOutput();
    if (!input_.empty()) return false;
    return platform::WaitReadable(peer_.Get(), timeoutMs) <= 0;
  }

 private:
  Socket peer_;
  TcpContext context_;
  ClientPtr client_;
  std::vector<uint8_t> input_;
};

// A listener and any number of client ends on it.
class Harness {
 public:
  Harness() : listener_(BoundSocket(SOCK_STREAM)) {}
  ClientEnd& Add(const std::string& name, uint8_t playerId, uint32_t key, const std::string& version = "2.0") {
    ends_.push_back(std::make_unique<ClientEnd>(listener_, &counters));
    ClientEnd& e = *ends_.back();
    e.Client()->SetClientName(name);
    e.Client()->SetClientVersion(version);
    e.Client()->SetPlayerId(playerId);
    e.Client()->SetSessionKey(key);
    return e;
  }
  // Adds and lists the record.
  ClientEnd& Listed(ClientList& list, const std::string& name, uint8_t playerId, uint32_t key,
                    const std::string& version = "2.0") {
    ClientEnd& e = Add(name, playerId, key, version);
    LockGuard g(list.Lock());
    list.Append(e.Client());
    return e;
  }

  TrafficCounters counters;

 private:
  Socket listener_;
  std::vector<std::unique_ptr<ClientEnd>> ends_;
};

}  // namespace qm::test
