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

}  // namespace

bool IsSocketCommand(const std::string& command) { return command == "ban" || command == "unban" || command == "bans"; }

int RunSocketCommand(const Options& o) {
  if (o.socket.empty())
    throw CtlError(kExitUsage, o.command +
                                   " goes through the server's operator socket only: give --socket PATH or QM_SOCKET "
                                   "on the server's machine (the clients' protocol cannot carry it)");
  if (o.command == "ban") return Ban(o);
  if (o.command == "unban") return Unban(o);
  return ListBans(o);
}

}  // namespace qm::ctl
