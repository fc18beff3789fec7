// The systemd side of the service framework. The service manager is driven through `systemctl`
// (looked up on PATH) and told about readiness through the notify socket. The notify protocol is
// one datagram of "KEY=value" lines to the AF_UNIX socket named by $NOTIFY_SOCKET; writing it here
// keeps the server free of a libsystemd dependency, which minimal hosts and containers lack.
#include "platform/ServiceManager.hpp"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Ascii.hpp"
#include "platform/Clock.hpp"
#include "platform/Error.hpp"
#include "platform/Process.hpp"

namespace qm::platform {
namespace {

// systemctl start waits for the unit's start time-out (30 s in the unit); this bounds a hung one.
constexpr int kSystemctlTimeoutMs = 120000;
constexpr size_t kMaxCapturedOutput = 4096;

// Prefix for every systemd path: lets tests and staged packaging work in a directory of their own.
std::string Root() {
  const char* root = std::getenv("QM_SYSTEMD_ROOT");
  return root ? std::string(root) : std::string();
}

std::string UnitName(const ServiceIdentity& id) { return AsciiLower(id.name) + ".service"; }

std::string UnitPath(const ServiceIdentity& id) { return Root() + "/etc/systemd/system/" + UnitName(id); }

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// The test systemd itself uses (sd_booted): the directory exists only while systemd is PID 1.
void RequireSystemd() {
  const std::string marker = Root() + "/run/systemd/system";
  if (!IsDirectory(marker))
    throw EOSError("systemd is not running on this machine (" + marker +
                   " is missing), so there is no service to manage. Run qmserver without a switch to run the "
                   "server in the foreground.");
}

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

// Runs `systemctl args...` and returns its combined output; throws EOSError when it cannot be
// run, does not finish in time or exits with a non-zero status.
std::string Systemctl(const std::vector<std::string>& args) {
  std::string shown = "systemctl";
  for (const auto& a : args) shown += " " + a;

  ChildProcess child;
  SpawnRequest request;
  request.argv.push_back("systemctl");
  request.argv.insert(request.argv.end(), args.begin(), args.end());
  request.defaultSignals = {SIGPIPE};
  const SpawnFailure failure = child.Start(request);
  if (failure.pipe) throw EOSError(shown + ": cannot create a pipe: " + std::strerror(failure.code));
  if (failure) {
    if (failure.code == ENOENT) throw EOSError("systemctl was not found on PATH; is systemd installed?");
    throw EOSError(shown + ": cannot run it: " + std::strerror(failure.code));
  }

  std::string output;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSystemctlTimeoutMs);
  bool timedOut = false;
  while (!child.Exited()) {
    if (MillisecondsLeft(deadline) == 0) {
      child.Kill();
      timedOut = true;
      break;
    }
    if (child.OutputOpen()) {
      char buffer[512];
      const size_t n = child.ReadOutput(buffer, sizeof buffer, 50);
      if (n > 0 && output.size() < kMaxCapturedOutput) output.append(buffer, n);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    child.PollExit();
  }
  output = Trim(output);
  if (timedOut) throw EOSError(shown + " did not finish within " + std::to_string(kSystemctlTimeoutMs / 1000) + " s");
  const int exitCode = child.ExitCode();
  if (exitCode != 0) {
    std::string text = shown + " failed";
    if (exitCode >= 0) text += " with exit status " + std::to_string(exitCode);
    if (!output.empty()) text += ": " + output;
    throw EOSError(text);
  }
  return output;
}

// systemd expands specifiers (%) and variables ($) in these settings; a path must reach it as is.
std::string EscapeForUnit(const std::string& path, bool quoted) {
  std::string out;
  for (char c : path) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      throw EOSError("The executable path contains a control character and cannot go into a unit file: " + path);
    if (c == '%') {
      out += "%%";
    } else if (quoted && c == '$') {
      out += "$$";
    } else if (quoted && (c == '"' || c == '\\')) {
      out += '\\';
      out += c;
    } else {
      out += c;
    }
  }
  return quoted ? "\"" + out + "\"" : out;
}

std::string UnitText(const ServiceIdentity& id, const std::string& executablePath) {
  const size_t cut = executablePath.find_last_of('/');
  const std::string dir = cut == std::string::npos || cut == 0 ? "/" : executablePath.substr(0, cut);
  std::string t;
  t += "# " + id.title + " (service \"" + id.name + "\"), run by systemd.\n";
  t += "# `qmserver -INSTALL` writes this unit with the path of the executable it runs from.\n";
  t += "[Unit]\n";
  t += "Description=" + id.title + "\n";
  t += "After=network-online.target\n";
  t += "Wants=network-online.target\n";
  t += "\n[Service]\n";
  t += "# The server reports READY=1 once it listens, so `systemctl start` fails when start-up fails.\n";
  t += "Type=notify\n";
  t += "NotifyAccess=main\n";
  t += "ExecStart=" + EscapeForUnit(executablePath, true) + "\n";
  t += "# qmserver.log goes to the working directory, next to qmserver.ini.\n";
  t += "WorkingDirectory=" + EscapeForUnit(dir, false) + "\n";
  t += "TimeoutStartSec=30\n";
  t += "# The orderly stop pauses 2 s and gives the connections up to 5 s more.\n";
  t += "TimeoutStopSec=30\n";
  t += "Restart=no\n";
  t += "# Everything read-only but the executable's directory, which holds the ini and the log.\n";
  t += "ProtectSystem=strict\n";
  t += "ReadWritePaths=" + EscapeForUnit(dir, true) + "\n";
  t += "ProtectHome=read-only\n";
  t += "PrivateTmp=yes\n";
  t += "PrivateDevices=yes\n";
  t += "NoNewPrivileges=yes\n";
  t += "ProtectKernelTunables=yes\n";
  t += "ProtectKernelModules=yes\n";
  t += "ProtectKernelLogs=yes\n";
  t += "ProtectControlGroups=yes\n";
  t += "ProtectHostname=yes\n";
  t += "ProtectClock=yes\n";
  t += "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n";
  t += "RestrictNamespaces=yes\n";
  t += "RestrictRealtime=yes\n";
  t += "RestrictSUIDSGID=yes\n";
  t += "LockPersonality=yes\n";
  t += "SystemCallArchitectures=native\n";
  t += "\n[Install]\n";
  t += "WantedBy=multi-user.target\n";
  return t;
}

void SendNotify(const std::string& message) {
  const char* target = std::getenv("NOTIFY_SOCKET");
  if (!target || !*target) return;
  const size_t len = std::strlen(target);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (len >= sizeof address.sun_path) return;
  std::memcpy(address.sun_path, target, len);
  if (address.sun_path[0] == '@') address.sun_path[0] = '\0';  // abstract namespace
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  // A lost notice makes systemd time the start out; nothing better can be done from here.
  sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
         static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len));
  close(fd);
}

}  // namespace

void RegisterService(const ServiceIdentity& id, const std::string& executablePath) {
  RequireSystemd();
  const std::string path = UnitPath(id);
  if (Exists(path)) throw EOSError("The service is already installed (" + path + ").");
  const std::string text = UnitText(id, executablePath);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
      std::remove(path.c_str());
      throw EOSError("Cannot write the unit file " + path + ": " + std::strerror(errno));
    }
  }
  try {
    Systemctl({"daemon-reload"});
    Systemctl({"enable", UnitName(id)});
  } catch (...) {
    std::remove(path.c_str());
    try {
      Systemctl({"daemon-reload"});
    } catch (...) {
    }
    throw;
  }
}

void UnregisterService(const ServiceIdentity& id) {
  RequireSystemd();
  const std::string path = UnitPath(id);
  if (!Exists(path)) throw EOSError("The service is not installed (" + path + " is missing).");
  Systemctl({"disable", UnitName(id)});
  if (std::remove(path.c_str()) != 0)
    throw EOSError("Cannot remove the unit file " + path + ": " + std::strerror(errno));
  Systemctl({"daemon-reload"});
}

void StartRegisteredService(const ServiceIdentity& id) {
  RequireSystemd();
  Systemctl({"start", UnitName(id)});
}

void StopRegisteredServiceIfRunning(const ServiceIdentity& id) {
  RequireSystemd();
  Systemctl({"stop", "--no-block", UnitName(id)});
}

// systemd queues a start behind a stop in progress by itself.
bool WaitWhileServiceStops(const ServiceIdentity&, int) { return true; }

// systemd runs the service's process in the foreground and watches the notify socket.
int RunServiceProcess(const ServiceIdentity&, ServiceModule& module) { return RunForeground(module); }

void NotifyServiceReady() { SendNotify("READY=1"); }
void NotifyServiceStopping() { SendNotify("STOPPING=1"); }
void NotifyServiceStatus(const std::string& text) {
  std::string line = text;
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  SendNotify("STATUS=" + line);
}
void ReportServiceFailure(const std::string&) {}

void ShowServiceMessage(const std::string&, const std::string& text, bool isError) {
  std::FILE* stream = isError ? stderr : stdout;
  std::fprintf(stream, "%s\n", text.c_str());
  std::fflush(stream);
}

}  // namespace qm::platform
