#include "config/Settings.hpp"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <variant>
#include <vector>

#include "config/IniFile.hpp"
#include "log/Log.hpp"
#include "platform/Ascii.hpp"
#include "platform/Error.hpp"
#include "platform/Platform.hpp"
#include "platform/Sync.hpp"

namespace qm {
namespace {

Guarded<std::string> gIniFileName{"qmserver.ini"};
Guarded<std::string> gExeDir;
Guarded<std::string> gExeDirOverride;

// One setting of the file: where it lives, its default and the member that holds it. Integers are
// written in decimal, booleans as "1"/"0" and read as numbers (any non-zero one is true).
struct SettingField {
  using Member = std::variant<PasswordSetting ServerSettings::*, std::string ServerSettings::*,
                              int32_t ServerSettings::*, bool ServerSettings::*>;
  const char* section;
  const char* key;
  Member member;
  const char* text = "";                               // default of a text or password
  int32_t number = 0;                                  // default of an integer, 0/1 of a boolean
  int32_t most = std::numeric_limits<int32_t>::max();  // an integer read above this is taken as this
  // One read below this is refused with a warning and the default kept: a limit that read a
  // negative value as 0 would silently be switched off.
  int32_t least = std::numeric_limits<int32_t>::min();
  bool written = true;  // false: read when present, never written (a new file stays as it was)
};

constexpr SettingField Password(const char* section, const char* key, PasswordSetting ServerSettings::*member,
                                const char* def) {
  return {section, key, member, def};
}
constexpr SettingField Live(const char* section, const char* key, LiveText ServerSettings::*member, const char* def) {
  return {section, key, member, def};
}
constexpr SettingField Text(const char* section, const char* key, std::string ServerSettings::*member,
                            const char* def) {
  return {section, key, member, def};
}
constexpr SettingField Integer(const char* section, const char* key, int32_t ServerSettings::*member, int32_t def,
                               int32_t most = std::numeric_limits<int32_t>::max()) {
  return {section, key, member, "", def, most};
}
// A limit: 0 turns it off, a value above most reads as most, and a negative one is refused.
constexpr SettingField Limit(const char* key, int32_t ServerSettings::*member, int32_t def, int32_t most) {
  return {"Limits", key, member, "", def, most, 0, false};
}
constexpr SettingField Boolean(const char* section, const char* key, bool ServerSettings::*member, bool def) {
  return {section, key, member, "", def ? 1 : 0};
}

// Every setting, in the order the file is read and an upgrade writes it.
constexpr SettingField kSettingFields[] = {
    Password("Passwords", "ServerPassword", &ServerSettings::ServerPassword, ""),
    Password("Passwords", "AdminPassword", &ServerSettings::AdminPassword, kDefaultAdminPassword),
    Live("General", "Servername", &ServerSettings::Servername, "Quillmoot Server"),
    // Player ids and the list packet's player count are one byte each.
    Integer("General", "MaxClients", &ServerSettings::MaxClients, 16, kMostClients),
    Integer("Networking", "TCPPort", &ServerSettings::TCPPort, 8765),
    Text("Networking", "IP", &ServerSettings::IP, ""),
    Integer("Ping", "MaxPingTries", &ServerSettings::MaxPingTries, 3),
    Integer("Ping", "PingWaitTime", &ServerSettings::PingWaitTime, 15000),
    Integer("Ping", "IdleTimeBeforePing", &ServerSettings::IdleTimeBeforePing, 5000),
    Boolean("WebStatus", "Active", &ServerSettings::Active, false),
    Boolean("WebStatus", "QuillmootSite_Active", &ServerSettings::QuillmootSite_Active, false),
    Boolean("WebStatus", "QuillmootSite_DisplayInWebList", &ServerSettings::QuillmootSite_DisplayInWebList, false),
    Live("WebStatus", "WebPostURL", &ServerSettings::WebPostURL, ""),
    Live("WebStatus", "WebPostLinkUrl", &ServerSettings::WebPostLinkUrl, kDefaultWebPostLinkUrl),
    Limit("MaxClientsPerAddress", &ServerSettings::MaxClientsPerAddress, 16, kMostClients),
    Limit("VoicePacketsPerSecond", &ServerSettings::VoicePacketsPerSecond, 100, 100000),
    Limit("VoiceBytesPerSecond", &ServerSettings::VoiceBytesPerSecond, 32000, 100000000),
    Limit("ChannelChangesPerSecond", &ServerSettings::ChannelChangesPerSecond, 10, 10000),
    Limit("LoginsPerAddressPerSecond", &ServerSettings::LoginsPerAddressPerSecond, 10, 10000),
    // A crowd behind one address, each within its own budget, would otherwise be heard many times.
    Limit("VoiceSpeakersPerAddress", &ServerSettings::VoiceSpeakersPerAddress, 4, kMostClients),
};

void NormaliseWebPostUrl(ServerSettings& s) {
  const std::string url = s.WebPostURL.Get();
  if (AsciiUpper(url).find("HTTP://") == std::string::npos) s.WebPostURL.Set("http://" + url);
}

// The sections an upgrade rewrites from memory, in the order it erases them; "Channels" is kept.
constexpr const char* kRewrittenSections[] = {"Passwords", "Version", "General", "Networking", "Ping", "WebStatus"};

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
// Older clang cannot deduce an aggregate's arguments without a guide.
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

void SetDefaults(ServerSettings& s) {
  for (const SettingField& f : kSettingFields) {
    std::visit(Overloaded{[&](PasswordSetting ServerSettings::*m) { (s.*m).Set(f.text); },
                          [&](std::string ServerSettings::*m) { s.*m = f.text; },
                          [&](int32_t ServerSettings::*m) { s.*m = f.number; },
                          [&](bool ServerSettings::*m) { s.*m = f.number != 0; }},
               f.member);
  }
  s.UDPPort = s.TCPPort + 1;
}

// Each key with the value in memory (its default) as the default. An integer above its field's
// upper bound reads as the bound; one below its lower bound keeps the default, with one line.
void ReadFields(const IniFile& ini, ServerSettings& s) {
  for (const SettingField& f : kSettingFields) {
    std::visit(Overloaded{[&](PasswordSetting ServerSettings::*m) {
                            (s.*m).Set(ini.ReadString(f.section, f.key, (s.*m).Get()));
                          },
                          [&](std::string ServerSettings::*m) { s.*m = ini.ReadString(f.section, f.key, s.*m); },
                          [&](int32_t ServerSettings::*m) {
                            const int32_t v = ini.ReadInteger(f.section, f.key, s.*m);
                            if (v < f.least) {
                              WriteLog("Warning: " + IniFileName() + " [" + f.section + "] " + f.key + "=" +
                                           std::to_string(v) + " is below " + std::to_string(f.least) +
                                           "; the default " + std::to_string(s.*m) + " stays in force",
                                       kLogWarning);
                              return;
                            }
                            s.*m = std::min(v, f.most);
                          },
                          [&](bool ServerSettings::*m) { s.*m = ini.ReadBool(f.section, f.key, s.*m); }},
               f.member);
  }
}

// The changes that write every field from memory, in the table's order.
void AddFieldWrites(std::vector<IniChange>& changes, const ServerSettings& s) {
  for (const SettingField& f : kSettingFields) {
    if (!f.written) continue;
    const std::string value =
        std::visit(Overloaded{[&](PasswordSetting ServerSettings::*m) { return (s.*m).Get(); },
                              [&](std::string ServerSettings::*m) { return s.*m; },
                              [&](int32_t ServerSettings::*m) { return std::to_string(s.*m); },
                              [&](bool ServerSettings::*m) { return std::string(s.*m ? "1" : "0"); }},
                   f.member);
    changes.push_back({f.section, f.key, value});
  }
}

// Most channels listed in a warning by name; a longer tail is counted.
constexpr size_t kSkippedNamesShown = 20;

void WarnAboutSkippedChannels(const std::vector<std::string>& names) {
  std::string line = "Warning: " + IniFileName() + " lists " + std::to_string(names.size()) +
                     " channels, more than the " + std::to_string(kMostChannels) +
                     " a server holds; not created: [Channels] " + std::to_string(kMostChannels) + " to " +
                     std::to_string(names.size() - 1);
  const size_t skipped = names.size() - kMostChannels;
  const size_t shown = std::min(skipped, kSkippedNamesShown);
  for (size_t i = 0; i < shown; ++i) line += (i == 0 ? " (\"" : ", \"") + names[kMostChannels + i] + "\"";
  if (skipped > shown) line += " and " + std::to_string(skipped - shown) + " more";
  WriteLog(line + ")", kLogWarning);
}

// Keys "0", "1", ... up to the first missing or empty one; "Default" when there is none. The list
// packet counts channels in one byte, so only the first kMostChannels are created.
void LoadChannels(const IniFile& ini, const std::function<void(const std::string&)>& addChannel) {
  std::vector<std::string> names;
  for (int i = 0;; ++i) {
    std::string name = ini.ReadString("Channels", std::to_string(i), "");
    if (name.empty()) break;
    names.push_back(std::move(name));
  }
  for (size_t i = 0; i < names.size() && i < kMostChannels; ++i) addChannel(names[i]);
  if (names.size() > kMostChannels) WarnAboutSkippedChannels(names);
  if (names.empty()) addChannel("Default");
}

// A file another version wrote is rewritten whole from memory, channels aside, in one write. The
// server password goes back as it was read: writing an empty one would silently drop the
// protection of a server whose file came from another version.
void Upgrade(IniFile& ini, const ServerSettings& s) {
  std::vector<IniChange> changes;
  for (const char* section : kRewrittenSections) changes.push_back(IniChange::Erase(section));
  changes.push_back({"Version", "ServerVersion", kProtocolVersion});
  AddFieldWrites(changes, s);
  ini.Apply(changes);
}

}  // namespace

ServerSettings::ServerSettings() { SetDefaults(*this); }

ServerSettings& Settings() {
  static ServerSettings settings;
  return settings;
}

std::string IniFileName() { return gIniFileName.Get(); }
void SetIniFileName(std::string name) { gIniFileName.Set(std::move(name)); }
std::string ExeDir() { return gExeDir.Get(); }
void SetExeDir(std::string dir) { gExeDir.Set(std::move(dir)); }
void SetExeDirOverride(std::string dir) { gExeDirOverride.Set(std::move(dir)); }
std::string ExeDirOverride() { return gExeDirOverride.Get(); }
std::string IniFilePath() {
  // An absolute "-INI=" (a package's state directory) stands as it is; a plain name sits beside
  // the executable.
  const std::string name = IniFileName();
  return std::filesystem::path(name).is_absolute() ? name : ExeDir() + name;
}

void LoadConfiguration(const std::function<void(const std::string&)>& addChannel) {
  ServerSettings& s = Settings();
  SetDefaults(s);
  IniFile ini(IniFilePath());
  ReadFields(ini, s);
  NormaliseWebPostUrl(s);
  LoadChannels(ini, addChannel);
  if (ini.ReadString("Version", "ServerVersion", "") != kProtocolVersion) Upgrade(ini, s);
  s.UDPPort = s.TCPPort + 1;
}

namespace {
// The integers a reload applies at once, each read through LiveSetting: all but the port.
constexpr int32_t ServerSettings::*kLiveIntegers[] = {
    &ServerSettings::MaxClients,
    &ServerSettings::MaxClientsPerAddress,
    &ServerSettings::ChannelChangesPerSecond,
    &ServerSettings::LoginsPerAddressPerSecond,
    &ServerSettings::MaxPingTries,
    &ServerSettings::PingWaitTime,
    &ServerSettings::IdleTimeBeforePing,
    &ServerSettings::VoicePacketsPerSecond,
    &ServerSettings::VoiceBytesPerSecond,
    &ServerSettings::VoiceSpeakersPerAddress,
};
}  // namespace

ReloadOutcome ReloadConfiguration(ServerSettings& live) {
  ReloadOutcome r;
  // Reading a missing or unreadable file would give every default, the passwords included: a
  // reload takes only a file it can read whole, and refuses one that is plainly not an ini.
  const std::string path = IniFilePath();
  std::string content;
  switch (platform::ReadFileNoFollow(path, content)) {
    case platform::ReadResult::kRead:
      break;
    case platform::ReadResult::kMissing:
      r.error = path + " does not exist";
      return r;
    case platform::ReadResult::kLink:
      r.error = path + " is a symbolic link";
      return r;
    case platform::ReadResult::kFailed:
      r.error = path + " cannot be read";
      return r;
  }
  if (content.find('\0') != std::string::npos) {
    r.error = path + " holds a NUL byte: not a configuration file";
    return r;
  }
  size_t number = 0;
  for (size_t start = 0; start < content.size();) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    const std::string_view line = std::string_view(content).substr(start, end - start);
    ++number;
    const size_t first = line.find_first_not_of(" \t");
    if (first != std::string_view::npos && line[first] == '[' && line.find(']', first) == std::string_view::npos) {
      r.error = path + " line " + std::to_string(number) + ": a section name without its closing ']'";
      return r;
    }
    start = end + 1;
  }
  ServerSettings fresh;
  SetDefaults(fresh);
  try {
    const IniFile ini(IniFilePath());
    ReadFields(ini, fresh);
  } catch (const std::exception& e) {
    r.error = e.what();
    return r;
  }
  NormaliseWebPostUrl(fresh);
  for (const SettingField& f : kSettingFields) {
    const std::string key = std::string("[") + f.section + "] " + f.key;
    std::visit(
        Overloaded{[&](PasswordSetting ServerSettings::*m) {
                     const std::string value = (fresh.*m).Get();
                     if ((live.*m).Get() == value) return;
                     (live.*m).Set(value);
                     r.applied.push_back(key);
                   },
                   [&](int32_t ServerSettings::*m) {
                     if (LiveSetting(live.*m) == fresh.*m) return;
                     if (std::find(std::begin(kLiveIntegers), std::end(kLiveIntegers), m) == std::end(kLiveIntegers)) {
                       r.needsRestart.push_back(key);
                       return;
                     }
                     std::atomic_ref<int32_t>(live.*m).store(fresh.*m, std::memory_order_relaxed);
                     r.applied.push_back(key);
                   },
                   [&](bool ServerSettings::*m) {
                     if (LiveSetting(live.*m) == fresh.*m) return;
                     std::atomic_ref<bool>(live.*m).store(fresh.*m, std::memory_order_relaxed);
                     r.applied.push_back(key);
                   },
                   [&](std::string ServerSettings::*m) {
                     if (live.*m != fresh.*m) r.needsRestart.push_back(key);
                   }},
        f.member);
  }
  r.ok = true;
  return r;
}

}  // namespace qm
