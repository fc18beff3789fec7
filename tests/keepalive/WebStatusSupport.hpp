#pragma once
// Shared pieces of the web status tests: the fake web server, a frozen clock, the test hooks
// undone at scope end, and helpers for clients, log lines and the expected request.
#include <memory>
#include <string>

#include "WebStatusWebServer.hpp"
#include "clients/ClientList.hpp"
#include "config/Settings.hpp"
#include "keepalive/TPingThread.hpp"
#include "keepalive/WebStatus.hpp"
#include "platform/Clock.hpp"
#include "platform/Version.hpp"
#include "support/TestServer.hpp"

namespace qm::test {

// Installed before the server starts, so StartTime and every later Now() read it.
struct FixedClock {
  TestClock clock{EncodeDateTime(2024, 5, 1, 12, 0, 0, 0), 1000};
  FixedClock() { SetClock(&clock); }
  ~FixedClock() { SetClock(nullptr); }
};

class TestHooks {
 public:
  TestHooks(uint32_t connectMs, uint32_t totalMs, std::string publicListUrl) {
    SetWebStatusTimeoutsForTests(connectMs, totalMs);
    SetPublicListUrlForTests(std::move(publicListUrl));
  }
  ~TestHooks() {
    SetWebStatusTimeoutsForTests(0, 0);
    SetPublicListUrlForTests("");
  }
  void SetPublicListUrl(std::string url) { SetPublicListUrlForTests(std::move(url)); }
};

// A listed client with a name and no connection, as the report sees it.
inline void AddClient(TQuillmootServer& server, const std::string& name) {
  auto client = std::make_shared<TServerClient>(nullptr, nullptr, nullptr);
  client->SetClientName(name);
  LockGuard g(server.Clients().Lock());
  server.Clients().Append(std::move(client));
}

// What a ping thread of the test's own needs to report on a started server, on the settings and
// the clock in force. Reports send no ping: the sender is a socket that never opens.
inline PingServices ReportServices(TQuillmootServer& server) {
  static UdpEndpoint neverOpened;
  static TrafficCounters uncounted;
  return PingServices{server.Clients(),   PingSender{neverOpened, uncounted},
                      Settings(),         Clock(),
                      server.StartTime(), server.ServerVersion()};
}

// The whole request the report makes: no body and so no Content-Length.
inline std::string ExpectedRequest(const FakeWebServer& web, const std::string& target) {
  return "POST " + target + " HTTP/1.0\r\n" + web.HostHeader() + "User-Agent: QuillmootServer/" + kProgramVersion +
         "\r\nAccept: */*\r\n\r\n";
}

// A loopback port with nothing listening on it (bound for a moment, then released).
inline uint16_t ClosedPort() {
  platform::SocketsStartup();
  const auto s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  platform::CloseSocket(s);
  return ntohs(a.sin_port);
}

}  // namespace qm::test
