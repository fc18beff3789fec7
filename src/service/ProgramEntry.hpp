#pragma once
// What qmserver does with its command line: control the installed service (STOP, START),
// register or remove it (INSTALL, UNINSTALL, with SILENT), run in a console (CONSOLE), or run as
// the service process.
#include <string>
#include <vector>

#include "service/TQuillmoot.hpp"

namespace qm {

// The process exit status.
int RunProgram(const std::vector<std::string>& arguments);

// Registers the service and starts it; a failed start removes the registration again. Shows the
// outcome (nothing on success when silent). 0 on success.
int InstallService(TQuillmoot& service, bool silent);
// Stops the service when it runs, then removes it. 0 on success.
int UninstallService(TQuillmoot& service, bool silent);

}  // namespace qm
