#include "service/Switches.hpp"

namespace qm {

bool FindSwitch(const std::vector<std::string>& arguments, const char* name) {
  for (const std::string& arg : arguments) {
    if (arg.empty() || (arg[0] != '-' && arg[0] != '/')) continue;
    size_t i = 0;
    for (; name[i]; ++i) {
      if (i + 1 >= arg.size()) break;
      char c = arg[i + 1];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      if (c != name[i]) break;
    }
    if (name[i] == '\0' && i + 1 == arg.size()) return true;
  }
  return false;
}

Switches ParseSwitches(const std::vector<std::string>& arguments) {
  Switches s;
  s.stop = FindSwitch(arguments, "STOP");
  s.start = FindSwitch(arguments, "START");
  s.install = FindSwitch(arguments, "INSTALL");
  s.uninstall = FindSwitch(arguments, "UNINSTALL");
  s.silent = FindSwitch(arguments, "SILENT");
  s.console = FindSwitch(arguments, "CONSOLE");
  return s;
}

}  // namespace qm
