// who and stats: read-only views of the server.
#include <cstdio>
#include <map>

#include "control/ControlPackets.hpp"
#include "control/WireFormat.hpp"
#include "qmctl/Commands.hpp"
#include "qmctl/Output.hpp"
#include "qmctl/Session.hpp"
#include "qmctl/SocketSession.hpp"

namespace qm::ctl {
namespace {

const char* const kCounterNames[4] = {"udp_sent", "udp_received", "tcp_sent", "tcp_received"};
const char* const kCounterLabels[4] = {"UDP sent", "UDP received", "TCP sent", "TCP received"};

// Eight counters in wire order: packets then bytes for UDP sent, UDP received, TCP sent, TCP received.
void JsonCounters(JsonWriter& j, const TrafficSnapshot& c) {
  j.Key("counters").BeginObject();
  for (int i = 0; i < 4; ++i) {
    j.Key(kCounterNames[i]).BeginObject();
    j.Key("packets").Int(c[2 * i]).Key("bytes").Int(c[2 * i + 1]);
    j.EndObject();
  }
  j.EndObject();
}

std::string CounterTable(const TrafficSnapshot& c) {
  Table t({"TRAFFIC", "PACKETS", "BYTES"}, {false, true, true});
  for (int i = 0; i < 4; ++i) t.AddRow({kCounterLabels[i], std::to_string(c[2 * i]), std::to_string(c[2 * i + 1])});
  return t.Render();
}

std::string PlayerName(const ParsedLists& lists, uint8_t wirePlayer) {
  for (const auto& p : lists.players)
    if (p.wirePlayer == wirePlayer) return p.name;
  return {};
}

int ServerStatsRender(const Options& o, const std::string& serverName, const ServerStats& st) {
  if (o.json) {
    JsonWriter j;
    j.BeginObject().Key("server").String(serverName).Key("version").String(st.version);
    j.Key("uptime_ms").Int(st.uptimeMs).Key("uptime").String(FormatDuration(st.uptimeMs));
    JsonCounters(j, st.counters);
    j.EndObject();
    Emit(j.Text() + "\n");
  } else {
    std::string out = "server   " + Printable(serverName) + "\n";
    out += "version  " + Printable(st.version) + "\n";
    out += "uptime   " + FormatDuration(st.uptimeMs) + "  (restarts from 0:00:00 every 24 hours)\n\n";
    out += CounterTable(st.counters);
    Emit(out);
  }
  return kExitOk;
}

int ServerStatsReport(const Options& o, Session& s) {
  s.Send(ComposeCommand(kCmdServerStatsReq));
  const Packet p = s.Expect({kPktServerStats}, "server statistics");
  ServerStats st;
  if (!ParseServerStats(p.data(), p.size(), st)) throw CtlError(kExitFailure, "the server sent malformed statistics");
  return ServerStatsRender(o, s.ServerName(), st);
}

int PlayerStatsRender(const Options& o, uint8_t wirePlayer, const std::string& name, const PlayerStats& st,
                      bool oldLayout) {
  const TrafficSnapshot& c = st.counters;
  const bool hasAddress = !st.address.empty();
  if (o.json) {
    JsonWriter j;
    j.BeginObject().Key("player").Int(wirePlayer).Key("name").String(name);
    if (oldLayout)
      j.Key("version").Null();
    else
      j.Key("version").String(st.version);
    j.Key("connected_ms").Int(st.connectedMs).Key("connected").String(FormatDuration(st.connectedMs));
    j.Key("idle_ms").Int(st.idleMs).Key("idle").String(FormatDuration(st.idleMs));
    j.Key("ping_ms").Int(st.pingMs).Key("loss_percent").Number(st.lossPercent, 2);
    if (hasAddress)
      j.Key("address").String(st.address).Key("port").Int(st.port);
    else
      j.Key("address").Null().Key("port").Null();
    JsonCounters(j, c);
    j.EndObject();
    Emit(j.Text() + "\n");
    return kExitOk;
  }
  std::string out = "player     " + IdAndName(wirePlayer, name) + "\n";
  if (!oldLayout) out += "version    " + Printable(st.version) + "\n";
  out += "connected  " + FormatDuration(st.connectedMs) + "\n";
  out += "idle       " + FormatDuration(st.idleMs) + "\n";
  out += "ping       " + std::to_string(st.pingMs) + " ms\n";
  char loss[32];
  std::snprintf(loss, sizeof loss, "%.2f %%", static_cast<double>(st.lossPercent));
  out += "loss       " + std::string(loss) + "\n";
  if (hasAddress)
    out += "address    " + Printable(st.address) + ":" + std::to_string(st.port) + "\n";
  else if (o.admin || !o.socket.empty())
    out += "address    (none yet: no datagram from this player)\n";
  else
    out += "address    (shown to administrators: use stats --admin)\n";
  out += '\n';
  out += CounterTable(c);
  Emit(out);
  return kExitOk;
}

int PlayerStatsReport(const Options& o, Session& s, uint8_t wirePlayer) {
  s.Send(ComposeByteCommand(kCmdPlayerStatsReq, wirePlayer));
  const Packet p = s.Expect({kPktPlayerStatsOld, kPktPlayerStatsNew, kReplyNoSuchPlayerStats}, "player statistics",
                            [wirePlayer](const Packet& pk) {
                              PlayerStats st;
                              bool old = false;
                              return ParsePlayerStats(pk.data(), pk.size(), st, old) && st.requestByte == wirePlayer;
                            });
  PlayerStats st;
  bool oldLayout = false;
  ParsePlayerStats(p.data(), p.size(), st, oldLayout);
  return PlayerStatsRender(o, wirePlayer, PlayerName(s.Lists(), wirePlayer), st, oldLayout);
}

// The socket's figures in the renderers' structures.
uint32_t Count(const nlohmann::json& a, const char* key) {
  const auto it = a.find(key);
  return it != a.end() && it->is_number_unsigned() ? it->get<uint32_t>() : 0;
}

TrafficSnapshot CountersOf(const nlohmann::json& a) {
  TrafficSnapshot c{};
  const auto it = a.find("counters");
  if (it != a.end() && it->is_array())
    for (size_t i = 0; i < c.size() && i < it->size(); ++i)
      if ((*it)[i].is_number_unsigned()) c[i] = (*it)[i].get<uint32_t>();
  return c;
}

int StatsThroughSocket(const Options& o, int player) {
  nlohmann::json request{{"command", "stats"}};
  if (player != 0) request["player"] = player;
  const nlohmann::json a = AskOperatorSocket(o, request);
  if (player == 0) {
    ServerStats st;
    st.uptimeMs = Count(a, "uptime_ms");
    st.version = TextField(a, "version");
    st.counters = CountersOf(a);
    return ServerStatsRender(o, TextField(a, "server"), st);
  }
  PlayerStats st;
  st.connectedMs = Count(a, "connected_ms");
  st.idleMs = Count(a, "idle_ms");
  st.pingMs = static_cast<uint16_t>(Count(a, "ping_ms"));
  st.lossPercent = a.contains("loss_percent") && a["loss_percent"].is_number() ? a["loss_percent"].get<float>() : 0.0F;
  st.address = TextField(a, "address");
  st.port = static_cast<uint16_t>(Count(a, "port"));
  st.version = TextField(a, "version");
  st.counters = CountersOf(a);
  return PlayerStatsRender(o, static_cast<uint8_t>(player), TextField(a, "name"), st, false);
}

}  // namespace

namespace {

// The lists as the socket gives them; the operator is no player, so none is "self".
// What the socket tells of a player beyond the clients' lists, by wire id.
struct PlayerDetail {
  std::string version, address;
  uint32_t connectedMs = 0, idleMs = 0, pingMs = 0;
  bool muted = false;
};
using PlayerDetails = std::map<uint8_t, PlayerDetail>;

ParsedLists ListsThroughSocket(const Options& o, std::string& serverName, PlayerDetails& details) {
  const nlohmann::json a = AskOperatorSocket(o, {{"command", "who"}});
  serverName = TextField(a, "server");
  ParsedLists lists;
  for (const auto& c : a.value("channels", nlohmann::json::array()))
    lists.channels.push_back(ListChannel{static_cast<uint8_t>(Count(c, "id")), TextField(c, "name")});
  for (const auto& p : a.value("players", nlohmann::json::array())) {
    lists.players.push_back(ListPlayer{static_cast<uint8_t>(Count(p, "id")), static_cast<uint8_t>(Count(p, "channel")),
                                       p.value("admin", false), TextField(p, "name")});
    details[lists.players.back().wirePlayer] =
        PlayerDetail{TextField(p, "version"), TextField(p, "address"), Count(p, "connected_ms"),
                     Count(p, "idle_ms"),     Count(p, "ping_ms"),     p.value("muted", false)};
  }
  return lists;
}

int WhoRender(const Options& o, const std::string& serverName, const ParsedLists& lists,
              const PlayerDetails& details = {});

}  // namespace

int RunWho(const Options& o) {
  if (!o.arguments.empty()) throw CtlError(kExitUsage, "who takes no arguments");
  if (!o.socket.empty()) {
    std::string serverName;
    PlayerDetails details;
    const ParsedLists lists = ListsThroughSocket(o, serverName, details);
    return WhoRender(o, serverName, lists, details);
  }
  Session s(o);
  s.Open();
  const ParsedLists lists = s.Lists();
  s.Leave();
  return WhoRender(o, s.ServerName(), lists);
}

namespace {

int WhoRender(const Options& o, const std::string& serverNameText, const ParsedLists& lists,
              const PlayerDetails& details) {
  const bool viaSocket = !o.socket.empty();

  std::map<uint8_t, bool> known;
  for (const auto& c : lists.channels) known[c.wireChannel] = true;
  auto playersIn = [&](uint8_t channel) {
    std::vector<const ListPlayer*> in;
    for (const auto& p : lists.players)
      if (p.wireChannel == channel) in.push_back(&p);
    return in;
  };
  std::vector<const ListPlayer*> elsewhere;
  for (const auto& p : lists.players)
    if (!known.count(p.wireChannel)) elsewhere.push_back(&p);

  if (o.json) {
    JsonWriter j;
    auto player = [&](const ListPlayer& p) {
      j.BeginObject().Key("id").Int(p.wirePlayer).Key("name").String(p.name);
      if (lists.oldLayout)
        j.Key("admin").Null();  // the old list layout does not carry the mark
      else
        j.Key("admin").Bool(p.isAdmin);
      j.Key("self").Bool(!viaSocket && p.wirePlayer == lists.ownWirePlayer);
      // Through the socket the operator also learns what an administrator's statistics show.
      if (const auto d = details.find(p.wirePlayer); d != details.end()) {
        j.Key("version").String(d->second.version).Key("address").String(d->second.address);
        j.Key("connected_ms").Int(d->second.connectedMs).Key("idle_ms").Int(d->second.idleMs);
        j.Key("ping_ms").Int(d->second.pingMs).Key("muted").Bool(d->second.muted);
      }
      j.EndObject();
    };
    j.BeginObject().Key("server").String(serverNameText);
    // Through the socket qmctl is no player: no self, and the socket instead of host and port.
    if (viaSocket)
      j.Key("socket").String(o.socket).Key("self").Null();
    else
      j.Key("host").String(o.host).Key("port").Int(o.port).Key("self").Int(lists.ownWirePlayer);
    j.Key("channels").BeginArray();
    for (const auto& c : lists.channels) {
      j.BeginObject().Key("id").Int(c.wireChannel).Key("name").String(c.name).Key("players").BeginArray();
      for (const ListPlayer* p : playersIn(c.wireChannel)) player(*p);
      j.EndArray().EndObject();
    }
    j.EndArray();
    j.Key("elsewhere").BeginArray();  // players in a channel id that names no channel
    for (const ListPlayer* p : elsewhere) {
      j.BeginObject().Key("channel").Int(p->wireChannel).Key("player");
      player(*p);
      j.EndObject();
    }
    j.EndArray().EndObject();
    Emit(j.Text() + "\n");
    return kExitOk;
  }

  auto count = [](size_t n, const char* what) { return std::to_string(n) + " " + what + (n == 1 ? "" : "s"); };
  const std::string serverName = serverNameText.empty() ? "(no name)" : Printable(serverNameText);
  const std::string where = viaSocket ? o.socket : o.host + ":" + std::to_string(o.port);
  std::string out = "server " + serverName + " at " + where + ": " + count(lists.channels.size(), "channel") + ", " +
                    count(lists.players.size(), "player") + "\n\n";
  Table t({"CH", "CHANNEL", "ID", "PLAYER", "ADMIN"}, {true, false, true, false, false});
  auto row = [&](const std::string& chId, const std::string& chName, const ListPlayer& p) {
    std::string name = Printable(p.name);
    if (!viaSocket && p.wirePlayer == lists.ownWirePlayer) name += " (this qmctl)";
    if (const auto d = details.find(p.wirePlayer); d != details.end() && d->second.muted) name += " (muted)";
    t.AddRow({chId, chName, std::to_string(p.wirePlayer), name, lists.oldLayout ? "?" : (p.isAdmin ? "yes" : "no")});
  };
  for (const auto& c : lists.channels) {
    const auto in = playersIn(c.wireChannel);
    if (in.empty()) t.AddRow({std::to_string(c.wireChannel), Printable(c.name), "-", "-", "-"});
    for (const ListPlayer* p : in) row(std::to_string(c.wireChannel), Printable(c.name), *p);
  }
  for (const ListPlayer* p : elsewhere) row(std::to_string(p->wireChannel), "(no such channel)", *p);
  out += t.Render();
  Emit(out);
  return kExitOk;
}

}  // namespace

int RunStats(const Options& o) {
  if (o.arguments.size() > 1) throw CtlError(kExitUsage, "stats takes at most one player id");
  const int player = o.arguments.empty() ? 0 : ParseNumber(o.arguments[0], 1, 255, "the player id");
  // The operator sees what an administrator sees, without a password.
  if (!o.socket.empty()) return StatsThroughSocket(o, player);
  // Asked before connecting, so the server does not wait on the operator's typing.
  const std::string adminPassword = o.admin ? ObtainSecret("QM_ADMIN_PASSWORD", "administrator password", false) : "";
  Session s(o);
  s.Open();
  if (o.admin) s.BecomeAdmin(adminPassword);
  const int rc = player == 0 ? ServerStatsReport(o, s) : PlayerStatsReport(o, s, static_cast<uint8_t>(player));
  s.Leave();
  return rc;
}

}  // namespace qm::ctl
