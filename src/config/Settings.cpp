#include "config/Settings.hpp"

#include <algorithm>

#include "config/IniFile.hpp"
#include "platform/Ascii.hpp"
#include "platform/Error.hpp"

namespace qm {
namespace {

std::mutex gNamesMutex;
std::string gIniFileName = "qmserver.ini";
std::string gExeDir;
std::string gExeDirOverride;

}  // namespace

TSettings& Settings() {
  static TSettings settings;
  return settings;
}

std::string IniFileName() {
  std::lock_guard<std::mutex> g(gNamesMutex);
  return gIniFileName;
}
void SetIniFileName(std::string name) {
  std::lock_guard<std::mutex> g(gNamesMutex);
  gIniFileName = std::move(name);
}
std::string ExeDir() {
  std::lock_guard<std::mutex> g(gNamesMutex);
  return gExeDir;
}
void SetExeDir(std::string dir) {
  std::lock_guard<std::mutex> g(gNamesMutex);
  gExeDir = std::move(dir);
}
void SetExeDirOverride(std::string dir) {
  std::lock_guard<std::mutex> g(gNamesMutex);
  gExeDirOverride = std::move(dir);
}
std::string ExeDirOverride() {
  std::lock_guard<std::mutex> g(gNamesMutex);
  return gExeDirOverride;
}
std::string IniFilePath() { return ExeDir() + IniFileName(); }

void LoadConfiguration(const std::function<void(const std::string&)>& addChannel) {
  TSettings& s = Settings();
  s.ServerPassword.Set("");
  s.AdminPassword.Set(kDefaultAdminPassword);
  s.Servername = "Quillmoot Server";
  s.MaxClients = 16;
  s.TCPPort = 8765;
  s.UDPPort = 8766;
  s.IP.clear();
  s.MaxPingTries = 3;
  s.PingWaitTime = 15000;
  s.IdleTimeBeforePing = 5000;
  s.Active = false;
  s.QuillmootSite_Active = false;
  s.QuillmootSite_DisplayInWebList = false;
  s.WebPostURL.clear();
  s.WebPostLinkUrl = kDefaultWebPostLinkUrl;

  IniFile ini(IniFilePath());
  const std::string serverPassword = ini.ReadString("Passwords", "ServerPassword", "");
  s.ServerPassword.Set(serverPassword);
  s.AdminPassword.Set(ini.ReadString("Passwords", "AdminPassword", s.AdminPassword.Get()));
  s.Servername = ini.ReadString("General", "Servername", s.Servername);
  s.MaxClients = ini.ReadInteger("General", "MaxClients", s.MaxClients);
  // Player ids and the list packet's player count are one byte each.
  s.MaxClients = std::min(s.MaxClients, kMostClients);
  s.TCPPort = ini.ReadInteger("Networking", "TCPPort", s.TCPPort);
  s.IP = ini.ReadString("Networking", "IP", "");
  s.MaxPingTries = ini.ReadInteger("Ping", "MaxPingTries", s.MaxPingTries);
  s.PingWaitTime = ini.ReadInteger("Ping", "PingWaitTime", s.PingWaitTime);
  s.IdleTimeBeforePing = ini.ReadInteger("Ping", "IdleTimeBeforePing", s.IdleTimeBeforePing);
  s.Active = ini.ReadBool("WebStatus", "Active", s.Active);
  s.QuillmootSite_Active = ini.ReadBool("WebStatus", "QuillmootSite_Active", s.QuillmootSite_Active);
  s.QuillmootSite_DisplayInWebList =
      ini.ReadBool("WebStatus", "QuillmootSite_DisplayInWebList", s.QuillmootSite_DisplayInWebList);
  s.WebPostURL = ini.ReadString("WebStatus", "WebPostURL", s.WebPostURL);
  s.WebPostLinkUrl = ini.ReadString("WebStatus", "WebPostLinkUrl", s.WebPostLinkUrl);

  if (AsciiUpper(s.WebPostURL).find("HTTP://") == std::string::npos) s.WebPostURL = "http://" + s.WebPostURL;

  int added = 0;
  for (int i = 0;; ++i) {
    const std::string name = ini.ReadString("Channels", std::to_string(i), "");
    if (name.empty()) break;
    addChannel(name);
    ++added;
  }
  if (added == 0) addChannel("Default");

  if (ini.ReadString("Version", "ServerVersion", "") != kConfigVersion) {
    for (const char* section : {"Passwords", "Version", "General", "Networking", "Ping", "WebStatus"})
      ini.EraseSection(section);
    ini.WriteString("Version", "ServerVersion", kConfigVersion);
    // The password read from the file goes back into it: writing an empty one would silently
    // drop the protection of a server whose file came from another version.
    ini.WriteString("Passwords", "ServerPassword", serverPassword);
    ini.WriteString("Passwords", "AdminPassword", s.AdminPassword.Get());
    ini.WriteString("General", "Servername", s.Servername);
    ini.WriteInteger("General", "MaxClients", s.MaxClients);
    ini.WriteInteger("Networking", "TCPPort", s.TCPPort);
    ini.WriteString("Networking", "IP", s.IP);
    ini.WriteInteger("Ping", "MaxPingTries", s.MaxPingTries);
    ini.WriteInteger("Ping", "PingWaitTime", s.PingWaitTime);
    ini.WriteInteger("Ping", "IdleTimeBeforePing", s.IdleTimeBeforePing);
    ini.WriteBool("WebStatus", "Active", s.Active);
    ini.WriteBool("WebStatus", "QuillmootSite_Active", s.QuillmootSite_Active);
    ini.WriteBool("WebStatus", "QuillmootSite_DisplayInWebList", s.QuillmootSite_DisplayInWebList);
    ini.WriteString("WebStatus", "WebPostURL", s.WebPostURL);
    ini.WriteString("WebStatus", "WebPostLinkUrl", s.WebPostLinkUrl);
  }
  s.UDPPort = s.TCPPort + 1;
}

}  // namespace qm
