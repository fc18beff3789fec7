#pragma once
// The small interface between the server and the operating system. Each function has a POSIX
// side (platform/posix) and a Win32 side (platform/win32); nothing else in the tree may ask
// which system it runs on.
#include <cstdint>
#include <string>

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
// Raises the calling thread one step above normal (the relay sender). False when refused.
bool RaiseCurrentThreadPriority();

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

// Seeds for the pseudo-random generator (process id mixed with the clock).
uint64_t RandomSeed();

}  // namespace qm::platform
