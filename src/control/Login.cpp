// Login, setup and leave: a connection becomes a client, receives the lists, and ends.
#include <algorithm>
#include <cstdint>

#include "clients/ClientLog.hpp"
#include "config/Settings.hpp"
#include "control/ControlHandlers.hpp"
#include "control/ControlPackets.hpp"
#include "control/GuessThrottle.hpp"
#include "control/Notices.hpp"
#include "log/Log.hpp"
#include "net/NetAddress.hpp"
#include "platform/Error.hpp"

namespace qm {
namespace {

// Refusals go straight to the connection with key 0, not through a client record.
void WriteRefusal(TrafficCounters& server, TcpConnection& conn, int32_t code) {
  const Packet reply = ComposeReply(0, code);
  conn.WriteAll(reply.data(), reply.size());
  server.CountTcpSent(1, static_cast<uint32_t>(reply.size()));
}

// Logged-in clients whose control connection comes from host (the list's lock is re-entrant).
size_t ClientsFrom(ClientList& list, uint32_t host) {
  LockGuard g(list.Lock());
  const auto& items = list.Items();
  return static_cast<size_t>(
      std::count_if(items.begin(), items.end(), [host](const ClientPtr& c) { return c->ControlHost() == host; }));
}

// A refused login, with its address; under the per-address limit, as anyone may provoke it at
// connection rate.
void NoteRefusal(const std::string& name, const std::string& from, const char* why) {
  WriteLogLimited("Refused login of " + name + " from " + from + ": " + why, kLogWarning, from);
}

}  // namespace

bool ControlHandlers::PaceLogin(TcpConnection& conn) {
  const auto perSecond = static_cast<uint32_t>(std::max(0, LiveSetting(settings_.LoginsPerAddressPerSecond)));
  bool waited = false;
  return WaitForBudget(conn, clock_, [&]() -> uint32_t {
    const uint32_t wait = loginBudgets_.TryTake(conn.PeerAddress(), perSecond, kLoginBurstSeconds);
    if (wait != 0 && !waited) pacing_.loginWaits.fetch_add(1, std::memory_order_relaxed);
    waited = waited || wait != 0;
    return wait;
  });
}

bool ControlHandlers::ClientLogin(TcpContext& context, const uint8_t* packet, size_t size) {
  const LoginRequest req = ParseLogin(packet, size);
  const std::string trace =
      "ClientLogin ClientName: " + req.name + " ClientPw: " + std::string(kPasswordMask) + " ClientVer: " + req.version;
  // A login whose password is looked at, or that needs none, is traced whatever its address did
  // before: for a wrong password it is the only line of the attempt, and the guess budgets bound
  // how many there are. One refused unseen (server full, blocked, no turn) costs nothing and may
  // come at connection rate: its trace stays under the address's limit, counted when held back.
  const auto traceLimited = [&] { LogEvent("CMD <-", trace, kCmdClientLogin, nullptr); };

  if (clientList_->HasConnection(&context)) {
    traceLimited();
    LogEvent("ALERT", "Client already exists", 0, nullptr);
    return false;
  }
  NetAddress peerHost;
  if (!NetAddress::FromDotted(context.connection->PeerAddress(), 0, peerHost)) peerHost.ip = 0;
  // A banned address or name is refused as by a full server, before its password is looked at:
  // the bytes every client understands, and nothing that invites guessing.
  Ban ban;
  if (bans_.Match(peerHost.ip, req.name, ban)) {
    traceLimited();
    pacing_.loginsRefusedBanned.fetch_add(1, std::memory_order_relaxed);
    const std::string& from = context.connection->PeerAddress();
    WriteLogLimited("Refused login of " + req.name + " from " + from + ": banned (" + ban.target + ")", kLogWarning,
                    from);
    WriteRefusal(counters_, *context.connection, kReplyServerFull);
    return true;
  }
  if (Draining()) {
    traceLimited();
    pacing_.loginsRefusedDraining.fetch_add(1, std::memory_order_relaxed);
    NoteRefusal(req.name, context.connection->PeerAddress(), "the server is draining");
    WriteRefusal(counters_, *context.connection, kReplyServerFull);
    return true;
  }
  const ServerSettings& s = settings_;
  const int32_t most = LiveSetting(s.MaxClients);
  const auto maxClients = static_cast<size_t>(most < 0 ? 0 : most);
  // 0: no share per address. A host past its share is refused as by a full server.
  const int32_t share = LiveSetting(s.MaxClientsPerAddress);
  const auto perAddress = share <= 0 ? SIZE_MAX : static_cast<size_t>(share);
  const auto notePlacesTaken = [&] {
    const std::string& from = context.connection->PeerAddress();
    if (placeRefusalLines_.Due(from))
      WriteLog("Refused logins from " + from + ": " + std::to_string(perAddress) +
                   " clients from that address are logged in (MaxClientsPerAddress)",
               kLogWarning);
  };
  bool addressFull = ClientsFrom(*clientList_, peerHost.ip) >= perAddress;
  if (clientList_->ClientCount() >= maxClients || addressFull) {
    traceLimited();
    if (addressFull) notePlacesTaken();
    pacing_.loginsRefusedFull.fetch_add(1, std::memory_order_relaxed);
    NoteRefusal(req.name, context.connection->PeerAddress(), "server full");
    WriteRefusal(counters_, *context.connection, kReplyServerFull);
    return true;
  }
  const std::string serverPassword = s.ServerPassword.Get();
  if (!serverPassword.empty()) {
    const std::string& from = context.connection->PeerAddress();
    uint32_t answerTick = 0;
    // A blocked address, or one whose turn did not come, learns nothing, not even whether this
    // guess was right.
    if (!loginGuesses_.AwaitTurn(from, *context.connection, answerTick)) {
      traceLimited();
      pacing_.loginsRefusedGuessing.fetch_add(1, std::memory_order_relaxed);
      NoteRefusal(req.name, from, "address blocked for failed passwords");
      if (WaitForAnswerSlot(answerTick, clock_, *context.connection))
        WriteRefusal(counters_, *context.connection, kReplyWrongPassword);
      return true;
    }
    LogEventAlways("CMD <-", trace, kCmdClientLogin);
    const bool right = req.password == serverPassword;
    for (const auto& line : loginGuesses_.Looked(from, right, "Refused logins")) WriteLogAlways(line, kLogWarning);
    if (!right) {
      pacing_.loginsRefusedPassword.fetch_add(1, std::memory_order_relaxed);
      NoteRefusal(req.name, from, "wrong server password");
      WriteRefusal(counters_, *context.connection, kReplyWrongPassword);
      return true;
    }
  } else {
    LogEventAlways("CMD <-", trace, kCmdClientLogin);
  }

  // A login that may succeed and is past its address's budget waits here, before the others hear
  // of it (refusals cost them nothing and go out at once); a connection that ended meanwhile
  // takes the close path without a reply. The counts are taken again below.
  if (!PaceLogin(*context.connection)) return true;

  auto client = std::make_shared<TServerClient>(context.connection, &context, &counters_);
  client->SetControlHost(peerHost.ip);
  client->SetClientName(req.name);
  client->SetClientVersion(req.version);
  WriteLogAlways("Created client " + client->ClientName(), kLogProgress);

  bool full = false;
  {
    LockGuard g(clientList_->Lock());
    uint8_t id = 0;
    uint32_t key = 0;
    // The counts are taken again under the hold that appends, so two logins racing for the last
    // place cannot both get in; and with all 256 one-byte ids taken the login is refused as full.
    addressFull = ClientsFrom(*clientList_, peerHost.ip) >= perAddress;
    full = addressFull || clientList_->ClientCount() >= maxClients || !clientList_->LowestFreePlayerId(id) ||
           !clientList_->DrawSessionKey([this] { return RandomSessionKey(); }, key);
    if (!full) {
      client->SetPlayerId(id);
      client->SetSessionKey(key);
      context.SetSlot(client);
      // The reply is queued before the client is listed: from then on notices reach it, and a
      // client must learn that it is in before it hears of anyone else.
      client->Enqueue(ComposeLoginAccepted(key, s.Servername.Get()));
      clientList_->Append(client);
    }
  }
  if (full) {
    if (addressFull) notePlacesTaken();
    pacing_.loginsRefusedFull.fetch_add(1, std::memory_order_relaxed);
    NoteRefusal(req.name, context.connection->PeerAddress(), "server full");
    // Written outside the list lock: a slow peer must not hold up everybody else.
    WriteRefusal(counters_, *context.connection, kReplyServerFull);
    return true;
  }
  WriteLogAlways(
      "Assigned playerId for client " + client->ClientName() + "[" + std::to_string(ToWireId(client->PlayerId())) + "]",
      kLogProgress);
  WriteLogAlways("Login of " + WhoFrom(*client), kLogProgress);

  clientList_->Broadcast(PlayerJoinedNotice(*client), AllBut(*client));
  return false;
}

bool ControlHandlers::ClientSetup(const uint8_t* packet, size_t size, const ClientPtr& client) {
  const SetupRequest req = ParseSetup(packet, size);
  if (req.flag == 1) {
    client->Send(ComposeReply(*client, kReplySetupRefused));
    return true;
  }
  client->Enqueue(ComposeLists(*client, *clientList_, *channelList_));
  return false;
}

bool ControlHandlers::ClientLeave(const ClientPtr& client) {
  client->SetLeaving();
  LogEventAlways("CMD <->", "ClientLeave", kPktPlayerLeft, client.get());
  WriteLogAlways("Leave of " + WhoFrom(*client), kLogProgress);
  clientList_->Broadcast(PlayerLeftNotice(*client, kLeftReasonLeft));
  return true;
}

}  // namespace qm
