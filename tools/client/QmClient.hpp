#pragma once
// The client side of the protocol, for tests, benchmarks and the operator's tools: a control
// connection that sends each command as one write and reads server packets framed by their
// header's length, and a UDP socket for voice and pings. Every wait ends at its time-out, whatever
// the server sends, and packets nobody has asked for yet are kept only up to a bound.
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "control/ControlPackets.hpp"
#include "net/NetAddress.hpp"
#include "platform/Socket.hpp"

namespace qm::client {

class ControlClient {
 public:
  // Packets kept for later Receive or WaitFor calls; past either bound the oldest are dropped, so a
  // server that streams packets nobody waits for cannot grow our memory without end.
  static constexpr size_t kMaxBacklogPackets = 4096;
  static constexpr size_t kMaxBacklogBytes = 4u << 20;

  ControlClient() = default;
  ~ControlClient();
  ControlClient(const ControlClient&) = delete;
  ControlClient& operator=(const ControlClient&) = delete;

  // Connects to host:port within the time; throws QmError (ESocketError, ETimeout) on failure.
  void Connect(const std::string& host, uint16_t port, int timeoutMs = 3000);
  // Connects from this local IPv4 address from now on (tests use 127.0.0.2 as a second host).
  void SetLocalAddress(std::string address) { localAddress_ = std::move(address); }
  bool IsOpen() const { return socket_ != platform::kInvalidSocket; }
  void Close();
  // Bounds each blocking send (a client that never reads may fill the server's window too).
  void SetSendTimeout(uint32_t milliseconds);

  // Sends the bytes as one write.
  void Send(const Packet& packet);
  void SendRaw(const uint8_t* data, size_t size);

  // The next packet, framed by its header's length (at least 8); nullopt on time-out or close.
  // Like every wait below, it returns by its time-out even while packets keep arriving.
  std::optional<Packet> Receive(int timeoutMs);
  // The next packet whose command field is one of those given; other packets stay queued for
  // later Receive calls (within the backlog bounds). nullopt on time-out or close.
  std::optional<Packet> WaitFor(std::initializer_list<int16_t> commands, int timeoutMs);
  // True when the server closes the connection within the time (queued packets are dropped).
  bool WaitClosed(int timeoutMs);
  // Bytes received and not yet framed into packets, after waiting up to timeoutMs for more.
  std::vector<uint8_t> DrainRaw(int timeoutMs);

  // Logs in and waits for the answer: the login reply (type 1) or a refusal. On success keeps the
  // session key. Returns the answer's command (1 on success), or 0 when nothing came.
  int16_t Login(const std::string& name, const std::string& password, const std::string& version, int timeoutMs = 3000);
  uint16_t SessionKey() const { return sessionKey_; }

 private:
  // One wait of at most timeoutMs and one receive; complete packets go to the backlog. False on
  // time-out; marks closed on EOF.
  bool ReadMore(int timeoutMs);
  void FrameInput();
  std::optional<Packet> TakeFromBacklog(std::initializer_list<int16_t> commands);

  platform::SocketHandle socket_ = platform::kInvalidSocket;
  std::vector<uint8_t> input_;  // at most one incomplete packet and one receive
  std::deque<Packet> backlog_;
  size_t backlogBytes_ = 0;
  bool peerClosed_ = false;
  uint16_t sessionKey_ = 0;
  std::string localAddress_;
};

class VoiceClient {
 public:
  VoiceClient() : VoiceClient("127.0.0.1") {}  // binds 127.0.0.1 on a free port
  // Binds the given local IPv4 address ("0.0.0.0" to reach other hosts) on a free port.
  explicit VoiceClient(const std::string& bindAddress);
  ~VoiceClient();
  VoiceClient(const VoiceClient&) = delete;
  VoiceClient& operator=(const VoiceClient&) = delete;

  uint16_t LocalPort() const { return localPort_; }
  void SendTo(uint16_t port, const uint8_t* data, size_t size, const std::string& host = "127.0.0.1");
  void SendTo(uint16_t port, const std::vector<uint8_t>& d) { SendTo(port, d.data(), d.size()); }
  // The next datagram, nullopt on time-out.
  std::optional<std::vector<uint8_t>> Receive(int timeoutMs);

 private:
  platform::SocketHandle socket_ = platform::kInvalidSocket;
  uint16_t localPort_ = 0;
};

}  // namespace qm::client
