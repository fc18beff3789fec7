#pragma once
// The first configuration an installer writes: the server's complete default ini, but with a random
// administrator password in place of the built-in one, readable only by the administrators and the
// system (its owner only on POSIX). An existing file is never touched.
#include <string>
#include <vector>

namespace qm {

// A random administrator password: letters and digits from the system's random source.
std::string RandomAdminPassword();

// With -FIRSTINI: the TCP port a new ini gets instead of the default one.
inline constexpr const char* kFirstIniPortSwitch = "-TCPPORT=";

// Writes the ini that "-INI=" names among the arguments (qmserver.ini beside the executable
// without it), creating its directory, when the file does not exist; "-TCPPORT=" sets its port. Says what it did on
// stdout and, with "-LOG=", in that log. 0 on success (also when the file was kept), 1 on failure.
int WriteFirstIni(const std::vector<std::string>& arguments);

}  // namespace qm
