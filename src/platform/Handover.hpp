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

// The environment variable that names the state's handle in the process taking over.
inline constexpr const char* kHandoverVariable = "QM_HANDOVER_FD";

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
// Replaces the process image by path with these arguments (argv[0] is path) and the variable set
// to stateHandle. The handles in keep are inherited; every other one closes at the exec. Returns
// only on failure: the cause; the kept handles are then marked close-on-exec again.
std::string ExecWithHandles(const std::string& path, const std::vector<std::string>& arguments,
                            const std::vector<int>& keep, int stateHandle);
// In the process taking over: true when the variable names a state; reads it whole, closes the
// handle and removes the variable (a later child must not see it). error is set when it is
// named but cannot be read.
bool TakeStateFile(std::vector<uint8_t>& bytes, std::string& error);
void CloseStateFile(int handle);
// This process's ID, which a handover keeps (the log lines name it).
uint32_t CurrentProcessId();
// The port a socket is bound to (0 when unknown).
uint16_t BoundPortOf(SocketHandle s);

}  // namespace qm::platform
