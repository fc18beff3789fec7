// The voice relay end to end: starts build/qmserver on loopback in a temporary folder, logs in N
// clients with the client library, spreads them over channels, lets K speakers send R voice
// datagrams a second each for a few seconds and prints relayed copies a second, loss, one-way
// latency p50/p99 and the server's CPU time per 1000 copies.
//
// Run: build/bench/bench_relay [--server build/qmserver] [--seconds 3] [--rate 50]
//                              [--payload 40] [--configs 16/2,64/8,255/32]
//
// Channels: one speaker per channel (K channels, N/K clients each). When the server does not
// answer a channel change (the command not yet served), each speaker instead whispers to the
// members of its group: the same recipients, one CRC and one send per copy as for channel voice.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/QmClient.hpp"
#include "control/ControlPackets.hpp"
#include "datagram/Datagrams.hpp"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace qm;

namespace {

struct Options {
  std::string server;
  double seconds = 3.0;
  int rate = 50;
  int payload = 40;
  std::vector<std::pair<int, int>> configs{{16, 2}, {64, 8}, {255, 32}};
};

struct Bench {
  int clients = 0, speakers = 0;
  bool channels = true;
  uint64_t sent = 0, expected = 0, received = 0;
  std::vector<uint32_t> latencyUs;
  double cpuMs = 0, wallSeconds = 0;
};

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

uint16_t FreePortPair() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    int t = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(t, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(t, reinterpret_cast<sockaddr*>(&a), &len);
    const uint16_t port = ntohs(a.sin_port);
    close(t);
    if (port >= 65535) continue;
    int u = socket(AF_INET, SOCK_DGRAM, 0);
    a.sin_port = htons(static_cast<uint16_t>(port + 1));
    const bool free = bind(u, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(u);
    if (free) return port;
  }
  return 0;
}

double CpuMsOf(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return 1000.0 * static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The server in a temporary folder of its own: its executable is copied there so qmserver.ini
// beside it is this run's, and qmserver.log lands there too.
class ServerProcess {
 public:
  ServerProcess(const std::string& binary, int maxClients) {
    dir_ =
        fs::temp_directory_path() / ("qm-bench-relay-" + std::to_string(getpid()) + "-" + std::to_string(maxClients));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fs::copy_file(binary, dir_ / "qmserver");
    fs::permissions(dir_ / "qmserver", fs::perms::owner_all);
    port_ = FreePortPair();
    std::ofstream ini(dir_ / "qmserver.ini", std::ios::binary);
    ini << "[Version]\r\nServerVersion=v1.2.2\r\n[Networking]\r\nTCPPort=" << port_
        << "\r\n[General]\r\nMaxClients=" << maxClients << "\r\n";
    // Every client comes from 127.0.0.1: no share of places or voice per address, no login pacing.
    ini << "[Limits]\r\nMaxClientsPerAddress=0\r\nLoginsPerAddressPerSecond=0\r\nVoiceSpeakersPerAddress=0\r\n";
    ini.close();
    pid_ = fork();
    if (pid_ == 0) {
      if (chdir(dir_.c_str()) != 0) _exit(127);
      const int null = open("/dev/null", O_RDWR);
      dup2(null, 1);
      dup2(null, 2);
      const std::string exe = (dir_ / "qmserver").string();
      execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~ServerProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (waitpid(pid_, &status, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
      }
    }
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  pid_t Pid() const { return pid_; }
  uint16_t TcpPort() const { return port_; }
  uint16_t UdpPort() const { return static_cast<uint16_t>(port_ + 1); }

 private:
  fs::path dir_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
};

struct BenchClient {
  client::ControlClient control;
  int udp = -1;
  uint16_t key = 0;
  uint8_t wirePlayer = 0;
  int group = 0;
  ~BenchClient() {
    if (udp >= 0) close(udp);
  }
};

int OpenUdp() {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  int size = 1 << 20;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  fcntl(s, F_SETFL, O_NONBLOCK);
  return s;
}

void SendUdp(int s, uint16_t port, const uint8_t* data, size_t size) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  sendto(s, data, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

bool Run(const Options& o, int n, int k, Bench& out) {
  out.clients = n;
  out.speakers = k;
  ServerProcess server(o.server, n);
  std::vector<std::unique_ptr<BenchClient>> clients;
  // Log in as soon as the server listens.
  for (int i = 0; i < n; ++i) {
    auto c = std::make_unique<BenchClient>();
    bool in = false;
    for (int attempt = 0; attempt < 100 && !in; ++attempt) {
      try {
        c->control.Connect("127.0.0.1", server.TcpPort(), 1000);
        in = c->control.Login("bench" + std::to_string(i), "", "1.2.2") == kPktLoginAccepted;
        if (!in) c->control.Close();
      } catch (const std::exception&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
    if (!in) {
      std::fprintf(stderr, "login %d of %d failed\n", i + 1, n);
      return false;
    }
    c->key = c->control.SessionKey();
    c->udp = OpenUdp();
    c->group = i % k;
    clients.push_back(std::move(c));
  }
  // Logins take the lowest free player id in turn, so client i is player i + 1 on the wire.
  for (int i = 0; i < n; ++i) clients[i]->wirePlayer = static_cast<uint8_t>(i + 1);

  // Channels: group g is channel g + 1. The mover hears its own change when the command is served.
  for (auto& c : clients) c->control.Send(ComposeByteCommand(kCmdClientChangeRoom, static_cast<uint8_t>(c->group + 1)));
  out.channels = clients[0]->control.WaitFor({kPktPlayerChangedChannel}, 1000).has_value();

  // Every client announces its UDP address with a ping and waits for the pong.
  const int ep = epoll_create1(0);
  for (int i = 0; i < n; ++i) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(i);
    epoll_ctl(ep, EPOLL_CTL_ADD, clients[i]->udp, &ev);
    const PingDatagram ping = ComposePing(clients[i]->key, kPingRequest, 1);
    SendUdp(clients[i]->udp, server.UdpPort(), ping.data(), ping.size());
  }
  std::vector<bool> ponged(n, false);
  int pongs = 0;
  uint8_t buf[8192];
  const auto pongDeadline = Clock::now() + std::chrono::seconds(5);
  while (pongs < n && Clock::now() < pongDeadline) {
    epoll_event events[64];
    const int got = epoll_wait(ep, events, 64, 200);
    for (int e = 0; e < got; ++e) {
      const int i = static_cast<int>(events[e].data.u32);
      while (recv(clients[i]->udp, buf, sizeof buf, 0) > 0)
        if (!ponged[i]) ponged[i] = true, ++pongs;
    }
  }
  if (pongs < n) {
    std::fprintf(stderr, "only %d of %d clients got their pong\n", pongs, n);
    close(ep);
    return false;
  }

  std::vector<int> groupSize(k, 0);
  for (auto& c : clients) ++groupSize[c->group];
  std::atomic<bool> receiving{true};
  std::atomic<uint64_t> received{0};
  std::vector<uint32_t> latencies;
  latencies.reserve(static_cast<size_t>(o.seconds * o.rate * k * (n / k + 1)) + 1024);

  std::thread receiver([&] {
    uint8_t rbuf[8192];
    while (receiving.load()) {
      epoll_event events[256];
      const int got = epoll_wait(ep, events, 256, 50);
      for (int e = 0; e < got; ++e) {
        const int s = clients[events[e].data.u32]->udp;
        for (;;) {
          const ssize_t len = recv(s, rbuf, sizeof rbuf, 0);
          if (len <= 0) break;
          DatagramHead h;
          if (!ParseDatagramHead(rbuf, static_cast<size_t>(len), h) || h.magic != kVoiceMagic) continue;
          if (len < static_cast<ssize_t>(kVoiceHeaderSize + 8)) continue;
          int64_t sentNs;
          std::memcpy(&sentNs, rbuf + kVoiceHeaderSize, 8);
          latencies.push_back(static_cast<uint32_t>((NowNs() - sentNs) / 1000));
          received.fetch_add(1, std::memory_order_relaxed);
        }
      }
    }
  });

  // Speakers: the first client of each group. Without channels each whispers to its group.
  std::vector<std::vector<uint8_t>> targets(k);
  for (int i = k; i < n; ++i) targets[clients[i]->group].push_back(clients[i]->wirePlayer);
  const double cpuStart = CpuMsOf(server.Pid());
  const auto start = Clock::now();
  const auto interval = std::chrono::nanoseconds(1000000000LL / o.rate);
  const int ticks = static_cast<int>(o.seconds * o.rate);
  std::vector<uint32_t> packetIds(k, 1);
  std::vector<uint8_t> body;
  for (int t = 0; t < ticks; ++t) {
    std::this_thread::sleep_until(start + interval * t);
    for (int s = 0; s < k; ++s) {
      BenchClient& speaker = *clients[s];
      body.clear();
      if (!out.channels) {
        body.push_back(static_cast<uint8_t>(targets[s].size()));
        body.insert(body.end(), targets[s].begin(), targets[s].end());
      }
      const size_t at = body.size();
      body.resize(at + static_cast<size_t>(std::max(o.payload, 8)), 0x55);
      const int64_t now = NowNs();
      std::memcpy(body.data() + at, &now, 8);
      const auto d = ComposeVoice(speaker.key, out.channels ? kVoiceChannel : kVoiceWhisper, 0, packetIds[s]++,
                                  body.data(), body.size());
      SendUdp(speaker.udp, server.UdpPort(), d.data(), d.size());
      ++out.sent;
      out.expected += static_cast<uint64_t>(groupSize[s] - 1);
    }
  }
  const auto sendEnd = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const double cpuEnd = CpuMsOf(server.Pid());
  receiving.store(false);
  receiver.join();
  close(ep);
  out.received = received.load();
  out.latencyUs = std::move(latencies);
  out.cpuMs = cpuEnd - cpuStart;
  out.wallSeconds = std::chrono::duration<double>(sendEnd - start).count();
  return true;
}

void Print(const Bench& b) {
  std::vector<uint32_t> l = b.latencyUs;
  std::sort(l.begin(), l.end());
  auto pct = [&](double p) {
    return l.empty() ? 0.0 : l[std::min(l.size() - 1, static_cast<size_t>(p * l.size()))] / 1000.0;
  };
  const double loss =
      b.expected ? 100.0 * (1.0 - static_cast<double>(b.received) / static_cast<double>(b.expected)) : 0.0;
  std::printf("%4d/%-3d %-9s %10.0f %8.2f%% %9.3f %9.3f %12.2f\n", b.clients, b.speakers,
              b.channels ? "channels" : "whispers", static_cast<double>(b.received) / b.wallSeconds, loss, pct(0.50),
              pct(0.99), b.received ? b.cpuMs / (static_cast<double>(b.received) / 1000.0) : 0.0);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  Options o;
  o.server = (fs::path(argv[0]).parent_path() / ".." / "qmserver").lexically_normal().string();
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i], v = argv[i + 1];
    if (a == "--server")
      o.server = v;
    else if (a == "--seconds")
      o.seconds = std::stod(v);
    else if (a == "--rate")
      o.rate = std::max(1, std::stoi(v));
    else if (a == "--payload")
      o.payload = std::stoi(v);
    else if (a == "--configs") {
      o.configs.clear();
      std::stringstream ss(v);
      std::string item;
      while (std::getline(ss, item, ',')) {
        const auto slash = item.find('/');
        if (slash != std::string::npos)
          o.configs.push_back({std::stoi(item.substr(0, slash)), std::stoi(item.substr(slash + 1))});
      }
    } else {
      std::fprintf(stderr, "unknown option %s\n", a.c_str());
      return 2;
    }
  }
  if (!fs::exists(o.server)) {
    std::fprintf(stderr, "no server at %s (build it, or pass --server)\n", o.server.c_str());
    return 2;
  }
  std::printf("relay over loopback: %d datagrams/s per speaker, %d-byte payload, %.1f s per configuration\n", o.rate,
              o.payload, o.seconds);
  std::printf("%8s %-9s %10s %9s %9s %9s %12s\n", "N/K", "spread", "copies/s", "loss", "p50 ms", "p99 ms",
              "cpu ms/1000");
  int failures = 0;
  for (auto [n, k] : o.configs) {
    if (n < 2 || k < 1 || k > n || n > 255) {
      std::fprintf(stderr, "skipping %d/%d\n", n, k);
      continue;
    }
    Bench b;
    if (Run(o, n, k, b))
      Print(b);
    else
      ++failures;
  }
  return failures ? 1 : 0;
}
