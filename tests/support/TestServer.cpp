#include "support/TestServer.hpp"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <random>
#include <sstream>

#include "config/Settings.hpp"
#include "log/Log.hpp"
#include "platform/Socket.hpp"

namespace qm::test {
namespace {
std::atomic<int> gCounter{0};

bool CanBind(int type, uint16_t port) {
  const auto s = ::socket(AF_INET, type, 0);
  if (s == platform::kInvalidSocket) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  const bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  platform::CloseSocket(s);
  return ok;
}
}  // namespace

TempDir::TempDir() {
  std::random_device rd;
  path_ = std::filesystem::temp_directory_path() /
          ("qmtest-" + std::to_string(rd()) + "-" + std::to_string(gCounter.fetch_add(1)));
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

uint16_t FreePortPair() {
  platform::SocketsStartup();
  std::random_device rd;
  std::mt19937 gen(rd());
  std::uniform_int_distribution<int> dist(20000, 59000);
  for (int attempt = 0; attempt < 200; ++attempt) {
    const auto p = static_cast<uint16_t>(dist(gen));
    if (CanBind(SOCK_STREAM, p) && CanBind(SOCK_DGRAM, static_cast<uint16_t>(p + 1))) return p;
  }
  return 0;
}

std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::filesystem::path& file, const std::string& content) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << content;
}

std::vector<std::string> ReadLines(const std::filesystem::path& file) {
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(file));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

TestServer::TestServer(std::vector<IniKey> keys, bool writeIni, bool start) {
  port_ = FreePortPair();
  if (writeIni) {
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> sections;
    std::vector<std::string> order{"Version", "Networking"};
    sections["Version"].push_back({"ServerVersion", "v1.2.2"});
    sections["Networking"].push_back({"TCPPort", std::to_string(port_)});
    for (const auto& k : keys) {
      if (!sections.count(k.section)) order.push_back(k.section);
      auto& list = sections[k.section];
      bool replaced = false;
      for (auto& kv : list)
        if (kv.first == k.key) kv.second = k.value, replaced = true;
      if (!replaced) list.push_back({k.key, k.value});
    }
    std::string text;
    for (const auto& s : order) {
      text += "[" + s + "]\r\n";
      for (const auto& kv : sections[s]) text += kv.first + "=" + kv.second + "\r\n";
    }
    WriteFile(IniPath(), text);
  }
  if (start) Start();
}

bool TestServer::Start() {
  SetExeDirOverride(dir_.Str());
  SetIniFileName("qmserver.ini");
  SetLogFileName(LogPath().string());
  SetProcessArguments({});
  server_ = std::make_unique<TQuillmootServer>();
  ServerProbe(*server_).shutdownPauseMs = 50;
  started_ = server_->Server_Init();
  return started_;
}

void TestServer::Stop() {
  if (!server_) return;
  if (started_) server_->Server_DeInit();
  server_.reset();
  started_ = false;
}

TestServer::~TestServer() {
  Stop();
  SetExeDirOverride("");
  SetLogFileName("qmserver.log");
}

bool TestServer::WaitForLog(const std::string& text, int timeoutMs) const {
  return Eventually(
      [&] {
        for (const auto& l : LogLines())
          if (l.find(text) != std::string::npos) return true;
        return false;
      },
      timeoutMs);
}

size_t CountLines(const TestServer& t, const std::string& text) {
  const auto lines = t.LogLines();
  return static_cast<size_t>(std::count_if(lines.begin(), lines.end(),
                                           [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

}  // namespace qm::test
