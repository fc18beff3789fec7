// admin: the administration commands, each after an administrator login.
#include "config/IniFile.hpp"
#include "control/ControlPackets.hpp"
#include "control/OperatorFrames.hpp"
#include "control/WireFormat.hpp"
#include "qmctl/Commands.hpp"
#include "qmctl/Output.hpp"
#include "qmctl/Session.hpp"
#include "qmctl/SocketSession.hpp"

namespace qm::ctl {
namespace {

struct AdminResult {
  std::string action;
  std::string text;  // for people
  int id = 0;        // channel or player, when there is one
  std::string name;
  int reply = 0;  // positive acknowledgement code, when the command has one
};

// What the command line asks for, checked before anything is asked for or sent.
struct AdminRequest {
  std::string action;
  std::string channelName;  // create
  int id = 0;               // delete, kick
  bool needsNewPassword = false;
};

// The server refuses what its configuration file would store differently, so we refuse it first.
constexpr const char* kCannotStore =
    "starts or ends with a blank or holds a line break or NUL; the server's configuration file could not "
    "store it exactly";

void ExpectArguments(const Options& o, size_t count, const std::string& form) {
  if (o.arguments.size() != count + 1) throw CtlError(kExitUsage, "usage: qmctl admin " + form);
}

AdminRequest ParseAdminRequest(const Options& o) {
  if (o.arguments.empty())
    throw CtlError(kExitUsage,
                   "admin needs one of: create, delete, save, kick, set-server-password, set-admin-password");
  AdminRequest q;
  q.action = o.arguments[0];
  const std::string& action = q.action;
  if (action == "create") {
    ExpectArguments(o, 1, "create NAME");
    q.channelName = o.arguments[1];
    if (q.channelName.empty()) throw CtlError(kExitUsage, "the channel name is empty");
    if (q.channelName.size() > kNameCapacity)
      throw CtlError(kExitUsage, "the channel name is longer than 30 characters");
    if (!IniFile::HoldsExactly(q.channelName))
      throw CtlError(kExitUsage, "the channel name " + std::string(kCannotStore));
  } else if (action == "delete") {
    ExpectArguments(o, 1, "delete CHANNEL-ID");
    q.id = ParseNumber(o.arguments[1], 1, 255, "the channel id");
  } else if (action == "kick") {
    ExpectArguments(o, 1, "kick PLAYER-ID");
    q.id = ParseNumber(o.arguments[1], 1, 255, "the player id");
  } else if (action == "save") {
    ExpectArguments(o, 0, "save");
  } else if (action == "set-server-password" || action == "set-admin-password") {
    ExpectArguments(o, 0, action);
    q.needsNewPassword = true;
  } else {
    throw CtlError(kExitUsage, "unknown admin command " + action);
  }
  return q;
}

AdminResult CreateChannel(Session& s, const std::string& channelName) {
  s.Send(ComposeStringCommand(kCmdAdminCreateRoom, channelName));
  // No positive reply exists: the new channel is announced to everyone, us included.
  const Packet p = s.Expect({kPktChannelAdded, kReplyChannelExists, kReplyNotAdmin}, "announcement of the new channel",
                            [&](const Packet& pk) {
                              Notification n;
                              return !ParseNotification(pk.data(), pk.size(), n) || n.name == channelName;
                            });
  Notification added;
  ParseNotification(p.data(), p.size(), added);
  AdminResult r;
  r.id = added.channel;
  r.name = channelName;
  r.text = "created channel " + IdAndName(r.id, channelName);
  return r;
}

// Deleting a channel and kicking a player: a one-byte command naming the id, then the
// announcement that shows it done, or a refusal.
struct IdCommand {
  int16_t command, done, missing;
  const char* awaited;
  const char* verb;
  bool (*shows)(const Notification& n, int id);
};
constexpr IdCommand kDeleteChannel{kCmdAdminDeleteRoom, kPktChannelDeleted,
                                   kReplyNoSuchChannel, "announcement of the deleted channel",
                                   "deleted channel ",  [](const Notification& n, int id) { return n.channel == id; }};
constexpr IdCommand kKickPlayer{kCmdAdminKickPlayer,
                                kPktPlayerLeft,
                                kReplyNoSuchPlayerKick,
                                "announcement of the kick",
                                "kicked player ",
                                [](const Notification& n, int id) { return n.player == id && n.reason == kLeftReasonKicked; }};

AdminResult CommandOnId(Session& s, const IdCommand& c, int id, const std::string& known) {
  s.Send(ComposeByteCommand(c.command, static_cast<uint8_t>(id)));
  s.Expect({c.done, c.missing, kReplyNotAdmin}, c.awaited, [&](const Packet& pk) {
    Notification n;
    return !ParseNotification(pk.data(), pk.size(), n) || c.shows(n, id);
  });
  AdminResult r;
  r.id = id;
  r.name = known;
  r.text = c.verb + IdAndName(id, known);
  return r;
}

AdminResult DeleteChannel(Session& s, int id) {
  std::string known;
  for (const auto& c : s.Lists().channels)
    if (c.wireChannel == id) known = c.name;
  return CommandOnId(s, kDeleteChannel, id, known);
}

AdminResult KickPlayer(Session& s, int id) {
  std::string known;
  for (const auto& p : s.Lists().players)
    if (p.wirePlayer == id) known = p.name;
  return CommandOnId(s, kKickPlayer, id, known);
}

// save and the two password changes: one command, one acknowledgement.
AdminResult Acknowledged(Session& s, const AdminRequest& q, const std::string& newPassword) {
  const std::string& action = q.action;
  int16_t command = kCmdAdminSaveAsDefaultChannels, done = kReplyChannelsSaved;
  if (action == "set-server-password") command = kCmdAdminChangeServerPassword, done = kReplyServerPasswordChanged;
  if (action == "set-admin-password") command = kCmdAdminChangeAdminPassword, done = kReplyAdminPasswordChanged;
  // A value its file cannot hold exactly the server refuses with the refusal clients know for it:
  // a channel's name as a refused new channel, a password as a wrong administrator password.
  const int16_t refused = action == "save" ? kReplyChannelExists : kReplyWrongAdminPassword;
  s.Send(q.needsNewPassword ? ComposeStringCommand(command, newPassword) : ComposeCommand(command));
  const std::string what = action == "save"                  ? "the channels"
                           : action == "set-server-password" ? "the new server password"
                                                             : "the new administrator password";
  try {
    s.Expect({done, kReplyNotAdmin, refused}, "acknowledgement (" + std::to_string(done) + ")");
  } catch (const CtlError& e) {
    if (e.Code() == kExitRefused && e.Reply() == refused)
      throw CtlError(kExitRefused,
                     "the server refused to store " + what + ": its configuration file cannot hold " +
                         (action == "save" ? "a channel's name" : "it") +
                         " exactly (a line break or NUL, or a blank at either end); nothing was changed. The "
                         "server's log names it",
                     refused);
    if (e.Code() != kExitTimeout) throw;
    // The server acknowledges only what its configuration file took; silence means it did not.
    throw CtlError(kExitTimeout, "the server did not store " + what + " (" + e.what() +
                                     "); nothing was changed. The server's log says why, for example a "
                                     "configuration file it may not write");
  }
  AdminResult r;
  r.reply = done;
  r.text = ReplyCodeText(done);
  if (action == "save") r.text += " as the default set in the server's configuration file";
  return r;
}

AdminResult Perform(Session& s, const AdminRequest& q, const std::string& newPassword) {
  if (q.action == "create") return CreateChannel(s, q.channelName);
  if (q.action == "delete") return DeleteChannel(s, q.id);
  if (q.action == "kick") return KickPlayer(s, q.id);
  return Acknowledged(s, q, newPassword);
}

// The same commands through the operator socket: the server runs them itself and answers each.
AdminResult PerformThroughSocket(const Options& o, const AdminRequest& q, const std::string& newPassword) {
  nlohmann::json request{{"command", q.action}};
  if (q.action == "create") request["name"] = Latin1ToUtf8(q.channelName);
  if (q.action == "delete") request["channel"] = q.id;
  if (q.action == "kick") request["player"] = q.id;
  if (q.needsNewPassword) request["password"] = Latin1ToUtf8(newPassword);
  const nlohmann::json a = AskOperatorSocket(o, request);
  AdminResult r;
  if (q.action == "create" || q.action == "delete" || q.action == "kick") {
    r.id = a.value(q.action == "kick" ? "player" : "channel", 0);
    r.name = TextField(a, "name");
    const char* verb = q.action == "create"   ? "created channel "
                       : q.action == "delete" ? "deleted channel "
                                              : "kicked player ";
    r.text = verb + IdAndName(r.id, r.name);
    return r;
  }
  r.reply = q.action == "save"                  ? kReplyChannelsSaved
            : q.action == "set-server-password" ? kReplyServerPasswordChanged
                                                : kReplyAdminPasswordChanged;
  r.text = ReplyCodeText(r.reply);
  if (q.action == "save") r.text += " as the default set in the server's configuration file";
  return r;
}

void Report(const Options& o, const AdminResult& r) {
  const std::string& action = r.action;
  if (o.json) {
    JsonWriter j;
    j.BeginObject().Key("action").String(r.action).Key("ok").Bool(true);
    if (action == "create" || action == "delete") j.Key("channel").Int(r.id).Key("name").String(r.name);
    if (action == "kick") j.Key("player").Int(r.id).Key("name").String(r.name);
    if (r.reply != 0) j.Key("reply").Int(r.reply).Key("result").String(ReplyCodeText(r.reply));
    j.EndObject();
    Emit(j.Text() + "\n");
  } else {
    Emit(r.text + "\n");
  }
}

}  // namespace

int RunAdmin(const Options& o) {
  const AdminRequest q = ParseAdminRequest(o);
  const bool viaSocket = !o.socket.empty();
  // Both secrets are obtained before connecting, so a prompt never holds a session open. The
  // socket needs no administrator password.
  const std::string adminPassword =
      viaSocket ? std::string() : ObtainSecret("QM_ADMIN_PASSWORD", "administrator password", false);
  const std::string newPassword = q.needsNewPassword ? ObtainSecret("QM_NEW_PASSWORD", "new password", true) : "";
  // The server takes an empty administrator password as "administrator login off"; setting one by
  // accident would lock every administrator out.
  if (q.action == "set-admin-password" && newPassword.empty())
    throw CtlError(kExitUsage,
                   "the new administrator password is empty; an empty one would switch administrator login off");
  if (!IniFile::HoldsExactly(newPassword)) throw CtlError(kExitUsage, "the new password " + std::string(kCannotStore));

  if (viaSocket) {
    AdminResult r = PerformThroughSocket(o, q, newPassword);
    r.action = q.action;
    Report(o, r);
    return kExitOk;
  }
  Session s(o);
  s.Open();
  s.BecomeAdmin(adminPassword);
  AdminResult r = Perform(s, q, newPassword);
  r.action = q.action;
  s.Leave();
  Report(o, r);
  return kExitOk;
}

}  // namespace qm::ctl
