// The commands only the operator socket carries: the clients' protocol has no ban, mute, drain
// or reload, so these never go over the network.
#include <nlohmann/json.hpp>

#include "control/OperatorFrames.hpp"
#include "qmctl/Commands.hpp"
#include "qmctl/Output.hpp"
#include "qmctl/SocketSession.hpp"

namespace qm::ctl {
namespace {

using Json = nlohmann::json;

void ExpectArguments(const Options& o, size_t count, const std::string& form) {
  if (o.arguments.size() != count) throw CtlError(kExitUsage, "usage: qmctl " + form + " (see qmctl --help)");
}

// The whole answer for --json, without the "ok" every answer of this kind carries.
void EmitJson(Json answer, const std::string& action) {
  answer.erase("ok");
  answer["action"] = action;
  Emit(answer.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n");
}

std::string Words(const Json& answer, const char* key) { return Printable(TextField(answer, key)); }

int Ban(const Options& o) {
  ExpectArguments(o, 1, "ban TARGET [--minutes N] [--reason TEXT]");
  Json request{{"command", "ban"}, {"target", Latin1ToUtf8(o.arguments[0])}};
  if (o.minutes > 0) request["minutes"] = o.minutes;
  if (!o.reason.empty()) request["reason"] = o.reason;
  const Json a = AskOperatorSocket(o, request);
  if (o.json) {
    EmitJson(a, "ban");
    return kExitOk;
  }
  std::string text = "banned " + Words(a, "target") + " until " + Words(a, "until");
  for (const Json& k : a.value("kicked", Json::array()))
    text += "\nsent away player " + IdAndName(k.value("id", 0), TextField(k, "name"));
  Emit(text + "\n");
  return kExitOk;
}

int Unban(const Options& o) {
  ExpectArguments(o, 1, "unban TARGET");
  const Json a = AskOperatorSocket(o, {{"command", "unban"}, {"target", Latin1ToUtf8(o.arguments[0])}});
  if (o.json)
    EmitJson(a, "unban");
  else
    Emit("unbanned " + Words(a, "target") + "\n");
  return kExitOk;
}

int ListBans(const Options& o) {
  ExpectArguments(o, 0, "bans");
  const Json a = AskOperatorSocket(o, {{"command", "bans"}});
  if (o.json) {
    EmitJson(a, "bans");
    return kExitOk;
  }
  Table t({"TARGET", "UNTIL", "HITS", "REASON"}, {false, false, true, false});
  for (const Json& b : a.value("bans", Json::array()))
    t.AddRow({Words(b, "target"), Words(b, "until"), std::to_string(b.value("hits", 0)), Words(b, "reason")});
  Emit(t.Render());
  return kExitOk;
}

int Mute(const Options& o) {
  ExpectArguments(o, 1, o.command + " PLAYER");
  const int id = ParseNumber(o.arguments[0], 1, 255, "the player id");
  const Json a = AskOperatorSocket(o, {{"command", o.command}, {"player", id}});
  if (o.json)
    EmitJson(a, o.command);
  else
    Emit(std::string(o.command == "mute" ? "muted" : "unmuted") + " player " + IdAndName(id, TextField(a, "name")) +
         "\n");
  return kExitOk;
}

int Drain(const Options& o) {
  ExpectArguments(o, 0, "drain [--stop [--timeout SECONDS]] | drain --cancel");
  Json request{{"command", "drain"}};
  if (o.drainCancel) request["cancel"] = true;
  if (o.drainStop) request["stop"] = true;
  if (o.drainSeconds > 0) request["timeout"] = o.drainSeconds;
  const Json a = AskOperatorSocket(o, request);
  if (o.json) {
    EmitJson(a, "drain");
    return kExitOk;
  }
  if (!a.value("draining", false)) {
    Emit("drain cancelled: logins are accepted again\n");
    return kExitOk;
  }
  std::string text = "draining: new logins are refused (" + std::to_string(a.value("players", 0)) + " logged in)";
  if (a.value("stop", false)) {
    text += "; the server stops when the last player has left";
    if (o.drainSeconds > 0) text += " or in " + std::to_string(o.drainSeconds) + " s";
  }
  Emit(text + "\n");
  return kExitOk;
}

int Reload(const Options& o) {
  ExpectArguments(o, 0, "reload");
  const Json a = AskOperatorSocket(o, {{"command", "reload"}});
  if (o.json) {
    EmitJson(a, "reload");
    return kExitOk;
  }
  std::string text = "reloaded:";
  const Json applied = a.value("applied", Json::array());
  // Appended piece by piece: gcc 12's -Wrestrict misjudges " " + a temporary string.
  for (const Json& k : applied) (text += ' ') += Printable(Utf8ToLatin1(k.get<std::string>()));
  if (applied.empty()) text += " nothing to apply";
  text += "\n";
  const Json restart = a.value("restart", Json::array());
  if (!restart.empty()) {
    text += "changed in the file, in force after a restart:";
    for (const Json& k : restart) (text += ' ') += Printable(Utf8ToLatin1(k.get<std::string>()));
    text += "\n";
  }
  Emit(text);
  return kExitOk;
}

}  // namespace

bool IsSocketCommand(const std::string& command) {
  for (const char* name : {"ban", "unban", "bans", "mute", "unmute", "drain", "reload"})
    if (command == name) return true;
  return false;
}

int RunSocketCommand(const Options& o) {
  if (o.socket.empty())
    throw CtlError(kExitUsage, o.command +
                                   " goes through the server's operator socket only: give --socket PATH or QM_SOCKET "
                                   "on the server's machine (the clients' protocol cannot carry it)");
  if (o.command == "ban") return Ban(o);
  if (o.command == "unban") return Unban(o);
  if (o.command == "mute" || o.command == "unmute") return Mute(o);
  if (o.command == "drain") return Drain(o);
  if (o.command == "reload") return Reload(o);
  return ListBans(o);
}

}  // namespace qm::ctl
