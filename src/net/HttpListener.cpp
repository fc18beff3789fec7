#include "net/HttpListener.hpp"

#include <algorithm>
#include <exception>
#include <thread>
#include <utility>

namespace qm {
namespace {

// Backlog of the listening socket: the loop accepts what is waiting on each pass, so this only
// bounds a burst between two passes; connects beyond it are dropped by the kernel and retried a
// second later, which a scraper would feel.
constexpr int kBacklog = 512;
// Accepts in one pass, so a flood of connects cannot starve the connections already held.
constexpr int kAcceptsPerPass = 64;
// After the answer, what the peer still sends is read and dropped for this long before the close,
// so the close does not reset the connection and take the unread answer with it.
constexpr uint32_t kDrainMs = 1000;
// Out of descriptors: accepting again at once would spin.
constexpr uint32_t kAcceptPauseMs = 100;
constexpr size_t kReadChunk = 4096;
// Reads of one connection in one pass, so a peer that keeps sending cannot hold the loop.
constexpr int kReadsPerPass = 4;

const char* StatusText(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 431:
      return "Request Header Fields Too Large";
    default:
      return "Internal Server Error";
  }
}

HttpResponse Refusal(int status) {
  HttpResponse r;
  r.status = status;
  r.body = std::string(StatusText(status)) + "\n";
  return r;
}

// The end of the request's head: a blank line, after CR LF or, from lenient clients, bare LF.
size_t HeadEnd(const std::string& in) {
  const size_t crlf = in.find("\r\n\r\n");
  const size_t lf = in.find("\n\n");
  return std::min(crlf == std::string::npos ? crlf : crlf + 4, lf == std::string::npos ? lf : lf + 2);
}

bool IsTokenChar(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '_'; }

int MillisecondsUntil(std::chrono::steady_clock::time_point when, std::chrono::steady_clock::time_point now) {
  if (when <= now) return 0;
  // Rounded up, so the wait does not end just before the deadline and spin.
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(when - now).count());
}

}  // namespace

HttpListener::HttpListener(std::vector<HttpRoute> routes, HttpLimits limits, std::function<void()> eachPass)
    : routes_(std::move(routes)), limits_(limits), eachPass_(std::move(eachPass)) {}

HttpListener::~HttpListener() { Stop(); }

void HttpListener::Start() {
  if (thread_.joinable()) return;
  listenSocket_ = binding_.Open(SOCK_STREAM, /*reuseAddress=*/true, kBacklog, boundPort_);
  platform::SetNonBlocking(listenSocket_, true);
  stopping_ = false;
  thread_ = std::thread([this] { Run(); });
}

void HttpListener::Stop() {
  if (thread_.joinable()) {
    stopping_ = true;
    waker_.Signal();
    thread_.join();
  }
  for (Connection& c : connections_) platform::CloseSocket(c.socket);
  connections_.clear();
  if (listenSocket_ != platform::kInvalidSocket) platform::CloseSocket(listenSocket_);
  listenSocket_ = platform::kInvalidSocket;
}

void HttpListener::Run() {
  std::vector<platform::SocketWait> waits;
  while (!stopping_) {
    if (eachPass_) {
      try {
        eachPass_();
      } catch (const std::exception&) {
        // Timed work is a courtesy to the pages; the listener goes on without it.
      }
    }
    Clock::time_point now = Clock::now();
    const bool accepting = now >= acceptPausedUntil_;
    Clock::time_point wake = accepting ? now + std::chrono::seconds(1) : acceptPausedUntil_;
    waits.assign(connections_.size() + 1, {});
    for (size_t i = 0; i < connections_.size(); ++i) {
      const Connection& c = connections_[i];
      waits[i].socket = c.socket;
      waits[i].wantRead = c.phase != Phase::kAnswer;
      waits[i].wantWrite = c.phase == Phase::kAnswer;
      wake = std::min(wake, c.deadline);
    }
    waits.back().socket = listenSocket_;
    waits.back().wantRead = accepting;
    const int r = platform::WaitSockets(waits.data(), waits.size(), &waker_, MillisecondsUntil(wake, now));
    if (stopping_) break;
    if (r < 0) {
      // Nothing a peer can cause; a pause keeps a lasting failure from spinning.
      std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptPauseMs));
      continue;
    }
    now = Clock::now();
    // Backwards, so a close (which moves the last entry into its place) skips nothing.
    for (size_t i = connections_.size(); i-- > 0;) {
      Connection& c = connections_[i];
      bool open = true;
      if (waits[i].ready & platform::kSocketReadable) open = Receive(c, now);
      if (open && c.phase == Phase::kAnswer && (waits[i].ready & platform::kSocketWritable)) open = Send(c, now);
      if (open && now >= c.deadline) {
        // Past its deadline: a request never completed, an answer never taken, or the drain over.
        if (c.phase != Phase::kDrain) expired_.fetch_add(1, std::memory_order_relaxed);
        open = false;
      }
      if (!open) Close(i);
    }
    if (accepting && (waits.back().ready & platform::kSocketReadable)) AcceptAll(now);
  }
}

void HttpListener::AcceptAll(Clock::time_point now) {
  for (int n = 0; n < kAcceptsPerPass; ++n) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const platform::SocketHandle s = ::accept(listenSocket_, reinterpret_cast<sockaddr*>(&peer), &length);
    if (s == platform::kInvalidSocket) {
      const int error = platform::LastSocketError();
      if (error == platform::kErrWouldBlock || error == platform::kErrInterrupted) return;
      // A connection that died in the backlog costs nothing; anything else (out of descriptors,
      // say) pauses accepting rather than spinning on a listening socket that stays readable.
      if (error == platform::kErrConnAborted || error == platform::kErrConnReset) continue;
      acceptPausedUntil_ = now + std::chrono::milliseconds(kAcceptPauseMs);
      return;
    }
    if (connections_.size() >= limits_.maxConnections && !MakeRoom()) {
      platform::CloseSocket(s);
      evicted_.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    platform::SetNonBlocking(s, true);
    Connection c;
    c.socket = s;
    c.opened = now;
    c.deadline = now + std::chrono::milliseconds(limits_.requestTimeoutMs);
    connections_.push_back(std::move(c));
  }
}

bool HttpListener::MakeRoom() {
  size_t victim = connections_.size();
  for (size_t i = 0; i < connections_.size(); ++i) {
    const Connection& c = connections_[i];
    if (c.phase == Phase::kAnswer) continue;
    if (victim == connections_.size()) {
      victim = i;
      continue;
    }
    const Connection& v = connections_[victim];
    // Answered ones first (only their drain is left), then the one waiting longest.
    const bool drainFirst = (c.phase == Phase::kDrain) != (v.phase == Phase::kDrain);
    if (drainFirst ? c.phase == Phase::kDrain : c.opened < v.opened) victim = i;
  }
  if (victim == connections_.size()) return false;
  if (connections_[victim].phase != Phase::kDrain) evicted_.fetch_add(1, std::memory_order_relaxed);
  Close(victim);
  return true;
}

bool HttpListener::Receive(Connection& c, Clock::time_point now) {
  char buffer[kReadChunk];
  for (int reads = 0; reads < kReadsPerPass; ++reads) {
    const auto n = ::recv(c.socket, buffer, static_cast<int>(sizeof buffer), 0);
    if (n == 0) return false;  // the peer is gone (or, draining, done)
    if (n < 0) {
      const int error = platform::LastSocketError();
      return error == platform::kErrWouldBlock || error == platform::kErrInterrupted;
    }
    if (c.phase != Phase::kRequest) continue;  // what follows the request is not read
    c.in.append(buffer, static_cast<size_t>(n));
    const size_t end = HeadEnd(c.in);
    if (end != std::string::npos && end <= limits_.maxRequestBytes) {
      Respond(c, Route(c.in.substr(0, end)), now);
      return Send(c, now);
    }
    if (c.in.size() >= limits_.maxRequestBytes) {
      Respond(c, Refusal(431), now);
      return Send(c, now);
    }
  }
  return true;
}

bool HttpListener::Send(Connection& c, Clock::time_point now) {
  while (c.sent < c.out.size()) {
    const auto n =
        ::send(c.socket, c.out.data() + c.sent, static_cast<int>(c.out.size() - c.sent), platform::kSendFlags);
    if (n < 0) {
      const int error = platform::LastSocketError();
      return error == platform::kErrWouldBlock || error == platform::kErrInterrupted;
    }
    c.sent += static_cast<size_t>(n);
  }
  platform::ShutdownSending(c.socket);
  c.phase = Phase::kDrain;
  c.deadline = now + std::chrono::milliseconds(kDrainMs);
  c.out.clear();
  c.out.shrink_to_fit();
  return true;
}

void HttpListener::Respond(Connection& c, const HttpResponse& response, Clock::time_point now) {
  std::string& out = c.out;
  out = "HTTP/1.1 " + std::to_string(response.status) + " " + StatusText(response.status) + "\r\n";
  out += "Content-Type: " + response.contentType + "\r\n";
  out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
  if (response.status == 405) out += "Allow: GET\r\n";
  out += "Connection: close\r\n\r\n";
  out += response.body;
  c.sent = 0;
  c.phase = Phase::kAnswer;
  c.deadline = now + std::chrono::milliseconds(limits_.answerTimeoutMs);
  c.in.clear();
  c.in.shrink_to_fit();
}

HttpResponse HttpListener::Route(const std::string& head) const {
  // Request line: METHOD SP target SP HTTP/1.x, then header lines of "name: value".
  const size_t lineEnd = head.find('\n');
  std::string line = head.substr(0, lineEnd);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const size_t sp1 = line.find(' ');
  const size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string::npos || line.find(' ', sp2 + 1) != std::string::npos) return Refusal(400);
  HttpRequest request;
  request.method = line.substr(0, sp1);
  const std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string version = line.substr(sp2 + 1);
  if (request.method.empty() || !std::all_of(request.method.begin(), request.method.end(), IsTokenChar) ||
      target.empty() || target[0] != '/' || (version != "HTTP/1.0" && version != "HTTP/1.1"))
    return Refusal(400);
  for (size_t at = lineEnd + 1; at < head.size();) {
    const size_t next = head.find('\n', at);
    const std::string header = head.substr(at, next - at);
    if (header != "\r" && !header.empty() && header.find(':') == std::string::npos) return Refusal(400);
    at = next == std::string::npos ? head.size() : next + 1;
  }
  request.path = target.substr(0, target.find('?'));
  for (const HttpRoute& route : routes_) {
    if (route.path != request.path) continue;
    if (request.method != "GET") return Refusal(405);
    try {
      return route.answer(request);
    } catch (const std::exception&) {
      return Refusal(500);
    }
  }
  return Refusal(404);
}

void HttpListener::Close(size_t index) {
  platform::CloseSocket(connections_[index].socket);
  if (index + 1 != connections_.size()) connections_[index] = std::move(connections_.back());
  connections_.pop_back();
}

}  // namespace qm
