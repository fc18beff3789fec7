#include <string>

#include "metrics/MetricsEndpoint.hpp"
#include "platform/Sync.hpp"

namespace qm {
namespace {
Guarded<std::string> gSwitch;

// One decimal field of at most maxDigits digits, no sign, no blanks.
bool ReadNumber(const std::string& text, size_t& pos, size_t maxDigits, uint32_t& value) {
  const size_t start = pos;
  value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < maxDigits)
    value = value * 10 + static_cast<uint32_t>(text[pos++] - '0');
  return pos > start;
}
}  // namespace

MetricsAddress ParseMetricsAddress(const std::string& text) {
  const auto bad = [&]() {
    return EMetricsError("-METRICS= wants an IPv4 address and a port, e.g. 127.0.0.1:9465; got \"" + text + "\"");
  };
  size_t pos = 0;
  uint32_t part = 0;
  for (int i = 0; i < 4; ++i) {
    if (i > 0 && (pos >= text.size() || text[pos++] != '.')) throw bad();
    if (!ReadNumber(text, pos, 3, part) || part > 255) throw bad();
  }
  const std::string ip = text.substr(0, pos);
  if (pos >= text.size() || text[pos++] != ':') throw bad();
  if (!ReadNumber(text, pos, 5, part) || part > 65535 || pos != text.size()) throw bad();
  return MetricsAddress{ip, static_cast<uint16_t>(part)};
}

void SetMetricsSwitch(std::string value) { gSwitch.Set(std::move(value)); }

std::string MetricsSwitch() { return gSwitch.Get(); }

}  // namespace qm
