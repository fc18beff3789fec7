// The status page and /status.json of a live server with -METRICS=: the document against the
// statistics replies of the same moment, the last hour's samples stepped by the test clock, a
// browser that never reads beside scrapes and the relay, and (with QM_BROWSER set) the page
// rendered by a headless browser.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/QmClient.hpp"
#include "config/Settings.hpp"
#include "control/AdminTestSupport.hpp"
#include "datagram/Datagrams.hpp"
#include "keepalive/TPingThread.hpp"
#include "log/Log.hpp"
#include "metrics/MetricsEndpoint.hpp"
#include "metrics/MetricsServer.hpp"
#include "metrics/StatusSamples.hpp"
#include "support/ClockScope.hpp"
#include "support/TestServer.hpp"
#include "support/Waits.hpp"

namespace qm::test {
namespace {

using Json = nlohmann::json;

constexpr const char* kMarkupName = "<script>alert(1)</script>";

// Keys that keep the ping thread from pinging (and giving up on) clients that never answer
// pings while the test clock moves minutes ahead.
std::vector<IniKey> QuietPingKeys(std::string serverPassword = "") {
  return {{"Passwords", "ServerPassword", serverPassword},
          {"Ping", "IdleTimeBeforePing", "2000000000"},
          {"Ping", "MaxPingTries", "1000000"},
          {"Channels", "0", "Lobby"},
          {"Channels", "1", "Ops"}};
}

int Connect(uint16_t port, int receiveBuffer = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// GET path; the body of a 200 answer, or "" for anything else.
std::string Get(uint16_t port, const std::string& path) {
  const int fd = Connect(port);
  if (fd < 0) return "";
  const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string raw;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    raw.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  if (raw.rfind("HTTP/1.1 200", 0) != 0) return "";
  const size_t head = raw.find("\r\n\r\n");
  return head == std::string::npos ? "" : raw.substr(head + 4);
}

// The document; one without players or history when no valid document came.
Json Status(uint16_t port) {
  Json j = Json::parse(Get(port, "/status.json"), nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded()) j = Json::parse(R"({"channelList":[],"history":{"points":[]}})");
  return j;
}

const Json* FindPlayer(const Json& status, const std::string& name, std::string* channel = nullptr) {
  for (const Json& ch : status.at("channelList"))
    for (const Json& p : ch.at("players"))
      if (p.at("name") == name) {
        if (channel) *channel = ch.at("name").get<std::string>();
        return &p;
      }
  return nullptr;
}

TEST(StatusJson, TextIsEscapedAndNumbersKeepTheirDigits) {
  // A name cannot close a script element or a string, whatever a page does with the document.
  EXPECT_EQ(JsonString(kMarkupName), "\"\\u003cscript\\u003ealert(1)\\u003c/script\\u003e\"");
  EXPECT_EQ(JsonString(std::string("a\"b\\c\n\x01", 7)), "\"a\\\"b\\\\c\\u000a\\u0001\"");
  EXPECT_EQ(Json::parse(JsonString("Jos\xC3\xA9 & <b>")).get<std::string>(), "Jos\xC3\xA9 & <b>");
  // A server up for a year and a bit still tells its uptime to the millisecond.
  ServerFigures f;
  f.uptimeSeconds = 33554432.125;
  EXPECT_EQ(Json::parse(StatusJson(f, StatusSamples{}, 0)).at("server").at("uptimeSeconds"), 33554432.125);
}

// The samples of the last hour: one a minute on the test clock, no more than sixty kept.
TEST(StatusJson, SamplesRingKeepsTheLastHour) {
  StatusSamples ring;
  ServerFigures f;
  EXPECT_TRUE(ring.Due(5));
  for (uint32_t minute = 0; minute < 75; ++minute) {
    const uint32_t tick = 5 + minute * StatusSamples::kIntervalMs;
    f.clients = minute;
    f.counters[2] = minute * 600;  // 10 voice datagrams a second in
    f.loginsRefusedPassword = minute / 10;
    ASSERT_TRUE(ring.Due(tick)) << minute;
    ring.Add(SampleOf(f, tick));
    EXPECT_FALSE(ring.Due(tick + StatusSamples::kIntervalMs - 1));
  }
  ASSERT_EQ(ring.Count(), StatusSamples::kSize);
  EXPECT_EQ(ring.At(0).clients, 15u);
  EXPECT_EQ(ring.At(StatusSamples::kSize - 1).clients, 74u);
  const uint32_t last = 5 + 74 * StatusSamples::kIntervalMs;
  const Json status = Json::parse(StatusJson(f, ring, last + 30000));
  const Json& points = status.at("history").at("points");
  ASSERT_EQ(points.size(), StatusSamples::kSize);  // 59 between samples, one from the last to now
  EXPECT_EQ(points.front().at("clients"), 16);
  EXPECT_EQ(points.front().at("voiceInPerSecond"), 10);
  EXPECT_EQ(points.front().at("agoSeconds"), 30 + 58 * 60);
  EXPECT_EQ(points.back().at("agoSeconds"), 0);
  EXPECT_EQ(points.back().at("voiceInPerSecond"), 0);  // nothing more came in the last half minute
}

// /status.json against what the statistics requests answer at the same moment (the test clock
// stands still), with players in two channels and one named with markup; then the last hour as
// the clock moves a minute at a time.
TEST(StatusPage, JsonAgreesWithStatisticsRepliesAndKeepsTheLastHour) {
  TestServer t(QuietPingKeys("pw"), /*writeIni=*/true, /*start=*/false);
  const double start = 46000.0;
  ClockScope time(start, 1000);
  auto server = StartWith(t, "-metrics=127.0.0.1:0");
  ASSERT_TRUE(server->StartupError().empty()) << server->StartupError();
  const uint16_t port = server->MetricsPort();

  Player ann = Join(t, "Ann", kNewVersion, "pw");
  Player bob = Join(t, "Bob", kNewVersion, "pw");
  Player markup = Join(t, kMarkupName, kNewVersion, "pw");
  {
    client::ControlClient wrong;
    wrong.Connect("127.0.0.1", t.TcpPort());
    EXPECT_EQ(wrong.Login("guess", "nope", kNewVersion), kReplyWrongPassword);
  }
  for (Player* p : {&bob, &markup}) (*p)->Send(ComposeByteCommand(kCmdClientChangeRoom, 2));  // to "Ops"
  ASSERT_TRUE(Eventually([&] {
    const ClientPtr c = server->Clients().FindClientByPlayerId(FromWireByte(markup.wire));
    const ClientPtr b = server->Clients().FindClientByPlayerId(FromWireByte(bob.wire));
    return c && b && c->ChannelId() == 1 && b->ChannelId() == 1;
  }));
  const ClientPtr record = server->Clients().FindClientByPlayerId(FromWireByte(bob.wire));
  record->Traffic.UdpPacketsReceived = 40;
  record->Traffic.UdpPacketsSent = 7;
  record->BadPackets = 3;
  record->PingRoundTrip = 42;
  // Date-time only: idle and connected times move, the tick (and so the ping thread) does not.
  time.clock.SetNow(start + 0.125);
  Clear(ann);

  ann->Send(ComposeCommand(kCmdServerStatsReq));
  const Bytes serverReply = ann->WaitFor({kPktServerStats}, kWaitMs).value_or(Bytes{});
  ann->Send(ComposeByteCommand(kCmdPlayerStatsReq, bob.wire));
  const Bytes playerReply = ann->WaitFor({kPktPlayerStatsNew}, kWaitMs).value_or(Bytes{});
  const Json status = Status(port);

  ServerStats ss;
  ASSERT_TRUE(ParseServerStats(serverReply.data(), serverReply.size(), ss));
  PlayerStats ps;
  bool old = false;
  ASSERT_TRUE(ParsePlayerStats(playerReply.data(), playerReply.size(), ps, old));

  const Json& s = status.at("server");
  EXPECT_EQ(s.at("clients"), 3);
  EXPECT_EQ(s.at("channels"), 2);
  EXPECT_EQ(s.at("maxClients"), Settings().MaxClients);
  EXPECT_EQ(status.at("loginsRefused").at("password"), 1);
  EXPECT_EQ(status.at("loginsRefused").at("full"), 0);
  // The same figures in the scrape, under the names the alert rules use.
  const std::string scrape = Get(port, "/metrics");
  EXPECT_NE(scrape.find("quillmoot_logins_refused_total{reason=\"password\"} 1\n"), std::string::npos);
  EXPECT_NE(scrape.find("quillmoot_max_clients " + std::to_string(Settings().MaxClients) + "\n"), std::string::npos);
  EXPECT_EQ(s.at("uptimeSeconds").get<double>() * 1000, ss.uptimeMs);  // under a day: no cut
  // Voice counters do not move between the replies and the document; the control counters grow
  // by the two requests and their replies only (each counted once handled or written).
  const Json& c = status.at("counters");
  EXPECT_EQ(c.at("udpPacketsSent"), ss.counters[0]);
  EXPECT_EQ(c.at("udpBytesSent"), ss.counters[1]);
  EXPECT_EQ(c.at("udpPacketsReceived"), ss.counters[2]);
  EXPECT_EQ(c.at("udpBytesReceived"), ss.counters[3]);
  for (const auto& [key, i] : {std::pair{"tcpPacketsSent", 4}, std::pair{"tcpPacketsReceived", 6}}) {
    EXPECT_GE(c.at(key).get<uint32_t>(), ss.counters[i]) << key;
    EXPECT_LE(c.at(key).get<uint32_t>(), ss.counters[i] + 2) << key;
  }

  std::string channel;
  const Json* b = FindPlayer(status, "Bob", &channel);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(channel, "Ops");
  EXPECT_EQ(b->at("id"), bob.wire);
  EXPECT_EQ(b->at("idleSeconds").get<double>() * 1000, ps.idleMs);
  EXPECT_EQ(b->at("connectedSeconds").get<double>() * 1000, ps.connectedMs);
  EXPECT_EQ(ps.idleMs, 0.125 * 86400000);
  EXPECT_FLOAT_EQ(b->at("lossRatio").get<float>() * 100, ps.lossPercent);
  EXPECT_EQ(b->at("pingSeconds").get<double>() * 1000, ps.pingMs);
  EXPECT_EQ(b->at("udpPacketsReceived"), ps.counters[2]);
  EXPECT_EQ(b->at("udpPacketsSent"), ps.counters[0]);
  EXPECT_EQ(b->at("admin"), false);
  ASSERT_NE(FindPlayer(status, kMarkupName, &channel), nullptr);
  EXPECT_EQ(channel, "Ops");
  ASSERT_NE(FindPlayer(status, "Ann", &channel), nullptr);
  EXPECT_EQ(channel, "Lobby");

  // The last hour: a sample a minute as the clock moves, each point the change between two.
  EXPECT_EQ(status.at("history").at("points").size(), 0u);  // one sample, and no time since
  for (int minute = 1; minute <= 3; ++minute) {
    time.clock.AdvanceMs(StatusSamples::kIntervalMs);
    ASSERT_TRUE(Eventually([&] { return Status(port).at("history").at("points").size() == size_t(minute); })) << minute;
  }
  const Json later = Status(port);
  EXPECT_EQ(later.at("history").at("points").back().at("clients"), 3);
  EXPECT_EQ(later.at("history").at("intervalSeconds"), 60);

  Stop(std::move(server));
}

// Browsers that request the page and never read it hold only their place in the listener's
// table: scrapes are answered and voice is relayed meanwhile, and the listener drops them at
// their deadline.
TEST(StatusPage, ABrowserThatNeverReadsHoldsUpNoScrapeNorTheRelay) {
  TestServer t(QuietPingKeys(), /*writeIni=*/true, /*start=*/false);
  auto server = StartWith(t, "-metrics=127.0.0.1:0");
  ASSERT_TRUE(server->StartupError().empty()) << server->StartupError();
  const uint16_t port = server->MetricsPort();

  std::vector<int> stalled;
  for (int i = 0; i < 20; ++i) {
    const int fd = Connect(port, /*receiveBuffer=*/1);  // the smallest window the kernel allows
    ASSERT_GE(fd, 0);
    const std::string request = i % 2 ? "GET / HTTP/1.1\r\n\r\n" : "GET /status.json HTTP/1.1\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    stalled.push_back(fd);
  }
  const auto since = std::chrono::steady_clock::now();
  const std::string scrape = Get(port, "/metrics");
  EXPECT_NE(scrape.find("quillmoot_clients 0"), std::string::npos);
  EXPECT_NE(Get(port, "/").find("<title>"), std::string::npos);
  // Answered while the stalled ones are still held: none has reached its deadline yet.
  const auto took = std::chrono::steady_clock::now() - since;
  int stillOpen = 0;
  for (const int fd : stalled) {
    pollfd p{fd, POLLIN, 0};
    stillOpen += ::poll(&p, 1, 0) == 0 || took < std::chrono::milliseconds(kMetricsRequestTimeoutMs) ? 1 : 0;
  }
  EXPECT_EQ(stillOpen, 20);

  // The relay meanwhile: a speaker's voice reaches the other player in its channel.
  Player a = Join(t, "Ann"), b = Join(t, "Bob");
  client::VoiceClient va, vb;
  for (auto [voice, key] : {std::pair{&va, a.key}, std::pair{&vb, b.key}}) {
    const PingDatagram ping = ComposePing(key, kPingRequest, 1);  // the server learns the address
    voice->SendTo(t.UdpPort(), ping.data(), ping.size());
    ASSERT_TRUE(voice->Receive(3000));
  }
  const Bytes body = {1, 2, 3, 4, 5};
  va.SendTo(t.UdpPort(), ComposeVoice(a.key, kVoiceChannel, 0x5A, 1, body.data(), body.size()));
  bool relayed = false;
  while (auto d = vb.Receive(3000)) {
    if (d->size() >= body.size() && std::equal(body.begin(), body.end(), d->end() - 5)) {
      relayed = true;
      break;
    }
  }
  EXPECT_TRUE(relayed);

  // Each is closed at its deadline (the page fits the kernel's buffers, so it is the drain's after
  // the answer), not kept for ever: a byte sent then meets a reset instead of the drain.
  const auto closedAll = Eventually(
      [&] {
        for (const int fd : stalled) {
          ::send(fd, "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
          pollfd p{fd, POLLIN, 0};
          if (::poll(&p, 1, 0) != 1 || !(p.revents & (POLLHUP | POLLERR))) return false;
        }
        return true;
      },
      4 * kMetricsRequestTimeoutMs + 2000);
  EXPECT_TRUE(closedAll);
  for (const int fd : stalled) ::close(fd);
  Stop(std::move(server));
}

// The page in a real browser (QM_BROWSER: the headless browser's command; scripts/page-test.sh
// sets it): players in two channels, the markup name shown as text, the charts drawn. With
// QM_SCREENSHOT set, the rendered page is saved there.
TEST(StatusPage, RenderedByAHeadlessBrowser) {
  const char* browser = std::getenv("QM_BROWSER");
  if (!browser || !*browser) GTEST_SKIP() << "QM_BROWSER not set (scripts/page-test.sh runs this)";
  TestServer t(QuietPingKeys("pw"), /*writeIni=*/true, /*start=*/false);
  ClockScope time;
  auto server = StartWith(t, "-metrics=127.0.0.1:0");
  ASSERT_TRUE(server->StartupError().empty()) << server->StartupError();
  const uint16_t port = server->MetricsPort();

  // Some history: players come over a few minutes, the first two speak more each minute, and a
  // few wrong passwords are refused.
  std::vector<Player> players;
  std::vector<std::unique_ptr<client::VoiceClient>> voices;
  const std::vector<std::string> names = {"Ann", "Bob", kMarkupName, "Dee", "Eve"};
  uint32_t packetId = 1;
  for (size_t i = 0; i < names.size(); ++i) {
    players.push_back(Join(t, names[i], kNewVersion, "pw"));
    if (names[i] == "Bob" || names[i] == kMarkupName) players.back()->Send(ComposeByteCommand(kCmdClientChangeRoom, 2));
    const ClientPtr rec = server->Clients().FindClientByPlayerId(FromWireByte(players.back().wire));
    rec->PingRoundTrip = static_cast<uint32_t>(20 + 15 * i);
    voices.push_back(std::make_unique<client::VoiceClient>());
    const PingDatagram ping = ComposePing(players.back().key, kPingRequest, 1);
    voices.back()->SendTo(t.UdpPort(), ping.data(), ping.size());
    ASSERT_TRUE(voices.back()->Receive(3000));
    const Bytes body(40, 7);
    for (size_t n = 0; n < 30 * i; ++n)
      voices[0]->SendTo(t.UdpPort(),
                        ComposeVoice(players[0].key, kVoiceChannel, 0x5A, packetId++, body.data(), body.size()));
    for (size_t n = 0; n < i % 3; ++n) {
      client::ControlClient wrong;
      wrong.Connect("127.0.0.1", t.TcpPort());
      wrong.Login("guess", "nope", kNewVersion);
    }
    ASSERT_TRUE(Eventually([&] { return server->Counters().Snapshot()[2] >= packetId - 1 + voices.size(); }));
    time.clock.AdvanceMs(StatusSamples::kIntervalMs);
    ASSERT_TRUE(Eventually([&] { return Status(port).at("history").at("points").size() == i + 1; }));
  }
  time.clock.AdvanceMs(20000);
  ASSERT_TRUE(Eventually([&] {
    std::string channel;
    return FindPlayer(Status(port), kMarkupName, &channel) && channel == "Ops";
  }));

  // Each run its own profile: a helper of the first may still hold the first one's lock.
  TempDir profile, shotProfile;
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  const auto browse = [&](const TempDir& dir) {
    return std::string(browser) +
           " --headless --no-sandbox --disable-gpu --no-first-run --hide-scrollbars --user-data-dir=" + dir.Str() +
           " --virtual-time-budget=5000 ";
  };
  std::string dom;
  {
    FILE* pipe = ::popen((browse(profile) + "--dump-dom " + url + " 2>/dev/null").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) dom.append(buffer, n);
    ::pclose(pipe);
  }
  ASSERT_NE(dom.find("id=\"channelList\""), std::string::npos) << dom.substr(0, 400);
  // Each channel's block lists its own players.
  const size_t lobby = dom.find("data-channel=\"Lobby\"");
  const size_t ops = dom.find("data-channel=\"Ops\"");
  ASSERT_NE(lobby, std::string::npos);
  ASSERT_NE(ops, std::string::npos);
  ASSERT_LT(lobby, ops);
  const std::string lobbyPart = dom.substr(lobby, ops - lobby), opsPart = dom.substr(ops);
  for (const char* name : {">Ann<", ">Dee<", ">Eve<"}) {
    EXPECT_NE(lobbyPart.find(name), std::string::npos) << name;
    EXPECT_EQ(opsPart.find(name), std::string::npos) << name;
  }
  EXPECT_NE(opsPart.find(">Bob<"), std::string::npos);
  // The markup name as text: escaped in the serialized page, never an element of its own.
  EXPECT_NE(opsPart.find(">&lt;script&gt;alert(1)&lt;/script&gt;<"), std::string::npos);
  EXPECT_EQ(dom.find("<script>alert(1)"), std::string::npos);
  // The clients chart has a line with a point a minute.
  const size_t chart = dom.find("id=\"chart-clients\"");
  ASSERT_NE(chart, std::string::npos);
  const size_t line = dom.find("<polyline points=\"", chart);
  ASSERT_NE(line, std::string::npos);
  const std::string points = dom.substr(line + 18, dom.find('"', line + 18) - line - 18);
  EXPECT_GE(std::count(points.begin(), points.end(), ','), 5) << points;

  if (const char* shot = std::getenv("QM_SCREENSHOT"); shot && *shot) {
    const std::string command =
        browse(shotProfile) + "--window-size=1100,1000 --screenshot=" + std::string(shot) + " " + url + " 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::printf("[ info ] screenshot: %s\n", shot);
  }
  Stop(std::move(server));
}

}  // namespace
}  // namespace qm::test
