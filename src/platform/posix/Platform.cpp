#include "platform/Platform.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
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
constexpr int kBestNice = -20;

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

bool RaiseCurrentThreadPriority() {
#ifdef __linux__
  const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
  int threadNice = 0;
  int processNice = 0;
  if (!ReadNice(tid, threadNice)) return false;
  if (!ReadNice(getpid(), processNice)) processNice = threadNice;
  // Base on the better of the two: a thread started after the raise already carries it.
  const int base = threadNice < processNice ? threadNice : processNice;
  const int target = base - 1 < kBestNice ? kBestNice : base - 1;
  if (threadNice <= target) return true;
  return setpriority(PRIO_PROCESS, static_cast<id_t>(tid), target) == 0;
#else
  return false;  // no per-thread nice here; the caller logs and carries on
#endif
}

std::string ExecutablePath() {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) throw EOSError(std::string("Cannot read the executable path: ") + std::strerror(errno));
    // readlink truncates silently; a full buffer may mean the path was cut.
    if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<size_t>(n));
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

bool CreatePrivateFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

}  // namespace qm::platform
