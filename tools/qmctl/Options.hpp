#pragma once
// The command line of qmctl, its exit codes and the failure that carries one of them.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Version.hpp"

namespace qm::ctl {

enum ExitCode : int {
  kExitOk = 0,
  kExitFailure = 1,     // anything not listed below (an unexpected answer, a local fault)
  kExitUsage = 2,       // bad command line, or a password that could not be obtained
  kExitRefused = 3,     // the server answered with a refusal code
  kExitConnection = 4,  // no connection, or the server closed it
  kExitTimeout = 5,     // connected, but an answer did not come in time
};

// A failure that ends qmctl with the given status; the message is printed on stderr.
class CtlError : public std::runtime_error {
 public:
  CtlError(ExitCode code, const std::string& message, int replyCode = 0)
      : std::runtime_error(message), code_(code), reply_(replyCode) {}
  ExitCode Code() const { return code_; }
  int Reply() const { return reply_; }  // the refusal code, for kExitRefused

 private:
  ExitCode code_;
  int reply_;
};

inline constexpr int kMaxPingCount = 100;
inline constexpr int kMinPingIntervalMs = 10;
inline constexpr int kMaxPingIntervalMs = 60000;
inline constexpr int kMaxTimeoutMs = 600000;
inline constexpr int kMaxWatchSeconds = 7 * 24 * 3600;
inline constexpr int kMaxBanMinutes = 10 * 366 * 24 * 60;

// What `qmctl --version` prints, and the client version text a login sends unless told otherwise.
inline constexpr const char* kQmctlVersion = "qmctl " QM_VERSION_TEXT;

struct Options {
  std::string host = "127.0.0.1";
  uint16_t port = 8765;
  bool hostGiven = false;  // --host or --port: the network was asked for
  // The server's operator socket; when set (after ChooseWay), who, stats and admin go through it.
  std::string socket;
  bool socketGiven = false;  // by --socket or QM_SOCKET, not by the packaged default
  std::string name = "qmctl";
  std::string version = kQmctlVersion;  // any text but "1.2.0" gets the newer layouts
  bool json = false;
  int timeoutMs = 3000;
  bool help = false;
  bool showVersion = false;  // a bare --version: print qmctl's own version

  std::string command;                 // who, stats, admin, ping, watch
  std::vector<std::string> arguments;  // what follows the subcommand, options removed

  bool admin = false;  // stats --admin
  int count = 4;       // ping --count
  int intervalMs = 1000;
  int watchSeconds = 0;  // 0: until interrupted

  int minutes = 0;           // ban --minutes; 0: until removed
  std::string reason;        // ban --reason
  bool drainStop = false;    // drain --stop
  bool drainCancel = false;  // drain --cancel
  int drainSeconds = 0;      // drain --timeout (after the subcommand); 0: none
};

// Throws CtlError(kExitUsage) with the reason.
Options ParseOptions(const std::vector<std::string>& args);
// Settles the way to the server: --socket, else QM_SOCKET (unless --host or --port), else the
// packaged server's socket when it exists and neither --host nor --port was given; otherwise
// the network. ping and watch need the network: CtlError(kExitUsage) when only a socket was named.
void ChooseWay(Options& options);
std::string UsageText();

// "123" within [low, high], else CtlError(kExitUsage) naming what.
int ParseNumber(const std::string& text, int low, int high, const std::string& what);

}  // namespace qm::ctl
