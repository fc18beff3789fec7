// The report as a running server makes it: at start-up when "WebStatus"/Active is set, never
// otherwise, and a silent web server neither keeps the ping thread nor delays a ping.
#include <chrono>
#include <cstdio>
#include <thread>

#include <gtest/gtest.h>

#include "WebStatusSupport.hpp"
#include "datagram/VoiceTestClients.hpp"
#include "keepalive/TPingThread.hpp"
#include "support/LifecycleLines.hpp"

namespace qm {
namespace {

using test::CountLines;
using test::Eventually;
using test::ExpectedRequest;
using test::FakeWebServer;
using test::FixedClock;
using test::TestHooks;
using test::TestServer;

TEST(WebStatusServer, AnActiveServerPostsTheQueryAtStartUp) {
  FixedClock clock;
  FakeWebServer web;
  TestServer t({{"General", "Servername", "My Server"},
                {"WebStatus", "Active", "1"},
                {"WebStatus", "WebPostURL", web.Url("/status")}});
  ASSERT_TRUE(t.Started()) << t.Server().StartupError();

  ASSERT_TRUE(web.WaitForRequests(1));
  EXPECT_EQ(web.Requests()[0], ExpectedRequest(web, "/status?serverport=" + std::to_string(t.TcpPort()) +
                                                        "&servername=My%20Server&clients=0&maxclients=16"
                                                        "&serverversion=v1.2.2%20Win32%20Service&uptime=0"
                                                        "&link=http://www.example.org/&user="));
  t.Stop();
  // One report per cycle of 175 s: none more within this test's life.
  EXPECT_EQ(web.Requests().size(), 1u);
}

TEST(WebStatusServer, WithActiveOffNothingIsSentWhateverTheOtherKeysSay) {
  FakeWebServer web;
  TestHooks hooks(0, 0, web.Url("/webpost.php?"));
  TestServer t({{"WebStatus", "Active", "0"},
                {"WebStatus", "QuillmootSite_Active", "1"},
                {"WebStatus", "QuillmootSite_DisplayInWebList", "1"},
                {"WebStatus", "WebPostURL", web.Url("/status")}});
  ASSERT_TRUE(t.Started()) << t.Server().StartupError();
  // The start-up report would have come at once; give it more than a ping pass.
  EXPECT_FALSE(web.WaitForRequests(1, 1200));
  t.Stop();
  EXPECT_TRUE(web.Requests().empty());
}

TEST(WebStatusServer, ASilentWebServerDoesNotKeepThePingThread) {
  FakeWebServer silent("");
  TestHooks hooks(200, 300, "");
  TestServer t({{"WebStatus", "Active", "1"}, {"WebStatus", "WebPostURL", silent.Url("/status")}});
  ASSERT_TRUE(t.Started()) << t.Server().StartupError();

  ASSERT_TRUE(silent.WaitForRequests(1));
  ASSERT_TRUE(
      t.WaitForLog("in: TPingThread.PostData (UserUrl) exception ETimeout: HTTP request timed out after 300 ms"));
  // Back in its passes: a stop is seen within one pause of 500 ms, while the web server would
  // still be holding the connection had the request no limit.
  TPingThread& ping = *t.Probe().pingThread;
  EXPECT_FALSE(ping.Finished());
  ping.Stop();
  EXPECT_TRUE(Eventually([&] { return ping.Finished(); }, 2000));
  EXPECT_EQ(CountLines(t, "in: TPingThread.UpdateStats exception"), 0u);
}

TEST(WebStatusServer, ASilentWebServerDelaysNoPing) {
  // A report held with the client's own limits (30 s): before, an idle client's first ping waited.
  FakeWebServer silent("");
  test::VoiceRig rig({{"Ping", "IdleTimeBeforePing", "100"},
                      {"Ping", "PingWaitTime", "100"},
                      {"WebStatus", "Active", "1"},
                      {"WebStatus", "WebPostURL", silent.Url("/status")}},
                     /*stopPinger=*/false);
  ASSERT_TRUE(silent.WaitForRequests(1));
  test::VoicePeer& a = rig.Add("A");
  const auto start = std::chrono::steady_clock::now();
  for (int pings = 0; pings < 3;) {
    const auto d = test::VoiceRig::ReceiveFamily(a, kPingMagic, 5000);
    ASSERT_TRUE(d) << "ping " << pings + 1;
    pings += (*d)[6] == kPingRequest ? 1 : 0;  // not the pong to the client's own ping
  }
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  std::printf("[ info ] 3 pings of an idle client while the report hangs: %lld ms\n",
              static_cast<long long>(ms.count()));
  EXPECT_EQ(CountLines(rig.server, "PostData"), 0u);  // the request is still held
}

TEST(WebStatusServer, TheStopAbortsARequestToASilentWebServer) {
  // Both addresses silent, with the client's own limits (10 s to connect, 30 s in all): before,
  // the stop waited out the whole limit of each request.
  FakeWebServer silentList(""), silentOwn("");
  TestHooks hooks(0, 0, silentList.Url("/webpost.php?"));
  TestServer t({{"WebStatus", "Active", "1"},
                {"WebStatus", "QuillmootSite_Active", "1"},
                {"WebStatus", "WebPostURL", silentOwn.Url("/status")}});
  ASSERT_TRUE(t.Started()) << t.Server().StartupError();
  ASSERT_TRUE(silentList.WaitForRequests(1));

  const auto start = std::chrono::steady_clock::now();
  t.Stop();
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  std::printf("[ info ] stop with a silent web server took %lld ms (pause 50 ms)\n", static_cast<long long>(ms));
  EXPECT_LT(ms, 10000);
  // The aborted request is not a web server's fault, and the second one is never started.
  EXPECT_TRUE(silentOwn.Requests().empty());
  EXPECT_EQ(CountLines(t, "PostData"), 0u);
  const std::vector<std::string>& order = test::kShutdownLines;
  size_t next = 0;
  for (const auto& line : t.LogLines())
    if (next < order.size() && line.find(order[next]) != std::string::npos) ++next;
  EXPECT_EQ(next, order.size());
}

}  // namespace
}  // namespace qm
