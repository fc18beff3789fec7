#pragma once
// clientList: the logged-in clients in login order, under one re-entrant lock. Lock order where
// locks nest: udpReadLock, then voiceQueue or channelList, then clientList, then a client's
// SendQueue. Nothing takes channelList while holding clientList.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "clients/RelayIndex.hpp"
#include "clients/TServerClient.hpp"
#include "platform/Sync.hpp"

namespace qm {

// Player-left reasons.
enum : uint8_t { kLeftReasonLeft = 0, kLeftReasonPingTimeout = 2, kLeftReasonKicked = 4 };

class TClientList {
 public:
  // The lock, for passes that walk the list (relay, ping, reports, shutdown).
  RecursiveLock& Lock() { return lock_; }
  // The entries; only while holding Lock().
  std::vector<ClientPtr>& Items() { return items_; }
  // The key and channel index the voice path reads (its own lock; see RelayIndex.hpp).
  TRelayIndex& Relay() { return relay_; }

  ClientPtr FindClientByKey(uint32_t key);
  ClientPtr FindClientByPlayerId(uint8_t id);
  bool HasConnection(const TcpContext* context);
  size_t ClientCount();
  // Lowest player id no listed client holds; false when all 256 are taken. Caller holds Lock().
  bool LowestFreePlayerId(uint8_t& id);
  // A session key 1..50,000 no listed client holds; false when none is free. Caller holds Lock().
  bool DrawSessionKey(const std::function<uint32_t()>& random, uint32_t& key);
  // Appends; caller holds Lock().
  void Append(ClientPtr client);
  // Announces the departure (unless the client is Leaving, already announced), then unlists it.
  void RemoveClient(const ClientPtr& client, uint8_t reason);
  // Unlists without any notice (shutdown). Returns what was listed, in list order.
  std::vector<ClientPtr> TakeAll();

  void BroadcastPlayerJoined(const TServerClient& newClient);
  void BroadcastPlayerLeft(const TServerClient& client, uint8_t reason);
  void BroadcastPlayerChangedChannel(const TServerClient& mover, uint8_t channelWire);
  void BroadcastPlayerIsAdmin(const TServerClient& admin);
  void BroadcastChannelAdded(uint8_t channelId, const std::string& name);
  void BroadcastChannelDeleted(uint8_t channelId);

 private:
  RecursiveLock lock_;
  std::vector<ClientPtr> items_;
  TRelayIndex relay_;
};

}  // namespace qm
