// A live server with -METRICS=: scrapes parsed as the exposition format, player names that need
// escaping, and requests that are not a scrape.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/QmClient.hpp"
#include "config/Settings.hpp"
#include "log/Log.hpp"
#include "metrics/MetricsEndpoint.hpp"
#include "metrics/MetricsServer.hpp"
#include "support/ClockScope.hpp"
#include "support/TestServer.hpp"

namespace qm::test {
namespace {

// --- a small reader of the text exposition format ---
struct Sample {
  std::map<std::string, std::string> labels;
  double value = 0;
};
struct Exposition {
  std::map<std::string, std::string> type;  // family name -> counter, gauge, ...
  std::map<std::string, std::string> help;
  std::map<std::string, std::vector<Sample>> samples;
};

// Throws std::runtime_error on anything the format does not allow, so a bad escape fails the test.
Exposition ParseExposition(const std::string& text) {
  Exposition e;
  size_t pos = 0;
  const auto fail = [](const std::string& why) { throw std::runtime_error("exposition: " + why); };
  while (pos < text.size()) {
    const size_t end = text.find('\n', pos);
    if (end == std::string::npos) fail("last line lacks its line break");
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.empty()) continue;
    if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
      const size_t sp = line.find(' ', 7);
      if (sp == std::string::npos) fail("comment without text: " + line);
      (line[2] == 'H' ? e.help : e.type)[line.substr(7, sp - 7)] = line.substr(sp + 1);
      continue;
    }
    if (line[0] == '#') continue;
    size_t i = 0;
    while (i < line.size() && (std::isalnum(static_cast<unsigned char>(line[i])) || line[i] == '_' || line[i] == ':'))
      ++i;
    const std::string name = line.substr(0, i);
    if (name.empty()) fail("sample without a name: " + line);
    Sample s;
    if (i < line.size() && line[i] == '{') {
      ++i;
      while (i < line.size() && line[i] != '}') {
        const size_t eq = line.find("=\"", i);
        if (eq == std::string::npos) fail("label without a value: " + line);
        const std::string label = line.substr(i, eq - i);
        std::string value;
        for (i = eq + 2; i < line.size() && line[i] != '"'; ++i) {
          if (line[i] != '\\') {
            value += line[i];
            continue;
          }
          if (++i >= line.size()) fail("escape at the end: " + line);
          if (line[i] == 'n')
            value += '\n';
          else if (line[i] == '\\' || line[i] == '"')
            value += line[i];
          else
            fail("unknown escape: " + line);
        }
        if (i >= line.size()) fail("unterminated label value: " + line);
        s.labels[label] = value;
        ++i;
        if (i < line.size() && line[i] == ',') ++i;
      }
      if (i >= line.size()) fail("unterminated label set: " + line);
      ++i;
    }
    if (i >= line.size() || line[i] != ' ') fail("no value: " + line);
    char* after = nullptr;
    s.value = std::strtod(line.c_str() + i + 1, &after);
    if (after == line.c_str() + i + 1) fail("value is no number: " + line);
    e.samples[name].push_back(std::move(s));
  }
  return e;
}

// --- raw HTTP over loopback ---
struct HttpAnswer {
  int status = 0;
  std::string body;
  bool closed = false;  // the server closed the connection
};

// A connection to the listener with the request (or its start) sent; -1 when it failed or was not
// accepted within connectMs (a full backlog leaves a connect waiting for minutes).
int Open(uint16_t port, const std::string& request, int connectMs = 10000) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    pollfd p{fd, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    if (errno != EINPROGRESS || ::poll(&p, 1, connectMs) != 1 ||
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
      ::close(fd);
      return -1;
    }
  }
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  if (!request.empty()) ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  return fd;
}

HttpAnswer Exchange(uint16_t port, const std::string& request, int timeoutMs = 8000) {
  HttpAnswer a;
  const int fd = Open(port, request, timeoutMs);
  if (fd < 0) return a;
  std::string raw;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      a.closed = true;
      break;
    }
    raw.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  if (raw.rfind("HTTP/1.", 0) == 0 && raw.size() > 12) a.status = std::atoi(raw.c_str() + 9);
  const size_t head = raw.find("\r\n\r\n");
  if (head != std::string::npos) a.body = raw.substr(head + 4);
  return a;
}

const Sample* ForPlayer(const Exposition& e, const std::string& family, const std::string& name) {
  const auto it = e.samples.find(family);
  if (it == e.samples.end()) return nullptr;
  for (const Sample& s : it->second)
    if (s.labels.count("name") && s.labels.at("name") == name) return &s;
  return nullptr;
}

TEST(MetricsScrape, FiguresEscapingAndRefusals) {
  TestServer t({}, /*writeIni=*/true, /*start=*/false);
  // An address that is not one IPv4 address and port must not open anything, least of all on
  // every interface.
  EXPECT_EQ(StartWith(t, "-METRICS=0.0.0.0:9465,80")->StartupError(),
            "FATAL ERROR: Unable to initialize communication");
  EXPECT_THROW(ParseMetricsAddress("9465"), EMetricsError);

  auto server = StartWith(t, "-metrics=127.0.0.1:0");
  ASSERT_TRUE(server->StartupError().empty()) << server->StartupError();
  const uint16_t port = server->MetricsPort();
  ASSERT_NE(port, 0);

  // Names a label value must escape, one byte above 0x7F from the clients' code page, and a CR and
  // a NUL, which the format has no escape for and which go as text.
  const std::vector<std::string> names = {"say \"hi\"", "back\\slash", "two\nlines",
                                          "Jos\xE9",    "car\rriage",  std::string("nul\0\x01", 5)};
  const std::vector<std::string> labels = {names[0], names[1], names[2], "Jos\xC3\xA9", "car\\rriage", "nul\\0\\x01"};
  std::vector<std::unique_ptr<client::ControlClient>> clients;
  for (const std::string& name : names) {
    clients.push_back(std::make_unique<client::ControlClient>());
    clients.back()->Connect("127.0.0.1", t.TcpPort());
    ASSERT_EQ(clients.back()->Login(name, "", "2.0"), 1) << name;
  }
  for (auto& c : clients) c->DrainRaw(200);  // joins and lists

  HttpAnswer scrape = Exchange(port, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  ASSERT_EQ(scrape.status, 200);
  EXPECT_EQ(scrape.body.find_first_of(std::string("\r\0", 2)), std::string::npos);
  const Exposition e = ParseExposition(scrape.body);

  EXPECT_EQ(e.type.at("quillmoot_clients"), "gauge");
  EXPECT_EQ(e.samples.at("quillmoot_clients").at(0).value, names.size());
  EXPECT_EQ(e.samples.at("quillmoot_channels").at(0).value, 1);
  EXPECT_GE(e.samples.at("quillmoot_uptime_seconds").at(0).value, 0);
  for (const char* counter :
       {"udp_packets_sent_total", "udp_bytes_sent_total", "udp_packets_received_total", "udp_bytes_received_total",
        "tcp_packets_sent_total", "tcp_bytes_sent_total", "tcp_packets_received_total", "tcp_bytes_received_total"}) {
    const std::string server_family = std::string("quillmoot_") + counter;
    const std::string player_family = std::string("quillmoot_player_") + counter;
    EXPECT_EQ(e.type.at(server_family), "counter") << counter;
    EXPECT_EQ(e.type.at(player_family), "counter") << counter;
    EXPECT_FALSE(e.help.at(player_family).empty());
    EXPECT_EQ(e.samples.at(player_family).size(), names.size()) << counter;
  }
  EXPECT_GE(e.samples.at("quillmoot_tcp_packets_received_total").at(0).value, names.size());
  EXPECT_EQ(e.type.at("quillmoot_player_packet_loss_ratio"), "gauge");
  EXPECT_EQ(e.type.at("quillmoot_player_ping_seconds"), "gauge");

  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& utf8 = labels[i];
    const Sample* s = ForPlayer(e, "quillmoot_player_tcp_packets_sent_total", utf8);
    ASSERT_NE(s, nullptr) << utf8;
    EXPECT_EQ(s->labels.at("player"), std::to_string(i + 1));
    EXPECT_EQ(s->labels.at("channel"), "Default");
    EXPECT_GE(s->value, 1);  // the login reply
    ASSERT_NE(ForPlayer(e, "quillmoot_player_packet_loss_ratio", utf8), nullptr);
  }

  // A scrape is nobody's business: no player saw anyone join or leave.
  for (auto& c : clients) EXPECT_TRUE(c->DrainRaw(100).empty());

  // Scrapes while players come and go read records their own threads are removing.
  std::thread churn([&] {
    for (int i = 0; i < 20; ++i) {
      client::ControlClient c;
      c.Connect("127.0.0.1", t.TcpPort());
      c.Login("churn" + std::to_string(i), "", "2.0");
    }
  });
  for (int i = 0; i < 10; ++i) {
    const HttpAnswer a = Exchange(port, "GET /metrics HTTP/1.0\r\n\r\n");
    EXPECT_EQ(a.status, 200);
    EXPECT_NO_THROW(ParseExposition(a.body));
  }
  churn.join();

  // Anything but a well-formed GET /metrics is refused; the listener and the server go on.
  for (const std::string& bad : {std::string("garbage\r\n\r\n"), std::string("POST /metrics HTTP/1.0\r\n\r\n"),
                                 std::string("GET /other HTTP/1.0\r\n\r\n"), std::string("GET /metrics\r\n\r\n"),
                                 std::string(8000, 'A') + "\r\n\r\n"}) {
    const HttpAnswer a = Exchange(port, bad);
    EXPECT_GE(a.status, 400) << bad.substr(0, 20);
    EXPECT_LT(a.status, 500) << bad.substr(0, 20);
  }
  // Each refusal says what was wrong; a query does not change the path.
  EXPECT_EQ(Exchange(port, "garbage\r\n\r\n").status, 400);
  EXPECT_EQ(Exchange(port, "GET /metrics HTTP/1.0\r\nno colon\r\n\r\n").status, 400);
  EXPECT_EQ(Exchange(port, "POST /metrics HTTP/1.0\r\n\r\n").status, 405);
  EXPECT_EQ(Exchange(port, "GET /other HTTP/1.0\r\n\r\n").status, 404);
  EXPECT_EQ(Exchange(port, "GET /metrics HTTP/1.1\r\nX-Long: " + std::string(5000, 'A') + "\r\n\r\n").status, 431);
  EXPECT_EQ(Exchange(port, "GET /metrics?page=1 HTTP/1.1\r\n\r\n").status, 200);
  // A connection that never sends a request is closed by the listener's time limit.
  const HttpAnswer idle = Exchange(port, "", 4 * kMetricsRequestTimeoutMs);
  EXPECT_TRUE(idle.closed);
  EXPECT_EQ(Exchange(port, "GET /metrics HTTP/1.0\r\n\r\n").status, 200);

  // A dozen connections trickling a header line a second are held until their deadline ends them,
  // however steadily they send: real scrapes are answered meanwhile.
  std::vector<int> trickling;
  for (int i = 0; i < 12; ++i) trickling.push_back(Open(port, "GET /metrics HTTP/1.1\r\n"));
  std::thread trickle([&] {
    for (int second = 0; second < 5; ++second) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      for (const int fd : trickling) ::send(fd, "X-Slow: 1\r\n", 11, MSG_NOSIGNAL);
    }
  });
  int answered = 0;
  long long slowestMs = 0;
  for (int i = 0; i < 4; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    const auto start = std::chrono::steady_clock::now();
    answered += Exchange(port, "GET /metrics HTTP/1.0\r\n\r\n", 10000).status == 200 ? 1 : 0;
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    slowestMs = std::max<long long>(slowestMs, took.count());
  }
  std::printf("[ info ] %d of 4 scrapes among trickling connections answered, the slowest in %lld ms\n", answered,
              slowestMs);
  trickle.join();
  EXPECT_EQ(answered, 4);
  int closed = 0;
  for (const int fd : trickling) {
    char c = 0;
    closed += ::recv(fd, &c, 1, MSG_DONTWAIT) >= 0 ? 1 : 0;  // refused or closed, not still waiting
    ::close(fd);
  }
  EXPECT_EQ(closed, 12) << "of 12 trickling connections ended by the listener within 5 s";
  client::ControlClient late;
  late.Connect("127.0.0.1", t.TcpPort());
  EXPECT_EQ(late.Login("late", "", "2.0"), 1);

  clients.clear();
  late.Close();
  Stop(std::move(server));
}

TEST(MetricsScrape, LossRatioAndUptimeFromKnownCountsAndClock) {
  TestServer t({}, /*writeIni=*/true, /*start=*/false);
  // Whole days and a quarter are exact in a double, so the uptime can be compared exactly.
  const double start = 46000.0;
  ClockScope time(start, 1000);  // before the server, which takes its start time when made
  auto server = StartWith(t, "-metrics=127.0.0.1:0");
  ASSERT_TRUE(server->StartupError().empty()) << server->StartupError();
  const uint16_t port = server->MetricsPort();

  client::ControlClient lossy, clean;
  lossy.Connect("127.0.0.1", t.TcpPort());
  ASSERT_EQ(lossy.Login("lossy", "", "2.0"), 1);
  clean.Connect("127.0.0.1", t.TcpPort());
  ASSERT_EQ(clean.Login("clean", "", "2.0"), 1);
  const ClientPtr record = server->Clients().FindClientByPlayerId(0);
  ASSERT_TRUE(record);
  ASSERT_EQ(record->ClientName(), "lossy");
  record->Traffic.UdpPacketsReceived = 8;
  record->BadPackets = 2;
  record->PingRoundTrip = 250;  // milliseconds, as the ping thread stores it
  // Only the date-time moves: the tick stays, so the ping thread sees no time pass.
  time.clock.SetNow(start + 2.25);

  const Exposition e = ParseExposition(Exchange(port, "GET /metrics HTTP/1.0\r\n\r\n").body);
  EXPECT_EQ(e.samples.at("quillmoot_uptime_seconds").at(0).value, 2.25 * 86400);
  const Sample* loss = ForPlayer(e, "quillmoot_player_packet_loss_ratio", "lossy");
  ASSERT_NE(loss, nullptr);
  EXPECT_EQ(loss->value, 0.25);
  const Sample* none = ForPlayer(e, "quillmoot_player_packet_loss_ratio", "clean");
  ASSERT_NE(none, nullptr);
  EXPECT_EQ(none->value, 0.0);  // nothing received, nothing lost
  const Sample* received = ForPlayer(e, "quillmoot_player_udp_packets_received_total", "lossy");
  ASSERT_NE(received, nullptr);
  EXPECT_EQ(received->value, 8);
  // The family says seconds: a 250 ms round trip is 0.25, not 250 nor 0.00025.
  const Sample* ping = ForPlayer(e, "quillmoot_player_ping_seconds", "lossy");
  ASSERT_NE(ping, nullptr);
  EXPECT_EQ(ping->value, 0.25);
  const Sample* noPing = ForPlayer(e, "quillmoot_player_ping_seconds", "clean");
  ASSERT_NE(noPing, nullptr);
  EXPECT_EQ(noPing->value, 0.0);

  lossy.Close();
  clean.Close();
  Stop(std::move(server));
}

// Idle connections coming and going (about ten a second) and 64 held open (each reopened when the
// listener closes it) cost the listener little: scrapes are answered meanwhile. The scrape times
// are printed; the bounds asserted are generous, for a busy machine.
TEST(MetricsScrape, ScrapesAreAnsweredWhileIdleConnectionsComeGoAndAreHeld) {
  TestServer t({}, /*writeIni=*/true, /*start=*/false);
  auto server = StartWith(t, "-metrics=127.0.0.1:0");
  ASSERT_TRUE(server->StartupError().empty()) << server->StartupError();
  const uint16_t port = server->MetricsPort();

  std::atomic<bool> done{false};
  std::atomic<int> opened{0};
  // 64 held: a connection the listener closed is replaced within a quarter of a second.
  std::thread holder([&] {
    std::vector<int> held(64, -1);
    while (!done) {
      for (int& fd : held) {
        if (fd >= 0) {
          char c = 0;
          const ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
          if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
          ::close(fd);
        }
        fd = Open(port, "", 200);
        opened += fd >= 0 ? 1 : 0;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    for (const int fd : held)
      if (fd >= 0) ::close(fd);
  });
  // About ten a second come, stay idle for a second and go.
  std::thread churn([&] {
    std::vector<std::pair<std::chrono::steady_clock::time_point, int>> open;
    while (!done) {
      const auto now = std::chrono::steady_clock::now();
      const int fd = Open(port, "", 200);
      opened += fd >= 0 ? 1 : 0;
      if (fd >= 0) open.emplace_back(now + std::chrono::seconds(1), fd);
      while (!open.empty() && open.front().first <= now) {
        ::close(open.front().second);
        open.erase(open.begin());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (const auto& [when, fd] : open) ::close(fd);
  });

  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the crowd in place
  std::vector<long long> times;
  int answered = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < end && times.size() < 40) {
    const auto start = std::chrono::steady_clock::now();
    const HttpAnswer a = Exchange(port, "GET /metrics HTTP/1.0\r\n\r\n", 10000);
    const auto took = std::chrono::steady_clock::now() - start;
    answered += a.status == 200 && a.closed ? 1 : 0;
    times.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(took).count());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  done = true;
  holder.join();
  churn.join();

  // More idle connections than the listener holds: the newest close the oldest, and a scrape is
  // still answered. (Each lives 2 s unless closed for room; the crowd comes in well under that.)
  std::vector<int> crowd;
  const auto crowdStart = std::chrono::steady_clock::now();
  for (size_t i = 0; i < kMetricsMaxConnections + 44; ++i) crowd.push_back(Open(port, "", 2000));
  const HttpAnswer amid = Exchange(port, "GET /metrics HTTP/1.0\r\n\r\n");
  const auto crowdMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - crowdStart).count();
  EXPECT_EQ(amid.status, 200);
  // The scrape came in while the crowd was held: the newest of it, younger than its deadline, are
  // still open (a listener that turned newcomers away would answer only once the crowd expired).
  int oldestEnded = 0, newestEnded = 0;
  for (size_t i = 0; i < crowd.size(); ++i) {
    if (crowd[i] < 0) continue;
    pollfd p{crowd[i], POLLIN, 0};
    const bool ended = ::poll(&p, 1, 0) == 1;  // closed by the listener
    if (i < 44) oldestEnded += ended ? 1 : 0;
    if (i >= crowd.size() - 100) newestEnded += ended ? 1 : 0;
    ::close(crowd[i]);
  }
  std::printf(
      "[ info ] a crowd of %zu idle connections and a scrape in %lld ms: %d of the oldest 44 closed for "
      "room, %d of the newest 100\n",
      crowd.size(), static_cast<long long>(crowdMs), oldestEnded, newestEnded);
  EXPECT_GE(oldestEnded, 40) << "the oldest make room";
  EXPECT_LE(newestEnded, 5) << "newcomers are kept";

  std::vector<long long> sorted = times;
  std::sort(sorted.begin(), sorted.end());
  std::string list;
  for (const long long ms : times) list += " " + std::to_string(ms);
  std::printf(
      "[ info ] %d of %zu scrapes answered among %d idle connections; median %lld ms, slowest %lld ms; "
      "times (ms):%s\n",
      answered, times.size(), opened.load(), sorted[sorted.size() / 2], sorted.back(), list.c_str());
  EXPECT_EQ(answered, static_cast<int>(times.size()));
  EXPECT_LT(sorted.back(), 5000);
  EXPECT_LT(sorted[sorted.size() / 2], 1000);

  Stop(std::move(server));
}

}  // namespace
}  // namespace qm::test
