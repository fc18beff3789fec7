#include "platform/Platform.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/Clock.hpp"
#include "platform/Error.hpp"
#include "platform/SplitMix.hpp"

namespace qm::platform {
namespace {

// A nice value at least this good counts as "high": it matches the distance between the
// normal and the high class on the other side, and stays clear of the real-time range.
constexpr int kHighNice = -10;

timespec ReadClock(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return ts;
}

// getpriority may legitimately return -1, so errno is the only failure signal.
bool ReadNice(int who, int& nice) {
  errno = 0;
  const int value = getpriority(PRIO_PROCESS, static_cast<id_t>(who));
  if (value == -1 && errno != 0) return false;
  nice = value;
  return true;
}

// Tries for a fresh temporary name before giving up; a clash is already unlikely with one.
constexpr int kTemporaryAttempts = 8;

bool WriteAll(int fd, const std::string& content) {
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The rename is durable only once the folder's entry is on disk too.
void SyncFolderOf(const std::string& path) {
  const size_t cut = path.find_last_of('/');
  const std::string folder = cut == std::string::npos ? "." : cut == 0 ? "/" : path.substr(0, cut);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// Creates the temporary exclusively; O_EXCL with O_NOFOLLOW never opens anything that was there.
int CreateTemporary(const std::string& path, std::string& temporary, ReplaceResult& failure) {
  for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
    temporary = path + std::string(kTemporaryInfix) + RandomSuffix();
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    if (errno == EEXIST) {
      struct stat st {};
      if (::lstat(temporary.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        failure = ReplaceResult::kLinkRefused;
        return -1;
      }
      continue;
    }
    failure =
        (errno == EACCES || errno == EPERM || errno == EROFS) ? ReplaceResult::kNoTemporary : ReplaceResult::kFailed;
    return -1;
  }
  failure = ReplaceResult::kFailed;
  return -1;
}

// Content, owner and mode all go through the descriptor from the create, never by name.
bool FillTemporary(int fd, const std::string& content, const struct stat* old) {
  bool ok = WriteAll(fd, content);
  if (old) {
    // Only root may hand a file to another owner; anyone else keeps the file as their own.
    if ((old->st_uid != ::geteuid() || old->st_gid != ::getegid()) && ::fchown(fd, old->st_uid, old->st_gid) != 0) {
      errno = 0;
    }
    ok = ok && ::fchmod(fd, old->st_mode & 07777) == 0;
  }
  return ok && ::fsync(fd) == 0;
}

}  // namespace

uint32_t SystemTickCount() {
  const timespec ts = ReadClock(CLOCK_MONOTONIC);
  const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

double SystemNow() {
  const timespec ts = ReadClock(CLOCK_REALTIME);
  const time_t seconds = ts.tv_sec;
  tm local{};
  localtime_r(&seconds, &local);
  // tm_sec can read 60 on a leap second; fold it into the minute's end rather than roll over.
  const int second = local.tm_sec > 59 ? 59 : local.tm_sec;
  return EncodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, second,
                        static_cast<int>(ts.tv_nsec / 1000000));
}

// POSIX locales carry no separate date/time separator; these are the common settings.
char DateSeparator() { return '/'; }
char TimeSeparator() { return ':'; }

// On Linux the nice value belongs to the calling thread and is inherited by the threads it
// creates afterwards, so raising it before the workers start lifts the whole server.
bool RaiseProcessPriority() {
  int current = 0;
  if (ReadNice(0, current) && current <= kHighNice) return true;  // never lower what we have
  return setpriority(PRIO_PROCESS, 0, kHighNice) == 0;
}

std::string ExecutablePath() {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) throw EOSError(std::string("Cannot read the executable path: ") + std::strerror(errno));
    // readlink truncates silently; a full buffer may mean the path was cut.
    if (static_cast<size_t>(n) < buffer.size()) {
      const std::string path(buffer.data(), static_cast<size_t>(n));
      // An image run from a memory file (a handover fell back to the earlier one) is where it was
      // started from, which the handover keeps in the environment.
      if (path.rfind("/memfd:", 0) == 0)
        if (const char* kept = std::getenv("QM_HANDOVER_PATH"); kept && *kept) return kept;
      return path;
    }
    buffer.resize(buffer.size() * 2);
  }
}

char PathSeparator() { return '/'; }

bool FindTopLevelWindow(const char*, const char*) { return false; }

uint64_t RandomSeed() {
  const timespec mono = ReadClock(CLOCK_MONOTONIC);
  const timespec real = ReadClock(CLOCK_REALTIME);
  uint64_t seed = SplitMix64(static_cast<uint64_t>(getpid()));
  seed = SplitMix64(seed ^ (static_cast<uint64_t>(mono.tv_sec) * 1000000000ull + static_cast<uint64_t>(mono.tv_nsec)));
  seed = SplitMix64(seed ^ (static_cast<uint64_t>(real.tv_sec) * 1000000000ull + static_cast<uint64_t>(real.tv_nsec)));
  return seed;
}

bool SystemRandom(uint64_t& value) {
  auto* bytes = reinterpret_cast<unsigned char*>(&value);
  size_t got = 0;
  while (got < sizeof value) {
    const ssize_t n = getrandom(bytes + got, sizeof value - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

bool CreatePrivateFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

PathKind InspectPath(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0)
    return errno == ENOENT || errno == ENOTDIR ? PathKind::kMissing : PathKind::kOther;
  if (S_ISLNK(st.st_mode)) return PathKind::kLink;
  return S_ISREG(st.st_mode) ? PathKind::kFile : PathKind::kOther;
}

ReadResult ReadFileNoFollow(const std::string& path, std::string& content) {
  // Non-blocking, so a pipe put at the name cannot hold the reader.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ELOOP || errno == EMLINK) return ReadResult::kLink;
    return errno == ENOENT || errno == ENOTDIR ? ReadResult::kMissing : ReadResult::kFailed;
  }
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  std::string text;
  char buffer[16384];
  while (ok) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  if (!ok) return ReadResult::kFailed;
  content = std::move(text);
  return ReadResult::kRead;
}

bool CanOpenForWriting(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

ReplaceResult ReplaceFileSafely(const std::string& path, const std::string& content) {
  struct stat old {};
  const bool existed = ::lstat(path.c_str(), &old) == 0;
  if (existed && S_ISLNK(old.st_mode)) return ReplaceResult::kLinkRefused;
  if (existed && !S_ISREG(old.st_mode)) return ReplaceResult::kFailed;
  std::string temporary;
  ReplaceResult failure = ReplaceResult::kFailed;
  const int fd = CreateTemporary(path, temporary, failure);
  if (fd < 0) return failure;
  bool ok = FillTemporary(fd, content, existed ? &old : nullptr);
  // Whatever someone renamed onto our temporary name or onto the file meanwhile is not moved or
  // replaced: the name must still be the file we wrote, and the file no link.
  struct stat ours {};
  struct stat named {};
  const bool swapped = ::fstat(fd, &ours) != 0 || ::lstat(temporary.c_str(), &named) != 0 || !SameFile(ours, named);
  ok = (::close(fd) == 0) && ok && !swapped;
  ReplaceResult result = ok ? ReplaceResult::kReplaced : ReplaceResult::kFailed;
  if (swapped && S_ISLNK(named.st_mode)) result = ReplaceResult::kLinkRefused;
  if (ok && InspectPath(path) == PathKind::kLink) result = ReplaceResult::kLinkRefused;
  if (result == ReplaceResult::kReplaced && ::rename(temporary.c_str(), path.c_str()) == 0) {
    SyncFolderOf(path);
    return result;
  }
  ::unlink(temporary.c_str());  // removes the name only, never what a link there points at
  return result == ReplaceResult::kReplaced ? ReplaceResult::kFailed : result;
}

bool RewriteFileInPlace(const std::string& path, const std::string& content) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::ftruncate(fd, 0) == 0;
  ok = ok && WriteAll(fd, content) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  return ok;
}

}  // namespace qm::platform
