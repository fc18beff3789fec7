#include "net/HttpClient.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "net/NetAddress.hpp"
#include "net/SocketError.hpp"
#include "platform/Ascii.hpp"
#include "platform/Clock.hpp"
#include "platform/Error.hpp"
#include "platform/Version.hpp"

namespace qm {
namespace {

const char* const kUserAgent = "QuillmootServer/" QM_VERSION_TEXT;

bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

Url ParseUrl(const std::string& url) {
  if (!StartsWithNoCase(url, "http://")) throw EHttpUrlError("Not an http URL: " + url);
  const std::string rest = url.substr(7);
  const size_t hostEnd = rest.find_first_of(":/?#");
  Url result;
  result.host = rest.substr(0, hostEnd);
  if (result.host.empty()) throw EHttpUrlError("No host in URL: " + url);
  for (char c : result.host)
    if (IsControl(c) || c == ' ' || c == '@' || c == '[' || c == ']') throw EHttpUrlError("Bad host in URL: " + url);

  size_t pos = hostEnd == std::string::npos ? rest.size() : hostEnd;
  if (pos < rest.size() && rest[pos] == ':') {
    ++pos;
    uint32_t port = 0;
    size_t digits = 0;
    while (pos < rest.size() && IsDigit(rest[pos]) && digits < 6) {
      port = port * 10 + static_cast<uint32_t>(rest[pos] - '0');
      ++pos;
      ++digits;
    }
    if (digits == 0 || port == 0 || port > 0xFFFF) throw EHttpUrlError("Bad port in URL: " + url);
    result.port = static_cast<uint16_t>(port);
  }
  const size_t fragment = rest.find('#', pos);
  const std::string path = rest.substr(pos, fragment == std::string::npos ? std::string::npos : fragment - pos);
  if (!path.empty() && path[0] != '/' && path[0] != '?') throw EHttpUrlError("Bad port in URL: " + url);
  result.pathAndQuery.clear();
  if (path.empty() || path[0] == '?') result.pathAndQuery += '/';
  for (char c : path) {
    // The request line must stay one line; a space would end the target early.
    if (IsControl(c)) throw EHttpUrlError("Control character in URL");
    if (c == ' ') {
      result.pathAndQuery += "%20";
    } else {
      result.pathAndQuery += c;
    }
  }
  return result;
}

HttpResponseHead::State HttpResponseHead::Feed(const char* data, size_t size) {
  while (state_ == State::kNeedMore && size > 0) {
    const void* newline = std::memchr(data, '\n', size);
    const size_t take = newline ? static_cast<size_t>(static_cast<const char*>(newline) - data) + 1 : size;
    headBytes_ += take;
    if (headBytes_ > kMaxHeadBytes) return state_ = State::kMalformed;
    pending_.append(data, take);
    data += take;
    size -= take;
    if (!newline) break;

    std::string line;
    line.swap(pending_);
    line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();

    if (!inHeaders_) {
      // "HTTP/<major>.<minor> <3 digits>[ <reason>]"
      size_t i = 5;
      if (line.compare(0, 5, "HTTP/") != 0 || i >= line.size() || !IsDigit(line[i])) return state_ = State::kMalformed;
      while (i < line.size() && IsDigit(line[i])) ++i;
      if (i >= line.size() || line[i] != '.') return state_ = State::kMalformed;
      ++i;
      if (i >= line.size() || !IsDigit(line[i])) return state_ = State::kMalformed;
      while (i < line.size() && IsDigit(line[i])) ++i;
      if (i + 4 > line.size() || line[i] != ' ' || !IsDigit(line[i + 1]) || !IsDigit(line[i + 2]) ||
          !IsDigit(line[i + 3]) || (i + 4 < line.size() && line[i + 4] != ' '))
        return state_ = State::kMalformed;
      status_ = (line[i + 1] - '0') * 100 + (line[i + 2] - '0') * 10 + (line[i + 3] - '0');
      if (status_ < 100) return state_ = State::kMalformed;
      statusLine_ = std::move(line);
      inHeaders_ = true;
    } else if (line.empty()) {
      // The head of an interim 1xx answer ends here; the real status line follows.
      if (status_ < 200) {
        inHeaders_ = false;
      } else {
        state_ = State::kDone;
      }
    } else if (line.find(':') == std::string::npos && line[0] != ' ' && line[0] != '\t') {
      return state_ = State::kMalformed;
    }
  }
  return state_;
}

HttpClient::~HttpClient() { Disconnect(); }

void HttpClient::Disconnect() {
  if (socket_ == platform::kInvalidSocket) return;
  platform::CloseSocket(socket_);
  socket_ = platform::kInvalidSocket;
}

namespace {

[[noreturn]] void ThrowTimedOut(uint32_t totalMs) {
  throw ETimeout("HTTP request timed out after " + std::to_string(totalMs) + " ms");
}

std::string ComposeRequest(const Url& target, const std::string& body) {
  std::string request = "POST " + target.pathAndQuery + " HTTP/1.0\r\n";
  // The port goes into Host only when it is not the default, as browsers write it.
  request += "Host: " + target.host;
  if (target.port != 80) request.append(":").append(std::to_string(target.port));
  request += "\r\n";
  request += std::string("User-Agent: ") + kUserAgent + "\r\n";
  request += "Accept: */*\r\n";
  if (!body.empty()) request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  request += "\r\n";
  request += body;
  return request;
}

}  // namespace

void HttpClient::Abort() {
  aborted_ = true;
  waker_.Signal();
}

void HttpClient::ThrowIfAborted() const {
  if (aborted_) throw EHttpAborted("HTTP request aborted: the server is stopping");
}

int HttpClient::AwaitSocket(bool forWrite, int timeoutMs) {
  ThrowIfAborted();
  const int ready = platform::WaitSocket(socket_, !forWrite, forWrite, &waker_, timeoutMs);
  ThrowIfAborted();
  if (ready < 0) return -1;
  // A failure on the socket shows as readable; the caller's next step reports it.
  return (ready & (platform::kSocketReadable | platform::kSocketWritable)) ? 1 : 0;
}

void HttpClient::AwaitBefore(bool forWrite, TimePoint deadline) {
  const int ready = AwaitSocket(forWrite, MillisecondsLeft(deadline));
  if (ready < 0) ThrowLastSocketError();
  if (ready == 0) ThrowTimedOut(totalTimeoutMs_);
}

int HttpClient::Post(const std::string& url, const std::string& body) {
  Disconnect();
  ThrowIfAborted();
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::milliseconds(totalTimeoutMs_);
  const Url target = ParseUrl(url);
  // The body of the answer is of no interest: the connection ends with the request, however it ends.
  struct Closer {
    HttpClient& client;
    ~Closer() { client.Disconnect(); }
  } closer{*this};

  Connect(target, start, deadline);
  SendAll(ComposeRequest(target, body), deadline);
  const HttpResponseHead head = ReadHead(target.host, deadline);
  if (head.Status() < 200 || head.Status() > 299) throw EHttpProtocolError(head.Status(), head.StatusLine());
  return head.Status();
}

void HttpClient::Connect(const Url& target, TimePoint start, TimePoint deadline) {
  platform::SocketsStartup();
  // Name resolution runs under the system resolver's own time limits.
  NetAddress host;
  if (int code = NetAddress::Resolve(target.host, target.port, host); code != 0) ThrowSocketError(code);

  socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (socket_ == platform::kInvalidSocket) ThrowLastSocketError();
  ThrowIfAborted();  // the resolver may have taken a while
  if (!boundIp_.empty()) {
    NetAddress local;
    if (!NetAddress::FromDotted(boundIp_, 0, local)) ThrowSocketError(platform::kErrAddrNotAvail);
    const sockaddr_in from = local.ToSockaddr();
    if (::bind(socket_, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) ThrowLastSocketError();
  }

  // Non-blocking from here on, so every wait runs against the deadlines.
  if (!platform::SetNonBlocking(socket_, true)) ThrowLastSocketError();
  const sockaddr_in to = host.ToSockaddr();
  if (::connect(socket_, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return;
  const int code = platform::LastSocketError();
  if (code != platform::kErrWouldBlock && code != platform::kErrInProgress) ThrowSocketError(code);
  const auto connectDeadline = std::min(deadline, start + std::chrono::milliseconds(connectTimeoutMs_));
  const int ready = AwaitSocket(true, MillisecondsLeft(connectDeadline));
  if (ready < 0) ThrowLastSocketError();
  if (ready == 0) {
    if (connectDeadline == deadline) ThrowTimedOut(totalTimeoutMs_);
    throw ETimeout("HTTP connect timed out after " + std::to_string(connectTimeoutMs_) + " ms");
  }
  if (int pending = platform::PendingSocketError(socket_); pending != 0) ThrowSocketError(pending);
}

void HttpClient::SendAll(const std::string& request, TimePoint deadline) {
  size_t sent = 0;
  while (sent < request.size()) {
    auto n = ::send(socket_, request.data() + sent, static_cast<int>(request.size() - sent), platform::kSendFlags);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    const int code = n == 0 ? platform::kErrConnAborted : platform::LastSocketError();
    if (code != platform::kErrWouldBlock && code != platform::kErrInterrupted) ThrowSocketError(code);
    AwaitBefore(true, deadline);
  }
}

HttpResponseHead HttpClient::ReadHead(const std::string& host, TimePoint deadline) {
  HttpResponseHead head;
  char buffer[4096];
  for (;;) {
    auto n = ::recv(socket_, buffer, static_cast<int>(sizeof buffer), 0);
    if (n > 0) {
      const auto state = head.Feed(buffer, static_cast<size_t>(n));
      if (state == HttpResponseHead::State::kDone) return head;
      if (state == HttpResponseHead::State::kMalformed)
        throw EHttpMalformedResponse("Malformed HTTP response from " + host);
      continue;
    }
    if (n == 0) throw EHttpMalformedResponse("HTTP connection closed before the response head was complete");
    const int code = platform::LastSocketError();
    if (code != platform::kErrWouldBlock && code != platform::kErrInterrupted) ThrowSocketError(code);
    AwaitBefore(false, deadline);
  }
}

}  // namespace qm
