#pragma once
// channelList: the channels in creation order, under a re-entrant lock of its own. A channel is
// the fixed 32-byte record clients receive: id byte, then the name as a short string of 30.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Sync.hpp"

namespace qm {

class ClientList;
class TServerClient;

struct ChannelRecord {
  uint8_t ChannelId = 0;
  uint8_t NameLength = 0;
  std::array<char, 30> NameChars{};

  std::string Name() const { return std::string(NameChars.data(), NameLength); }
};
static_assert(sizeof(ChannelRecord) == 32);

class ChannelList {
 public:
  // Ids 0 to 254: the list packet's channel count is one byte.
  static constexpr size_t kMaxChannels = 255;
  // Composes the notice of a channel added or deleted for one recipient.
  using Notice = std::function<std::vector<uint8_t>(const TServerClient& recipient, const ChannelRecord& channel)>;

  explicit ChannelList(ClientList& clients) : clients_(clients) {}

  RecursiveLock& Lock() { return lock_; }
  // The entries; only while holding Lock().
  std::vector<ChannelRecord>& Items() { return items_; }

  std::optional<ChannelRecord> FindChannel(uint8_t id);
  // Makes a channel with the lowest free id and the first 30 characters of the name, appends it and
  // broadcasts announce. Empty when kMaxChannels are listed (nothing added, nothing announced).
  // Without announce nobody is told: loading at start-up, before any client is listed.
  std::optional<ChannelRecord> AddChannel(const std::string& name, const Notice& announce = nullptr);
  // Broadcasts announce and removes the first channel with that id; nothing when there is none.
  void DeleteChannel(uint8_t id, const Notice& announce);
  size_t Count();
  std::vector<ChannelRecord> Snapshot();

 private:
  ClientList& clients_;
  RecursiveLock lock_;
  std::vector<ChannelRecord> items_;
};

}  // namespace qm
