// watch: the server's notifications as they arrive, until interrupted or for a given time.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>

#include "control/ControlPackets.hpp"
#include "control/WireFormat.hpp"
#include "platform/Clock.hpp"
#include "platform/Console.hpp"
#include "platform/Platform.hpp"
#include "qmctl/Commands.hpp"
#include "qmctl/Output.hpp"
#include "qmctl/Session.hpp"

namespace qm::ctl {
namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr int kPollMs = 200;  // how soon an interrupt is noticed

// The notifications a client receives unasked (types 10 to 15).
using Notice = Notification;

bool ParseNotice(const Packet& p, Notice& n) { return ParseNotification(p.data(), p.size(), n); }

std::string TimeOfDay() {
  const uint32_t ms = MillisecondsOf(platform::SystemNow());
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60);
  return buf;
}

class Watcher {
 public:
  Watcher(const Options& o, const ParsedLists& lists) : o_(o) {
    for (const auto& p : lists.players) players_[p.wirePlayer] = p.name;
    for (const auto& c : lists.channels) channels_[c.wireChannel] = c.name;
  }

  void Report(const Notice& n) {
    JsonWriter j;
    j.BeginObject().Key("time").String(TimeOfDay());
    std::string line = TimeOfDay() + "  ";
    const std::string who = Player(n.player);
    switch (n.type) {
      case kPktPlayerJoined:
        players_[n.player] = n.name;
        j.Key("event").String("joined").Key("player").Int(n.player).Key("name").String(n.name).Key("channel").Int(
            n.channel);
        line += "joined           " + Player(n.player) + " in channel " + Channel(n.channel);
        break;
      case kPktPlayerLeft:
        j.Key("event").String("left").Key("player").Int(n.player).Key("name").String(players_[n.player]);
        j.Key("reason").Int(n.reason).Key("reason_text").String(LeaveReasonText(n.reason));
        line += "left             " + who + ": " + LeaveReasonText(n.reason);
        players_.erase(n.player);
        break;
      case kPktPlayerChangedChannel:
        j.Key("event").String("moved").Key("player").Int(n.player).Key("name").String(players_[n.player]);
        j.Key("channel").Int(n.channel).Key("channel_name").String(channels_[n.channel]);
        line += "moved            " + who + " to channel " + Channel(n.channel);
        break;
      case kPktChannelAdded:
        channels_[n.channel] = n.name;
        j.Key("event").String("channel_added").Key("channel").Int(n.channel).Key("name").String(n.name);
        line += "channel added    " + Channel(n.channel);
        break;
      case kPktChannelDeleted:
        j.Key("event").String("channel_deleted").Key("channel").Int(n.channel).Key("name").String(channels_[n.channel]);
        line += "channel deleted  " + Channel(n.channel);
        channels_.erase(n.channel);
        break;
      case kPktPlayerIsAdmin:
        j.Key("event").String("admin").Key("player").Int(n.player).Key("name").String(players_[n.player]);
        line += "administrator    " + who;
        break;
    }
    j.EndObject();
    Emit(o_.json ? j.Text() + "\n" : line + "\n");
  }

 private:
  std::string Player(uint8_t id) {
    auto it = players_.find(id);
    return IdAndName(id, it == players_.end() ? std::string() : it->second);
  }
  std::string Channel(uint8_t id) {
    auto it = channels_.find(id);
    return it == channels_.end() ? std::to_string(id) + " (no such channel)" : IdAndName(id, it->second);
  }

  const Options& o_;
  std::map<uint8_t, std::string> players_;
  std::map<uint8_t, std::string> channels_;
};

}  // namespace

int RunWatch(const Options& o) {
  if (!o.arguments.empty()) throw CtlError(kExitUsage, "watch takes no arguments (use --seconds)");
  platform::CatchInterrupt();
  Session s(o);
  s.Open();
  Watcher watcher(o, s.Lists());
  if (o.json) {
    JsonWriter j;
    j.BeginObject()
        .Key("time")
        .String(TimeOfDay())
        .Key("event")
        .String("watching")
        .Key("server")
        .String(s.ServerName());
    j.Key("self").Int(s.OwnPlayer()).EndObject();
    Emit(j.Text() + "\n");
  } else {
    Emit(TimeOfDay() + "  watching         " + Printable(s.ServerName()) + " at " + o.host + ":" +
         std::to_string(o.port) + " as player " + std::to_string(s.OwnPlayer()) +
         (o.watchSeconds ? " for " + std::to_string(o.watchSeconds) + " s" : "; Ctrl+C to stop") + "\n");
  }
  const auto end = SteadyClock::now() + std::chrono::seconds(o.watchSeconds);
  while (!platform::InterruptRequested()) {
    int wait = kPollMs;
    if (o.watchSeconds) {
      const int left = MillisecondsLeft(end);
      if (left <= 0) break;
      if (left < wait) wait = left;
    }
    const auto p = s.Next(wait);
    Notice n;
    if (p && ParseNotice(*p, n)) {
      watcher.Report(n);
      // Kicked or given up: the server no longer counts this session, so nothing more will come.
      if (n.type == kPktPlayerLeft && n.player == s.OwnPlayer())
        throw CtlError(kExitConnection, "the server removed this session: " + LeaveReasonText(n.reason));
    }
  }
  s.Leave();
  return kExitOk;
}

}  // namespace qm::ctl
