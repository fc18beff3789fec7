// The HTTP listener's own bounds, which the metrics scrape tests cannot reach with a small page: a
// peer that never reads a long answer, and a page that fails.
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "Loopback.hpp"
#include "net/HttpListener.hpp"

namespace qm {
namespace {

std::string Get(uint16_t port, const std::string& path) {
  test::Socket s = test::ConnectTo(port);
  s.SendAll("GET " + path + " HTTP/1.0\r\n\r\n");
  return s.Receive(1 << 20);
}

TEST(HttpListener, APeerThatNeverReadsIsDroppedAtItsDeadlineAndHoldsUpNobody) {
  const std::string big(16 << 20, 'x');  // far more than the socket buffers on both sides hold
  HttpListener listener({{"/big",
                          [&](const HttpRequest&) {
                            return HttpResponse{200, "text/plain", big};
                          }},
                         {"/small",
                          [](const HttpRequest&) {
                            return HttpResponse{200, "text/plain", "ok"};
                          }},
                         {"/broken", [](const HttpRequest&) -> HttpResponse { throw std::runtime_error("no"); }}},
                        HttpLimits{8, 300, 300, 4096});
  listener.AddBinding("127.0.0.1", 0);
  listener.Start();
  const uint16_t port = listener.BoundPort();

  test::Socket stuck = test::ConnectTo(port);
  stuck.SendAll("GET /big HTTP/1.0\r\n\r\n");
  // Its answer waits in the loop, which answers others meanwhile.
  EXPECT_NE(Get(port, "/small").find("\r\n\r\nok"), std::string::npos);
  EXPECT_TRUE(test::Eventually([&] { return listener.ExpiredConnections() >= 1; }));

  // A page that fails is a 500 for its asker only.
  EXPECT_EQ(Get(port, "/broken").rfind("HTTP/1.1 500 ", 0), 0u);
  EXPECT_EQ(Get(port, "/small").rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  listener.Stop();
}

}  // namespace
}  // namespace qm
