#pragma once
// Short strings on top of the little-endian fields: the writer and the reader every control
// packet is composed and parsed with. A string beyond the bytes given reads as empty.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/ByteOrder.hpp"

namespace qm {

class WireWriter final : public BasicByteWriter<WireWriter> {
 public:
  using BasicByteWriter::BasicByteWriter;
  // One length byte, then capacity character bytes; longer text is cut, the filler is zero.
  WireWriter& ShortString(std::string_view text, size_t capacity) {
    const size_t n = text.size() < capacity ? text.size() : capacity;
    out_.push_back(static_cast<uint8_t>(n));
    out_.insert(out_.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
    out_.insert(out_.end(), capacity - n, 0);
    return *this;
  }
};

class WireReader final : public ByteReader {
 public:
  using ByteReader::ByteReader;
  // A length byte above the capacity is clamped to it; characters beyond the data read as absent.
  std::string ShortString(size_t offset, size_t capacity) const {
    size_t n = U8(offset);
    if (n > capacity) n = capacity;
    std::string s;
    for (size_t i = 0; i < n; ++i) {
      const size_t at = offset + 1 + i;
      if (at >= size_) break;
      s += static_cast<char>(data_[at]);
    }
    return s;
  }
};

}  // namespace qm
