#include "clients/RelayIndex.hpp"

#include <algorithm>

namespace qm {

void RelayIndex::InsertInChannel(TServerClient* client, uint64_t order, int32_t channel) {
  Members& members = channels_[channel];
  // Members keep list order: insert before the first one appended later.
  auto at =
      std::find_if(members.begin(), members.end(), [&](TServerClient* m) { return entries_.at(m).order > order; });
  members.insert(at, client);
}

void RelayIndex::EraseFromChannel(TServerClient* client, int32_t channel) {
  auto it = channels_.find(channel);
  if (it == channels_.end()) return;
  Members& members = it->second;
  members.erase(std::remove(members.begin(), members.end(), client), members.end());
  if (members.empty()) channels_.erase(it);
}

void RelayIndex::Add(const ClientPtr& client) {
  std::lock_guard<std::mutex> g(lock_);
  TServerClient* c = client.get();
  if (entries_.count(c)) return;
  const uint64_t order = nextOrder_++;
  const int32_t channel = c->ChannelId();
  entries_.emplace(c, Entry{order, channel});
  all_.push_back(client);
  // Appended last, so last in its channel; a key already held stays with its first holder.
  channels_[channel].push_back(c);
  if (c->SessionKey() != 0) byKey_.emplace(c->SessionKey(), client);
  ++hosts_[c->ControlHost()];
}

void RelayIndex::Remove(const TServerClient& client) {
  std::lock_guard<std::mutex> g(lock_);
  auto e = entries_.find(&client);
  if (e == entries_.end()) return;
  TServerClient* c = const_cast<TServerClient*>(&client);
  EraseFromChannel(c, e->second.channel);
  entries_.erase(e);
  auto pos = std::find_if(all_.begin(), all_.end(), [&](const ClientPtr& p) { return p.get() == c; });
  if (pos != all_.end()) all_.erase(pos);
  auto h = hosts_.find(c->ControlHost());
  if (h != hosts_.end() && --h->second == 0) hosts_.erase(h);
  const uint32_t key = c->SessionKey();
  auto k = byKey_.find(key);
  if (k != byKey_.end() && k->second.get() == c) {
    byKey_.erase(k);
    // Another listed client with the same key (never at login, which draws unique keys) takes over.
    for (const ClientPtr& p : all_) {
      if (p->SessionKey() == key) {
        byKey_.emplace(key, p);
        break;
      }
    }
  }
}

void RelayIndex::Clear() {
  std::lock_guard<std::mutex> g(lock_);
  all_.clear();
  byKey_.clear();
  entries_.clear();
  channels_.clear();
  hosts_.clear();
}

void RelayIndex::SetChannel(TServerClient& client, int32_t channel) {
  std::lock_guard<std::mutex> g(lock_);
  client.SetChannelId(channel);
  auto e = entries_.find(&client);
  if (e == entries_.end() || e->second.channel == channel) return;
  EraseFromChannel(&client, e->second.channel);
  InsertInChannel(&client, e->second.order, channel);
  e->second.channel = channel;
}

ClientPtr RelayIndex::Find(uint32_t key) {
  std::lock_guard<std::mutex> g(lock_);
  auto k = byKey_.find(key);
  return k == byKey_.end() ? nullptr : k->second;
}

const ClientPtr* RelayIndex::FindLocked(uint32_t key) const {
  auto k = byKey_.find(key);
  return k == byKey_.end() ? nullptr : &k->second;
}

const RelayIndex::Members* RelayIndex::ChannelLocked(int32_t channel) const {
  auto it = channels_.find(channel);
  return it == channels_.end() ? nullptr : &it->second;
}

}  // namespace qm
