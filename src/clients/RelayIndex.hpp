#pragma once
// The client list as the voice path reads it: a session key finds its client in O(1), and each
// channel keeps its members in list order, so a datagram costs work in proportion to its
// recipients rather than to every logged-in client. Kept by the client list (append, removal,
// shutdown) and by channel changes; guarded by a lock of its own under which nothing but the log
// is taken, so the UDP intake never waits for a broadcast that holds the client list.
//
// Lock order: clientList, then this lock.
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "clients/TServerClient.hpp"

namespace qm {

class RelayIndex {
 public:
  // A channel's members in list order.
  using Members = std::vector<TServerClient*>;

  // --- upkeep, by the client list while it holds its own lock ---
  void Add(const ClientPtr& client);
  void Remove(const TServerClient& client);
  void Clear();

  // Moves a client to a channel: its ChannelId and the channel lists change under one hold, so
  // the UDP intake sees it in the old channel or in the new one, never in neither.
  void SetChannel(TServerClient& client, int32_t channel);

  // The first listed client holding the key (keys are unique among listed clients), or none.
  ClientPtr Find(uint32_t key);

  // --- for the UDP intake, which holds Lock() over a whole batch while it reads these ---
  std::mutex& Lock() { return lock_; }
  // The holder of the key, or nullptr; the pointer is good while the lock is held.
  const ClientPtr* FindLocked(uint32_t key) const;
  // Members of a channel (nullptr when it has none).
  const Members* ChannelLocked(int32_t channel) const;
  // Whether a listed client controls from this IPv4 address.
  bool HostsClientLocked(uint32_t ip) const { return hosts_.count(ip) != 0; }
  // Every listed client, in list order.
  const std::vector<ClientPtr>& AllLocked() const { return all_; }

 private:
  struct Entry {
    uint64_t order;   // position in the list: appends count up
    int32_t channel;  // the channel list it is in
  };
  void InsertInChannel(TServerClient* client, uint64_t order, int32_t channel);
  void EraseFromChannel(TServerClient* client, int32_t channel);

  std::mutex lock_;
  std::vector<ClientPtr> all_;
  std::unordered_map<uint32_t, ClientPtr> byKey_;
  std::unordered_map<const TServerClient*, Entry> entries_;
  std::unordered_map<int32_t, Members> channels_;
  std::unordered_map<uint32_t, uint32_t> hosts_;  // control host: its listed clients
  uint64_t nextOrder_ = 0;
};

}  // namespace qm
