#include "clients/ChannelList.hpp"

#include <algorithm>

#include "clients/ClientList.hpp"

namespace qm {

std::optional<ChannelRecord> ChannelList::FindChannel(uint8_t id) {
  LockGuard g(lock_);
  for (const auto& r : items_)
    if (r.ChannelId == id) return r;
  return std::nullopt;
}

std::optional<ChannelRecord> ChannelList::AddChannel(const std::string& name, const Notice& announce) {
  ChannelRecord record;
  {
    LockGuard g(lock_);
    // The list packet counts channels in one byte, so a 256th channel would wrap it to 0.
    bool used[kMaxChannels] = {};
    for (const auto& r : items_)
      if (r.ChannelId < kMaxChannels) used[r.ChannelId] = true;
    size_t id = 0;
    while (id < kMaxChannels && used[id]) ++id;
    if (id == kMaxChannels || items_.size() >= kMaxChannels) return std::nullopt;
    record.ChannelId = static_cast<uint8_t>(id);
    record.NameLength = static_cast<uint8_t>(std::min<size_t>(name.size(), record.NameChars.size()));
    std::copy_n(name.begin(), record.NameLength, record.NameChars.begin());
    items_.push_back(record);
  }
  if (announce) clients_.Broadcast([&](const TServerClient& c) { return announce(c, record); });
  return record;
}

void ChannelList::DeleteChannel(uint8_t id, const Notice& announce) {
  LockGuard g(lock_);
  auto it = std::find_if(items_.begin(), items_.end(), [&](const ChannelRecord& r) { return r.ChannelId == id; });
  if (it == items_.end()) return;
  // channelList then clientList: the allowed order
  if (announce) clients_.Broadcast([&](const TServerClient& c) { return announce(c, *it); });
  items_.erase(it);
}

size_t ChannelList::Count() {
  LockGuard g(lock_);
  return items_.size();
}

std::vector<ChannelRecord> ChannelList::Snapshot() {
  LockGuard g(lock_);
  return items_;
}

}  // namespace qm
