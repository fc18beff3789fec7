#include "platform/Platform.hpp"

#include <string>
#include <vector>

#include "platform/Clock.hpp"
#include "platform/Error.hpp"
#include "platform/SplitMix.hpp"
#include "platform/win32/WinApi.hpp"
// After windows.h, which it needs.
#include <sddl.h>

namespace qm::platform {
namespace {

// The first character of a locale string, or the fallback when the setting is missing or empty.
char LocaleChar(LCTYPE type, char fallback) {
  char buffer[8] = {};
  if (GetLocaleInfoA(LOCALE_USER_DEFAULT, type, buffer, sizeof buffer) > 1 && buffer[0] != '\0') return buffer[0];
  return fallback;
}

// The calling account's SID as text ("S-1-5-18" for the system account), "" when unknown.
std::string CurrentUserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return "";
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size ? size : 1);
  std::string out;
  char* text = nullptr;
  if (size && GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
      ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
    out = text;
    LocalFree(text);
  }
  CloseHandle(token);
  return out;
}

}  // namespace

// GetTickCount is the 32-bit counter the ping timing was designed around, wrap included.
uint32_t SystemTickCount() { return static_cast<uint32_t>(GetTickCount()); }

double SystemNow() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  return EncodeDateTime(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
}

// Read on every call: an operator may change the regional settings while the service runs.
char DateSeparator() { return LocaleChar(LOCALE_SDATE, '/'); }
char TimeSeparator() { return LocaleChar(LOCALE_STIME, ':'); }

bool RaiseProcessPriority() { return SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS) != 0; }

bool RaiseCurrentThreadPriority() { return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST) != 0; }

std::string ExecutablePath() {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) throw EOSError("Cannot read the executable path: error " + std::to_string(GetLastError()));
    // A result that fills the buffer was cut short (long paths under \\?\ exceed MAX_PATH).
    if (n < buffer.size()) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

char PathSeparator() { return '\\'; }

bool FindTopLevelWindow(const char* windowClass, const char* title) {
  return FindWindowA(windowClass, title) != nullptr;
}

uint64_t RandomSeed() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  uint64_t seed = SplitMix64(static_cast<uint64_t>(GetCurrentProcessId()));
  seed = SplitMix64(seed ^ static_cast<uint64_t>(counter.QuadPart));
  return seed;
}

bool CreatePrivateFile(const std::string& path) {
  // A protected list of its own, so the folder's rights (ProgramData lets every user read) do not
  // reach it: full access for the system, the administrators and the account that creates it.
  std::string sddl = "D:P(A;;FA;;;SY)(A;;FA;;;BA)";
  const std::string me = CurrentUserSid();
  if (!me.empty()) sddl += "(A;;FA;;;" + me + ")";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
    return false;
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
  const HANDLE file =
      CreateFileA(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  LocalFree(descriptor);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

}  // namespace qm::platform
