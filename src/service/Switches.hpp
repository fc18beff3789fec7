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
  bool help = false;
  bool version = false;
  bool firstIni = false;
  bool waitStop = false;
  // Run by a server about to hand over to this executable: can it read the state and the ini?
  bool handoverCheck = false;
};

// True when one of the arguments is the switch with that (upper-case) name.
bool FindSwitch(const std::vector<std::string>& arguments, const char* name);
Switches ParseSwitches(const std::vector<std::string>& arguments);

// The arguments that are neither a switch nor "-INI=" / "-LOG=": the program ignores them, and
// warns, so a mistyped switch does not silently start a server.
std::vector<std::string> UnknownArguments(const std::vector<std::string>& arguments);

// "Quillmoot Server v" and the program's version: "Quillmoot Server v1.2.2"
std::string VersionText();
// The --help text: switches, -INI= and -LOG=, and where the two files are for this executable
// (exeDir ends in the path separator) run from workingDir.
std::string UsageText(const std::string& exeDir, const std::string& workingDir);

}  // namespace qm
