#pragma once
// What a handover needs of the system: the state in an anonymous memory file, the executable
// checked, the process image replaced by the one on disk with chosen handles inherited (the same
// process, so the same process ID). POSIX (Linux) only; on Windows each call says it is not
// supported.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Socket.hpp"

namespace qm::platform {

// The environment variables of the process taking over: the state's handle, the earlier image's
// (a copy of the executable that handed over) and the earlier image's arguments (one a line).
inline constexpr const char* kHandoverVariable = "QM_HANDOVER_FD";
inline constexpr const char* kEarlierImageVariable = "QM_HANDOVER_IMAGE_FD";
inline constexpr const char* kEarlierArgumentsVariable = "QM_HANDOVER_ARGS";
// The path the first image was started from, kept in the environment across handovers: an image
// that runs from a memory file (the earlier one, fallen back to) still knows where its upgrades go.
inline constexpr const char* kExecutablePathVariable = "QM_HANDOVER_PATH";
// Set for the earlier image when the new one could not take over: it counts a failed handover.
inline constexpr const char* kFellBackVariable = "QM_HANDOVER_FELL_BACK";

bool HandoverSupported();
// The executable now at the path this process was started from (its file may have been replaced
// since: the path, not the running inode).
std::string HandoverExecutablePath();
// Runs the executable at path with these arguments and the variable set to stateHandle; empty
// when it ends with status 0 within the time, else the cause (with its last line of output).
std::string CheckExecutable(const std::string& path, const std::vector<std::string>& arguments, int stateHandle,
                            int timeoutMs);
// Writes bytes to a new anonymous memory file, positioned at its start: its handle, or -1 with
// the cause in error.
int CreateStateFile(const std::vector<uint8_t>& bytes, std::string& error);
// A copy of the running executable (the file it was started from, even when replaced on disk
// since) in an anonymous memory file: its handle, or -1 with the cause in error.
int CopyRunningImage(std::string& error);
// Replaces the process image by path with these arguments (argv[0] is path) and the variables set
// to stateHandle, imageHandle and the arguments. The handles in keep are inherited; every other
// one closes at the exec. Returns only on failure: the cause; the kept handles are then marked
// close-on-exec again.
std::string ExecWithHandles(const std::string& path, const std::vector<std::string>& arguments,
                            const std::vector<int>& keep, int stateHandle, int imageHandle);
// In the process taking over: true when the variable names a state; reads it whole and removes
// the variables (a later child must not see them), keeping the handles for a fall-back. error is
// set when it is named but cannot be read.
bool TakeStateFile(std::vector<uint8_t>& bytes, std::string& error);
// The take-over succeeded: the state's and the earlier image's handles are closed.
void ReleaseTakeOverHandles();
// The take-over failed before any connection was served: replaces this image by the earlier one,
// with its own arguments, the same state and the same sockets (still inheritable). Returns only
// when it cannot: the cause.
std::string FallBackToEarlierImage();
// True once in the image fallen back to (the mark is taken, so a later handover does not see it).
bool TakeFellBackMark();
void CloseStateFile(int handle);
// This process's ID, which a handover keeps (the log lines name it).
uint32_t CurrentProcessId();
// The port a socket is bound to (0 when unknown).
uint16_t BoundPortOf(SocketHandle s);

}  // namespace qm::platform
