#include "clients/ClientList.hpp"

#include <algorithm>
#include <optional>
#include <utility>

namespace qm {

ClientPtr ClientList::FindClientByKey(uint32_t key) { return relay_.Find(key); }

ClientPtr ClientList::FindClientByPlayerId(uint8_t id) {
  LockGuard g(lock_);
  for (const auto& c : items_)
    if (c->PlayerId() == id) return c;
  return nullptr;
}

bool ClientList::HasConnection(const TcpContext* context) {
  LockGuard g(lock_);
  return std::any_of(items_.begin(), items_.end(), [&](const ClientPtr& c) { return c->Connection() == context; });
}

size_t ClientList::ClientCount() {
  LockGuard g(lock_);
  return items_.size();
}

bool ClientList::LowestFreePlayerId(uint8_t& id) {
  LockGuard g(lock_);
  // The id is one byte: with 256 clients listed there is nothing to find, and searching would
  // never end.
  bool used[256] = {};
  for (const auto& c : items_) used[c->PlayerId()] = true;
  for (int i = 0; i < 256; ++i) {
    if (!used[i]) {
      id = static_cast<uint8_t>(i);
      return true;
    }
  }
  return false;
}

bool ClientList::DrawSessionKey(const std::function<uint32_t()>& random, uint32_t& key) {
  LockGuard g(lock_);
  if (items_.size() >= 50000) return false;
  for (;;) {
    const uint32_t candidate = random();
    if (std::none_of(items_.begin(), items_.end(), [&](const ClientPtr& c) { return c->SessionKey() == candidate; })) {
      key = candidate;
      return true;
    }
  }
}

void ClientList::Append(ClientPtr client) {
  LockGuard g(lock_);
  items_.push_back(client);
  relay_.Add(client);
}

void ClientList::RemoveClient(const ClientPtr& client, const Compose& announce) {
  if (!client->Leaving()) Broadcast(announce);
  LockGuard g(lock_);
  auto it = std::find(items_.begin(), items_.end(), client);
  if (it != items_.end()) items_.erase(it);
  relay_.Remove(*client);
}

std::vector<ClientPtr> ClientList::TakeAll() {
  LockGuard g(lock_);
  std::vector<ClientPtr> all;
  all.swap(items_);
  relay_.Clear();
  return all;
}

namespace {

// A control packet's header carries the session key as a little-endian u16 at offset 2.
constexpr size_t kKeyOffset = 2;

void StampSessionKey(TServerClient::Buffer& packet, uint32_t key) {
  if (packet.size() < kKeyOffset + 2) return;
  packet[kKeyOffset] = static_cast<uint8_t>(key & 0xFF);
  packet[kKeyOffset + 1] = static_cast<uint8_t>((key >> 8) & 0xFF);
}

}  // namespace

void ClientList::Broadcast(const Compose& compose, const Filter& filter) {
  LockGuard g(lock_);
  // Index 1 holds the old clients' layout, 0 the current one; each is composed at first need.
  std::optional<TServerClient::Buffer> composed[2];
  for (const auto& c : items_) {
    if (filter && !filter(*c)) continue;
    auto& notice = composed[c->IsOldClient() ? 1 : 0];
    if (!notice) notice = compose(*c);
    TServerClient::Buffer copy = *notice;
    StampSessionKey(copy, c->SessionKey());
    c->Send(std::move(copy));
  }
}

ClientList::Filter AllBut(const TServerClient& excluded) {
  return [&excluded](const TServerClient& c) { return &c != &excluded; };
}

}  // namespace qm
