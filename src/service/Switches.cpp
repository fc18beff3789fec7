#include "service/Switches.hpp"

#include <filesystem>
#include <initializer_list>

#include "metrics/MetricsEndpoint.hpp"
#include "platform/Ascii.hpp"
#include "platform/Version.hpp"
#include "server/TQuillmootServer.hpp"
#include "service/FirstIni.hpp"

namespace qm {
namespace {

constexpr const char* kSwitchNames[] = {"STOP", "START",   "INSTALL",  "UNINSTALL", "SILENT",       "CONSOLE",
                                        "HELP", "VERSION", "FIRSTINI", "WAITSTOP",  "HANDOVERCHECK"};

bool Is(const std::string& arg, std::initializer_list<const char*> spellings) {
  for (const char* s : spellings)
    if (arg == s) return true;
  return false;
}

}  // namespace

bool FindSwitch(const std::vector<std::string>& arguments, const char* name) {
  for (const std::string& arg : arguments) {
    if (arg.empty() || (arg[0] != '-' && arg[0] != '/')) continue;
    if (EqualsNoCase(std::string_view(arg).substr(1), name)) return true;
  }
  return false;
}

Switches ParseSwitches(const std::vector<std::string>& arguments) {
  Switches s;
  s.stop = FindSwitch(arguments, "STOP");
  s.start = FindSwitch(arguments, "START");
  s.install = FindSwitch(arguments, "INSTALL");
  s.uninstall = FindSwitch(arguments, "UNINSTALL");
  s.silent = FindSwitch(arguments, "SILENT");
  s.console = FindSwitch(arguments, "CONSOLE");
  s.help = FindSwitch(arguments, "HELP");
  s.version = FindSwitch(arguments, "VERSION");
  s.firstIni = FindSwitch(arguments, "FIRSTINI");
  s.waitStop = FindSwitch(arguments, "WAITSTOP");
  s.handoverCheck = FindSwitch(arguments, "HANDOVERCHECK");
  for (const std::string& arg : arguments) {
    s.help = s.help || Is(arg, {"--help", "-h", "-H", "/h", "/H", "-?", "/?"});
    s.version = s.version || Is(arg, {"--version", "-V"});
  }
  return s;
}

std::vector<std::string> UnknownArguments(const std::vector<std::string>& arguments) {
  std::vector<std::string> unknown;
  for (const std::string& arg : arguments) {
    bool known = IsValueSwitch(arg) || StartsWithNoCase(arg, kFirstIniPortSwitch) || ParseSwitches({arg}).help ||
                 ParseSwitches({arg}).version;
    for (const char* name : kSwitchNames) known = known || FindSwitch({arg}, name);
    if (!known) unknown.push_back(arg);
  }
  return unknown;
}

std::string VersionText() { return std::string("Quillmoot Server v") + kProgramVersion; }

std::string UsageText(const std::string& exeDir, const std::string& workingDir) {
  namespace fs = std::filesystem;
  const std::string log = (fs::path(workingDir) / "qmserver.log").string();
  return VersionText() +
         ", a voice-conference server.\n"
         "\n"
         "Usage: qmserver [-INI=name] [-LOG=name]   run the server in the foreground until Ctrl+C\n"
         "                                          (on Windows add -CONSOLE; without it the\n"
         "                                          service manager runs the server this way)\n"
         "       qmserver -INSTALL|-UNINSTALL [-SILENT]   or   qmserver -START|-STOP\n"
         "\n"
         "Switches (\"-\" or \"/\" in front, any letter case):\n"
         "  -INSTALL     register the service \"Quillmoot\" (systemd or Windows) and start it\n"
         "  -UNINSTALL   stop the service if it runs, then remove it\n"
         "  -START       start the installed service\n"
         "  -STOP        stop the installed service (does not wait)\n"
         "  -SILENT      with -INSTALL or -UNINSTALL: no message on success\n"
         "  -CONSOLE     run in the foreground (on Windows: instead of as a service)\n"
         "  -FIRSTINI    write the configuration (-INI=) with a random administrator password when\n"
         "               it does not exist yet, readable by administrators only; then exit\n"
         "               (-TCPPORT=n gives the new file that port)\n"
         "  -WAITSTOP    wait (at most a minute) until a stop of the service in progress is done\n"
         "  -INI=name    configuration file, relative to the executable's directory (default qmserver.ini)\n"
         "  -LOG=name    log file, relative to the working directory (default qmserver.log)\n" +
         kMetricsUsage +
         "  -CONTROL=PATH  the operator's local socket (qmctl --socket PATH: no password), mode 0660;\n"
         "               default beside the configuration file (qmserver.sock; on Windows the pipe\n"
         "               \\\\.\\pipe\\quillmoot-TCPPORT); -CONTROL= alone: none\n"
         "  --help, -h   this text\n"
         "  --version    the version\n"
         "\n"
         "Files for this executable run from here:\n"
         "  configuration " +
         exeDir +
         "qmserver.ini (created with every default when missing)\n"
         "  log           " +
         log +
         "\n"
         "\n"
         "What one client or address may make the others do: an optional section [Limits] of the\n"
         "configuration, read when present and never written (0 turns a limit off; a negative\n"
         "value is refused with a warning and the default kept):\n"
         "  MaxClientsPerAddress=16         logged-in clients per address; more get \"server full\"\n"
         "  VoicePacketsPerSecond=100       voice datagrams a second per speaker (1 s burst)\n"
         "  VoiceBytesPerSecond=32000       voice bytes a second per speaker (1 s burst); a\n"
         "                                  datagram beyond either budget is dropped\n"
         "  VoiceSpeakersPerAddress=4       speakers' voice budgets all the speakers behind one\n"
         "                                  address share; beyond, their datagrams are dropped\n"
         "  ChannelChangesPerSecond=10      channel changes a second per client (burst 20);\n"
         "                                  beyond, a change waits its turn (slowed, not refused)\n"
         "  LoginsPerAddressPerSecond=10    logins a second per address (burst 50); beyond, a\n"
         "                                  login waits its turn\n";
}

}  // namespace qm
