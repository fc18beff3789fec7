#pragma once
// clientList: the logged-in clients in login order, under one re-entrant lock. Lock order where
// locks nest: channelList, then clientList, then the relay index or a client's SendQueue. Nothing
// takes channelList while holding clientList.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "clients/RelayIndex.hpp"
#include "clients/TServerClient.hpp"
#include "platform/Sync.hpp"

namespace qm {

class ClientList {
 public:
  // A notice's bytes for a recipient. They may depend on the recipient only by its layout (old
  // clients get older layouts) and by its session key, which Broadcast stamps into each copy: a
  // broadcast calls this once per layout, for the first recipient of that layout.
  using Compose = std::function<TServerClient::Buffer(const TServerClient& recipient)>;
  // Which listed clients receive a broadcast; an empty filter means all of them.
  using Filter = std::function<bool(const TServerClient& recipient)>;

  // The lock, for passes that walk the list (relay, ping, reports, shutdown).
  RecursiveLock& Lock() { return lock_; }
  // The entries; only while holding Lock().
  std::vector<ClientPtr>& Items() { return items_; }
  // The key and channel index the voice path reads (its own lock; see RelayIndex.hpp).
  RelayIndex& Relay() { return relay_; }

  ClientPtr FindClientByKey(uint32_t key);
  ClientPtr FindClientByPlayerId(uint8_t id);
  bool HasConnection(const TcpContext* context);
  size_t ClientCount();
  // These three take Lock() themselves; a caller that needs the id or key still free when it
  // appends holds Lock() across all of them (re-entrant).
  // Lowest player id no listed client holds; false when all 256 are taken.
  bool LowestFreePlayerId(uint8_t& id);
  // A session key 1..50,000 no listed client holds; false when none is free.
  bool DrawSessionKey(const std::function<uint32_t()>& random, uint32_t& key);
  // Broadcasts reach the client from here on: what it must receive first is queued before.
  void Append(ClientPtr client);
  // Broadcasts announce (unless the client is Leaving: already announced), then unlists it.
  void RemoveClient(const ClientPtr& client, const Compose& announce);
  // Unlists without any notice (shutdown). Returns what was listed, in list order.
  std::vector<ClientPtr> TakeAll();

  // One pass in list order under the lock: each recipient the filter admits gets its own copy,
  // with its own session key, sent at once. Sending only hands the copy to the connection, so no
  // socket is written here.
  void Broadcast(const Compose& compose, const Filter& filter = nullptr);

 private:
  RecursiveLock lock_;
  std::vector<ClientPtr> items_;
  RelayIndex relay_;
};

// Every listed client but one (the one a notice is about).
ClientList::Filter AllBut(const TServerClient& excluded);

}  // namespace qm
