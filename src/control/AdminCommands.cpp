// Channel and administration commands: moving between channels, becoming administrator, and
// what an administrator may do to channels, players, passwords and the configuration file.
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "clients/ClientLog.hpp"
#include "config/IniFile.hpp"
#include "config/Settings.hpp"
#include "control/ControlHandlers.hpp"
#include "control/ControlPackets.hpp"
#include "control/GuessThrottle.hpp"
#include "control/Notices.hpp"
#include "log/Log.hpp"
#include "platform/Ascii.hpp"
#include "platform/Error.hpp"

namespace qm {
namespace {

// The trace of a channel change carries the code of the notification it causes.
constexpr int32_t kChangeRoomTraceCode = kPktPlayerChangedChannel;

// Commands 110 to 160: a client that is not administrator is refused and nothing else happens.
bool RequireAdmin(const ClientPtr& client) {
  if (client->IsAdmin()) return true;
  client->Send(ComposeReply(*client, kReplyNotAdmin));
  return false;
}

// Runs a change of the configuration file. Whatever goes wrong surfaces as the one failure the
// read loop logs for it, naming the file.
template <class F>
void WriteConfiguration(F change) {
  const std::string path = IniFilePath();
  try {
    IniFile ini(path);
    change(ini);
  } catch (const EConfigError&) {
    throw;
  } catch (const std::exception&) {
    throw EConfigError("Unable to write to " + path);
  }
}

// Held over a password's write to the file and its change in memory, so two administrators at
// once cannot leave the file holding one password and memory the other. Nested: this, then the
// file's own lock, then the password lock; no socket is touched under it.
std::mutex& ConfigurationLock() {
  static std::mutex lock;
  return lock;
}

// What is in force must be what a restart reads back: a value the file would store differently
// (blanks at either end dropped, cut at a line break or NUL) is refused and logged, and nothing
// changes. An empty channel name would end the list at the next start; an empty server password
// is a choice (no password) the file holds as it is. Every other byte, a tab or another control
// character inside included, the file holds as it is.
bool Storable(std::string_view value, bool emptyAllowed, const char* command, const std::string& what) {
  if ((emptyAllowed || !value.empty()) && IniFile::HoldsExactly(value)) return true;
  WriteLog(std::string("Refused ") + command + ": " + IniFileName() + " cannot hold " + what +
               " exactly (empty, a line break or NUL, or a blank at either end); nothing changed",
           kLogWarning);
  return false;
}

// Refusals use the codes clients already know, so the administrator always gets an answer: a
// password with the wrong-password reply of the administrator commands, a channel name with the
// reply of a refused new channel.
constexpr ReplyCode kPasswordRefused = kReplyWrongAdminPassword;
constexpr ReplyCode kChannelNameRefused = kReplyChannelExists;

// What tells the two password changes apart; everything else they do is one body.
struct PasswordChange {
  const char* command;  // as the trace names it
  int16_t code;
  PasswordSetting ServerSettings::*setting;
  ReplyCode done;
  const char* iniKey;  // in [Passwords]
};
constexpr PasswordChange kServerPasswordChange{"AdminChangeServerPassword", kCmdAdminChangeServerPassword,
                                               &ServerSettings::ServerPassword, kReplyServerPasswordChanged,
                                               "ServerPassword"};
constexpr PasswordChange kAdminPasswordChange{"AdminChangeAdminPassword", kCmdAdminChangeAdminPassword,
                                              &ServerSettings::AdminPassword, kReplyAdminPasswordChanged,
                                              "AdminPassword"};

// The file first: a password the file did not take is not put in force (the failure leaves here
// and is logged by whoever asked), so a restart gives what is in force now. False: refused as
// one the file cannot hold, nothing changed.
bool ApplyPassword(const PasswordChange& change, ServerSettings& settings, const std::string& password) {
  if (!Storable(password, true, change.command, "the new password")) return false;
  std::lock_guard<std::mutex> g(ConfigurationLock());
  WriteConfiguration([&](IniFile& ini) { ini.WriteString("Passwords", change.iniKey, password); });
  (settings.*change.setting).Set(password);
  return true;
}

void ChangePassword(const PasswordChange& change, ServerSettings& settings, const uint8_t* packet, size_t size,
                    const ClientPtr& client) {
  const std::string password = ParseStringArgument(packet, size);
  LogEvent("CMD <-", std::string(change.command) + " NewPW: " + std::string(kPasswordMask), change.code, client.get());
  if (!RequireAdmin(client)) return;
  if (!ApplyPassword(change, settings, password)) {
    client->Send(ComposeReply(*client, kPasswordRefused));
    return;
  }
  client->Send(ComposeReply(*client, change.done));
}

}  // namespace

void ControlHandlers::ClientChangeRoom(const uint8_t* packet, size_t size, const ClientPtr& client) {
  const uint8_t room = ParseByteArgument(packet, size);
  LogEvent("CMD <->", "ClientChangeRoom RoomId: " + std::to_string(room), kChangeRoomTraceCode, client.get());
  // Not checked against the channel list: clients are told the id exactly as it was sent.
  clientList_->Relay().SetChannel(*client, FromWireId(room));
  clientList_->Broadcast(PlayerChangedChannelNotice(*client, room));
}

void ControlHandlers::AdminLogin(const uint8_t* packet, size_t size, const ClientPtr& client) {
  const std::string password = ParseStringArgument(packet, size);
  LogEvent("CMD <-", "AdminLogin PW: " + std::string(kPasswordMask), kCmdAdminLogin, client.get());
  const auto& link = client->TcpLink();
  const std::string from = link ? link->PeerAddress() : std::string();
  uint32_t answerTick = 0;
  // A blocked address is refused without a look at the password, one answer a second at most; so
  // is one whose turn for the shared budget did not come.
  if (link && !adminGuesses_.AwaitTurn(from, *link, answerTick)) {
    WriteLogLimited("Refused administrator login of " + WhoFrom(*client) + ": address blocked for failed passwords",
                    kLogWarning, from);
    if (WaitForAnswerSlot(answerTick, clock_, *link)) client->Send(ComposeReply(*client, kReplyWrongAdminPassword));
    return;
  }
  // An empty administrator password switches administrator login off rather than opening it.
  const std::string adminPassword = settings_.AdminPassword.Get();
  const bool right = !adminPassword.empty() && password == adminPassword;
  if (link)
    for (const auto& line : adminGuesses_.Looked(from, right, "Refused administrator logins"))
      WriteLogAlways(line, kLogWarning);
  if (!right) {
    WriteLogLimited("Refused administrator login of " + WhoFrom(*client) + ": wrong administrator password",
                    kLogWarning, from);
    client->Send(ComposeReply(*client, kReplyWrongAdminPassword));
    return;
  }
  WriteLogAlways("Administrator login of " + WhoFrom(*client), kLogProgress);
  client->SetIsAdmin(true);
  // Old clients get no player-is-administrator notices, so they learn of it by the reply.
  if (client->IsOldClient()) client->Send(ComposeReply(*client, kReplyAdminLoginOk));
  clientList_->Broadcast(PlayerIsAdminNotice(*client), NewLayoutClient);
}

void ControlHandlers::AdminCreateRoom(const uint8_t* packet, size_t size, const ClientPtr& client) {
  const std::string name = ParseStringArgument(packet, size);
  LogEvent("CMD <-", "AdminCreateRoom RoomName: " + name, kCmdAdminCreateRoom, client.get());
  if (!RequireAdmin(client)) return;
  ChannelRecord created;
  switch (CreateChannel(name, "AdminCreateRoom", created)) {
    case ChannelCreation::kCreated:
      break;
    case ChannelCreation::kNotStorable:
      client->Send(ComposeReply(*client, kChannelNameRefused));
      break;
    case ChannelCreation::kExists:
      client->Send(ComposeReply(*client, kReplyChannelExists));
      break;
  }
}

ControlHandlers::ChannelCreation ControlHandlers::CreateChannel(const std::string& name, const char* command,
                                                                ChannelRecord& created) {
  // A name the file cannot hold would come back different (or end the saved list) after a restart.
  if (!Storable(name, false, command, "the channel name")) return ChannelCreation::kNotStorable;
  // One hold over the name test and the add, so two administrators cannot both create one
  // name. AddChannel announces under it: channelList_ then clientList_ is the allowed order.
  LockGuard g(channelList_->Lock());
  for (const auto& channel : channelList_->Items())
    if (EqualsNoCase(channel.Name(), name)) return ChannelCreation::kExists;
  // With all 256 ids taken AddChannel adds nothing; that is refused like a duplicate.
  const auto added = channelList_->AddChannel(name, ChannelAddedNotice);
  if (!added) return ChannelCreation::kExists;
  created = *added;
  return ChannelCreation::kCreated;
}

void ControlHandlers::AdminDeleteRoom(const uint8_t* packet, size_t size, const ClientPtr& client) {
  const uint8_t room = ParseByteArgument(packet, size);
  LogEvent("CMD <-", "AdminDeleteRoom RoomId: " + std::to_string(room), kCmdAdminDeleteRoom, client.get());
  if (!RequireAdmin(client)) return;
  ChannelRecord deleted;
  if (!DeleteChannel(FromWireByte(room), deleted)) client->Send(ComposeReply(*client, kReplyNoSuchChannel));
}

bool ControlHandlers::DeleteChannel(uint8_t id, ChannelRecord& deleted) {
  LockGuard g(channelList_->Lock());
  const auto found = channelList_->FindChannel(id);
  if (!found) return false;
  deleted = *found;
  // Clients in the deleted channel keep its id; nobody is moved.
  channelList_->DeleteChannel(id, ChannelDeletedNotice);
  return true;
}

void ControlHandlers::AdminKickPlayer(const uint8_t* packet, size_t size, const ClientPtr& client) {
  const uint8_t player = ParseByteArgument(packet, size);
  LogEvent("CMD <-", "AdminKickPlayer", kCmdAdminKickPlayer, client.get());
  if (!RequireAdmin(client)) return;
  if (!KickPlayer(FromWireByte(player))) client->Send(ComposeReply(*client, kReplyNoSuchPlayerKick));
}

ClientPtr ControlHandlers::KickPlayer(uint8_t id) {
  // The shared record stays alive here even if its own thread removes it meanwhile.
  const ClientPtr kicked = clientList_->FindClientByPlayerId(id);
  if (!kicked) return nullptr;
  kicked->SetLeaving();
  WriteLogAlways("Kicked " + WhoFrom(*kicked), kLogProgress);
  clientList_->Broadcast(PlayerLeftNotice(*kicked, kLeftReasonKicked));
  // A kicked client that stays silent would otherwise hold its place until it sends another
  // byte. Ending the receiving side makes its own thread take the close path now; being Leaving,
  // it is not announced a second time.
  if (const auto& link = kicked->TcpLink()) link->ShutdownReceive();
  return kicked;
}

std::vector<ClientPtr> ControlHandlers::KickBanned(const BanTarget& target) {
  std::vector<uint8_t> ids;
  {
    LockGuard g(clientList_->Lock());
    for (const auto& c : clientList_->Items())
      if (target.Matches(c->ControlHost(), c->ClientName())) ids.push_back(c->PlayerId());
  }
  // Kicked one by one outside the list's hold, as an administrator's kick is.
  std::vector<ClientPtr> kicked;
  for (uint8_t id : ids)
    if (ClientPtr c = KickPlayer(id)) kicked.push_back(std::move(c));
  return kicked;
}

void ControlHandlers::AdminChangeServerPassword(const uint8_t* packet, size_t size, const ClientPtr& client) {
  ChangePassword(kServerPasswordChange, settings_, packet, size, client);
}

void ControlHandlers::AdminSaveAsDefaultChannels(const uint8_t*, size_t, const ClientPtr& client) {
  LogEvent("CMD <-", "AdminSaveAsDefaultChannels", kCmdAdminSaveAsDefaultChannels, client.get());
  if (!RequireAdmin(client)) return;
  // A name the file cannot hold is answered; a write that failed leaves here and is logged.
  client->Send(ComposeReply(*client, SaveChannels() ? kReplyChannelsSaved : kChannelNameRefused));
}

bool ControlHandlers::SaveChannels() {
  // The list as of one moment; the file is written outside the lock so slow disks do not hold up
  // channel changes.
  const std::vector<ChannelRecord> channels = channelList_->Snapshot();
  // One write for the whole list, none when the file already holds it. The section keeps its
  // place and its comments.
  std::vector<IniChange> changes{IniChange::ClearKeys("Channels")};
  for (size_t i = 0; i < channels.size(); ++i) {
    const std::string name = channels[i].Name();
    if (!Storable(name, false, "AdminSaveAsDefaultChannels", "the name of the channel at " + std::to_string(i)))
      return false;
    changes.push_back({"Channels", std::to_string(i), name});
  }
  WriteConfiguration([&](IniFile& ini) { ini.Apply(changes); });
  return true;
}

void ControlHandlers::AdminChangeAdminPassword(const uint8_t* packet, size_t size, const ClientPtr& client) {
  ChangePassword(kAdminPasswordChange, settings_, packet, size, client);
}

bool ControlHandlers::SetPassword(bool admin, const std::string& password) {
  return ApplyPassword(admin ? kAdminPasswordChange : kServerPasswordChange, settings_, password);
}

}  // namespace qm
