// The Linux side of the service switches and of the service process, run as the real qmserver
// binary against a stand-in `systemctl` (which records its calls) and a test notify socket.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/QmClient.hpp"
#include "platform/Platform.hpp"
#include "platform/Socket.hpp"
#include "platform/Version.hpp"
#include "service/ProcessRunner.hpp"
#include "support/TestServer.hpp"

namespace qm::test {
namespace {

namespace fs = std::filesystem;

constexpr int kRunTimeoutMs = 20000;

// qmserver is built beside the test programs' folder.
fs::path ServerBinary() {
  fs::path dir = fs::path(platform::ExecutablePath()).parent_path();
  for (int up = 0; up < 4; ++up, dir = dir.parent_path()) {
    if (fs::is_regular_file(dir / "qmserver")) return dir / "qmserver";
  }
  return {};
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      out.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) out.push_back(line);
  return out;
}

// The notify socket systemd would own: a datagram socket bound in the test's folder.
class NotifySocket {
 public:
  explicit NotifySocket(const fs::path& path) : path_(path.string()) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    // The sender's credentials with each message, as systemd asks for them (NotifyAccess=main).
    const int on = 1;
    if (fd_ >= 0) setsockopt(fd_, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path_.c_str(), sizeof a.sun_path - 1);
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~NotifySocket() {
    if (fd_ >= 0) close(fd_);
  }
  bool Bound() const { return bound_; }
  const std::string& Path() const { return path_; }
  // The next message, or "" after the time-out; *sender is the sending process.
  std::string Receive(int timeoutMs, pid_t* sender = nullptr) {
    if (platform::WaitReadable(fd_, timeoutMs) != 1) return "";
    char buffer[4096];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    iovec io{buffer, sizeof buffer};
    msghdr m{};
    m.msg_iov = &io;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(fd_, &m, 0);
    if (sender) {
      *sender = 0;
      for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
          ucred cred{};
          std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
          *sender = cred.pid;
        }
      }
    }
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

class SystemdService : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path built = ServerBinary();
    ASSERT_FALSE(built.empty()) << "qmserver was not built";
    bin_ = dir_.Path() / "opt" / "quillmoot";
    fs::create_directories(bin_);
    fs::copy_file(built, Exe());
    root_ = dir_.Path() / "root";
    fs::create_directories(root_ / "etc/systemd/system");
    fs::create_directories(root_ / "run/systemd/system");
    stub_ = dir_.Path() / "stub";
    fs::create_directories(stub_);
    WriteFile(stub_ / "systemctl",
              "#!/bin/sh\n"
              "echo \"$*\" >> \"$QM_TEST_CALLS\"\n"
              "if [ -f \"$QM_TEST_FAIL_DIR/fail-$1\" ]; then echo \"Job for $1 failed.\" >&2; exit 1; fi\n"
              "exit 0\n");
    fs::permissions(stub_ / "systemctl", fs::perms::owner_all);
  }

  std::string Exe() const { return (bin_ / "qmserver").string(); }
  fs::path UnitFile() const { return root_ / "etc/systemd/system/quillmoot.service"; }
  void FailOn(const std::string& verb) { WriteFile(dir_.Path() / ("fail-" + verb), ""); }

  std::vector<EnvChange> Env() const {
    const char* path = std::getenv("PATH");
    return {{"PATH", stub_.string() + ":" + (path ? path : "/usr/bin:/bin")},
            {"QM_SYSTEMD_ROOT", root_.string()},
            {"QM_TEST_CALLS", (dir_.Path() / "calls.log").string()},
            {"QM_TEST_FAIL_DIR", dir_.Path().string()},
            {"NOTIFY_SOCKET", "", true}};
  }

  ProcessResult Run(std::vector<std::string> args, std::vector<EnvChange> extra = {}) {
    args.insert(args.begin(), Exe());
    std::vector<EnvChange> env = Env();
    env.insert(env.end(), extra.begin(), extra.end());
    return RunProcess(args, env, kRunTimeoutMs, bin_.string());
  }

  // The calls the stand-in recorded since the last look.
  std::vector<std::string> TakeCalls() {
    const fs::path file = dir_.Path() / "calls.log";
    std::vector<std::string> calls = Lines(Slurp(file.string()));
    fs::remove(file);
    return calls;
  }

  void WriteIni(uint16_t port) {
    WriteFile(bin_ / "qmserver.ini",
              "[Version]\r\nServerVersion=v1.2.2\r\n[Networking]\r\nTCPPort=" + std::to_string(port) + "\r\n");
  }

  TempDir dir_;
  fs::path bin_, root_, stub_;
};

using Calls = std::vector<std::string>;

TEST_F(SystemdService, InstallWritesTheUnitThenReloadsEnablesAndStarts) {
  const ProcessResult r = Run({"/INSTALL", "/SILENT"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(TakeCalls(), (Calls{"daemon-reload", "enable quillmoot.service", "start quillmoot.service"}));
  const std::string unit = Slurp(UnitFile().string());
  EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos);
  EXPECT_NE(unit.find("\nExecStart=\"" + Exe() + "\"\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nWorkingDirectory=" + bin_.string() + "\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nReadWritePaths=\"" + bin_.string() + "\"\n"), std::string::npos) << unit;
}

TEST_F(SystemdService, InstalledUnitIsThePackagedOneWithTheExecutablesPath) {
  ASSERT_EQ(Run({"-install", "-silent"}).exitCode, 0);
  std::string unit = Slurp(UnitFile().string());
  for (size_t at; (at = unit.find(bin_.string())) != std::string::npos;)
    unit.replace(at, bin_.string().size(), "/opt/quillmoot");
  const fs::path packaged = fs::path(QM_SOURCE_DIR) / "packaging" / "quillmoot.service";
  EXPECT_EQ(unit, Slurp(packaged.string()));
}

TEST_F(SystemdService, InstallReportsSuccessUnlessSilentAndRefusesASecondInstall) {
  ProcessResult r = Run({"-Install"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.output, "Service installed successfully\n");
  TakeCalls();
  r = Run({"/INSTALL", "/SILENT"});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_EQ(
      r.output.rfind("Service \"Quillmoot\" failed to install with error: \"The service is already installed (", 0), 0u)
      << r.output;
  EXPECT_TRUE(TakeCalls().empty());
  EXPECT_TRUE(fs::exists(UnitFile()));
}

TEST_F(SystemdService, FailedStartUndoesTheInstallAndIsShownEvenWhenSilent) {
  FailOn("start");
  const ProcessResult r = Run({"/INSTALL", "/SILENT"});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_EQ(r.output,
            "Service \"Quillmoot\" failed to install with error: \"systemctl start quillmoot.service failed with exit "
            "status 1: Job for start failed.\"\n");
  EXPECT_EQ(TakeCalls(), (Calls{"daemon-reload", "enable quillmoot.service", "start quillmoot.service",
                                "disable quillmoot.service", "daemon-reload"}));
  EXPECT_FALSE(fs::exists(UnitFile()));
}

TEST_F(SystemdService, FailedEnableLeavesNoUnitBehind) {
  FailOn("enable");
  EXPECT_NE(Run({"/INSTALL", "/SILENT"}).exitCode, 0);
  EXPECT_EQ(TakeCalls(), (Calls{"daemon-reload", "enable quillmoot.service", "daemon-reload"}));
  EXPECT_FALSE(fs::exists(UnitFile()));
}

TEST_F(SystemdService, UninstallStopsWithoutWaitingThenDisablesAndRemoves) {
  ASSERT_EQ(Run({"/INSTALL", "/SILENT"}).exitCode, 0);
  TakeCalls();
  ProcessResult r = Run({"/UNINSTALL"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.output, "Service uninstalled successfully\n");
  EXPECT_EQ(TakeCalls(), (Calls{"stop --no-block quillmoot.service", "disable quillmoot.service", "daemon-reload"}));
  EXPECT_FALSE(fs::exists(UnitFile()));

  r = Run({"/UNINSTALL", "/SILENT"});  // nothing left to remove
  EXPECT_NE(r.exitCode, 0);
  EXPECT_EQ(r.output.rfind("Service \"Quillmoot\" failed to uninstall with error: \"The service is not installed", 0),
            0u)
      << r.output;
}

TEST_F(SystemdService, UninstallWhoseStopFailsKeepsTheService) {
  ASSERT_EQ(Run({"/INSTALL", "/SILENT"}).exitCode, 0);
  TakeCalls();
  FailOn("stop");
  const ProcessResult r = Run({"/UNINSTALL", "/SILENT"});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.output.find("failed to uninstall"), std::string::npos);
  EXPECT_EQ(TakeCalls(), (Calls{"stop --no-block quillmoot.service"}));
  EXPECT_TRUE(fs::exists(UnitFile()));
}

TEST_F(SystemdService, StartAndStopInAnyCaseWithEitherPrefixAndStopWins) {
  EXPECT_EQ(Run({"-start"}).exitCode, 0);
  EXPECT_EQ(Run({"/Start"}).exitCode, 0);
  EXPECT_EQ(Run({"/STOP"}).exitCode, 0);
  EXPECT_EQ(Run({"-START", "-stop"}).exitCode, 0);
  EXPECT_EQ(TakeCalls(), (Calls{"start quillmoot.service", "start quillmoot.service",
                                "stop --no-block quillmoot.service", "stop --no-block quillmoot.service"}));
  FailOn("start");
  const ProcessResult r = Run({"/START"});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_EQ(r.output, "systemctl start quillmoot.service failed with exit status 1: Job for start failed.\n");
}

TEST_F(SystemdService, WithoutRunningSystemdEverySwitchFailsClearly) {
  fs::remove_all(root_ / "run");
  for (const char* sw : {"/INSTALL", "/UNINSTALL", "/START", "/STOP"}) {
    const ProcessResult r = Run({sw, "/SILENT"});
    EXPECT_NE(r.exitCode, 0) << sw;
    EXPECT_NE(r.output.find("systemd is not running on this machine"), std::string::npos) << sw << ": " << r.output;
  }
  EXPECT_TRUE(TakeCalls().empty());
  EXPECT_FALSE(fs::exists(UnitFile()));
}

TEST_F(SystemdService, MissingSystemctlIsNamed) {
  const ProcessResult r = Run({"/START"}, {{"PATH", (dir_.Path() / "empty").string()}});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_EQ(r.output, "systemctl was not found on PATH; is systemd installed?\n");
}

// The service process under systemd: READY=1 only once the server listens, STOPPING=1 as soon as
// the stop begins, and an orderly stop. A bare word and CONSOLE run it the same way.
TEST_F(SystemdService, ForegroundProcessNotifiesReadyAfterStartUpAndStoppingOnStop) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"START"}, {"-console"}}) {
    SCOPED_TRACE(args.empty() ? "no switch" : args[0]);
    const uint16_t port = FreePortPair();
    ASSERT_NE(port, 0);
    WriteIni(port);
    fs::remove(bin_ / "qmserver.log");
    NotifySocket notify(dir_.Path() / "notify");
    ASSERT_TRUE(notify.Bound());
    std::vector<std::string> argv{Exe()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<EnvChange> env = Env();
    env.push_back({"NOTIFY_SOCKET", notify.Path()});
    ChildProcess server(argv, env, bin_.string());

    ASSERT_EQ(notify.Receive(kRunTimeoutMs), "READY=1") << server.Output();
    const std::string log = Slurp((bin_ / "qmserver.log").string());
    EXPECT_NE(log.find("----Quillmoot server started----"), std::string::npos);
    {
      client::ControlClient c;
      EXPECT_NO_THROW(c.Connect("127.0.0.1", port));
    }
    server.Signal(SIGTERM);
    EXPECT_EQ(notify.Receive(kRunTimeoutMs), "STOPPING=1");
    EXPECT_EQ(server.Wait(kRunTimeoutMs), 0) << server.Output();
    EXPECT_NE(Slurp((bin_ / "qmserver.log").string()).find("----Quillmoot server shutdown----"), std::string::npos);
    // The console hears when the server is up (where it listens, where its files are) and down.
    const std::string out = server.Output();
    EXPECT_NE(
        out.find(std::string("Quillmoot Server v") + kProgramVersion + " is up: TCP port " + std::to_string(port) +
                 ", UDP port " + std::to_string(port + 1) + " on all IPv4 addresses; config " +
                 (bin_ / "qmserver.ini").string() + "; log " + (bin_ / "qmserver.log").string() + "\n"),
        std::string::npos)
        << out;
    EXPECT_NE(out.find("Quillmoot Server stopped\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("ignoring unknown argument") != std::string::npos, args == std::vector<std::string>{"START"})
        << out;
    EXPECT_TRUE(TakeCalls().empty());
    fs::remove(dir_.Path() / "notify");
  }
}

// The unit's Type=notify across a handover (SIGUSR2, as the package's upgrade sends it): the exec
// keeps the process and NOTIFY_SOCKET, so the new program's READY=1 comes from the main process
// systemd knows (NotifyAccess=main). What other processes send (the check of the new program) is
// not systemd's business, nor this test's.
TEST_F(SystemdService, HandoverKeepsTheNotifySocketAndTheMainProcess) {
  const uint16_t port = FreePortPair();
  ASSERT_NE(port, 0);
  WriteIni(port);
  NotifySocket notify(dir_.Path() / "notify");
  ASSERT_TRUE(notify.Bound());
  std::vector<EnvChange> env = Env();
  env.push_back({"NOTIFY_SOCKET", notify.Path()});
  ChildProcess server({Exe()}, env, bin_.string());
  pid_t mainPid = 0;
  ASSERT_EQ(notify.Receive(kRunTimeoutMs, &mainPid), "READY=1") << server.Output();
  ASSERT_NE(mainPid, 0);

  server.Signal(SIGUSR2);
  std::string message;
  for (int i = 0; i < 20 && message != "READY=1"; ++i) {
    pid_t sender = 0;
    message = notify.Receive(kRunTimeoutMs, &sender);
    if (message.empty()) break;
    if (sender != mainPid) message.clear();
  }
  const std::string log = (bin_ / "qmserver.log").string();
  EXPECT_EQ(message, "READY=1") << server.Output() << Slurp(log);
  EXPECT_NE(Slurp(log).find("Handover ended: "), std::string::npos) << Slurp(log);
  EXPECT_FALSE(server.Exited());

  server.Signal(SIGTERM);
  EXPECT_EQ(notify.Receive(kRunTimeoutMs), "STOPPING=1");
  EXPECT_EQ(server.Wait(kRunTimeoutMs), 0) << server.Output();
}

TEST_F(SystemdService, FailedStartUpNeverReportsReadyAndExitsNonZero) {
  const uint16_t port = FreePortPair();
  ASSERT_NE(port, 0);
  WriteIni(port);
  // The TCP port taken, as by another server.
  const int blocker = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(blocker, 1), 0);

  NotifySocket notify(dir_.Path() / "notify");
  ASSERT_TRUE(notify.Bound());
  std::vector<EnvChange> env = Env();
  env.push_back({"NOTIFY_SOCKET", notify.Path()});
  ChildProcess server({Exe()}, env, bin_.string());
  EXPECT_EQ(server.Wait(kRunTimeoutMs), 1);
  close(blocker);
  // The cause on stderr names the listener and says errno's number, not the Windows one.
  EXPECT_NE(
      server.Output().find("FATAL ERROR: Unable to initialize communication\nCause: ESocketError: Cannot open TCP "
                           "0.0.0.0:" +
                           std::to_string(port) + ": " + std::strerror(EADDRINUSE) + " (errno " +
                           std::to_string(EADDRINUSE) + ")\n"),
      std::string::npos)
      << server.Output();
  EXPECT_EQ(notify.Receive(100), "STATUS=FATAL ERROR: Unable to initialize communication");
  EXPECT_EQ(notify.Receive(100), "");  // no READY=1
}

// What the server cannot do it also says on stderr: the log alone may be the very thing it cannot
// write, and a console or the journal would otherwise show nothing.
TEST_F(SystemdService, WhatTheServerCannotDoIsAlsoSaidOnStderr) {
  const uint16_t port = FreePortPair();
  ASSERT_NE(port, 0);
  WriteIni(port);
  const fs::path log = dir_.Path() / "no-such-dir" / "q.log";
  NotifySocket notify(dir_.Path() / "notify");
  ASSERT_TRUE(notify.Bound());
  std::vector<EnvChange> env = Env();
  env.push_back({"NOTIFY_SOCKET", notify.Path()});
  // Without CAP_SYS_NICE in its bounding set not even root may raise its priority.
  std::vector<std::string> argv{Exe(), "-LOG=" + log.string()};
  const bool dropNice = fs::exists("/usr/bin/setpriv");
  if (dropNice) argv.insert(argv.begin(), {"/usr/bin/setpriv", "--bounding-set=-sys_nice"});
  ChildProcess server(argv, env, bin_.string());
  ASSERT_EQ(notify.Receive(kRunTimeoutMs), "READY=1") << server.Output();
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(kRunTimeoutMs), 0) << server.Output();
  const std::string out = server.Output();
  const std::string logWarning = "Warning: cannot write the log " + log.string() + ": No such file or directory\n";
  const size_t at = out.find(logWarning);
  EXPECT_NE(at, std::string::npos) << out;
  EXPECT_EQ(out.find(logWarning, at + 1), std::string::npos) << "said once, not for every line\n" << out;
  if (dropNice) {
    EXPECT_NE(out.find("Warning: Cant set PriorityClass, running at normal priority\n"), std::string::npos) << out;
  }
}

// Help and version answer and exit without starting anything.
TEST_F(SystemdService, HelpAndVersionPrintAndExitWithoutStarting) {
  for (const char* arg : {"--help", "-h", "/HELP"}) {
    const ProcessResult r = Run({arg});
    EXPECT_EQ(r.exitCode, 0) << arg;
    for (const char* text : {"Usage: qmserver", "-UNINSTALL", "-SILENT", "-INI=name", "-LOG=name", "--version"})
      EXPECT_NE(r.output.find(text), std::string::npos) << arg << " lacks " << text;
    EXPECT_NE(r.output.find("configuration " + (bin_ / "qmserver.ini").string()), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("log           " + (bin_ / "qmserver.log").string()), std::string::npos) << r.output;
  }
  const ProcessResult v = Run({"--version"});
  EXPECT_EQ(v.exitCode, 0);
  EXPECT_EQ(v.output, std::string("Quillmoot Server v") + kProgramVersion + "\n");
  EXPECT_FALSE(fs::exists(bin_ / "qmserver.log"));
  EXPECT_FALSE(fs::exists(bin_ / "qmserver.ini"));
  EXPECT_TRUE(TakeCalls().empty());
}

}  // namespace
}  // namespace qm::test
