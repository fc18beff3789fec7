// The soak: up to 255 clients churning against a qmserver process for a given time, then checks
// that the server is alive and serves a fresh client, that the list packet holds exactly the
// clients still connected, that its thread count is back to where it started and that its
// resident memory did not grow between the first and the last quarter of the run.
//
//   qmsoak --server build/qmserver --seconds 120 [--clients 255] [--rate 300] [--seed N]
//          [--rss-margin-mb 16, or -1 to report only]
//
// The server binary is copied into a fresh temporary folder, since it reads qmserver.ini beside
// itself; the log and the server's standard error stay there and are shown on failure.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "SoakClient.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

namespace qm::soak {
namespace {

struct Options {
  std::string server;
  int seconds = 120;
  int clients = 255;
  int rate = 300;  // actions per second over all clients
  uint32_t seed = 0;
  double rssMarginMb = 16;  // below 0: memory is reported, not checked
};

long ProcStatus(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') return std::stol(line.substr(n + 1));
  return -1;
}

bool Alive(pid_t pid) {
  int status = 0;
  return ::waitpid(pid, &status, WNOHANG) == 0;
}

uint16_t FreePortPair() {
  std::mt19937 gen(std::random_device{}());
  for (int attempt = 0; attempt < 500; ++attempt) {
    const auto p = static_cast<uint16_t>(20000 + gen() % 39000);
    bool ok = true;
    for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
      const int s = ::socket(AF_INET, type, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(type == SOCK_STREAM ? p : static_cast<uint16_t>(p + 1));
      ok = ok && ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
      ::close(s);
    }
    if (ok) return p;
  }
  return 0;
}

class Soak {
 public:
  explicit Soak(Options o) : opt_(std::move(o)), rng_(opt_.seed) {}
  int Run();

 private:
  bool StartServer();
  void StopServer();
  void Worker(size_t first, size_t last, uint32_t seed);
  void Sampler();
  bool CheckLists();
  bool Fail(const std::string& why);

  Options opt_;
  std::mt19937 rng_;
  fs::path dir_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
  long baselineThreads_ = 0;
  std::vector<std::unique_ptr<SoakClient>> clients_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> serverDied_{false};
  std::mutex samplesMutex_;
  std::vector<long> rssKb_;
  SoakStats stats_;
  bool failed_ = false;
};

bool Soak::Fail(const std::string& why) {
  std::printf("SOAK FAILURE: %s\n", why.c_str());
  failed_ = true;
  return false;
}

bool Soak::StartServer() {
  dir_ = fs::temp_directory_path() / ("qmsoak-" + std::to_string(::getpid()));
  fs::create_directories(dir_);
  const fs::path exe = dir_ / "qmserver";
  fs::copy_file(opt_.server, exe, fs::copy_options::overwrite_existing);
  port_ = FreePortPair();
  if (port_ == 0) return Fail("no free port pair");
  std::ofstream ini(dir_ / "qmserver.ini", std::ios::binary);
  ini << "[Version]\r\nServerVersion=v1.2.2\r\n[Networking]\r\nTCPPort=" << port_ << "\r\nIP=127.0.0.1\r\n"
      << "[General]\r\nMaxClients=" << (opt_.clients + 1) << "\r\n[Passwords]\r\nAdminPassword=" << kSoakAdminPassword
      << "\r\n[Channels]\r\n";
  for (int i = 1; i <= kSoakChannels; ++i) ini << i << "=Room " << i << "\r\n";
  // Every soak client comes from 127.0.0.1: no share per address, no login pacing.
  ini << "[Limits]\r\nMaxClientsPerAddress=0\r\nLoginsPerAddressPerSecond=0\r\nVoiceSpeakersPerAddress=0\r\n";
  ini.close();

  pid_ = ::fork();
  if (pid_ == 0) {
    if (::chdir(dir_.c_str()) != 0) ::_exit(126);
    const int err = ::open((dir_ / "server.stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err >= 0) ::dup2(err, 2), ::dup2(err, 1);
    ::execl(exe.c_str(), "qmserver", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Under ThreadSanitizer start-up takes a while; the port answering is the sign.
  const auto deadline = SteadyClock::now() + 30s;
  while (SteadyClock::now() < deadline) {
    if (!Alive(pid_)) return Fail("the server exited at start-up");
    SoakClient probe(0, port_);
    if (probe.TryConnect()) {
      probe.Close();
      std::this_thread::sleep_for(500ms);  // the probe's connection thread ends
      return true;
    }
    std::this_thread::sleep_for(100ms);
  }
  return Fail("the server did not open its port");
}

void Soak::StopServer() {
  if (pid_ <= 0) return;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == 0) {
    ::kill(pid_, SIGTERM);
    const auto deadline = SteadyClock::now() + 30s;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (SteadyClock::now() > deadline) {
        Fail("the server did not stop within 30 s of SIGTERM");
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(50ms);
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
      Fail("the server exited with " + std::to_string(WEXITSTATUS(status)));
  } else {
    Fail("the server died during the run");
  }
  pid_ = -1;
}

void Soak::Sampler() {
  while (!stop_) {
    const long rss = ProcStatus(pid_, "VmRSS");
    if (rss < 0 || !Alive(pid_)) {
      serverDied_ = true;
      return;
    }
    {
      std::lock_guard<std::mutex> g(samplesMutex_);
      rssKb_.push_back(rss);
    }
    std::this_thread::sleep_for(1s);
  }
}

void Soak::Worker(size_t first, size_t last, uint32_t seed) {
  std::mt19937 rng(seed);
  const size_t count = last - first;
  const size_t workers = (clients_.size() + count - 1) / count;
  // Each worker does its share of the actions per second; every round also drains its clients.
  const auto round = std::chrono::microseconds(
      static_cast<long>(1e6 * static_cast<double>(count) / std::max(1.0, opt_.rate / static_cast<double>(workers))));
  const auto pause = std::min<std::chrono::microseconds>(round, 20ms);
  auto next = SteadyClock::now();
  while (!stop_ && !serverDied_) {
    for (size_t i = first; i < last; ++i) clients_[i]->Pump(stats_);
    if (SteadyClock::now() >= next) {
      clients_[first + rng() % count]->Act(rng, stats_);
      next += round / static_cast<long>(count);
      if (SteadyClock::now() > next + 1s) next = SteadyClock::now();  // do not race to catch up
    } else {
      std::this_thread::sleep_for(pause);
    }
  }
}

bool Soak::CheckLists() {
  // Kicks and dropped connections take a moment to reach the list; the expected set settles.
  std::set<std::string> expected, listed;
  for (int attempt = 0; attempt < 20; ++attempt) {
    for (auto& c : clients_) c->Pump(stats_);
    expected.clear();
    for (auto& c : clients_)
      if (c->LoggedIn()) expected.insert(c->Name());
    SoakClient fresh(9999, port_);
    if (!fresh.TryConnect() || !fresh.LogIn(stats_)) {
      std::this_thread::sleep_for(500ms);
      continue;
    }
    expected.insert(fresh.Name());
    listed = fresh.ListedNames();
    fresh.Leave();
    if (listed == expected) return true;
    std::this_thread::sleep_for(500ms);
  }
  std::ostringstream why;
  why << "the list packet does not match the connected clients: expected " << expected.size() << ", listed "
      << listed.size() << ";";
  for (const auto& n : listed)
    if (!expected.count(n)) why << " stale " << n;
  for (const auto& n : expected)
    if (!listed.count(n)) why << " missing " << n;
  return Fail(why.str());
}

int Soak::Run() {
  if (!StartServer()) return 1;
  baselineThreads_ = ProcStatus(pid_, "Threads");
  std::printf("soak: server pid %d on port %u, %d clients, %d s, baseline %ld threads\n", pid_, port_, opt_.clients,
              opt_.seconds, baselineThreads_);
  for (int i = 0; i < opt_.clients; ++i) clients_.push_back(std::make_unique<SoakClient>(i, port_));

  std::thread sampler([this] { Sampler(); });
  static constexpr size_t kPerWorker = 32;
  std::vector<std::thread> workers;
  for (size_t first = 0; first < clients_.size(); first += kPerWorker)
    workers.emplace_back([this, first] {
      Worker(first, std::min(clients_.size(), first + kPerWorker), opt_.seed + static_cast<uint32_t>(first));
    });

  const auto end = SteadyClock::now() + std::chrono::seconds(opt_.seconds);
  long peakThreads = 0;
  while (SteadyClock::now() < end && !serverDied_) {
    std::this_thread::sleep_for(1s);
    peakThreads = std::max(peakThreads, ProcStatus(pid_, "Threads"));
  }
  stop_ = true;
  for (auto& w : workers) w.join();
  sampler.join();

  if (serverDied_ || !Alive(pid_)) {
    Fail("the server died during the run");
  } else {
    CheckLists();
    // Every client goes, half of them without a word; the threads must all end.
    for (auto& c : clients_) c->Quit(rng_() % 2 == 0);
    const auto deadline = SteadyClock::now() + 20s;
    long threads = ProcStatus(pid_, "Threads");
    while (threads > baselineThreads_ && SteadyClock::now() < deadline) {
      std::this_thread::sleep_for(200ms);
      threads = ProcStatus(pid_, "Threads");
    }
    std::printf("soak: threads baseline %ld, peak %ld, after the clients left %ld\n", baselineThreads_, peakThreads,
                threads);
    if (threads != baselineThreads_) Fail("thread count not back to its baseline");
    SoakClient last(9998, port_);
    if (!last.TryConnect() || !last.LogIn(stats_)) Fail("a fresh client could not log in at the end");
    last.Leave();
  }

  {
    std::lock_guard<std::mutex> g(samplesMutex_);
    const size_t q = rssKb_.size() / 4;
    if (q >= 1) {
      const long first = *std::max_element(rssKb_.begin(), rssKb_.begin() + static_cast<long>(q));
      const long lastQ = *std::max_element(rssKb_.end() - static_cast<long>(q), rssKb_.end());
      if (opt_.rssMarginMb < 0) {
        std::printf("soak: RSS peak first quarter %ld KiB, last quarter %ld KiB (memory check off)\n", first, lastQ);
      } else {
        const double allowed = first * 1.10 + opt_.rssMarginMb * 1024;
        std::printf("soak: RSS peak first quarter %ld KiB, last quarter %ld KiB (allowed %.0f KiB)\n", first, lastQ,
                    allowed);
        if (lastQ > allowed) Fail("resident memory grew between the first and the last quarter");
      }
    }
  }
  stats_.Print();
  StopServer();

  // The clients whisper to random players, some of whom have sent no datagram yet: the server logs
  // each such whisper as the send that could not be made (limited per recipient). Those lines are
  // expected; any other exception line is a fault worth failing for.
  static constexpr const char* kExpected =
      "| in: TUDPSender.ProcessUDPList exception ESocketError: Socket Error # 10049: ";
  // Those lines are limited per recipient key; a window that held some back ends with a summary.
  const auto IsWhisperSummary = [](const std::string& l) {
    static const std::regex summary(
        R"(\| in: TUDPSender\.ProcessUDPList from \d+ \(\d+ similar lines suppressed\)\r?$)");
    return std::regex_search(l, summary);
  };
  std::ifstream log(dir_ / "qmserver.log");
  std::string line;
  size_t lines = 0, expected = 0, unexpected = 0;
  while (std::getline(log, line)) {
    ++lines;
    if (line.find("| in: ") == std::string::npos) continue;
    if (line.find(kExpected) != std::string::npos || IsWhisperSummary(line)) {
      ++expected;
    } else if (unexpected++ < 10) {
      std::printf("soak: unexpected log line: %s\n", line.c_str());
    }
  }
  std::printf(
      "soak: %zu log lines; %zu exception lines expected (whispers to players who have sent no datagram yet, "
      "logged as the send that could not be made), %zu unexpected\n",
      lines, expected, unexpected);
  if (unexpected > 0) Fail(std::to_string(unexpected) + " unexpected exception lines in the log");
  if (failed_) {
    std::printf("soak: server output:\n");
    std::ifstream err(dir_ / "server.stderr");
    std::printf("%s\n", std::string(std::istreambuf_iterator<char>(err), {}).substr(0, 20000).c_str());
    std::printf("soak: files kept in %s\n", dir_.c_str());
    return 1;
  }
  std::error_code ec;
  fs::remove_all(dir_, ec);
  std::printf("soak: PASSED\n");
  return 0;
}

}  // namespace
}  // namespace qm::soak

int main(int argc, char** argv) {
  static const char* const kUsage =
      "usage: qmsoak --server <qmserver> --seconds <n> [--clients 255] [--rate 300] [--seed n] [--rss-margin-mb m]\n";
  qm::soak::Options o;
  o.seed = static_cast<uint32_t>(std::random_device{}());
  std::string current;
  try {
    for (int i = 1; i < argc; i += 2) {
      const std::string k = argv[i];
      current = k + (i + 1 < argc ? " " + std::string(argv[i + 1]) : std::string());
      if (i + 1 >= argc) throw std::invalid_argument("no value");
      const std::string v = argv[i + 1];
      size_t used = v.size();
      if (k == "--server")
        o.server = v;
      else if (k == "--seconds")
        o.seconds = std::max(1, std::stoi(v, &used));
      else if (k == "--clients")
        o.clients = std::clamp(std::stoi(v, &used), 1, 255);
      else if (k == "--rate")
        o.rate = std::max(1, std::stoi(v, &used));
      else if (k == "--seed")
        o.seed = static_cast<uint32_t>(std::stoul(v, &used));
      else if (k == "--rss-margin-mb")
        o.rssMarginMb = std::stod(v, &used);
      else
        used = 0;
      if (used != v.size()) throw std::invalid_argument("not a number");
    }
  } catch (const std::exception& e) {
    // A mistyped number must not start a soak of some other length, nor end in an abort.
    std::fprintf(stderr, "qmsoak: bad option %s\n%s", current.c_str(), kUsage);
    return 2;
  }
  if (o.server.empty() || !fs::exists(o.server)) {
    std::fprintf(stderr, "%s", kUsage);
    return 2;
  }
  std::printf("soak: seed %u\n", o.seed);
  ::signal(SIGPIPE, SIG_IGN);
  return qm::soak::Soak(o).Run();
}
