#pragma once
// The operator's terminal, for command-line tools: whether standard input is a terminal at all,
// a line read from it with the echo turned off, and Ctrl+C noticed by polling.
#include <string>

namespace qm::platform {

// True when standard input is an interactive terminal (not a pipe, a file or /dev/null).
bool StdinIsTerminal();

// Shows the prompt on standard error, then reads one line from standard input with echo off,
// without its line end. The prompt comes only once the echo is off: what is typed on seeing it is
// neither shown nor discarded. The echo is restored before returning, also on failure. False at
// end of input or when the terminal refuses.
bool ReadLineWithoutEcho(const std::string& prompt, std::string& line);

// From now on an interrupt (Ctrl+C; SIGINT or SIGTERM on POSIX, Ctrl+Break or closing the
// console on Windows) only raises a flag instead of ending the process. No thread is started:
// the caller polls InterruptRequested, and a blocking wait may end early with an interruption.
void CatchInterrupt();
bool InterruptRequested();

}  // namespace qm::platform
