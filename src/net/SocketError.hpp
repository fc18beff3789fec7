#pragma once
// One wording for socket failures across the net layer: the code in the system's Windows
// numbering and the system's own text, as operators see them in log lines.
#include <string>

namespace qm {

// "Socket Error # <code>: <text>"
std::string SocketErrorMessage(int code);
[[noreturn]] void ThrowSocketError(int code);
[[noreturn]] void ThrowLastSocketError();

}  // namespace qm
