#include "platform/OperatorChannel.hpp"

#include <atomic>
#include <chrono>

#include "platform/win32/WinApi.hpp"
// After windows.h, which it needs.
#include <sddl.h>

namespace qm::platform {
namespace {

using Steady = std::chrono::steady_clock;

// Only the system and the Administrators may open the pipe; its access list is protected, so
// nothing is inherited from elsewhere.
constexpr const char* kPipeAccess = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";
constexpr DWORD kPipeBuffer = 64 * 1024;

std::string ErrorText(DWORD code) {
  char* text = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string out = text ? text : "";
  if (text) LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.' || out.back() == ' '))
    out.pop_back();
  return out + " (error " + std::to_string(code) + ")";
}

DWORD MsLeft(Steady::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
  return left < 0 ? 0 : static_cast<DWORD>(left);
}

class PipeLink : public OperatorLink {
 public:
  explicit PipeLink(HANDLE pipe, std::string peer) : pipe_(pipe), peer_(std::move(peer)) {
    event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  ~PipeLink() override {
    // Closing without a disconnect leaves what was written for the peer to read.
    CloseHandle(pipe_);
    if (event_) CloseHandle(event_);
  }

  ChannelIo ReadFull(void* data, size_t size, int timeoutMs, size_t& done) override {
    done = 0;
    const auto deadline = Steady::now() + std::chrono::milliseconds(timeoutMs);
    while (done < size) {
      DWORD n = 0;
      const ChannelIo io = Transfer(false, static_cast<uint8_t*>(data) + done, size - done, deadline, n);
      if (io != ChannelIo::kDone) return io;
      done += n;
    }
    return ChannelIo::kDone;
  }

  ChannelIo WriteFull(const void* data, size_t size, int timeoutMs) override {
    const auto deadline = Steady::now() + std::chrono::milliseconds(timeoutMs);
    size_t done = 0;
    while (done < size) {
      DWORD n = 0;
      const ChannelIo io =
          Transfer(true, const_cast<uint8_t*>(static_cast<const uint8_t*>(data)) + done, size - done, deadline, n);
      if (io != ChannelIo::kDone) return io;
      done += n;
    }
    return ChannelIo::kDone;
  }

  void Shutdown() override {
    shut_.store(true);
    CancelIoEx(pipe_, nullptr);
  }

  bool Admitted() const override { return true; }  // the pipe's access list let it open the pipe
  std::string PeerText() const override { return peer_; }
  std::string Refusal() const override { return std::string(); }

 private:
  // One overlapped read or write, waited for until the deadline; cancelled after it.
  ChannelIo Transfer(bool write, uint8_t* data, size_t size, Steady::time_point deadline, DWORD& n) {
    if (shut_.load() || !event_) return ChannelIo::kClosed;
    OVERLAPPED ov{};
    ov.hEvent = event_;
    ResetEvent(event_);
    const DWORD chunk = static_cast<DWORD>(size < kPipeBuffer ? size : kPipeBuffer);
    const BOOL started =
        write ? WriteFile(pipe_, data, chunk, nullptr, &ov) : ReadFile(pipe_, data, chunk, nullptr, &ov);
    if (!started && GetLastError() != ERROR_IO_PENDING) return Failure(GetLastError());
    if (WaitForSingleObject(event_, MsLeft(deadline)) != WAIT_OBJECT_0) {
      CancelIoEx(pipe_, &ov);
      GetOverlappedResult(pipe_, &ov, &n, TRUE);
      return shut_.load() ? ChannelIo::kClosed : ChannelIo::kTimedOut;
    }
    if (!GetOverlappedResult(pipe_, &ov, &n, FALSE)) return Failure(GetLastError());
    if (n == 0 && !write) return ChannelIo::kClosed;
    return ChannelIo::kDone;
  }

  ChannelIo Failure(DWORD code) const {
    if (shut_.load() || code == ERROR_BROKEN_PIPE || code == ERROR_NO_DATA || code == ERROR_PIPE_NOT_CONNECTED ||
        code == ERROR_OPERATION_ABORTED)
      return ChannelIo::kClosed;
    return ChannelIo::kFailed;
  }

  HANDLE pipe_;
  HANDLE event_ = nullptr;
  std::string peer_;
  std::atomic<bool> shut_{false};
};

}  // namespace

struct OperatorListener::State {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  HANDLE waiting = INVALID_HANDLE_VALUE;  // the instance the next client connects to
  HANDLE connectEvent = nullptr;
  HANDLE closeEvent = nullptr;
  std::atomic<bool> closed{false};

  HANDLE NewInstance(const std::string& name, bool first) {
    SECURITY_ATTRIBUTES sa{sizeof sa, descriptor, FALSE};
    const DWORD open = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    return CreateNamedPipeA(name.c_str(), open,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                            PIPE_UNLIMITED_INSTANCES, kPipeBuffer, kPipeBuffer, 0, &sa);
  }
};

OperatorListener::OperatorListener(const std::string& name) : name_(name), state_(std::make_unique<State>()) {
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kPipeAccess, SDDL_REVISION_1, &state_->descriptor, nullptr))
    throw OperatorChannelError("cannot make the operator pipe's access list: " + ErrorText(GetLastError()));
  state_->connectEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  state_->closeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  // The first instance only: a pipe of that name that exists already belongs to someone else.
  state_->waiting = state_->NewInstance(name, true);
  if (state_->waiting == INVALID_HANDLE_VALUE) {
    const DWORD e = GetLastError();
    if (state_->connectEvent) CloseHandle(state_->connectEvent);
    if (state_->closeEvent) CloseHandle(state_->closeEvent);
    LocalFree(state_->descriptor);
    if (e == ERROR_ACCESS_DENIED || e == ERROR_PIPE_BUSY)
      throw OperatorChannelError("another program already serves the pipe " + name);
    throw OperatorChannelError("cannot create the pipe " + name + ": " + ErrorText(e));
  }
}

OperatorListener::~OperatorListener() {
  Close();
  if (state_->waiting != INVALID_HANDLE_VALUE) CloseHandle(state_->waiting);
  if (state_->connectEvent) CloseHandle(state_->connectEvent);
  if (state_->closeEvent) CloseHandle(state_->closeEvent);
  if (state_->descriptor) LocalFree(state_->descriptor);
}

void OperatorListener::Close() {
  if (state_->closed.exchange(true)) return;
  if (state_->closeEvent) SetEvent(state_->closeEvent);
}

std::unique_ptr<OperatorLink> OperatorListener::Accept(int timeoutMs) {
  if (state_->closed.load() || state_->waiting == INVALID_HANDLE_VALUE) return nullptr;
  OVERLAPPED ov{};
  ov.hEvent = state_->connectEvent;
  ResetEvent(ov.hEvent);
  bool connected = ConnectNamedPipe(state_->waiting, &ov) != 0;
  if (!connected) {
    const DWORD e = GetLastError();
    if (e == ERROR_PIPE_CONNECTED) {
      connected = true;
    } else if (e == ERROR_IO_PENDING) {
      HANDLE events[2] = {ov.hEvent, state_->closeEvent};
      const DWORD r = WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(timeoutMs));
      DWORD ignored = 0;
      if (r != WAIT_OBJECT_0) {
        CancelIoEx(state_->waiting, &ov);
        GetOverlappedResult(state_->waiting, &ov, &ignored, TRUE);
      }
      // Checked even after a cancel: the client may have come just before it.
      connected = GetOverlappedResult(state_->waiting, &ov, &ignored, FALSE) != 0;
    }
  }
  if (!connected) {
    // A client that came and went before we looked leaves the instance unusable: start afresh.
    if (GetLastError() == ERROR_NO_DATA) DisconnectNamedPipe(state_->waiting);
    return nullptr;
  }
  HANDLE pipe = state_->waiting;
  state_->waiting = state_->NewInstance(name_, false);
  ULONG pid = 0;
  std::string peer = GetNamedPipeClientProcessId(pipe, &pid) ? "pid " + std::to_string(pid) : "a local process";
  return std::make_unique<PipeLink>(pipe, peer);
}

std::unique_ptr<OperatorLink> ConnectOperatorChannel(const std::string& name, int timeoutMs) {
  const auto deadline = Steady::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    HANDLE pipe = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) return std::make_unique<PipeLink>(pipe, "the server");
    const DWORD e = GetLastError();
    if (e == ERROR_PIPE_BUSY && MsLeft(deadline) > 0) {
      WaitNamedPipeA(name.c_str(), MsLeft(deadline) > 0 ? MsLeft(deadline) : 1);
      continue;
    }
    if (e == ERROR_FILE_NOT_FOUND) throw OperatorChannelError("no server pipe " + name + " (is the server running?)");
    if (e == ERROR_ACCESS_DENIED)
      throw OperatorChannelError("permission denied: " + name + " (run qmctl as an administrator)");
    throw OperatorChannelError("cannot open " + name + ": " + ErrorText(e));
  }
}

std::string DefaultOperatorChannel(const std::string&, uint16_t tcpPort) {
  return "\\\\.\\pipe\\quillmoot-" + std::to_string(tcpPort);
}

std::string PackagedOperatorChannel() { return std::string(); }

bool OperatorChannelExists(const std::string& name) {
  return WaitNamedPipeA(name.c_str(), 1) != 0 || GetLastError() == ERROR_SEM_TIMEOUT;
}

}  // namespace qm::platform
