#pragma once
// The service framework: registering the server with the system's service manager (the Windows
// Service Control Manager, or systemd), starting and stopping the registered service, and hosting
// it when the service manager runs the process. The Win32 side speaks the SCM API; the POSIX side
// writes a systemd unit, drives `systemctl` and tells systemd about readiness.
#include <string>

namespace qm::platform {

struct ServiceIdentity {
  std::string name;         // the service manager's key ("Quillmoot")
  std::string displayName;  // shown to operators and in the install messages
  std::string title;        // caption of the messages the framework shows
};

// The platform service class: what one hosted service provides. The framework calls
// ServiceStart and ServiceStop on the service thread, one after the other, never together.
class ServiceModule {
 public:
  virtual ~ServiceModule() = default;
  virtual void ServiceStart(bool& started) = 0;
  virtual void ServiceStop(bool& stopped) = 0;
  virtual void ServiceAfterInstall() = 0;     // throws EOSError
  virtual void ServiceBeforeUninstall() = 0;  // throws EOSError
};

// Registers the service to run the executable at that path, with no arguments, started
// automatically with the system. Throws EOSError (also when it is registered already).
void RegisterService(const ServiceIdentity& id, const std::string& executablePath);
// Removes the registration. A running service is left to stop on its own. Throws EOSError.
void UnregisterService(const ServiceIdentity& id);

// Starts the registered service and waits, bounded, for the outcome: throws EOSError when the
// service cannot be started or stops during its start.
void StartRegisteredService(const ServiceIdentity& id);
// Sends the stop request when the service runs; does not wait for it to stop. Throws EOSError.
void StopRegisteredServiceIfRunning(const ServiceIdentity& id);
// Waits, at most timeoutMs, while the registered service is stopping. True when it is not (or no
// longer) stopping, also when it is not registered.
bool WaitWhileServiceStops(const ServiceIdentity& id, int timeoutMs);

// Runs the process as the service the service manager started: connects to it, calls
// ServiceStart, reports the outcome and ServiceStop on the stop request. Returns the process exit
// status once the service has stopped (non-zero when it could not run).
int RunServiceProcess(const ServiceIdentity& id, ServiceModule& module);

// Runs the module in the foreground until SIGINT/SIGTERM (Ctrl+C on Windows): ServiceStart, the
// readiness notice, the wait, the stopping notice, ServiceStop. 1 when the start failed, else 0.
int RunForeground(ServiceModule& module);

// Readiness notices for a service manager that watches the process (systemd's notify socket).
// No-ops where there is none.
void NotifyServiceReady();
void NotifyServiceStopping();
void NotifyServiceStatus(const std::string& text);
// Why the service could not start, where the service manager's operators look: the Windows event
// log (an error entry) when the SCM runs the process; the journal has stderr already on POSIX.
void ReportServiceFailure(const std::string& text);

// Shows a message to the operator: a message box on Windows, and the console (stdout, or stderr
// for an error) when the process has one.
void ShowServiceMessage(const std::string& title, const std::string& text, bool isError);

}  // namespace qm::platform
