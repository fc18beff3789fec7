#include "service/ProgramEntry.hpp"

#include <exception>

#include "platform/Platform.hpp"
#include "platform/ServiceManager.hpp"
#include "server/TQuillmootServer.hpp"
#include "service/ConsoleHost.hpp"
#include "service/Switches.hpp"

namespace qm {
namespace {

void Show(const std::string& text, bool isError) {
  platform::ShowServiceMessage(QuillmootService().title, text, isError);
}

std::string Failure(const char* what, const std::string& error) {
  return "Service \"" + QuillmootService().displayName + "\" failed to " + what + " with error: \"" + error + "\"";
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
  if (sw.console) return RunConsole(service);
  return platform::RunServiceProcess(QuillmootService(), service);
}

}  // namespace qm
