#pragma once
// The process-wide settings, loaded once at start-up from qmserver.ini beside the executable.
// A reload (and, for the passwords, an administrator) changes some while workers read them: the
// texts sit behind a lock of their own, the numbers are read through LiveSetting. The rest is
// written only by start-up, before any worker runs.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace qm {

// The public server list's report address and the default link sent with the report. Example
// hosts: operators point them at real addresses (see the README).
inline constexpr const char* kPublicListUrl = "http://serverlist.example.org/webpost.php?";
inline constexpr const char* kDefaultWebPostLinkUrl = "http://www.example.org/";
// The version text clients are told (with the server's suffixes) and the ini's [Version]
// ServerVersion is compared with. A protocol constant: clients and files know it as it is, so it
// stays "v1.2.2" when the program's own version (platform/Version.hpp) moves on.
inline constexpr const char* kProtocolVersion = "v1.2.2";
// The most clients a MaxClients setting can allow; a larger value is read as this.
inline constexpr int32_t kMostClients = 255;
// The most channels start-up creates from the file: the list packet counts them in one byte.
inline constexpr size_t kMostChannels = 255;
// The administrator password a fresh configuration carries; start-up warns while it is in force.
inline constexpr const char* kDefaultAdminPassword = "oxlit";

// A text a reload may replace while other threads read it.
class LiveText {
 public:
  std::string Get() const {
    std::lock_guard<std::mutex> g(mutex_);
    return value_;
  }
  void Set(std::string v) {
    std::lock_guard<std::mutex> g(mutex_);
    value_ = std::move(v);
  }

 private:
  mutable std::mutex mutex_;
  std::string value_;
};
using PasswordSetting = LiveText;

// Every value starts at its default (the table in Settings.cpp holds them); LoadConfiguration
// sets them again before it reads the file.
struct ServerSettings {
  ServerSettings();
  PasswordSetting ServerPassword;
  PasswordSetting AdminPassword;
  LiveText Servername;
  int32_t MaxClients{};
  int32_t TCPPort{};
  int32_t UDPPort{};  // always TCPPort + 1, never read from the file
  std::string IP;
  int32_t MaxPingTries{};
  int32_t PingWaitTime{};
  int32_t IdleTimeBeforePing{};
  bool Active{};
  bool QuillmootSite_Active{};
  bool QuillmootSite_DisplayInWebList{};
  LiveText WebPostURL;
  LiveText WebPostLinkUrl;
  // [Limits]: what one client or address may make the others do. Read when present, never
  // written; 0 turns a limit off, and a negative value is refused with a warning (the default
  // stays).
  int32_t MaxClientsPerAddress{};
  int32_t VoicePacketsPerSecond{};
  int32_t VoiceBytesPerSecond{};
  int32_t ChannelChangesPerSecond{};
  int32_t LoginsPerAddressPerSecond{};
  // How many speakers' voice budgets all the speakers behind one address share.
  int32_t VoiceSpeakersPerAddress{};
};

ServerSettings& Settings();

// The integer settings a reload may change while workers run are read through this, and the
// reload writes them the same way, so a value is never seen half-written.
inline int32_t LiveSetting(const int32_t& value) {
  return std::atomic_ref<int32_t>(const_cast<int32_t&>(value)).load(std::memory_order_relaxed);
}
inline bool LiveSetting(const bool& value) {
  return std::atomic_ref<bool>(const_cast<bool&>(value)).load(std::memory_order_relaxed);
}

// Names and places of the files (start-up may replace the configuration file's name).
std::string IniFileName();
void SetIniFileName(std::string name);
// The executable's directory, always ending in the path separator.
std::string ExeDir();
void SetExeDir(std::string dir);
// Tests run the server in-process with a temporary directory standing in for the executable's.
void SetExeDirOverride(std::string dir);
std::string ExeDirOverride();
std::string IniFilePath();

// Sets every default, reads the file, normalises WebPostURL, loads the channels through addChannel
// (adding "Default" when none is configured; past kMostChannels the rest are skipped with one
// warning line), rewrites the file when its version differs and sets
// the UDP port. Throws on any failure of the file or of addChannel.
void LoadConfiguration(const std::function<void(const std::string&)>& addChannel);

// What a reload of the configuration file did: the keys ("[Passwords] ServerPassword") it applied,
// and those that changed in the file but wait for a restart. Not ok: the file could not be read,
// and nothing changed.
struct ReloadOutcome {
  bool ok = false;
  std::string error;
  std::vector<std::string> applied;
  std::vector<std::string> needsRestart;
};
// Reads the file again into a fresh set of values and applies to live what may change while
// workers run: the passwords, the server name and the [WebStatus] texts (each behind its own lock),
// MaxClients, every [Limits] value, the [Ping] settings and the [WebStatus] switches (read through
// LiveSetting). The address and the port are bound at start, so a change to them is reported as
// needing a restart.
ReloadOutcome ReloadConfiguration(ServerSettings& live);

}  // namespace qm
