#include <atomic>
#include <string>

#include "platform/Platform.hpp"
#include "platform/SplitMix.hpp"

namespace qm::platform {

std::string RandomSuffix() {
  uint64_t value = 0;
  if (!SystemRandom(value)) {
    static std::atomic<uint64_t> counter{0};
    value = SplitMix64(RandomSeed() ^ counter.fetch_add(1, std::memory_order_relaxed));
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text(16, '0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = kHex[(value >> (4 * i)) & 0xF];
  return text;
}

}  // namespace qm::platform
