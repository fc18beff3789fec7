#include "qmctl/Options.hpp"

#include <cctype>
#include <cstdlib>
#include <functional>

#include "control/ControlPackets.hpp"
#include "platform/OperatorChannel.hpp"

namespace qm::ctl {
namespace {

[[noreturn]] void Usage(const std::string& message) { throw CtlError(kExitUsage, message + " (see qmctl --help)"); }

void CheckText(const std::string& text, const std::string& what) {
  // The wire field holds 30 characters; a longer text would be cut without notice.
  if (text.size() > kNameCapacity) Usage(what + " is longer than 30 characters");
}

}  // namespace

int ParseNumber(const std::string& text, int low, int high, const std::string& what) {
  if (text.empty() || text.size() > 9)
    Usage(what + " must be a number from " + std::to_string(low) + " to " + std::to_string(high));
  int value = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c)))
      Usage(what + " must be a number from " + std::to_string(low) + " to " + std::to_string(high));
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high)
    Usage(what + " must be a number from " + std::to_string(low) + " to " + std::to_string(high));
  return value;
}

namespace {

// Options that belong to one subcommand only, noted to check against the subcommand at the end.
struct OptionsSeen {
  bool count = false, interval = false, seconds = false, ban = false, drain = false;
};

// Applies one option; value gives its value (inline after "=" or the next argument).
void ApplyOption(Options& o, const std::string& arg, bool inlineValue, const std::function<std::string()>& value,
                 OptionsSeen& seen) {
  if (arg == "--json") {
    if (inlineValue) Usage("--json takes no value");
    o.json = true;
  } else if (arg == "--admin") {
    if (inlineValue) Usage("--admin takes no value");
    o.admin = true;
  } else if (arg == "--host") {
    o.host = value();
    o.hostGiven = true;
    if (o.host.empty()) Usage("--host is empty");
  } else if (arg == "--port") {
    o.port = static_cast<uint16_t>(ParseNumber(value(), 1, 65535, "--port"));
    o.hostGiven = true;
  } else if (arg == "--socket") {
    o.socket = value();
    o.socketGiven = true;
    if (o.socket.empty()) Usage("--socket is empty");
  } else if (arg == "--name") {
    o.name = value();
    CheckText(o.name, "--name");
  } else if (arg == "--client-version" || arg == "--version") {
    // "--version" with a value is the older name of --client-version; bare, it is handled earlier.
    o.version = value();
    CheckText(o.version, arg);
  } else if (arg == "--timeout" && o.command == "drain") {
    // After drain, --timeout is drain's own: seconds until the server stops regardless.
    o.drainSeconds = ParseNumber(value(), 1, kMaxWatchSeconds, "drain --timeout");
    seen.drain = true;
  } else if (arg == "--minutes") {
    o.minutes = ParseNumber(value(), 1, kMaxBanMinutes, "--minutes");
    seen.ban = true;
  } else if (arg == "--reason") {
    o.reason = value();
    seen.ban = true;
  } else if (arg == "--stop" || arg == "--cancel") {
    if (inlineValue) Usage(arg + " takes no value");
    (arg == "--stop" ? o.drainStop : o.drainCancel) = true;
    seen.drain = true;
  } else if (arg == "--timeout") {
    o.timeoutMs = ParseNumber(value(), 1, kMaxTimeoutMs, "--timeout");
  } else if (arg == "--count") {
    o.count = ParseNumber(value(), 1, kMaxPingCount, "--count");
    seen.count = true;
  } else if (arg == "--interval") {
    o.intervalMs = ParseNumber(value(), kMinPingIntervalMs, kMaxPingIntervalMs, "--interval");
    seen.interval = true;
  } else if (arg == "--seconds") {
    o.watchSeconds = ParseNumber(value(), 1, kMaxWatchSeconds, "--seconds");
    seen.seconds = true;
  } else {
    Usage("unknown option " + arg);
  }
}

}  // namespace

Options ParseOptions(const std::vector<std::string>& args) {
  Options o;
  bool optionsEnded = false;
  OptionsSeen seen;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      if (o.command.empty())
        o.command = arg;
      else
        o.arguments.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      o.help = true;
      continue;
    }
    // Bare (last, or before another option) --version asks for qmctl's version; with a value it
    // still sets the client version text, as it did before --client-version existed.
    if (arg == "--version" && (i + 1 >= args.size() || args[i + 1].rfind('-', 0) == 0)) {
      o.showVersion = true;
      continue;
    }
    std::string value;
    bool inlineValue = false;
    if (const auto eq = arg.find('='); eq != std::string::npos && arg.rfind("--", 0) == 0) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      inlineValue = true;
    }
    ApplyOption(
        o, arg, inlineValue,
        [&]() -> std::string {
          if (inlineValue) return value;
          if (i + 1 >= args.size()) Usage(arg + " needs a value");
          return args[++i];
        },
        seen);
  }
  if (o.help || o.showVersion) return o;
  if (o.command.empty()) Usage("no subcommand given");
  if ((seen.count || seen.interval) && o.command != "ping") Usage("--count and --interval belong to ping");
  if (seen.seconds && o.command != "watch") Usage("--seconds belongs to watch");
  if (o.admin && o.command != "stats") Usage("--admin belongs to stats");
  if (seen.ban && o.command != "ban") Usage("--minutes and --reason belong to ban");
  if (seen.drain && o.command != "drain") Usage("--stop and --cancel belong to drain");
  if (o.drainCancel && (o.drainStop || o.drainSeconds != 0)) Usage("drain --cancel takes neither --stop nor --timeout");
  if (o.drainSeconds != 0 && !o.drainStop) Usage("drain --timeout needs --stop");
  if (o.socketGiven && o.hostGiven) Usage("--socket and --host/--port name two ways to the server; give one");
  return o;
}

void ChooseWay(Options& o) {
  const bool network = o.command == "ping" || o.command == "watch";
  if (!o.socketGiven && !o.hostGiven) {
    if (const char* env = std::getenv("QM_SOCKET"); env && *env) {
      o.socket = env;
      o.socketGiven = true;
    }
  }
  if (network) {
    if (o.socketGiven)
      Usage(o.command + " needs the network (UDP and a player's login), which the operator socket does not carry: " +
            "give --host and --port instead of --socket or QM_SOCKET");
    o.socket.clear();
    return;
  }
  if (o.socket.empty() && !o.hostGiven) {
    const std::string packaged = platform::PackagedOperatorChannel();
    if (!packaged.empty() && platform::OperatorChannelExists(packaged)) o.socket = packaged;
  }
}

std::string UsageText() {
  return R"(qmctl: administer and inspect a Quillmoot server from the shell.

usage: qmctl [options] <subcommand> [arguments]

subcommands:
  who                          channels and the players in each
  stats [--admin] [PLAYER]     server statistics; with a player id, that player's
                               (--admin: log in as administrator to see the address)
  admin create NAME            create a channel
  admin delete CHANNEL         delete a channel by its id
  admin save                   store the current channels as the default set
  admin kick PLAYER            kick a player by its id
  admin set-server-password    change the server password (empty: no password)
  admin set-admin-password     change the administrator password
  ping [--count N] [--interval MS]
                               UDP ping round trips (N 1-100, default 4;
                               MS 10-60000, default 1000; below 100 it is
                               raised to 100, as the server answers 10 pings
                               a second and drops the rest)
  watch [--seconds S]          print notifications until interrupted or S seconds
                               (ping and watch need --host/--port: not through --socket)

through the operator socket only (the server's own machine, no password):
  ban TARGET [--minutes N] [--reason TEXT]
                               refuse TARGET's logins and send it away now; TARGET is
                               an IPv4 address, ADDRESS/PREFIX (203.0.113.0/24),
                               player:ID (that player's address) or name:NAME;
                               without --minutes until unban
  unban TARGET                 remove a ban (TARGET as `qmctl bans` shows it)
  bans                         the bans in force: target, until, reason, hits
  mute PLAYER / unmute PLAYER  stop / resume relaying a player's voice and whispers
  drain [--stop [--timeout S]] refuse new logins as a full server does; --stop: stop
                               the server when the last player has left, or after S
                               seconds (--timeout after drain is drain's own)
  drain --cancel               accept logins again
  reload                       read the configuration file again and apply what can
                               change while running (also SIGHUP)

options:
  --socket PATH  the server's operator socket: who, stats and admin without any password,
                 and qmctl is seen by no player (also QM_SOCKET; by default
                 )" +
         platform::PackagedOperatorChannel() +
         R"( when it exists and
                 neither --host nor --port is given). On Windows a pipe name.
  --host H       server host name or IPv4 address (default 127.0.0.1)
  --port P       server TCP port (default 8765; UDP is P + 1)
  --name N       player name to log in with (default qmctl)
  --client-version V
                 client version text sent at login (default ")" +
         std::string(kQmctlVersion) + R"("; "1.2.0" selects
                 the old layouts; --version V is the older name)
  --version      qmctl's own version
  --json         machine-readable output (watch: one JSON object per line)
  --timeout MS   wait at most MS for each answer (default 3000)
  -h, --help     this text

passwords (never on the command line; through the socket only QM_NEW_PASSWORD is asked for):
  QM_SERVER_PASSWORD   server password, if the server has one
  QM_ADMIN_PASSWORD    administrator password (admin, stats --admin)
  QM_NEW_PASSWORD      the new password for set-server-password / set-admin-password
  When a variable is not set and standard input is a terminal, qmctl asks without echo.

exit status:
  0 success, 1 other failure, 2 usage error or no password, 3 refused by the server,
  4 connection failed or closed, 5 time-out waiting for an answer

examples:
  $ qmctl --socket /run/quillmoot/qmserver.sock admin kick 3   # no password
  $ qmctl --host voice.example.org who
  $ qmctl stats 3                      # player 3; add --admin for its address
  $ read -rs QM_ADMIN_PASSWORD && export QM_ADMIN_PASSWORD
  $ qmctl admin create "Board Room"
  created channel 4 Board Room
  $ qmctl admin kick 3
  kicked player 3 alice
  $ qmctl admin save
  $ qmctl --json ping --count 10 --interval 100
  $ qmctl watch --seconds 3600 >> activity.log
  $ qmctl ban 203.0.113.0/24 --minutes 60 --reason "guessing"
  $ qmctl ban player:3 && qmctl bans
  $ qmctl unban 203.0.113.0/24
  $ qmctl mute 3
  $ qmctl drain --stop --timeout 900
  $ qmctl reload

Player and channel ids are the ones `qmctl who` shows. Full guide: qmctl.md, installed as
/usr/share/doc/quillmoot-server/qmctl.md (beside qmctl.exe on Windows; docs/ in the source).
)";
}

}  // namespace qm::ctl
