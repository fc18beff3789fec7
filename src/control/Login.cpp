// Login, setup and leave: a connection becomes a client, receives the lists, and ends.
#include "clients/ClientLog.hpp"
#include "config/Settings.hpp"
#include "control/ControlHandlers.hpp"
#include "control/ControlPackets.hpp"
#include "control/GuessThrottle.hpp"
#include "control/Notices.hpp"
#include "log/Log.hpp"
#include "platform/Error.hpp"

namespace qm {
namespace {

// Refusals go straight to the connection with key 0, not through a client record.
void WriteRefusal(TServerCounters& server, TcpConnection& conn, int32_t code) {
  const Packet reply = ComposeReply(0, code);
  conn.WriteAll(reply.data(), reply.size());
  TServerCounters::Add(server.TcpPacketsSent, 1);
  TServerCounters::Add(server.TcpBytesSent, static_cast<uint32_t>(reply.size()));
}

}  // namespace

bool ControlHandlers::ClientLogin(TcpContext& context, const uint8_t* packet, size_t size) {
  const LoginRequest req = ParseLogin(packet, size);
  LogEvent(
      "CMD <-",
      "ClientLogin ClientName: " + req.name + " ClientPw: " + std::string(kPasswordMask) + " ClientVer: " + req.version,
      kCmdClientLogin, nullptr);

  if (clientList->HasConnection(&context)) {
    LogEvent("ALERT", "Client already exists", 0, nullptr);
    return false;
  }
  const TSettings& s = Settings();
  const auto maxClients = static_cast<size_t>(s.MaxClients < 0 ? 0 : s.MaxClients);
  if (clientList->ClientCount() >= maxClients) {
    WriteRefusal(counters_, *context.connection, kReplyServerFull);
    return true;
  }
  const std::string serverPassword = s.ServerPassword.Get();
  if (!serverPassword.empty()) {
    const std::string& from = context.connection->PeerAddress();
    uint32_t answerTick = 0;
    // A blocked address learns nothing, not even whether this guess was right.
    if (loginGuesses.Blocked(from, answerTick)) {
      if (WaitForAnswerSlot(answerTick, *context.connection))
        WriteRefusal(counters_, *context.connection, kReplyWrongPassword);
      return true;
    }
    if (req.password != serverPassword) {
      for (const auto& line : loginGuesses.Failed(from, "Refused logins")) WriteLogAlways(line, kLogWarning);
      WriteRefusal(counters_, *context.connection, kReplyWrongPassword);
      return true;
    }
  }

  auto client = std::make_shared<TServerClient>(context.connection, &context, &counters_);
  NetAddress controlHost;
  if (NetAddress::FromDotted(context.connection->PeerAddress(), 0, controlHost)) client->SetControlHost(controlHost.ip);
  client->SetClientName(req.name);
  client->SetClientVersion(req.version);
  WriteLogAlways("Created client " + client->ClientName(), kLogProgress);

  bool full = false;
  {
    LockGuard g(clientList->Lock());
    uint8_t id = 0;
    uint32_t key = 0;
    // The count is taken again under the hold that appends, so two logins racing for the last
    // place cannot both get in; and with all 256 one-byte ids taken the login is refused as full.
    full = clientList->ClientCount() >= maxClients || !clientList->LowestFreePlayerId(id) ||
           !clientList->DrawSessionKey([this] { return RandomSessionKey(); }, key);
    if (!full) {
      client->SetPlayerId(id);
      client->SetSessionKey(key);
      context.SetSlot(client);
      clientList->Append(client);
    }
  }
  if (full) {
    // Written outside the list lock: a slow peer must not hold up everybody else.
    WriteRefusal(counters_, *context.connection, kReplyServerFull);
    return true;
  }
  WriteLogAlways(
      "Assigned playerId for client " + client->ClientName() + "[" + std::to_string(ToWireId(client->PlayerId())) + "]",
      kLogProgress);

  client->Enqueue(ComposeLoginAccepted(client->SessionKey(), s.Servername));
  clientList->Broadcast(PlayerJoinedNotice(*client), AllBut(*client));
  return false;
}

bool ControlHandlers::ClientSetup(const uint8_t* packet, size_t size, const ClientPtr& client) {
  const SetupRequest req = ParseSetup(packet, size);
  if (req.flag == 1) {
    client->Send(ComposeReply(*client, kReplySetupRefused));
    return true;
  }
  client->Enqueue(ComposeLists(*client, *clientList, *channelList));
  return false;
}

bool ControlHandlers::ClientLeave(const ClientPtr& client) {
  client->SetLeaving();
  LogEventAlways("CMD <->", "ClientLeave", kPktPlayerLeft, client.get());
  clientList->Broadcast(PlayerLeftNotice(*client, kLeftReasonLeft));
  return true;
}

}  // namespace qm
