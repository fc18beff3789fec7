#include "FuzzServer.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "config/Settings.hpp"
#include "log/Log.hpp"
#include "support/ServerProbe.hpp"

namespace qm::fuzz {
namespace {

TQuillmootServer* gServer = nullptr;
uint16_t gPort = 0;
std::filesystem::path gDir;

bool CanBind(int type, uint16_t port) {
  const auto s = ::socket(AF_INET, type, 0);
  if (s == platform::kInvalidSocket) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  platform::CloseSocket(s);
  return ok;
}

uint16_t FreePortPair() {
  std::random_device rd;
  std::mt19937 gen(rd());
  std::uniform_int_distribution<int> dist(20000, 59000);
  for (int attempt = 0; attempt < 500; ++attempt) {
    const auto p = static_cast<uint16_t>(dist(gen));
    if (CanBind(SOCK_STREAM, p) && CanBind(SOCK_DGRAM, static_cast<uint16_t>(p + 1))) return p;
  }
  return 0;
}

void RemoveDir() {
  std::error_code ec;
  std::filesystem::remove_all(gDir, ec);
}

[[noreturn]] void Die(const std::string& why) {
  std::fprintf(stderr, "fuzz harness: %s\n", why.c_str());
  std::abort();
}

}  // namespace

TQuillmootServer& Server(const std::vector<std::vector<std::string>>& extraKeys) {
  if (gServer) return *gServer;
  platform::SocketsStartup();
  gDir = std::filesystem::temp_directory_path() / ("qmfuzz-" + std::to_string(::getpid()));
  std::filesystem::create_directories(gDir);
  std::atexit(RemoveDir);
  gPort = FreePortPair();
  if (gPort == 0) Die("no free port pair");

  std::ofstream ini(gDir / "qmserver.ini", std::ios::binary | std::ios::trunc);
  ini << "[Version]\r\nServerVersion=v1.2.2\r\n";
  ini << "[Networking]\r\nTCPPort=" << gPort << "\r\nIP=127.0.0.1\r\n";
  ini << "[Passwords]\r\nAdminPassword=" << kAdminPassword << "\r\nServerPassword=\r\n";
  // Clients that the harness keeps logged in never answer pings; they must not be given up.
  ini << "[Ping]\r\nMaxPingTries=2000000000\r\n";
  ini << "[General]\r\nMaxClients=64\r\n";
  // Every input comes from 127.0.0.1 at fuzzing speed: pacing would only slow the harness down
  // (the limits have their own tests).
  ini << "[Limits]\r\nMaxClientsPerAddress=0\r\nChannelChangesPerSecond=0\r\nLoginsPerAddressPerSecond=0\r\n";
  for (const auto& k : extraKeys)
    if (k.size() == 3) ini << "[" << k[0] << "]\r\n" << k[1] << "=" << k[2] << "\r\n";
  ini.close();

  SetExeDirOverride(gDir.string());
  SetIniFileName("qmserver.ini");
  SetLogFileName(std::getenv("QM_FUZZ_LOG") ? std::getenv("QM_FUZZ_LOG") : "/dev/null");
  SetProcessArguments({});
  gServer = new TQuillmootServer();  // never destroyed: the process ends with it
  test::ServerProbe(*gServer).shutdownPauseMs = 0;
  if (!gServer->Server_Init()) Die("server start failed: " + gServer->StartupError());
  return *gServer;
}

uint16_t TcpPort() { return gPort; }
uint16_t UdpPort() { return static_cast<uint16_t>(gPort + 1); }

void RestorePasswords() {
  Settings().ServerPassword.Set("");
  Settings().AdminPassword.Set(kAdminPassword);
}

Connection::Connection() {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(TcpPort());
  // Tens of thousands of connections a minute leave as many of the server's ends in TIME_WAIT; a
  // new one that meets such a remnant may be turned away once. Only a server that refuses for a
  // whole second is a finding.
  for (int attempt = 0;; ++attempt) {
    s_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s_ != platform::kInvalidSocket && ::connect(s_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) break;
    const int error = errno;
    if (s_ != platform::kInvalidSocket) platform::CloseSocket(s_);
    if (attempt == 100) Die(std::string("cannot connect to the server: ") + std::strerror(error));
    ::usleep(10 * 1000);
  }
  int noDelay = 1;
  ::setsockopt(s_, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
}

Connection::~Connection() { platform::CloseSocket(s_); }

bool Connection::Send(const uint8_t* data, size_t size) {
  for (size_t sent = 0; sent < size && !closed_;) {
    const auto n = ::send(s_, data + sent, size - sent, platform::kSendFlags);
    if (n <= 0) {
      closed_ = true;
      break;
    }
    sent += static_cast<size_t>(n);
  }
  return !closed_;
}

bool Connection::Drain() {
  uint8_t buffer[16384];
  while (!closed_ && platform::WaitReadable(s_, 0) > 0) {
    const auto n = ::recv(s_, buffer, sizeof buffer, 0);
    if (n <= 0) {
      closed_ = true;
      break;
    }
    received_.insert(received_.end(), buffer, buffer + n);
  }
  return !closed_;
}

bool Connection::WaitReceived(size_t count, int timeoutMs) {
  return WaitFor(
             [&] {
               Drain();
               return received_.size() >= count || closed_;
             },
             timeoutMs) &&
         received_.size() >= count;
}

}  // namespace qm::fuzz
