#pragma once
// Little-endian fields and short strings: the one writer and the one reader every packet of the
// system is composed and parsed with. The reader never reads past the bytes it was given: a field
// beyond them reads as zero, a string as empty, so a short packet is harmless.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

class WireWriter {
 public:
  explicit WireWriter(std::vector<uint8_t>& out) : out_(out) {}
  WireWriter& U8(uint8_t v) {
    out_.push_back(v);
    return *this;
  }
  WireWriter& U16(uint16_t v) {
    out_.push_back(static_cast<uint8_t>(v));
    out_.push_back(static_cast<uint8_t>(v >> 8));
    return *this;
  }
  WireWriter& I16(int32_t v) { return U16(static_cast<uint16_t>(v)); }
  WireWriter& U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  WireWriter& F32(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    return U32(bits);
  }
  // One length byte, then capacity character bytes; longer text is cut, the filler is zero.
  WireWriter& ShortString(std::string_view text, size_t capacity) {
    const size_t n = text.size() < capacity ? text.size() : capacity;
    out_.push_back(static_cast<uint8_t>(n));
    out_.insert(out_.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
    out_.insert(out_.end(), capacity - n, 0);
    return *this;
  }
  WireWriter& Bytes(const uint8_t* data, size_t size) {
    out_.insert(out_.end(), data, data + size);
    return *this;
  }
  size_t Size() const { return out_.size(); }

 private:
  std::vector<uint8_t>& out_;
};

class WireReader {
 public:
  WireReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t Size() const { return size_; }
  bool Has(size_t offset, size_t count) const { return offset <= size_ && count <= size_ - offset; }
  uint8_t U8(size_t offset) const { return offset < size_ ? data_[offset] : 0; }
  uint16_t U16(size_t offset) const { return static_cast<uint16_t>(U8(offset) | (U8(offset + 1) << 8)); }
  int16_t I16(size_t offset) const { return static_cast<int16_t>(U16(offset)); }
  uint32_t U32(size_t offset) const {
    return static_cast<uint32_t>(U8(offset)) | (static_cast<uint32_t>(U8(offset + 1)) << 8) |
           (static_cast<uint32_t>(U8(offset + 2)) << 16) | (static_cast<uint32_t>(U8(offset + 3)) << 24);
  }
  float F32(size_t offset) const {
    const uint32_t bits = U32(offset);
    float v;
    std::memcpy(&v, &bits, 4);
    return v;
  }
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

 private:
  const uint8_t* data_;
  size_t size_;
};

// Little-endian stores into a fixed place of a buffer the caller has sized (the relay's in-place
// header rewrites).
inline void StoreU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void StoreU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t LoadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace qm
