#pragma once
// The server's packets for one client record: replies, notifications and the lists, composed for
// the recipient (its session key, its layout) and handed to TServerClient::Send or
// ClientList::Broadcast. The layouts themselves are ControlPackets'.
#include <cstdint>

#include "clients/ChannelList.hpp"
#include "clients/ClientList.hpp"
#include "clients/TServerClient.hpp"
#include "control/ControlPackets.hpp"

namespace qm {

Packet ComposeReply(const TServerClient& to, int32_t code);

// Broadcast composers, each about one client (or, as sent by it, one wire channel). A broadcast
// calls one once per layout and stamps each recipient's session key into its copy.
ClientList::Compose PlayerJoinedNotice(const TServerClient& newClient);
ClientList::Compose PlayerLeftNotice(const TServerClient& client, uint8_t reason);
ClientList::Compose PlayerChangedChannelNotice(const TServerClient& mover, uint8_t wireChannel);
ClientList::Compose PlayerIsAdminNotice(const TServerClient& admin);

// Channel notices, for ChannelList::AddChannel and DeleteChannel.
Packet ChannelAddedNotice(const TServerClient& to, const ChannelRecord& channel);
Packet ChannelDeletedNotice(const TServerClient& to, const ChannelRecord& channel);

// The version gate of the player-is-administrator notice: clients of the old layouts never get it.
bool NewLayoutClient(const TServerClient& recipient);

// Both lists in the recipient's layout. Each count is taken under the same hold as the records it
// counts; the two lists are never locked together (channelList may not be taken while holding
// clientList), so the packet shows each list as of its own moment.
Packet ComposeLists(const TServerClient& to, ClientList& clients, ChannelList& channels);

}  // namespace qm
