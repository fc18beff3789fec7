#include "client/QmClient.hpp"

#include <chrono>
#include <cstring>

#include "platform/Clock.hpp"
#include "platform/Error.hpp"

namespace qm::client {
namespace {

sockaddr_in MakeAddress(const std::string& host, uint16_t port) {
  sockaddr_in a = platform::ToSocketAddress(0, port);
  if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) == 1) return a;
  uint32_t ip = 0;
  if (platform::ResolveIPv4(host, ip) != 0) throw QmError("Unable to resolve host " + host);
  return platform::ToSocketAddress(ip, port);
}

[[noreturn]] void ThrowSocket(const char* what) {
  const int code = platform::LastSocketError();
  throw ESocketError(code, std::string(what) + ": " + platform::SocketErrorText(code));
}

}  // namespace

ControlClient::~ControlClient() { Close(); }

void ControlClient::Close() {
  if (socket_ != platform::kInvalidSocket) {
    platform::CloseSocket(socket_);
    socket_ = platform::kInvalidSocket;
  }
}

void ControlClient::Connect(const std::string& host, uint16_t port, int timeoutMs) {
  platform::SocketsStartup();
  Close();
  input_.clear();
  backlog_.clear();
  backlogBytes_ = 0;
  peerClosed_ = false;
  const sockaddr_in a = MakeAddress(host, port);
  socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (socket_ == platform::kInvalidSocket) ThrowSocket("socket");
  if (!localAddress_.empty()) {
    const sockaddr_in local = MakeAddress(localAddress_, 0);
    if (::bind(socket_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      Close();
      ThrowSocket("bind");
    }
  }
  platform::SetNonBlocking(socket_, true);
  if (::connect(socket_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    const int code = platform::LastSocketError();
    if (code != platform::kErrWouldBlock && code != platform::kErrInProgress) {
      Close();
      throw ESocketError(code, "connect: " + platform::SocketErrorText(code));
    }
    if (platform::WaitWritable(socket_, timeoutMs) != 1) {
      Close();
      throw ETimeout("connect to " + host + ":" + std::to_string(port) + " timed out");
    }
    const int err = platform::PendingSocketError(socket_);
    if (err != 0) {
      Close();
      throw ESocketError(
          err, "connect to " + host + ":" + std::to_string(port) + " failed: " + platform::SocketErrorText(err));
    }
  }
  platform::SetNonBlocking(socket_, false);
  int one = 1;
  setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

void ControlClient::SetSendTimeout(uint32_t milliseconds) {
  if (socket_ != platform::kInvalidSocket) platform::SetSendTimeout(socket_, milliseconds);
}

void ControlClient::SendRaw(const uint8_t* data, size_t size) {
  size_t sent = 0;
  while (sent < size) {
    const auto n = ::send(socket_, reinterpret_cast<const char*>(data + sent), static_cast<int>(size - sent),
                          platform::kSendFlags);
    if (n <= 0) ThrowSocket("send");
    sent += static_cast<size_t>(n);
  }
}

void ControlClient::Send(const Packet& packet) { SendRaw(packet.data(), packet.size()); }

bool ControlClient::ReadMore(int timeoutMs) {
  if (socket_ == platform::kInvalidSocket || peerClosed_) return false;
  if (platform::WaitReadable(socket_, timeoutMs) != 1) return false;
  uint8_t buf[8192];
  const auto n = ::recv(socket_, reinterpret_cast<char*>(buf), sizeof buf, 0);
  if (n <= 0) {
    peerClosed_ = true;
    return false;
  }
  input_.insert(input_.end(), buf, buf + n);
  FrameInput();
  return true;
}

void ControlClient::FrameInput() {
  size_t at = 0;
  while (input_.size() - at >= kHeaderSize) {
    size_t length = ParseHeader(input_.data() + at, input_.size() - at).length;
    if (length < kHeaderSize) length = kHeaderSize;  // a malformed length still makes progress
    if (input_.size() - at < length) break;
    backlog_.emplace_back(input_.begin() + static_cast<std::ptrdiff_t>(at),
                          input_.begin() + static_cast<std::ptrdiff_t>(at + length));
    backlogBytes_ += length;
    at += length;
    while (backlog_.size() > kMaxBacklogPackets || backlogBytes_ > kMaxBacklogBytes) {
      backlogBytes_ -= backlog_.front().size();
      backlog_.pop_front();
    }
  }
  input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(at));
}

std::optional<Packet> ControlClient::TakeFromBacklog(std::initializer_list<int16_t> commands) {
  for (auto it = backlog_.begin(); it != backlog_.end(); ++it) {
    bool wanted = commands.size() == 0;
    const int16_t c = ParseHeader(it->data(), it->size()).command;
    for (int16_t want : commands) wanted = wanted || want == c;
    if (!wanted) continue;
    Packet p = std::move(*it);
    backlog_.erase(it);
    backlogBytes_ -= p.size();
    return p;
  }
  return std::nullopt;
}

std::optional<Packet> ControlClient::Receive(int timeoutMs) { return WaitFor({}, timeoutMs); }

std::optional<Packet> ControlClient::WaitFor(std::initializer_list<int16_t> commands, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (auto p = TakeFromBacklog(commands)) return p;
    if (peerClosed_) return std::nullopt;
    const int left = MillisecondsLeft(deadline);
    ReadMore(left);
    // Past the deadline a last look at what that read brought, and no more: a server that keeps
    // sending cannot hold the wait open.
    if (left == 0) return TakeFromBacklog(commands);
  }
}

bool ControlClient::WaitClosed(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!peerClosed_) {
    const int left = MillisecondsLeft(deadline);
    ReadMore(left);
    if (left == 0) break;
  }
  return peerClosed_;
}

std::vector<uint8_t> ControlClient::DrainRaw(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!peerClosed_ && MillisecondsLeft(deadline) > 0) ReadMore(MillisecondsLeft(deadline));
  std::vector<uint8_t> all;
  for (auto& p : backlog_) all.insert(all.end(), p.begin(), p.end());
  backlog_.clear();
  backlogBytes_ = 0;
  all.insert(all.end(), input_.begin(), input_.end());
  input_.clear();
  return all;
}

int16_t ControlClient::Login(const std::string& name, const std::string& password, const std::string& version,
                             int timeoutMs) {
  Send(ComposeLogin(LoginRequest{name, password, version}));
  auto reply = WaitFor({kPktLoginAccepted, kReplyServerFull, kReplyWrongPassword}, timeoutMs);
  if (!reply) return 0;
  const PacketHeader h = ParseHeader(reply->data(), reply->size());
  if (h.command == kPktLoginAccepted) sessionKey_ = h.sessionKey;
  return h.command;
}

VoiceClient::VoiceClient(const std::string& bindAddress) {
  platform::SocketsStartup();
  socket_ = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (socket_ == platform::kInvalidSocket) ThrowSocket("socket");
  sockaddr_in a = MakeAddress(bindAddress, 0);
  if (::bind(socket_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) ThrowSocket("bind");
  socklen_t len = sizeof a;
  getsockname(socket_, reinterpret_cast<sockaddr*>(&a), &len);
  localPort_ = platform::PortOf(a);
}

VoiceClient::~VoiceClient() {
  if (socket_ != platform::kInvalidSocket) platform::CloseSocket(socket_);
}

void VoiceClient::SendTo(uint16_t port, const uint8_t* data, size_t size, const std::string& host) {
  const sockaddr_in a = MakeAddress(host, port);
  if (::sendto(socket_, reinterpret_cast<const char*>(data), static_cast<int>(size), 0,
               reinterpret_cast<const sockaddr*>(&a), sizeof a) < 0)
    ThrowSocket("sendto");
}

std::optional<std::vector<uint8_t>> VoiceClient::Receive(int timeoutMs) {
  if (platform::WaitReadable(socket_, timeoutMs) != 1) return std::nullopt;
  std::vector<uint8_t> buf(65536);
  const auto n = ::recv(socket_, reinterpret_cast<char*>(buf.data()), static_cast<int>(buf.size()), 0);
  if (n < 0) return std::nullopt;
  buf.resize(static_cast<size_t>(n));
  return buf;
}

}  // namespace qm::client
