#include "service/TQuillmoot.hpp"

#include <cstdio>
#include <filesystem>
#include <string>

#include "config/Settings.hpp"
#include "log/Log.hpp"
#include "platform/Error.hpp"
#include "platform/Signals.hpp"
#include "platform/Version.hpp"

namespace qm {
namespace {

// The host's only word on a failed start is "stopped"; the reason and its cause must reach the
// operator, who may not know where the log is.
void ReportStartFailure(const std::string& text, const std::string& cause) {
  WriteLog(text, kLogException);
  std::fprintf(stderr, "%s\n", text.c_str());
  if (!cause.empty()) std::fprintf(stderr, "Cause: %s\n", cause.c_str());
  std::fflush(stderr);
  platform::NotifyServiceStatus(text);
  platform::ReportServiceFailure(cause.empty() ? text : text + "\r\nCause: " + cause);
}

// A console (or the journal) otherwise stays silent after start-up: say where the server listens
// and where its files are.
void AnnounceStart() {
  const ServerSettings& s = Settings();
  std::error_code ec;
  std::filesystem::path log = std::filesystem::absolute(LogFileName(), ec);
  if (ec) log = LogFileName();
  const std::string where = s.IP.empty() ? std::string("all IPv4 addresses") : s.IP;
  std::printf("Quillmoot Server v%s is up: TCP port %d, UDP port %d on %s; config %s; log %s\n", kProgramVersion,
              static_cast<int>(s.TCPPort), static_cast<int>(s.UDPPort), where.c_str(), IniFilePath().c_str(),
              log.string().c_str());
  std::fflush(stdout);
}

void AnnounceStop() {
  std::printf("Quillmoot Server stopped\n");
  std::fflush(stdout);
}

}  // namespace

const platform::ServiceIdentity& QuillmootService() {
  static const platform::ServiceIdentity id{"Quillmoot", "Quillmoot", "Quillmoot Server NT Service"};
  return id;
}

TQuillmoot::~TQuillmoot() {
  platform::SetHandoverRequestHandler(nullptr);
  DropServer();
}

void TQuillmoot::DropServer() noexcept {
  try {
    server_.reset();
  } catch (...) {
  }
}

void TQuillmoot::ServiceStart(bool& started) {
  started = false;
  std::string failure, cause;
  try {
    server_ = std::make_unique<TQuillmootServer>();
    started = server_->Server_Init();
    if (!started) {
      failure = server_->StartupError();
      cause = server_->StartupCause();
    }
  } catch (const std::exception& e) {
    started = false;
    failure = "FATAL ERROR: " + DescribeException(e);
  } catch (...) {
    started = false;
    failure = "FATAL ERROR: unknown exception";
  }
  if (!started) {
    ReportStartFailure(failure, cause);
    DropServer();
    return;
  }
  AnnounceStart();
  // SIGUSR2: the executable now on disk takes over in this process. On success this never
  // returns; otherwise the server has gone on serving and logged why.
  platform::SetHandoverRequestHandler([server = server_.get()] {
    std::string cause;
    server->HandOver(cause);
  });
}

void TQuillmoot::ServiceStop(bool& stopped) {
  stopped = true;
  // Waits for a handover in progress to come back (failed); none starts after this.
  platform::SetHandoverRequestHandler(nullptr);
  try {
    if (server_) server_->Server_DeInit();
  } catch (...) {
  }
  DropServer();
  AnnounceStop();
}

void TQuillmoot::ServiceAfterInstall() { platform::StartRegisteredService(QuillmootService()); }

void TQuillmoot::ServiceBeforeUninstall() { platform::StopRegisteredServiceIfRunning(QuillmootService()); }

}  // namespace qm
