// qmctl: the operator's command-line client.
#include <cstdio>
#include <exception>

#include "platform/Error.hpp"
#include "qmctl/Commands.hpp"
#include "qmctl/Output.hpp"

namespace qm::ctl {
namespace {
bool gEmitted = false;

const char* KindOf(ExitCode code) {
  switch (code) {
    case kExitUsage:
      return "usage";
    case kExitRefused:
      return "refused";
    case kExitConnection:
      return "connection";
    case kExitTimeout:
      return "timeout";
    default:
      return "failure";
  }
}

int Fail(const Options* options, ExitCode code, const std::string& message, int reply) {
  std::string text = message;
  if (code == kExitRefused && reply != 0) text += " (reply code " + std::to_string(reply) + ")";
  std::fprintf(stderr, "qmctl: %s\n", text.c_str());
  // A script reading --json gets an object on stdout even when the command failed, unless
  // the command had already written its result there.
  if (options && options->json && !gEmitted) {
    JsonWriter j;
    j.BeginObject().Key("error").String(KindOf(code)).Key("exit").Int(code).Key("message").String(message);
    if (reply != 0) j.Key("reply").Int(reply);
    j.EndObject();
    Emit(j.Text() + "\n");
  }
  return code;
}

}  // namespace

void Emit(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  gEmitted = true;
}

int RunQmctl(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  Options options;
  try {
    options = ParseOptions(args);
  } catch (const CtlError& e) {
    return Fail(nullptr, e.Code(), e.what(), 0);
  }
  if (options.help) {
    Emit(UsageText());
    return kExitOk;
  }
  if (options.showVersion) {
    Emit(std::string(kQmctlVersion) + "\n");
    return kExitOk;
  }
  try {
    ChooseWay(options);
  } catch (const CtlError& e) {
    return Fail(&options, e.Code(), e.what(), 0);
  }
  try {
    if (options.command == "who") return RunWho(options);
    if (options.command == "stats") return RunStats(options);
    if (options.command == "admin") return RunAdmin(options);
    if (options.command == "ping") return RunPing(options);
    if (options.command == "watch") return RunWatch(options);
    if (IsSocketCommand(options.command)) return RunSocketCommand(options);
    return Fail(&options, kExitUsage, "unknown subcommand " + options.command + " (see qmctl --help)", 0);
  } catch (const CtlError& e) {
    return Fail(&options, e.Code(), e.what(), e.Reply());
  } catch (const std::exception& e) {
    return Fail(&options, kExitFailure, DescribeException(e), 0);
  }
}

}  // namespace qm::ctl

int main(int argc, char** argv) { return qm::ctl::RunQmctl(argc, argv); }
