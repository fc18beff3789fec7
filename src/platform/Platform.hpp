#pragma once
// The small interface between the server and the operating system. Each function has a POSIX
// side (platform/posix) and a Win32 side (platform/win32); nothing else in the tree may ask
// which system it runs on.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qm::platform {

// Milliseconds since an arbitrary start (boot on Windows), unsigned 32-bit, wrapping.
uint32_t SystemTickCount();

// Local date and time as days since 30 December 1899; the fraction is the time of day.
double SystemNow();

// Date and time separators of the machine's regional settings ('/' and ':' where there are none).
char DateSeparator();
char TimeSeparator();

// Raises the whole process to the high scheduling class. False when the system refuses.
bool RaiseProcessPriority();

// Full path of the running executable.
std::string ExecutablePath();
// The directory separator of this system.
char PathSeparator();

// True when a top-level window of that class and title exists (never on POSIX).
bool FindTopLevelWindow(const char* windowClass, const char* title);

// Creates an empty file that only its owner may read or write (mode 0600 on POSIX; on Windows the
// creating account, the administrators and the system, whatever the folder's rights). False when the name exists
// already (a link included) or the file cannot be made. For files that hold passwords: they are never readable by
// others, not even briefly.
bool CreatePrivateFile(const std::string& path);

// What a name in the file system is, looked at without following a link. On Windows the links are
// the symbolic links and mount points (junctions); other reparse points (deduplicated or cloud
// files) are the files they stand for.
enum class PathKind { kMissing, kFile, kLink, kOther };
PathKind InspectPath(const std::string& path);

// Reads a whole regular file without following a link at its name.
enum class ReadResult { kRead, kMissing, kLink, kFailed };
ReadResult ReadFileNoFollow(const std::string& path, std::string& content);
// True when this process may open the existing file at path for writing (nothing is changed,
// no link is followed).
bool CanOpenForWriting(const std::string& path);

enum class ReplaceResult {
  kReplaced,
  kLinkRefused,  // the file, or a name we were about to create, is a link: nothing was written
  kNoTemporary,  // the folder does not let us create a file beside it
  kFailed,
};
// Replaces the file at path with content without ever writing through a link: the content goes
// into a new file beside it under a name nobody can guess (created exclusively, never opened
// through a link), which is flushed to disk and given the old file's mode (and owner, where we
// may; on Windows its access list) through that same handle, then renamed over path. A new file
// is readable by its owner only. A path that is a link is refused and left as it is.
ReplaceResult ReplaceFileSafely(const std::string& path, const std::string& content);
// The temporary's name: path + kTemporaryInfix + RandomSuffix() (kRandomSuffixDigits lower-case
// hex digits), so a start-up can recognise what a cut-short replace left.
inline constexpr std::string_view kTemporaryInfix = ".tmp-";
inline constexpr size_t kRandomSuffixDigits = 16;
// Rewrites an existing regular file in place, for a folder that allows no new file; a link is
// refused. False on any failure.
bool RewriteFileInPlace(const std::string& path, const std::string& content);

// Seeds for the pseudo-random generator (process id mixed with the clock).
uint64_t RandomSeed();
// Eight bytes from the system's random source; false when it could not give them.
bool SystemRandom(uint64_t& value);
// kRandomSuffixDigits hex digits for a name nobody can guess: from the system's random source,
// or, should it ever fail, from the seed mixed with a counter, which still differs on every call.
std::string RandomSuffix();

}  // namespace qm::platform
