// The NT service process is the one the SCM tracks; replacing its image in place is not offered.
#include "platform/Handover.hpp"

#include "platform/win32/WinApi.hpp"

namespace qm::platform {

namespace {
const char* const kNotSupported = "handover is not supported on Windows";
}

bool HandoverSupported() { return false; }
std::string HandoverExecutablePath() { return std::string(); }
std::string CheckExecutable(const std::string&, const std::vector<std::string>&, int, int) { return kNotSupported; }
int CreateStateFile(const std::vector<uint8_t>&, std::string& error) {
  error = kNotSupported;
  return -1;
}
int CopyRunningImage(std::string& error) {
  error = kNotSupported;
  return -1;
}
std::string ExecWithHandles(const std::string&, const std::vector<std::string>&, const std::vector<int>&, int, int) {
  return kNotSupported;
}
bool TakeStateFile(std::vector<uint8_t>&, std::string&) { return false; }
void ReleaseTakeOverHandles() {}
std::string FallBackToEarlierImage() { return kNotSupported; }
bool TakeFellBackMark() { return false; }
void CloseStateFile(int) {}
uint32_t CurrentProcessId() { return static_cast<uint32_t>(GetCurrentProcessId()); }
uint16_t BoundPortOf(SocketHandle s) {
  sockaddr_in a{};
  int length = sizeof a;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) != 0) return 0;
  return PortOf(a);
}

}  // namespace qm::platform
