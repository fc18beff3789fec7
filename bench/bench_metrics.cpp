// What a metrics scrape costs with a full server (255 players in 32 channels): the copy taken
// under the list locks, and a whole scrape over loopback (copy, exposition, HTTP).
//   build/bench/bench_metrics
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <benchmark/benchmark.h>

#include "clients/ChannelList.hpp"
#include "clients/ClientList.hpp"
#include "metrics/MetricsEndpoint.hpp"
#include "net/TrafficCounters.hpp"
#include "platform/Clock.hpp"

namespace {

// What a scrape reads of a server: its counters and lists.
struct FullServer {
  qm::TrafficCounters counters;
  qm::ClientList clientList;
  qm::ChannelList channelList{clientList};
  qm::FigureSources Sources() { return {counters, qm::Now(), &clientList, &channelList}; }
};

std::unique_ptr<FullServer> MakeFullServer() {
  auto server = std::make_unique<FullServer>();
  for (int i = 0; i < 32; ++i) server->channelList.AddChannel("channel " + std::to_string(i));
  qm::LockGuard g(server->clientList.Lock());
  for (int i = 0; i < 255; ++i) {
    auto c = std::make_shared<qm::TServerClient>(nullptr, nullptr, nullptr);
    c->SetClientName("player \"" + std::to_string(i) + "\"");
    c->SetPlayerId(static_cast<uint8_t>(i));
    c->SetChannelId(i % 32);
    c->Traffic.UdpPacketsReceived = 1000u + static_cast<uint32_t>(i);
    server->clientList.Append(c);
  }
  return server;
}

void BM_CollectFigures(benchmark::State& state) {
  auto server = MakeFullServer();
  const qm::FigureSources sources = server->Sources();
  for (auto _ : state) benchmark::DoNotOptimize(qm::CollectFigures(sources));
}
BENCHMARK(BM_CollectFigures)->Unit(benchmark::kMicrosecond);

void BM_Scrape(benchmark::State& state) {
  auto server = MakeFullServer();
  const qm::FigureSources sources = server->Sources();
  auto endpoint = qm::StartMetricsEndpoint({"127.0.0.1", 0}, [&]() { return qm::CollectFigures(sources); });
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(endpoint->Port());
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  size_t bytes = 0;
  for (auto _ : state) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    const std::string request = "GET /metrics HTTP/1.0\r\n\r\n";
    ::send(fd, request.data(), request.size(), 0);
    char buffer[65536];
    bytes = 0;
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) bytes += static_cast<size_t>(n);
    ::close(fd);
  }
  state.counters["response_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_Scrape)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
