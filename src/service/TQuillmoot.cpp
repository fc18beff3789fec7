#include "service/TQuillmoot.hpp"

#include <cstdio>
#include <string>

#include "platform/Error.hpp"
#include "server/Log.hpp"

namespace qm {
namespace {

// The host's only word on a failed start is "stopped"; the reason must reach the operator.
void ReportStartFailure(const std::string& text) {
  WriteLog(text, kLogException);
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  platform::NotifyServiceStatus(text);
}

}  // namespace

const platform::ServiceIdentity& QuillmootService() {
  static const platform::ServiceIdentity id{"Quillmoot", "Quillmoot", "Quillmoot Server NT Service"};
  return id;
}

TQuillmoot::~TQuillmoot() { DropServer(); }

void TQuillmoot::DropServer() noexcept {
  try {
    server_.reset();
  } catch (...) {
  }
  RunningServer.store(nullptr);
}

void TQuillmoot::ServiceStart(bool& started) {
  started = false;
  std::string failure;
  try {
    server_ = std::make_unique<TQuillmootServer>();
    RunningServer.store(server_.get());
    started = server_->Server_Init();
    if (!started) failure = server_->StartupError;
  } catch (const std::exception& e) {
    started = false;
    failure = "FATAL ERROR: " + DescribeException(e);
  } catch (...) {
    started = false;
    failure = "FATAL ERROR: unknown exception";
  }
  if (!started) {
    ReportStartFailure(failure);
    DropServer();
  }
}

void TQuillmoot::ServiceStop(bool& stopped) {
  stopped = true;
  try {
    if (server_) server_->Server_DeInit();
  } catch (...) {
  }
  DropServer();
}

void TQuillmoot::ServiceAfterInstall() { platform::StartRegisteredService(QuillmootService()); }

void TQuillmoot::ServiceBeforeUninstall() { platform::StopRegisteredServiceIfRunning(QuillmootService()); }

}  // namespace qm
