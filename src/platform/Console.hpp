#pragma once
// The operator's terminal, for command-line tools that ask for a secret: whether standard input
// is a terminal at all, and a line read from it with the echo turned off.
#include <string>

namespace qm::platform {

// True when standard input is an interactive terminal (not a pipe, a file or /dev/null).
bool StdinIsTerminal();

// Reads one line from standard input with echo off, without its line end. The echo is restored
// before returning, also on failure. False at end of input or when the terminal refuses.
bool ReadLineWithoutEcho(std::string& line);

}  // namespace qm::platform
