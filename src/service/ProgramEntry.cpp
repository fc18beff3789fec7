#include "service/ProgramEntry.hpp"

#include <cstdio>
#include <exception>
#include <filesystem>

#include "config/Settings.hpp"
#include "platform/Handover.hpp"
#include "platform/Platform.hpp"
#include "platform/ServiceManager.hpp"
#include "server/HandoverState.hpp"
#include "server/TQuillmootServer.hpp"
#include "service/FirstIni.hpp"
#include "service/Switches.hpp"

namespace qm {
namespace {

constexpr int kWaitStopTimeoutMs = 60000;

void Show(const std::string& text, bool isError) {
  platform::ShowServiceMessage(QuillmootService().title, text, isError);
}

std::string Failure(const char* what, const std::string& error) {
  return "Service \"" + QuillmootService().displayName + "\" failed to " + what + " with error: \"" + error + "\"";
}

int PrintUsage() {
  std::string exeDir = platform::ExecutablePath();
  exeDir = exeDir.substr(0, exeDir.find_last_of(platform::PathSeparator()) + 1);
  std::error_code ec;
  const std::string here = std::filesystem::current_path(ec).string();
  std::fputs(UsageText(exeDir, here).c_str(), stdout);
  return 0;
}

// What the running server asks before it hands over to this executable: the state it passes (a
// provisional one, for its layout) must be readable, and the ini must load. 0 when both hold; else
// 1 and the cause on stderr, which the running server writes into its line.
int CheckHandover() {
  try {
    ParseCommandLine();
    std::string dir = ExeDirOverride();
    if (dir.empty()) {
      dir = platform::ExecutablePath();
      dir = dir.substr(0, dir.find_last_of(platform::PathSeparator()) + 1);
    }
    SetExeDir(dir);
    std::vector<uint8_t> bytes;
    std::string error;
    if (!platform::TakeStateFile(bytes, error)) throw std::runtime_error("no handover state was passed");
    if (!error.empty()) throw std::runtime_error(error);
    ReadHandoverState(bytes.data(), bytes.size());
    LoadConfiguration([](const std::string&) {});
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace

int InstallService(TQuillmoot& service, bool silent) {
  try {
    platform::RegisterService(QuillmootService(), platform::ExecutablePath());
  } catch (const std::exception& e) {
    Show(Failure("install", e.what()), true);
    return 1;
  }
  try {
    service.ServiceAfterInstall();
  } catch (const std::exception& e) {
    try {
      platform::UnregisterService(QuillmootService());
    } catch (...) {
      // The install failure is the news; a failed undo leaves a registration the operator removes.
    }
    Show(Failure("install", e.what()), true);
    return 1;
  }
  if (!silent) Show("Service installed successfully", false);
  return 0;
}

int UninstallService(TQuillmoot& service, bool silent) {
  try {
    service.ServiceBeforeUninstall();
    platform::UnregisterService(QuillmootService());
  } catch (const std::exception& e) {
    Show(Failure("uninstall", e.what()), true);
    return 1;
  }
  if (!silent) Show("Service uninstalled successfully", false);
  return 0;
}

int RunProgram(const std::vector<std::string>& arguments) {
  SetProcessArguments(arguments);
  const Switches sw = ParseSwitches(arguments);
  if (sw.help) return PrintUsage();
  if (sw.version) {
    std::printf("%s\n", VersionText().c_str());
    return 0;
  }
  for (const std::string& arg : UnknownArguments(arguments))
    std::fprintf(stderr, "qmserver: ignoring unknown argument \"%s\" (qmserver --help lists the switches)\n",
                 arg.c_str());
  std::fflush(stderr);
  if (sw.firstIni) return WriteFirstIni(arguments);
  if (sw.handoverCheck) return CheckHandover();
  // An installer's step before it starts the service anew: the SCM refuses a start while the
  // earlier instance is still stopping, and the orderly stop takes seconds.
  if (sw.waitStop) return platform::WaitWhileServiceStops(QuillmootService(), kWaitStopTimeoutMs) ? 0 : 1;
  TQuillmoot service;
  if (sw.stop || sw.start) {
    try {
      if (sw.stop)
        service.ServiceBeforeUninstall();
      else
        service.ServiceAfterInstall();
    } catch (const std::exception& e) {
      Show(e.what(), true);
      return 1;
    }
    return 0;
  }
  if (sw.install) return InstallService(service, sw.silent);
  if (sw.uninstall) return UninstallService(service, sw.silent);
  // In the foreground until the stop signal; under systemd this is also the service process.
  if (sw.console) return platform::RunForeground(service);
  return platform::RunServiceProcess(QuillmootService(), service);
}

}  // namespace qm
