#include "service/FirstIni.hpp"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <random>

#include "config/IniFile.hpp"
#include "config/Settings.hpp"
#include "log/Log.hpp"
#include "platform/Ascii.hpp"
#include "platform/Platform.hpp"
#include "server/TQuillmootServer.hpp"

namespace qm {
namespace {

constexpr size_t kPasswordLength = 20;

void Say(const std::string& text, bool isError, bool toLog) {
  std::fprintf(isError ? stderr : stdout, "%s\n", text.c_str());
  std::fflush(isError ? stderr : stdout);
  // An installer runs this unseen: the log is where the operator finds the ini's whereabouts.
  if (toLog) WriteLog(text, isError ? kLogException : kLogProgress);
}

}  // namespace

std::string RandomAdminPassword() {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  // The system's cryptographic source (rand_s on Windows, getrandom on Linux), not the seeded one.
  std::random_device source;
  std::uniform_int_distribution<size_t> pick(0, sizeof kAlphabet - 2);
  std::string password;
  for (size_t i = 0; i < kPasswordLength; ++i) password += kAlphabet[pick(source)];
  return password;
}

int WriteFirstIni(const std::vector<std::string>& arguments) {
  namespace fs = std::filesystem;
  SetProcessArguments(arguments);
  ParseCommandLine();
  bool toLog = false;
  std::string port;
  for (const std::string& arg : arguments) {
    toLog = toLog || StartsWithNoCase(arg, "-LOG=");
    if (StartsWithNoCase(arg, kFirstIniPortSwitch)) port = arg.substr(std::string_view(kFirstIniPortSwitch).size());
  }
  int32_t portNumber = 0;
  if (!port.empty() && (!ParseIniInteger(port, portNumber) || portNumber < 1 || portNumber > 65534)) {
    Say("Not a TCP port (1 to 65534; the voice port is the next one): " + port, true, false);
    return 1;
  }
  std::string dir = platform::ExecutablePath();
  dir = dir.substr(0, dir.find_last_of(platform::PathSeparator()) + 1);
  SetExeDir(dir);
  const std::string path = IniFilePath();
  try {
    std::error_code ec;
    if (fs::exists(path, ec)) {
      Say("Kept the existing configuration " + path, false, toLog);  // a port given is not applied
      return 0;
    }
    fs::create_directories(fs::path(path).parent_path(), ec);
    // The load below fills in every other value and keeps the password it finds.
    IniFile ini(path);
    ini.WriteString("Passwords", "AdminPassword", RandomAdminPassword());
    if (portNumber) ini.WriteString("Networking", "TCPPort", std::to_string(portNumber));
    LoadConfiguration([](const std::string&) {});
  } catch (const std::exception& e) {
    Say("Could not write the configuration " + path + ": " + e.what(), true, toLog);
    return 1;
  }
  Say("Wrote the configuration " + path +
          " with a random administrator password (AdminPassword in [Passwords]); only administrators may read it",
      false, toLog);
  return 0;
}

}  // namespace qm
