#pragma once
// The command-line switches of qmserver. A switch is "-" or "/" followed by its name in any letter
// case; the bare word is no switch.
#include <string>
#include <vector>

namespace qm {

struct Switches {
  bool stop = false;
  bool start = false;
  bool install = false;
  bool uninstall = false;
  bool silent = false;
  bool console = false;
};

// True when one of the arguments is the switch with that (upper-case) name.
bool FindSwitch(const std::vector<std::string>& arguments, const char* name);
Switches ParseSwitches(const std::vector<std::string>& arguments);

}  // namespace qm
