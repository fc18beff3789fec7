// The Win32 side of the service framework, on the Service Control Manager API.
#include "platform/ServiceManager.hpp"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Error.hpp"
#include "platform/Platform.hpp"
#include "platform/win32/WinApi.hpp"

namespace qm::platform {
namespace {

constexpr DWORD kScmAllAccess = 0xF003F;      // SC_MANAGER_ALL_ACCESS
constexpr DWORD kServiceAllAccess = 0xF01FF;  // SERVICE_ALL_ACCESS
constexpr DWORD kWaitHintMs = 5000;
// How long START waits for a starting service to report running or stopped.
constexpr int kStartOutcomeTimeoutMs = 30000;

std::string SystemMessage(DWORD code) {
  char* text = nullptr;
  const DWORD n =
      FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string out = n && text ? std::string(text, n) : std::string();
  if (text) LocalFree(text);
  while (!out.empty() && (out.back() == '\r' || out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

[[noreturn]] void RaiseWin32Error(DWORD code) {
  if (code == 0) throw EOSError("A Win32 API function failed");
  throw EOSError("Win32 Error.  Code: " + std::to_string(code) + ".\r\n" + SystemMessage(code));
}

class ScHandle {
 public:
  explicit ScHandle(SC_HANDLE h) : h_(h) {}
  ~ScHandle() {
    if (h_) CloseServiceHandle(h_);
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  SC_HANDLE Get() const { return h_; }

 private:
  SC_HANDLE h_;
};

SC_HANDLE OpenManagerOrRaise() {
  SC_HANDLE h = OpenSCManagerA(nullptr, nullptr, kScmAllAccess);
  if (!h) RaiseWin32Error(GetLastError());
  return h;
}

SC_HANDLE OpenServiceOrRaise(SC_HANDLE manager, const ServiceIdentity& id) {
  SC_HANDLE h = OpenServiceA(manager, id.name.c_str(), kServiceAllAccess);
  if (!h) RaiseWin32Error(GetLastError());
  return h;
}

// --- the running service: one per process ---

struct ServiceRun {
  const ServiceIdentity* id = nullptr;
  ServiceModule* module = nullptr;
  SERVICE_STATUS_HANDLE statusHandle = nullptr;
  std::mutex statusMutex;
  SERVICE_STATUS status{};
  std::mutex controlMutex;
  std::condition_variable controlCv;
  std::deque<DWORD> controls;
  int exitCode = 0;
};
ServiceRun gRun;

void ReportStatus(DWORD state, DWORD exitCode = NO_ERROR, DWORD specificCode = 0) {
  std::lock_guard<std::mutex> g(gRun.statusMutex);
  SERVICE_STATUS& s = gRun.status;
  s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.dwCurrentState = state;
  s.dwControlsAccepted = state == SERVICE_RUNNING ? (SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN) : 0;
  s.dwWin32ExitCode = exitCode;
  s.dwServiceSpecificExitCode = specificCode;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  s.dwCheckPoint = pending ? s.dwCheckPoint + 1 : 0;
  s.dwWaitHint = pending ? kWaitHintMs : 0;
  if (gRun.statusHandle) SetServiceStatus(gRun.statusHandle, &s);
}

// Re-reports a pending state once a second, so the SCM sees progress during a stop that takes
// longer than the wait hint (the orderly stop pauses 2 s and may wait 5 s for connections).
class PendingTicker {
 public:
  explicit PendingTicker(DWORD state) : state_(state), thread_([this] { Run(); }) {}
  ~PendingTicker() {
    {
      std::lock_guard<std::mutex> g(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> g(mutex_);
    while (!cv_.wait_for(g, std::chrono::seconds(1), [this] { return done_; })) ReportStatus(state_);
  }
  DWORD state_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

// Called by the SCM on the dispatcher thread: only hands the control to the service thread.
// Runs the module's start or stop while the manager is told, again and again, that it is pending;
// a throw counts as the outcome given.
bool WhilePending(DWORD state, void (ServiceModule::*call)(bool&), bool outcomeOnThrow) {
  PendingTicker ticker(state);
  bool outcome = false;
  try {
    (gRun.module->*call)(outcome);
  } catch (...) {
    outcome = outcomeOnThrow;
  }
  return outcome;
}

void WINAPI ControlHandler(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN: {
      {
        std::lock_guard<std::mutex> g(gRun.controlMutex);
        gRun.controls.push_back(control);
      }
      gRun.controlCv.notify_all();
      break;
    }
    case SERVICE_CONTROL_INTERROGATE: {
      std::lock_guard<std::mutex> g(gRun.statusMutex);
      if (gRun.statusHandle) SetServiceStatus(gRun.statusHandle, &gRun.status);
      break;
    }
    default:
      break;
  }
}

// The service thread.
void WINAPI ServiceMain(DWORD, LPSTR*) {
  gRun.statusHandle = RegisterServiceCtrlHandlerA(gRun.id->name.c_str(), ControlHandler);
  if (!gRun.statusHandle) {
    gRun.exitCode = 1;
    return;
  }
  ReportStatus(SERVICE_START_PENDING);
  if (!WhilePending(SERVICE_START_PENDING, &ServiceModule::ServiceStart, false)) {
    // A service-specific code, so the SCM records the failure and its recovery actions apply.
    gRun.exitCode = 1;
    ReportStatus(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, 1);
    return;
  }
  ReportStatus(SERVICE_RUNNING);
  for (;;) {
    {
      std::unique_lock<std::mutex> g(gRun.controlMutex);
      gRun.controlCv.wait(g, [] { return !gRun.controls.empty(); });
      gRun.controls.pop_front();
    }
    // Stop and system shutdown both take the orderly stop: clients are told and the log closes.
    ReportStatus(SERVICE_STOP_PENDING);
    if (WhilePending(SERVICE_STOP_PENDING, &ServiceModule::ServiceStop, true)) break;
    ReportStatus(SERVICE_RUNNING);
  }
  ReportStatus(SERVICE_STOPPED);
}

std::string ExecutableFileName() {
  std::string path = ExecutablePath();
  const size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

void WriteEventLogError(const std::string& text) {
  HANDLE source = RegisterEventSourceA(nullptr, ExecutableFileName().c_str());
  if (!source) return;
  const char* strings[1] = {text.c_str()};
  ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

bool WriteToConsole(DWORD which, const std::string& text) {
  HANDLE h = GetStdHandle(which);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return false;
  const std::string line = text + "\r\n";
  DWORD written = 0;
  return WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) != 0;
}

}  // namespace

void RegisterService(const ServiceIdentity& id, const std::string& executablePath) {
  ScHandle manager(OpenManagerOrRaise());
  // Quoted: an unquoted path with a blank lets the SCM run a program named by the path's prefix.
  const std::string command =
      executablePath.find(' ') == std::string::npos ? executablePath : "\"" + executablePath + "\"";
  ScHandle service(CreateServiceA(manager.Get(), id.name.c_str(), id.displayName.c_str(), kServiceAllAccess,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(),
                                  nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service.Get()) RaiseWin32Error(GetLastError());
}

void UnregisterService(const ServiceIdentity& id) {
  ScHandle manager(OpenManagerOrRaise());
  ScHandle service(OpenServiceOrRaise(manager.Get(), id));
  if (!DeleteService(service.Get())) RaiseWin32Error(GetLastError());
}

void StartRegisteredService(const ServiceIdentity& id) {
  ScHandle manager(OpenManagerOrRaise());
  ScHandle service(OpenServiceOrRaise(manager.Get(), id));
  if (!StartServiceA(service.Get(), 0, nullptr)) RaiseWin32Error(GetLastError());
  // StartService returns while the start is still pending; the server's start-up decides.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartOutcomeTimeoutMs);
  for (;;) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service.Get(), &status)) RaiseWin32Error(GetLastError());
    if (status.dwCurrentState == SERVICE_RUNNING) return;
    if (status.dwCurrentState == SERVICE_STOPPED || status.dwCurrentState == SERVICE_STOP_PENDING)
      RaiseWin32Error(status.dwWin32ExitCode ? status.dwWin32ExitCode : ERROR_SERVICE_NOT_ACTIVE);
    if (std::chrono::steady_clock::now() >= deadline) RaiseWin32Error(ERROR_SERVICE_REQUEST_TIMEOUT);
    Sleep(100);
  }
}

void StopRegisteredServiceIfRunning(const ServiceIdentity& id) {
  ScHandle manager(OpenManagerOrRaise());
  ScHandle service(OpenServiceOrRaise(manager.Get(), id));
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(service.Get(), &status)) RaiseWin32Error(GetLastError());
  if (status.dwCurrentState != SERVICE_RUNNING) return;
  if (!ControlService(service.Get(), SERVICE_CONTROL_STOP, &status)) RaiseWin32Error(GetLastError());
}

bool WaitWhileServiceStops(const ServiceIdentity& id, int timeoutMs) {
  ScHandle manager(OpenSCManagerA(nullptr, nullptr, kScmAllAccess));
  if (!manager.Get()) return false;
  ScHandle service(OpenServiceA(manager.Get(), id.name.c_str(), SERVICE_QUERY_STATUS));
  if (!service.Get()) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service.Get(), &status)) return false;
    if (status.dwCurrentState != SERVICE_STOP_PENDING) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    Sleep(100);
  }
}

int RunServiceProcess(const ServiceIdentity& id, ServiceModule& module) {
  gRun.id = &id;
  gRun.module = &module;
  std::string name = id.name;
  SERVICE_TABLE_ENTRYA table[] = {{name.data(), ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherA(table)) {
    // Not started by the SCM (a command prompt, say): the event log is where a service reports.
    const std::string text = SystemMessage(GetLastError());
    WriteEventLogError(text);
    WriteToConsole(STD_ERROR_HANDLE, text);
    return 1;
  }
  return gRun.exitCode;
}

void NotifyServiceReady() {}
void NotifyServiceStopping() {}
void NotifyServiceStatus(const std::string&) {}

void ReportServiceFailure(const std::string& text) {
  // An installer that starts the service only learns that the start failed; the log may be in the
  // system folder. Only under the SCM: a console run has stderr.
  if (gRun.statusHandle) WriteEventLogError(text);
}

void ShowServiceMessage(const std::string& title, const std::string& text, bool isError) {
  // A message box is invisible on a headless host; the console, when there is one, is not.
  WriteToConsole(isError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE, text);
  MessageBoxA(nullptr, text.c_str(), title.c_str(),
              MB_OK | MB_SETFOREGROUND | (isError ? MB_ICONERROR : MB_ICONINFORMATION));
}

}  // namespace qm::platform
