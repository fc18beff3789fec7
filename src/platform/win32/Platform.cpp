#include "platform/Platform.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "platform/Clock.hpp"
#include "platform/Error.hpp"
#include "platform/SplitMix.hpp"
#include "platform/win32/WinApi.hpp"
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

// After windows.h: the system's random source (advapi32).
#include <ntsecapi.h>

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

// A protected list of its own, so the folder's rights (ProgramData lets every user read) do not
// reach it: full access for the system, the administrators and the account that creates it.
// nullptr when it cannot be made; the caller frees it with LocalFree.
PSECURITY_DESCRIPTOR PrivateDescriptor() {
  std::string sddl = "D:P(A;;FA;;;SY)(A;;FA;;;BA)";
  const std::string me = CurrentUserSid();
  if (!me.empty()) sddl += "(A;;FA;;;" + me + ")";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
    return nullptr;
  return descriptor;
}

constexpr int kTemporaryAttempts = 8;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Symbolic links and mount points (junctions) lead elsewhere. Every other reparse point belongs to
// a filter that serves the file's own content (deduplication, cloud-synced folders), so such a
// file is an ordinary file to us.
bool IsLinkTag(DWORD tag) { return tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT; }

// Whether the file of a handle opened with FILE_FLAG_OPEN_REPARSE_POINT is a link; a reparse
// point whose tag cannot be read counts as one, which nothing writes through.
bool HandleIsLink(HANDLE file, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag)) return true;
  return IsLinkTag(tag.ReparseTag);
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

enum class OpenResult { kOpened, kMissing, kLink, kFailed };

// Opens an existing regular file without following a link. A reparse point that is no link is
// opened again without FILE_FLAG_OPEN_REPARSE_POINT, so that its filter serves the content
// (through the first handle a deduplicated file reads as zeros), and kept only when the name is
// still the file we looked at.
OpenResult OpenNoFollow(const std::string& path, DWORD access, DWORD share, HANDLE& out) {
  access |= FILE_READ_ATTRIBUTES;
  const HANDLE file = CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? OpenResult::kMissing : OpenResult::kFailed;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  OpenResult result = OpenResult::kFailed;
  if (GetFileInformationByHandle(file, &info)) {
    if (HandleIsLink(file, info.dwFileAttributes))
      result = OpenResult::kLink;
    else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
      result = OpenResult::kOpened;
  }
  if (result == OpenResult::kOpened && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    out = file;
    return result;
  }
  CloseHandle(file);
  if (result != OpenResult::kOpened) return result;
  const HANDLE served =
      CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (served == INVALID_HANDLE_VALUE) return OpenResult::kFailed;
  BY_HANDLE_FILE_INFORMATION again{};
  if (GetFileInformationByHandle(served, &again) && SameFile(info, again)) {
    out = served;
    return OpenResult::kOpened;
  }
  CloseHandle(served);
  return OpenResult::kFailed;
}

// An existing file's access list, to be given to the file that replaces it: its descriptor with
// the list alone, protected or inheriting as the file had it.
class AccessList {
 public:
  AccessList() = default;
  AccessList(const AccessList&) = delete;
  AccessList& operator=(const AccessList&) = delete;
  ~AccessList() {
    if (descriptor_) LocalFree(descriptor_);
  }

  bool Read(const std::string& path) {
    HANDLE file = INVALID_HANDLE_VALUE;
    if (OpenNoFollow(path, READ_CONTROL, kShareAll, file) != OpenResult::kOpened) return false;
    PACL dacl = nullptr;
    const DWORD error = GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                        nullptr, &descriptor_);
    CloseHandle(file);
    return error == ERROR_SUCCESS && descriptor_ != nullptr;
  }
  // Copied as it is, inherited entries and the protection mark included, with no inheritance
  // worked out afresh: the file takes the old one's place in the same folder.
  bool ApplyTo(HANDLE file) const { return SetKernelObjectSecurity(file, DACL_SECURITY_INFORMATION, descriptor_); }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

bool WriteAll(HANDLE file, const std::string& content) {
  size_t done = 0;
  while (done < content.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(content.size() - done, 1u << 20));
    DWORD written = 0;
    if (!WriteFile(file, content.data() + done, chunk, &written, nullptr) || written == 0) return false;
    done += written;
  }
  return true;
}

// CREATE_NEW never opens what is there; with FILE_FLAG_OPEN_REPARSE_POINT it cannot create a
// link's target either. The temporary is private from its creation (the ini holds the passwords);
// it takes the old file's access list only once it is filled, before the rename.
HANDLE CreateTemporary(const std::string& path, std::string& temporary, ReplaceResult& failure) {
  for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
    temporary = path + std::string(kTemporaryInfix) + RandomSuffix();
    const PSECURITY_DESCRIPTOR descriptor = PrivateDescriptor();
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    const HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE | WRITE_DAC, 0, descriptor ? &attributes : nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    const DWORD error = GetLastError();
    if (descriptor) LocalFree(descriptor);
    if (file != INVALID_HANDLE_VALUE) return file;
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
      if (InspectPath(temporary) == PathKind::kLink) {
        failure = ReplaceResult::kLinkRefused;
        return INVALID_HANDLE_VALUE;
      }
      continue;
    }
    failure = error == ERROR_ACCESS_DENIED ? ReplaceResult::kNoTemporary : ReplaceResult::kFailed;
    return INVALID_HANDLE_VALUE;
  }
  failure = ReplaceResult::kFailed;
  return INVALID_HANDLE_VALUE;
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

bool SystemRandom(uint64_t& value) { return RtlGenRandom(&value, sizeof value) != FALSE; }

bool CreatePrivateFile(const std::string& path) {
  const PSECURITY_DESCRIPTOR descriptor = PrivateDescriptor();
  if (!descriptor) return false;
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
  const HANDLE file =
      CreateFileA(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  LocalFree(descriptor);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

PathKind InspectPath(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PathKind::kMissing : PathKind::kOther;
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    // Backup semantics open a folder too (a junction is one).
    const HANDLE file = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return PathKind::kLink;
    const bool link = HandleIsLink(file, attributes);
    CloseHandle(file);
    if (link) return PathKind::kLink;
  }
  return attributes & FILE_ATTRIBUTE_DIRECTORY ? PathKind::kOther : PathKind::kFile;
}

ReadResult ReadFileNoFollow(const std::string& path, std::string& content) {
  HANDLE file = INVALID_HANDLE_VALUE;
  switch (OpenNoFollow(path, GENERIC_READ, kShareAll, file)) {
    case OpenResult::kOpened:
      break;
    case OpenResult::kMissing:
      return ReadResult::kMissing;
    case OpenResult::kLink:
      return ReadResult::kLink;
    case OpenResult::kFailed:
      return ReadResult::kFailed;
  }
  ReadResult result = ReadResult::kRead;
  std::string text;
  char buffer[16384];
  while (result == ReadResult::kRead) {
    DWORD got = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) result = ReadResult::kFailed;
    if (got == 0) break;
    text.append(buffer, got);
  }
  CloseHandle(file);
  if (result == ReadResult::kRead) content = std::move(text);
  return result;
}

bool CanOpenForWriting(const std::string& path) {
  HANDLE file = INVALID_HANDLE_VALUE;
  if (OpenNoFollow(path, GENERIC_WRITE, kShareAll, file) != OpenResult::kOpened) return false;
  CloseHandle(file);
  return true;
}

// The caller has refused a read-only file. A new file stays private; a replaced one keeps its
// access list, as the POSIX side keeps mode and owner.
ReplaceResult ReplaceFileSafely(const std::string& path, const std::string& content) {
  const PathKind kind = InspectPath(path);
  if (kind == PathKind::kLink) return ReplaceResult::kLinkRefused;
  if (kind == PathKind::kOther) return ReplaceResult::kFailed;
  AccessList old;
  if (kind == PathKind::kFile && !old.Read(path)) return ReplaceResult::kFailed;
  std::string temporary;
  ReplaceResult failure = ReplaceResult::kFailed;
  const HANDLE file = CreateTemporary(path, temporary, failure);
  if (file == INVALID_HANDLE_VALUE) return failure;
  bool ok = WriteAll(file, content) && FlushFileBuffers(file);
  ok = ok && (kind != PathKind::kFile || old.ApplyTo(file));
  ok = CloseHandle(file) && ok;
  ReplaceResult result = ok ? ReplaceResult::kReplaced : ReplaceResult::kFailed;
  if (ok && InspectPath(path) == PathKind::kLink) result = ReplaceResult::kLinkRefused;
  if (result == ReplaceResult::kReplaced &&
      MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return result;
  DeleteFileA(temporary.c_str());
  return result == ReplaceResult::kReplaced ? ReplaceResult::kFailed : result;
}

bool RewriteFileInPlace(const std::string& path, const std::string& content) {
  HANDLE file = INVALID_HANDLE_VALUE;
  if (OpenNoFollow(path, GENERIC_WRITE, 0, file) != OpenResult::kOpened) return false;
  bool ok = SetEndOfFile(file) && WriteAll(file, content) && FlushFileBuffers(file);
  ok = CloseHandle(file) && ok;
  return ok;
}

}  // namespace qm::platform
