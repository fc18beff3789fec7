#include "control/OperatorCommands.hpp"

#include <nlohmann/json.hpp>

#include "config/Settings.hpp"
#include "control/ControlPackets.hpp"
#include "control/OperatorFrames.hpp"
#include "control/WireId.hpp"
#include "log/Log.hpp"
#include "platform/Clock.hpp"
#include "platform/Error.hpp"

namespace qm {
namespace {

using Json = nlohmann::json;

Json Ok() { return Json{{"ok", true}}; }

Json Counters(const TrafficSnapshot& c) {
  Json list = Json::array();
  for (uint32_t v : c) list.push_back(v);
  return list;
}

// The control connection's address: who the player is, before any datagram came.
std::string AddressOf(const TServerClient& c) {
  const auto& link = c.TcpLink();
  return link ? link->PeerAddress() : std::string();
}

// "3 (alice, 203.0.113.7)" for the log.
std::string Describe(const TServerClient& c) {
  return std::to_string(ToWireId(c.PlayerId())) + " (" + c.ClientName() + ", " + AddressOf(c) + ")";
}

// A name or password as the clients' wire would carry it, or why it cannot be.
bool WireText(const Json& request, const char* key, bool emptyAllowed, std::string& value, std::string& error) {
  std::string text;
  if (!TextArgument(request, key, text, error)) return false;
  value = Utf8ToLatin1(text);
  if (value.size() > kNameCapacity) {
    error = std::string("\"") + key + "\" is longer than 30 characters";
    return false;
  }
  if (value.empty() && !emptyAllowed) {
    error = std::string("\"") + key + "\" is empty";
    return false;
  }
  return true;
}

constexpr const char* kNotStored =
    "the server's configuration file cannot hold it exactly (a blank at either end or a control character); nothing "
    "changed";

}  // namespace

const OperatorCommands::Entry OperatorCommands::kTable[] = {
    {"who", &OperatorCommands::Who},
    {"stats", &OperatorCommands::Stats},
    {"create", &OperatorCommands::Create},
    {"delete", &OperatorCommands::Delete},
    {"kick", &OperatorCommands::Kick},
    {"save", &OperatorCommands::Save},
    {"set-server-password", &OperatorCommands::SetServerPassword},
    {"set-admin-password", &OperatorCommands::SetAdminPassword},
    {"ban", &OperatorCommands::BanCommand},
    {"unban", &OperatorCommands::Unban},
    {"bans", &OperatorCommands::ListBans},
    {"mute", &OperatorCommands::Mute},
    {"unmute", &OperatorCommands::Unmute},
    {"drain", &OperatorCommands::Drain},
    {"reload", &OperatorCommands::Reload},
};

OperatorCommands::OperatorCommands(ControlHandlers& handlers, const ControlServices& services, OperatorHooks hooks)
    : handlers_(handlers), services_(services), hooks_(std::move(hooks)) {
  drain_ = std::make_unique<DrainWatch>(services_.clients, services_.clock, [this] {
    if (hooks_.stop) hooks_.stop();
  });
}

std::vector<std::string> OperatorCommands::Names() {
  std::vector<std::string> names;
  for (const Entry& e : kTable) names.emplace_back(e.name);
  return names;
}

Json OperatorCommands::Execute(const std::string& command, const Json& request) {
  for (const Entry& e : kTable) {
    if (command != e.name) continue;
    std::string logText = command;
    Json answer;
    try {
      answer = (this->*e.run)(request, logText);
    } catch (const std::exception& ex) {
      WriteLogAlways(ExceptionLine("Operator " + command, ex), kLogException);
      answer = OperatorFailure(ex.what());
    }
    if (!answer.value("ok", false)) logText += " refused: " + answer.value("error", std::string());
    WriteLogAlways("Operator: " + logText, kLogProgress);
    return answer;
  }
  std::string known;
  for (const Entry& e : kTable) known += std::string(known.empty() ? "" : ", ") + e.name;
  // Printable for the log whatever the peer sent.
  Json quoted = command;
  const std::string shown = quoted.dump(-1, ' ', true, Json::error_handler_t::replace);
  WriteLogAlways("Operator: unknown command " + shown, kLogWarning);
  return OperatorFailure("unknown command " + shown + " (known: " + known + ")");
}

Json OperatorCommands::Who(const Json&, std::string&) {
  Json answer = Ok();
  answer["server"] = Latin1ToUtf8(services_.settings.Servername.Get());
  answer["version"] = Latin1ToUtf8(services_.serverVersion);
  Json channels = Json::array();
  for (const ChannelRecord& ch : services_.channels.Snapshot())
    channels.push_back({{"id", ToWireByte(ch.ChannelId)}, {"name", Latin1ToUtf8(ch.Name())}});
  answer["channels"] = std::move(channels);
  Json players = Json::array();
  const double now = services_.clock.Now();
  {
    LockGuard g(services_.clients.Lock());
    for (const auto& c : services_.clients.Items()) {
      players.push_back({{"id", ToWireByte(c->PlayerId())},
                         {"name", Latin1ToUtf8(c->ClientName())},
                         {"channel", ToWireByte(c->ChannelId())},
                         {"admin", c->IsAdmin()},
                         {"muted", c->Muted.load(std::memory_order_relaxed)},
                         {"version", Latin1ToUtf8(c->ClientVersion())},
                         {"address", AddressOf(*c)},
                         {"connected_ms", MillisecondsOf(now - c->ConnectedAt())},
                         {"idle_ms", MillisecondsOf(now - c->LastActivity())},
                         {"ping_ms", c->PingRoundTrip.load(std::memory_order_relaxed)}});
    }
  }
  answer["players"] = std::move(players);
  return answer;
}

Json OperatorCommands::Stats(const Json& request, std::string& logText) {
  const double now = services_.clock.Now();
  if (!request.contains("player")) {
    Json answer = Ok();
    answer["server"] = Latin1ToUtf8(services_.settings.Servername.Get());
    answer["version"] = Latin1ToUtf8(services_.serverVersion);
    answer["uptime_ms"] = MillisecondsOf(now - services_.startTime);
    answer["counters"] = Counters(services_.counters.Snapshot());
    return answer;
  }
  int wire = 0;
  std::string error;
  if (!IntArgument(request, "player", 1, 255, wire, error)) return OperatorFailure(error);
  logText += " " + std::to_string(wire);
  const ClientPtr target = services_.clients.FindClientByPlayerId(FromWireByte(static_cast<uint8_t>(wire)));
  if (!target) return OperatorFailure("no player " + std::to_string(wire));
  const TrafficSnapshot counters = target->Traffic.Snapshot();
  const uint32_t bad = target->BadPackets.load(std::memory_order_relaxed);
  const NetAddress peer = target->Peer();
  Json answer = Ok();
  answer["player"] = wire;
  answer["name"] = Latin1ToUtf8(target->ClientName());
  answer["version"] = Latin1ToUtf8(target->ClientVersion());
  answer["connected_ms"] = MillisecondsOf(now - target->ConnectedAt());
  answer["idle_ms"] = MillisecondsOf(now - target->LastActivity());
  answer["ping_ms"] = target->PingRoundTrip.load(std::memory_order_relaxed);
  answer["loss_percent"] = LossRatio(bad, counters) * 100.0;
  // The address voice comes from, as a client administrator sees it; none before a datagram.
  answer["address"] = peer.port == 0 ? std::string() : peer.AddressText();
  answer["port"] = peer.port;
  answer["control_address"] = AddressOf(*target);
  answer["counters"] = Counters(counters);
  return answer;
}

Json OperatorCommands::Create(const Json& request, std::string& logText) {
  std::string name, error;
  if (!WireText(request, "name", false, name, error)) return OperatorFailure(error);
  logText += " " + name;
  ChannelRecord created;
  switch (handlers_.CreateChannel(name, "operator create", created)) {
    case ControlHandlers::ChannelCreation::kNotStorable:
      return OperatorFailure("the channel name: " + std::string(kNotStored));
    case ControlHandlers::ChannelCreation::kExists:
      return OperatorFailure("a channel of that name exists already, or all 255 channel ids are taken");
    case ControlHandlers::ChannelCreation::kCreated:
      break;
  }
  logText = "create channel " + std::to_string(ToWireByte(created.ChannelId)) + " " + name;
  Json answer = Ok();
  answer["channel"] = ToWireByte(created.ChannelId);
  answer["name"] = Latin1ToUtf8(created.Name());
  return answer;
}

Json OperatorCommands::Delete(const Json& request, std::string& logText) {
  int wire = 0;
  std::string error;
  if (!IntArgument(request, "channel", 1, 255, wire, error)) return OperatorFailure(error);
  logText += " " + std::to_string(wire);
  ChannelRecord deleted;
  if (!handlers_.DeleteChannel(FromWireByte(static_cast<uint8_t>(wire)), deleted))
    return OperatorFailure("no channel " + std::to_string(wire));
  logText = "delete channel " + std::to_string(wire) + " " + deleted.Name();
  Json answer = Ok();
  answer["channel"] = wire;
  answer["name"] = Latin1ToUtf8(deleted.Name());
  return answer;
}

Json OperatorCommands::Kick(const Json& request, std::string& logText) {
  int wire = 0;
  std::string error;
  if (!IntArgument(request, "player", 1, 255, wire, error)) return OperatorFailure(error);
  logText += " " + std::to_string(wire);
  const ClientPtr kicked = handlers_.KickPlayer(FromWireByte(static_cast<uint8_t>(wire)));
  if (!kicked) return OperatorFailure("no player " + std::to_string(wire));
  logText = "kick " + Describe(*kicked);
  Json answer = Ok();
  answer["player"] = wire;
  answer["name"] = Latin1ToUtf8(kicked->ClientName());
  return answer;
}

Json OperatorCommands::Save(const Json&, std::string&) {
  if (!handlers_.SaveChannels()) return OperatorFailure("a channel's name: " + std::string(kNotStored));
  return Ok();
}

Json OperatorCommands::SetServerPassword(const Json& request, std::string& logText) {
  return SetPassword(false, request, logText);
}

Json OperatorCommands::SetAdminPassword(const Json& request, std::string& logText) {
  return SetPassword(true, request, logText);
}

Json OperatorCommands::SetPassword(bool admin, const Json& request, std::string&) {
  std::string password, error;
  if (!WireText(request, "password", true, password, error)) return OperatorFailure(error);
  if (!handlers_.SetPassword(admin, password)) return OperatorFailure("the new password: " + std::string(kNotStored));
  return Ok();
}

bool OperatorCommands::Target(const Json& request, BanTarget& target, std::string& error) {
  std::string text;
  if (!TextArgument(request, "target", text, error)) return false;
  text = Utf8ToLatin1(text);
  constexpr std::string_view kPlayer = "player:";
  if (text.rfind(kPlayer, 0) != 0) return ParseBanTarget(text, target, error);
  Json id;
  try {
    id = std::stoi(text.substr(kPlayer.size()));
  } catch (const std::exception&) {
    error = "\"" + text + "\": player:ID takes a player's number";
    return false;
  }
  int wire = 0;
  if (!IntArgument(Json{{"player", id}}, "player", 1, 255, wire, error)) return false;
  const ClientPtr player = services_.clients.FindClientByPlayerId(FromWireByte(static_cast<uint8_t>(wire)));
  if (!player) {
    error = "no player " + std::to_string(wire);
    return false;
  }
  return ParseBanTarget(AddressOf(*player), target, error);
}

Json OperatorCommands::BanCommand(const Json& request, std::string& logText) {
  BanTarget target;
  std::string error, reason;
  if (!Target(request, target, error)) return OperatorFailure(error);
  int minutes = 0;
  if (request.contains("minutes") && !IntArgument(request, "minutes", 0, 10 * 366 * 24 * 60, minutes, error))
    return OperatorFailure(error);
  if (request.contains("reason")) {
    if (!TextArgument(request, "reason", reason, error)) return OperatorFailure(error);
    reason = Utf8ToLatin1(reason);
  }
  const Ban ban = handlers_.Bans().Add(target, minutes, reason);
  const std::vector<ClientPtr> kicked = handlers_.KickBanned(target);
  logText = "ban " + ban.target + " until " + BanList::FormatUntil(ban.until) +
            (ban.reason.empty() ? std::string() : " reason: " + ban.reason);
  Json sentAway = Json::array();
  for (const ClientPtr& c : kicked) {
    logText += "; sent away " + Describe(*c);
    sentAway.push_back({{"id", ToWireId(c->PlayerId())}, {"name", Latin1ToUtf8(c->ClientName())}});
  }
  Json answer = Ok();
  answer["target"] = Latin1ToUtf8(ban.target);
  answer["until"] = BanList::FormatUntil(ban.until);
  answer["reason"] = Latin1ToUtf8(ban.reason);
  answer["kicked"] = std::move(sentAway);
  return answer;
}

Json OperatorCommands::Unban(const Json& request, std::string& logText) {
  BanTarget target;
  std::string error;
  if (!Target(request, target, error)) return OperatorFailure(error);
  logText = "unban " + target.Text();
  if (!handlers_.Bans().Remove(target)) return OperatorFailure("no ban on " + Latin1ToUtf8(target.Text()));
  Json answer = Ok();
  answer["target"] = Latin1ToUtf8(target.Text());
  return answer;
}

Json OperatorCommands::ListBans(const Json&, std::string&) {
  Json list = Json::array();
  for (const Ban& b : handlers_.Bans().Snapshot())
    list.push_back({{"target", Latin1ToUtf8(b.target)},
                    {"until", BanList::FormatUntil(b.until)},
                    {"reason", Latin1ToUtf8(b.reason)},
                    {"hits", b.hits}});
  Json answer = Ok();
  answer["bans"] = std::move(list);
  return answer;
}

Json OperatorCommands::Mute(const Json& request, std::string& logText) { return SetMuted(true, request, logText); }

Json OperatorCommands::Unmute(const Json& request, std::string& logText) { return SetMuted(false, request, logText); }

Json OperatorCommands::SetMuted(bool muted, const Json& request, std::string& logText) {
  int wire = 0;
  std::string error;
  if (!IntArgument(request, "player", 1, 255, wire, error)) return OperatorFailure(error);
  logText += " " + std::to_string(wire);
  const ClientPtr player = services_.clients.FindClientByPlayerId(FromWireByte(static_cast<uint8_t>(wire)));
  if (!player) return OperatorFailure("no player " + std::to_string(wire));
  player->Muted.store(muted, std::memory_order_relaxed);
  logText = std::string(muted ? "mute " : "unmute ") + Describe(*player);
  Json answer = Ok();
  answer["player"] = wire;
  answer["name"] = Latin1ToUtf8(player->ClientName());
  answer["muted"] = muted;
  return answer;
}

Json OperatorCommands::Drain(const Json& request, std::string& logText) {
  const bool cancel = request.value("cancel", false) == true;
  const bool stop = request.value("stop", false) == true;
  int seconds = 0;
  std::string error;
  if (request.contains("timeout") && !IntArgument(request, "timeout", 1, 7 * 24 * 3600, seconds, error))
    return OperatorFailure(error);
  if (cancel) {
    drain_->Cancel();
    handlers_.SetDraining(false);
    logText = "drain cancelled: logins are accepted again";
    Json answer = Ok();
    answer["draining"] = false;
    return answer;
  }
  if (stop && !hooks_.stop) return OperatorFailure("this server cannot stop itself");
  handlers_.SetDraining(true);
  if (stop)
    drain_->Start(seconds);
  else
    drain_->Cancel();
  const size_t players = services_.clients.ClientCount();
  logText = "drain: new logins refused" + std::string(stop ? "; the server stops when the last client has left" : "") +
            (stop && seconds > 0 ? " or in " + std::to_string(seconds) + " s" : "") + " (" + std::to_string(players) +
            " logged in)";
  Json answer = Ok();
  answer["draining"] = true;
  answer["stop"] = stop;
  answer["timeout"] = seconds;
  answer["players"] = players;
  return answer;
}

Json OperatorCommands::Reload(const Json&, std::string& logText) {
  if (!hooks_.reload) return OperatorFailure("this server cannot reload its configuration");
  const ReloadOutcome r = hooks_.reload();
  if (!r.ok) return OperatorFailure("nothing changed: " + r.error);
  Json applied = Json::array(), restart = Json::array();
  for (const auto& k : r.applied) applied.push_back(Latin1ToUtf8(k));
  for (const auto& k : r.needsRestart) restart.push_back(Latin1ToUtf8(k));
  logText = "reload: " + std::to_string(r.applied.size()) + " applied";
  for (const auto& k : r.applied) logText += " " + k;
  if (!r.needsRestart.empty()) {
    logText += "; waiting for a restart:";
    for (const auto& k : r.needsRestart) logText += " " + k;
  }
  Json answer = Ok();
  answer["applied"] = std::move(applied);
  answer["restart"] = std::move(restart);
  return answer;
}

}  // namespace qm
