#pragma once
// A small HTTP/1.0 client for the web status report: one request at a time, a fresh connection
// per request, redirects not followed, the response read no further than its headers. Every
// step is bounded in time so a silent web server cannot hold the calling thread.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "platform/Error.hpp"
#include "platform/Socket.hpp"
#include "platform/Waker.hpp"

namespace qm {

QM_DECLARE_ERROR(EHttpUrlError, QmError);           // a URL this client cannot use
QM_DECLARE_ERROR(EHttpMalformedResponse, QmError);  // the response head is not HTTP
QM_DECLARE_ERROR(EHttpAborted, QmError);            // Abort was called: the server is stopping

struct Url {
  std::string host;
  uint16_t port = 80;
  std::string pathAndQuery = "/";
};
// Parses "http://host[:port][/path][?query]" (scheme in any letter case; a fragment is dropped,
// spaces in the path are sent as %20). Throws EHttpUrlError for anything else.
Url ParseUrl(const std::string& url);

// The reader of a response head, apart so it can be tested and fuzzed without a socket.
// Feed it bytes; it reports when the status line and headers (after any interim 1xx answer) are
// done. Bytes after the head are ignored. A head longer than kMaxHeadBytes is Malformed, so a
// hostile server cannot make it buffer without end.
class HttpResponseHead {
 public:
  enum class State { kNeedMore, kDone, kMalformed };
  static constexpr size_t kMaxHeadBytes = 64 * 1024;
  State Feed(const char* data, size_t size);
  int Status() const { return status_; }
  const std::string& StatusLine() const { return statusLine_; }

 private:
  std::string pending_;
  std::string statusLine_;
  size_t headBytes_ = 0;
  int status_ = 0;
  bool inHeaders_ = false;
  State state_ = State::kNeedMore;
};

class HttpClient {
 public:
  static constexpr uint32_t kDefaultConnectTimeoutMs = 10000;
  static constexpr uint32_t kDefaultTotalTimeoutMs = 30000;

  ~HttpClient();
  void SetBoundIP(const std::string& ip) { boundIp_ = ip; }
  void SetTimeouts(uint32_t connectMs, uint32_t totalMs) {
    connectTimeoutMs_ = connectMs;
    totalTimeoutMs_ = totalMs;
  }
  // POSTs to the URL: request line "POST <path?query> HTTP/1.0", a Host header, default headers,
  // Content-Length only for a non-empty body. Returns the 2xx status; throws EHttpProtocolError for
  // any other status (3xx included), ETimeout when a bound ran out, EHttpUrlError for a bad URL,
  // EHttpMalformedResponse for an answer that is not HTTP, ESocketError otherwise.
  int Post(const std::string& url, const std::string& body);
  bool Connected() const { return socket_ != platform::kInvalidSocket; }
  void Disconnect();
  // From any thread: the request in progress, and every later one, ends at once with EHttpAborted,
  // so a stop never waits on a web server. Name resolution is the one step it cannot cut short.
  void Abort();
  bool Aborted() const { return aborted_; }

 private:
  using TimePoint = std::chrono::steady_clock::time_point;
  // The steps of Post. Connect resolves the host, opens the socket (bound to BoundIP when set) and
  // connects within the connect bound; the others run against the whole request's deadline.
  void Connect(const Url& target, TimePoint start, TimePoint deadline);
  void SendAll(const std::string& request, TimePoint deadline);
  HttpResponseHead ReadHead(const std::string& host, TimePoint deadline);

  // Waits for the socket as WaitReadable/WaitWritable do (1, 0 on time-out, -1 on error), and
  // throws EHttpAborted when Abort came first.
  int AwaitSocket(bool forWrite, int timeoutMs);
  // The same until the request's deadline; throws on a socket error and ETimeout at the deadline.
  void AwaitBefore(bool forWrite, TimePoint deadline);
  void ThrowIfAborted() const;

  std::string boundIp_;
  uint32_t connectTimeoutMs_ = kDefaultConnectTimeoutMs;
  uint32_t totalTimeoutMs_ = kDefaultTotalTimeoutMs;
  platform::SocketHandle socket_ = platform::kInvalidSocket;
  std::atomic<bool> aborted_{false};
  platform::SocketWaker waker_;
};

}  // namespace qm
