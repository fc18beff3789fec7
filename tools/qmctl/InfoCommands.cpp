// who and stats: read-only views of the server.
#include <cstdio>
#include <map>

#include "control/ControlPackets.hpp"
#include "control/WireFormat.hpp"
#include "qmctl/Commands.hpp"
#include "qmctl/Output.hpp"
#include "qmctl/Session.hpp"

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

int ServerStatsReport(const Options& o, Session& s) {
  s.Send(ComposeCommand(kCmdServerStatsReq));
  const Packet p = s.Expect({kPktServerStats}, "server statistics");
  ServerStats st;
  if (!ParseServerStats(p.data(), p.size(), st)) throw CtlError(kExitFailure, "the server sent malformed statistics");
  if (o.json) {
    JsonWriter j;
    j.BeginObject().Key("server").String(s.ServerName()).Key("version").String(st.version);
    j.Key("uptime_ms").Int(st.uptimeMs).Key("uptime").String(FormatDuration(st.uptimeMs));
    JsonCounters(j, st.counters);
    j.EndObject();
    Emit(j.Text() + "\n");
  } else {
    std::string out = "server   " + Printable(s.ServerName()) + "\n";
    out += "version  " + Printable(st.version) + "\n";
    out += "uptime   " + FormatDuration(st.uptimeMs) + "  (restarts from 0:00:00 every 24 hours)\n\n";
    out += CounterTable(st.counters);
    Emit(out);
  }
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
  const std::string name = PlayerName(s.Lists(), wirePlayer);
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
  else if (o.admin)
    out += "address    (none yet: no datagram from this player)\n";
  else
    out += "address    (shown to administrators: use stats --admin)\n";
  out += '\n';
  out += CounterTable(c);
  Emit(out);
  return kExitOk;
}

}  // namespace

int RunWho(const Options& o) {
  if (!o.arguments.empty()) throw CtlError(kExitUsage, "who takes no arguments");
  Session s(o);
  s.Open();
  const ParsedLists& lists = s.Lists();
  s.Leave();

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
      j.Key("self").Bool(p.wirePlayer == lists.ownWirePlayer).EndObject();
    };
    j.BeginObject().Key("server").String(s.ServerName()).Key("host").String(o.host).Key("port").Int(o.port);
    j.Key("self").Int(lists.ownWirePlayer);
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
  const std::string serverName = s.ServerName().empty() ? "(no name)" : Printable(s.ServerName());
  std::string out = "server " + serverName + " at " + o.host + ":" + std::to_string(o.port) + ": " +
                    count(lists.channels.size(), "channel") + ", " + count(lists.players.size(), "player") + "\n\n";
  Table t({"CH", "CHANNEL", "ID", "PLAYER", "ADMIN"}, {true, false, true, false, false});
  auto row = [&](const std::string& chId, const std::string& chName, const ListPlayer& p) {
    std::string name = Printable(p.name);
    if (p.wirePlayer == lists.ownWirePlayer) name += " (this qmctl)";
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

int RunStats(const Options& o) {
  if (o.arguments.size() > 1) throw CtlError(kExitUsage, "stats takes at most one player id");
  const int player = o.arguments.empty() ? 0 : ParseNumber(o.arguments[0], 1, 255, "the player id");
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
