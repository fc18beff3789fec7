#include "control/Notices.hpp"

#include <string>

namespace qm {

Packet ComposeReply(const TServerClient& to, int32_t code) { return ComposeReply(to.SessionKey(), code); }

ClientList::Compose PlayerJoinedNotice(const TServerClient& newClient) {
  // A new client is always in channel 0.
  return [player = ToWireByte(newClient.PlayerId()), name = newClient.ClientName()](const TServerClient& to) {
    return ComposePlayerJoined(to.SessionKey(), player, ToWireByte(0), name);
  };
}

ClientList::Compose PlayerLeftNotice(const TServerClient& client, uint8_t reason) {
  return [player = ToWireByte(client.PlayerId()), reason](const TServerClient& to) {
    return ComposePlayerLeft(to.SessionKey(), player, reason);
  };
}

ClientList::Compose PlayerChangedChannelNotice(const TServerClient& mover, uint8_t wireChannel) {
  return [player = ToWireByte(mover.PlayerId()), wireChannel](const TServerClient& to) {
    return ComposePlayerChangedChannel(to.SessionKey(), player, wireChannel);
  };
}

ClientList::Compose PlayerIsAdminNotice(const TServerClient& admin) {
  return [player = ToWireByte(admin.PlayerId())](const TServerClient& to) {
    return ComposePlayerIsAdmin(to.SessionKey(), player);
  };
}

Packet ChannelAddedNotice(const TServerClient& to, const ChannelRecord& channel) {
  return ComposeChannelAdded(to.SessionKey(), ToWireByte(channel.ChannelId), channel.Name());
}

Packet ChannelDeletedNotice(const TServerClient& to, const ChannelRecord& channel) {
  return ComposeChannelDeleted(to.SessionKey(), ToWireByte(channel.ChannelId));
}

bool NewLayoutClient(const TServerClient& recipient) { return !recipient.IsOldClient(); }

Packet ComposeLists(const TServerClient& to, ClientList& clients, ChannelList& channels) {
  const bool old = to.IsOldClient();
  std::vector<uint8_t> players, channelRecords;
  size_t playerCount = 0, channelCount = 0;
  {
    LockGuard g(clients.Lock());
    for (const auto& c : clients.Items()) {
      AppendListPlayer(players,
                       ListPlayer{ToWireByte(c->PlayerId()), ToWireByte(c->ChannelId()), c->IsAdmin(), c->ClientName()},
                       old);
      ++playerCount;
    }
  }
  {
    LockGuard g(channels.Lock());
    for (const auto& ch : channels.Items()) {
      AppendListChannel(channelRecords, ListChannel{ToWireByte(ch.ChannelId), ch.Name()});
      ++channelCount;
    }
  }
  return ComposeLists(to.SessionKey(), old, channelCount, channelRecords, playerCount, players,
                      static_cast<uint16_t>(ToWireId(to.PlayerId())));
}

}  // namespace qm
