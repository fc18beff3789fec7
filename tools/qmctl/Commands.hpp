#pragma once
// The subcommands of qmctl. Each returns the exit status or throws CtlError; output goes to
// stdout through Emit, so a line is visible at once even when stdout is a pipe.
#include <string>

#include "qmctl/Options.hpp"

namespace qm::ctl {

void Emit(const std::string& text);

int RunWho(const Options& options);
int RunStats(const Options& options);
int RunAdmin(const Options& options);
int RunPing(const Options& options);
int RunWatch(const Options& options);
// The operator socket's own commands: ban, unban, bans, mute, unmute, drain, reload.
bool IsSocketCommand(const std::string& command);
int RunSocketCommand(const Options& options);

// The whole program: parses, dispatches, reports failures. Returns the exit status.
int RunQmctl(int argc, char** argv);

}  // namespace qm::ctl
