// The report of a ping thread that is not started, driven by hand against a fake web server: what
// goes out, where, and what each failure leaves in the log.
#include <cctype>
#include <chrono>
#include <map>
#include <optional>
#include <string_view>

#include <gtest/gtest.h>

#include "WebStatusSupport.hpp"
#include "keepalive/TPingThread.hpp"

namespace qm {
namespace {

using test::CountLines;
using test::ExpectedRequest;
using test::FakeWebServer;
using test::FixedClock;
using test::TestHooks;
using test::TestServer;

const char* const kQuillmootPrefix = "in: TPingThread.PostData (Quillmoot) exception ";
const char* const kUserUrlPrefix = "in: TPingThread.PostData (UserUrl) exception ";

TEST(WebStatusPost, WorkedExampleGoesOutExactly) {
  FixedClock clock;
  FakeWebServer web;
  TestServer t({{"General", "Servername", "My Server"}, {"WebStatus", "WebPostURL", web.Url("/status")}});
  ASSERT_TRUE(t.Started()) << t.Server().StartupError();
  test::AddClient(t.Server(), "Big Bob");
  test::AddClient(t.Server(), "x,y");
  clock.clock.AdvanceMs(1234);

  TPingThread report(test::ReportServices(t.Server()));
  report.UpdateStats();

  ASSERT_EQ(web.Requests().size(), 1u);
  EXPECT_EQ(web.Requests()[0], ExpectedRequest(web, "/status?serverport=" + std::to_string(t.TcpPort()) +
                                                        "&servername=My%20Server&clients=2&maxclients=16"
                                                        "&serverversion=v1.2.2%20Win32%20Service&uptime=1234"
                                                        "&link=http://www.example.org/&user=Big%20Bob,xy,"));
  EXPECT_EQ(CountLines(t, "TPingThread."), 0u);
}

// The web server's side, strict: a raw byte a query may not hold, or that a parser would take for
// a separator, a space or a fragment, fails, and so does a repeated field; %XX is decoded.
std::optional<std::map<std::string, std::string>> ParseQuery(const std::string& query) {
  const auto hex = [&](size_t i) { return i < query.size() && std::isxdigit(static_cast<unsigned char>(query[i])); };
  std::map<std::string, std::string> fields;
  std::string field[2];
  int part = 0;
  for (size_t i = 0; i <= query.size(); ++i) {
    const char c = i < query.size() ? query[i] : '&';
    if (c == '&') {
      if (!fields.emplace(field[0], field[1]).second) return std::nullopt;
      field[0].clear();
      field[1].clear();
      part = 0;
    } else if (c == '=' && part == 0) {
      part = 1;
    } else if (c == '%' && hex(i + 1) && hex(i + 2)) {
      field[part] += static_cast<char>(std::stoi(query.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else if (std::isalnum(static_cast<unsigned char>(c)) ||
               std::string_view("-._~!$'()*,;:@/?").find(c) != std::string_view::npos) {
      field[part] += c;
    } else {
      return std::nullopt;
    }
  }
  return fields;
}

TEST(WebStatusPost, NamesCannotCutForgeOrStopTheReport) {
  FixedClock clock;
  FakeWebServer web;
  TestServer t({{"General", "Servername", "Clan #1 & co = 100% +?"},
                {"WebStatus", "WebPostLinkUrl", "http://link.example/about us"},
                {"WebStatus", "WebPostURL", web.Url("/s")}});
  ASSERT_TRUE(t.Started()) << t.Server().StartupError();
  const std::string controlName("bell\x07 nul\0 \xC3\xA9", 13);
  test::AddClient(t.Server(), "x&servername=PWNED&public=1");
  test::AddClient(t.Server(), controlName);
  test::AddClient(t.Server(), "A&B #1 50%+");

  TPingThread(test::ReportServices(t.Server())).UpdateStats();

  ASSERT_EQ(web.Requests().size(), 1u);
  const std::string request = web.Requests()[0];
  const size_t from = request.find("/s?") + 3, to = request.find(" HTTP/1.0\r\n");
  ASSERT_LT(from, to);
  // As the bytes go: a link reads as it is, a name's "&", "#", "%" and "+" are escaped.
  EXPECT_NE(request.find("&link=http://link.example/about%20us&"), std::string::npos) << request;
  EXPECT_NE(request.find(",A%26B%20%231%2050%25%2B,"), std::string::npos) << request;
  const auto fields = ParseQuery(request.substr(from, to - from));
  ASSERT_TRUE(fields) << request;
  EXPECT_EQ(fields->size(), 8u);  // nothing added: no "public", no second "servername"
  EXPECT_EQ(fields->at("servername"), "Clan #1 & co = 100% +?");
  EXPECT_EQ(fields->at("serverversion"), "v1.2.2 Win32 Service");
  EXPECT_EQ(fields->at("link"), "http://link.example/about us");
  EXPECT_EQ(fields->at("clients"), "3");
  EXPECT_EQ(fields->at("user"), "x&servername=PWNED&public=1," + controlName + ",A&B #1 50%+,");
  EXPECT_EQ(CountLines(t, "TPingThread."), 0u);
}

TEST(WebStatusPost, FlagsAndAnAddressThatAlreadyHoldsAQuery) {
  FixedClock clock;
  FakeWebServer web;
  TestServer t({{"Passwords", "ServerPassword", "secret"},
                {"General", "Servername", "A&B"},
                {"General", "MaxClients", "5"},
                {"WebStatus", "QuillmootSite_DisplayInWebList", "1"},
                {"WebStatus", "WebPostLinkUrl", "http://link.example.net/x y"},
                {"WebStatus", "WebPostURL", web.Url("/s.php?id=7")}});
  ASSERT_TRUE(t.Started()) << t.Server().StartupError();

  TPingThread report(test::ReportServices(t.Server()));
  report.UpdateStats();

  ASSERT_EQ(web.Requests().size(), 1u);
  // A second "?" before the query; the "&" in the name is a value byte, not a separator.
  EXPECT_EQ(web.Requests()[0],
            ExpectedRequest(web, "/s.php?id=7?serverport=" + std::to_string(t.TcpPort()) +
                                     "&servername=A%26B&clients=0&maxclients=5"
                                     "&serverversion=v1.2.2%20Win32%20Service&passwordprotected=1&public=1"
                                     "&uptime=0&link=http://link.example.net/x%20y&user="));
}

TEST(WebStatusPost, TheSchemeAloneSendsNoSecondRequest) {
  for (const char* value : {"", "HTTP://", "hTtP://"}) {
    FakeWebServer web;
    TestHooks hooks(0, 0, web.Url("/webpost.php?"));
    TestServer t({{"WebStatus", "WebPostURL", value}});
    ASSERT_TRUE(t.Started()) << t.Server().StartupError();
    TPingThread report(test::ReportServices(t.Server()));

    report.PostData("a=1 2");
    EXPECT_TRUE(web.Requests().empty()) << value;

    std::atomic_ref<bool>(Settings().QuillmootSite_Active).store(true);
    report.PostData("a=1 2");
    ASSERT_EQ(web.Requests().size(), 1u) << value;
    EXPECT_EQ(web.Requests()[0], ExpectedRequest(web, "/webpost.php?a=1%202"));
    EXPECT_EQ(CountLines(t, "TPingThread."), 0u) << value;
  }
}

TEST(WebStatusPost, PublicListFirstThenTheOperatorsAddress) {
  FakeWebServer web;
  TestHooks hooks(0, 0, web.Url("/webpost.php?"));
  TestServer t({{"WebStatus", "QuillmootSite_Active", "1"}, {"WebStatus", "WebPostURL", web.Url("/status")}});
  ASSERT_TRUE(t.Started()) << t.Server().StartupError();
  TPingThread report(test::ReportServices(t.Server()));

  report.PostData("q=1");
  const auto requests = web.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0], ExpectedRequest(web, "/webpost.php?q=1"));
  EXPECT_EQ(requests[1], ExpectedRequest(web, "/status?q=1"));
  EXPECT_EQ(CountLines(t, "TPingThread."), 0u);
}

TEST(WebStatusPost, EachFailureIsLoggedWithItsOwnPrefixAndTheOtherRequestStillGoes) {
  FakeWebServer list("HTTP/1.0 404 Not Found\r\n\r\n");
  FakeWebServer own("HTTP/1.1 301 Moved Permanently\r\nLocation: http://127.0.0.1/\r\n\r\n");
  TestHooks hooks(0, 0, list.Url("/webpost.php?"));
  TestServer t({{"WebStatus", "QuillmootSite_Active", "1"}, {"WebStatus", "WebPostURL", own.Url("/status")}});
  ASSERT_TRUE(t.Started()) << t.Server().StartupError();
  TPingThread report(test::ReportServices(t.Server()));

  report.PostData("q=1");
  EXPECT_EQ(list.Requests().size(), 1u);
  EXPECT_EQ(own.Requests().size(), 1u);
  EXPECT_EQ(CountLines(t, std::string(kQuillmootPrefix) + "EHttpProtocolError: HTTP/1.0 404 Not Found"), 1u);
  EXPECT_EQ(CountLines(t, std::string(kUserUrlPrefix) + "EHttpProtocolError: HTTP/1.1 301 Moved Permanently"), 1u);

  // A refused connection fails the same way; a 200 afterwards is silent.
  own.SetReply("HTTP/1.0 200 OK\r\n\r\n");
  hooks.SetPublicListUrl("http://127.0.0.1:" + std::to_string(test::ClosedPort()) + "/webpost.php?");
  report.PostData("q=2");
  EXPECT_EQ(own.Requests().size(), 2u);
  EXPECT_EQ(CountLines(t, std::string(kQuillmootPrefix) + "ESocketError: "), 1u);
  EXPECT_EQ(CountLines(t, "TPingThread.PostData"), 3u);
  EXPECT_EQ(CountLines(t, "in: TPingThread.PostData exception"), 0u);
}

TEST(WebStatusPost, ASilentWebServerCostsOnlyTheTimeLimit) {
  FakeWebServer silent("");
  TestHooks hooks(200, 400, silent.Url("/webpost.php?"));
  TestServer t({{"WebStatus", "QuillmootSite_Active", "1"}, {"WebStatus", "WebPostURL", silent.Url("/status")}});
  ASSERT_TRUE(t.Started()) << t.Server().StartupError();
  TPingThread report(test::ReportServices(t.Server()));

  const auto start = std::chrono::steady_clock::now();
  report.PostData("q=1");
  const auto took = std::chrono::steady_clock::now() - start;
  // Both requests reached the server and each gave up at its limit, not at the server's whim.
  EXPECT_TRUE(silent.WaitForRequests(2, 1000));
  EXPECT_LT(took, std::chrono::seconds(5));
  EXPECT_EQ(CountLines(t, std::string(kQuillmootPrefix) + "ETimeout: HTTP request timed out after 400 ms"), 1u);
  EXPECT_EQ(CountLines(t, std::string(kUserUrlPrefix) + "ETimeout: HTTP request timed out after 400 ms"), 1u);
}

TEST(WebStatusPost, RequestsLeaveFromTheConfiguredAddress) {
  FakeWebServer web;
  {
    TestServer t({{"WebStatus", "WebPostURL", web.Url("/status")}});
    ASSERT_TRUE(t.Started()) << t.Server().StartupError();
    TPingThread(test::ReportServices(t.Server())).PostData("q=1");
  }
  {
    // Any 127/8 address is local on the test machines; this one shows the binding took effect.
    TestServer t({{"Networking", "IP", "127.0.0.2"}, {"WebStatus", "WebPostURL", web.Url("/status")}});
    ASSERT_TRUE(t.Started()) << t.Server().StartupError();
    TPingThread(test::ReportServices(t.Server())).PostData("q=2");
  }
  ASSERT_EQ(web.Peers().size(), 2u);
  EXPECT_EQ(web.Peers()[0], "127.0.0.1");
  EXPECT_EQ(web.Peers()[1], "127.0.0.2");
}

}  // namespace
}  // namespace qm
