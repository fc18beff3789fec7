#include <cstring>
#include <future>

#include <gtest/gtest.h>

#include "Loopback.hpp"
#include "net/HttpClient.hpp"
#include "platform/Error.hpp"

namespace qm {
namespace {

// A web server for one request: it reads the request head and any announced body, answers
// with `reply` and closes. With an empty reply it stays silent until the test ends.
class OneShotServer {
 public:
  explicit OneShotServer(std::string reply) : reply_(std::move(reply)) {
    request_ = std::async(std::launch::async, [this] {
      test::Socket peer = test::Accept(listener_);
      std::string request;
      while (request.find("\r\n\r\n") == std::string::npos) {
        std::string more = peer.Receive(1);
        if (more.empty()) return request;
        request += more;
      }
      if (size_t at = request.find("Content-Length: "); at != std::string::npos)
        request += peer.Receive(std::stoul(request.substr(at + 16)));
      if (reply_.empty()) {
        release_.get_future().wait_for(std::chrono::milliseconds(test::kTestWaitMs));
      } else {
        peer.SendAll(reply_);
      }
      return request;
    });
  }
  ~OneShotServer() {
    if (reply_.empty()) release_.set_value();
  }
  std::string Url(const std::string& target) const { return "http://127.0.0.1:" + std::to_string(Port()) + target; }
  uint16_t Port() const { return test::LocalPort(listener_.Get()); }
  std::string Request() { return request_.get(); }

 private:
  test::Socket listener_ = test::BoundSocket(SOCK_STREAM);
  std::string reply_;
  std::promise<void> release_;
  std::future<std::string> request_;
};

TEST(HttpClient, PostsTheExactRequestAndAcceptsA2xx) {
  OneShotServer server("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nthanks");
  HttpClient client;
  client.SetBoundIP("127.0.0.1");
  EXPECT_EQ(client.Post(server.Url("/webpost.php?serverport=8765&servername=My%20Server"), ""), 200);
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(server.Request(),
            "POST /webpost.php?serverport=8765&servername=My%20Server HTTP/1.0\r\n"
            "Host: 127.0.0.1:" +
                std::to_string(server.Port()) +
                "\r\n"
                "User-Agent: QuillmootServer/1.3.0\r\nAccept: */*\r\n\r\n");

  OneShotServer withBody("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 204 No Content\r\n\r\n");
  EXPECT_EQ(client.Post(withBody.Url(""), "a=1"), 204);
  const std::string request = withBody.Request();
  EXPECT_EQ(request.rfind("POST / HTTP/1.0\r\n", 0), 0u) << request;
  EXPECT_NE(request.find("\r\nContent-Length: 3\r\n\r\na=1"), std::string::npos) << request;
}

TEST(HttpClient, StatusesOutside2xxFailWithTheStatusLine) {
  const std::pair<const char*, int> cases[] = {
      {"HTTP/1.1 301 Moved Permanently\r\nLocation: http://127.0.0.1/\r\n\r\n", 301},
      {"HTTP/1.0 404 Not Found\r\n\r\n", 404},
      {"HTTP/1.0 100 Continue\r\n\r\nHTTP/1.0 500 Server Error\r\n\r\n", 500},
  };
  for (const auto& [reply, status] : cases) {
    OneShotServer server(reply);
    HttpClient client;
    try {
      client.Post(server.Url("/webpost.php"), "");
      ADD_FAILURE() << "status " << status << " taken as success";
    } catch (const EHttpProtocolError& e) {
      EXPECT_EQ(e.Status(), status);
      EXPECT_EQ(std::string(e.what()).substr(9, 3), std::to_string(status)) << e.what();
    }
  }
}

TEST(HttpClient, RefusedSilentAndNonHttpServersFailCleanly) {
  HttpClient client;
  uint16_t closedPort = test::LocalPort(test::BoundSocket(SOCK_STREAM).Get());
  try {
    client.Post("http://127.0.0.1:" + std::to_string(closedPort) + "/", "");
    FAIL() << "post to a closed port succeeded";
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.Code(), platform::kErrConnRefused);
  }

  OneShotServer silent("");
  client.SetTimeouts(300, 300);
  try {
    client.Post(silent.Url("/"), "");
    FAIL() << "a silent server answered";
  } catch (const ETimeout& e) {
    EXPECT_STREQ(e.what(), "HTTP request timed out after 300 ms");
  }
  EXPECT_FALSE(client.Connected());

  for (const char* reply : {"SSH-2.0-x\r\n\r\n", "HTTP/1.0 200 OK\r\n"}) {
    OneShotServer server(reply);
    EXPECT_THROW(client.Post(server.Url("/"), ""), EHttpMalformedResponse) << reply;
  }
}

TEST(HttpClient, ParseUrlTakesHostPortAndTargetAndRefusesTheRest) {
  Url u = ParseUrl("HTTP://Example.ORG:8080/a/b.php?x=1?y=2#frag");
  EXPECT_EQ(u.host, "Example.ORG");
  EXPECT_EQ(u.port, 8080);
  EXPECT_EQ(u.pathAndQuery, "/a/b.php?x=1?y=2");
  u = ParseUrl("http://host?q=a b");
  EXPECT_EQ(u.port, 80);
  EXPECT_EQ(u.pathAndQuery, "/?q=a%20b");
  u = ParseUrl("http://host:65535/x");  // the highest port there is
  EXPECT_EQ(u.port, 65535);
  EXPECT_EQ(u.pathAndQuery, "/x");
  for (const char* bad : {"", "http://", "https://host/", "host/path", "http://:80/", "http://host:/", "http://host:0/",
                          "http://host:65536/", "http://host:8o/", "http://us@host/", "http://host/a\r\nX-Evil: 1"})
    EXPECT_THROW(ParseUrl(bad), EHttpUrlError) << bad;
}

TEST(HttpResponseHead, FedByteByByteItIsDoneExactlyAtTheEndOfTheHead) {
  const std::string head = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.0 204 No Content\r\nServer: x\r\n\r\n";
  const std::string bytes = head + "BODY";
  HttpResponseHead reader;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto expected = i + 1 < head.size() ? HttpResponseHead::State::kNeedMore : HttpResponseHead::State::kDone;
    ASSERT_EQ(reader.Feed(&bytes[i], 1), expected) << "at byte " << i;
  }
  EXPECT_EQ(reader.Status(), 204);
  EXPECT_EQ(reader.StatusLine(), "HTTP/1.0 204 No Content");
}

TEST(HttpResponseHead, MalformedOrEndlessHeadsAreRefused) {
  for (const char* bad : {"HTTP/1.0 20 OK\n", "HTP/1.0 200 OK\n", "HTTP/1.0 200OK\n", "HTTP/ 200\n", "HTTP/1.0 099 x\n",
                          "\n", "HTTP/1.0 200 OK\r\nNoColon\r\n"}) {
    HttpResponseHead reader;
    EXPECT_EQ(reader.Feed(bad, std::strlen(bad)), HttpResponseHead::State::kMalformed) << bad;
    EXPECT_EQ(reader.Feed("\r\n\r\n", 4), HttpResponseHead::State::kMalformed) << bad;
  }
  HttpResponseHead endless;
  const std::string header = "X-Filler: " + std::string(1000, 'f') + "\r\n";
  auto state = endless.Feed("HTTP/1.0 200 OK\r\n", 17);
  for (int i = 0; i < 100 && state == HttpResponseHead::State::kNeedMore; ++i)
    state = endless.Feed(header.data(), header.size());
  EXPECT_EQ(state, HttpResponseHead::State::kMalformed);
}

}  // namespace
}  // namespace qm
