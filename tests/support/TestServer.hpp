#pragma once
// Runs the server in-process for integration tests: a temporary folder stands in for the
// executable's directory (holding qmserver.ini and qmserver.log), on a free TCP/UDP port pair.
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "server/TQuillmootServer.hpp"
#include "support/ServerProbe.hpp"
#include "support/Waits.hpp"

namespace qm::test {

// A fresh, empty temporary directory, removed by the destructor.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& Path() const { return path_; }
  std::string Str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// A TCP port P with P and P + 1 (UDP) free at the moment of the call.
uint16_t FreePortPair();

// Lines of the log file.
std::vector<std::string> ReadLines(const std::filesystem::path& file);
std::string ReadFile(const std::filesystem::path& file);
void WriteFile(const std::filesystem::path& file, const std::string& content);

struct IniKey {
  std::string section, key, value;
};

class TestServer {
 public:
  // Writes qmserver.ini (current version, the chosen port, then the given keys) unless
  // writeIni is false, and starts the server. Check Started() / StartupError().
  explicit TestServer(std::vector<IniKey> keys = {}, bool writeIni = true, bool start = true);
  ~TestServer();

  bool Start();
  void Stop();  // Server_DeInit with a short pause, then destroys the server object
  bool Started() const { return started_; }
  // The server, for the checks of a test, and what it keeps private.
  TQuillmootServer& Server() { return *server_; }
  ServerProbe Probe() { return ServerProbe(*server_); }
  uint16_t TcpPort() const { return port_; }
  uint16_t UdpPort() const { return static_cast<uint16_t>(port_ + 1); }
  const TempDir& Dir() const { return dir_; }
  std::filesystem::path IniPath() const { return dir_.Path() / "qmserver.ini"; }
  std::filesystem::path LogPath() const { return dir_.Path() / "qmserver.log"; }
  std::vector<std::string> LogLines() const { return ReadLines(LogPath()); }
  // True when some log line contains the text, waiting up to timeoutMs for it to appear.
  bool WaitForLog(const std::string& text, int timeoutMs = 3000) const;

 private:
  TempDir dir_;
  uint16_t port_ = 0;
  std::unique_ptr<TQuillmootServer> server_;
  bool started_ = false;
};

// How many log lines contain the text.
size_t CountLines(const TestServer& t, const std::string& text);

}  // namespace qm::test
