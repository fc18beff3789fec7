#pragma once
// Little-endian fields: the one writer and the one reader that control packets and datagrams are
// composed and parsed with. The reader never reads past the bytes it was given: a field beyond them
// reads as zero, so a short packet is harmless.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace qm {

// Appends fields to a buffer. Self is the writer a caller holds, so calls chain through a derived
// writer's own fields as well.
template <class Self>
class BasicByteWriter {
 public:
  explicit BasicByteWriter(std::vector<uint8_t>& out) : out_(out) {}
  Self& U8(uint8_t v) {
    out_.push_back(v);
    return Derived();
  }
  Self& U16(uint16_t v) {
    out_.push_back(static_cast<uint8_t>(v));
    out_.push_back(static_cast<uint8_t>(v >> 8));
    return Derived();
  }
  Self& I16(int32_t v) { return U16(static_cast<uint16_t>(v)); }
  Self& U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return Derived();
  }
  Self& F32(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    return U32(bits);
  }
  Self& Bytes(const uint8_t* data, size_t size) {
    out_.insert(out_.end(), data, data + size);
    return Derived();
  }
  size_t Size() const { return out_.size(); }

 protected:
  std::vector<uint8_t>& out_;

 private:
  Self& Derived() { return static_cast<Self&>(*this); }
};

class ByteWriter final : public BasicByteWriter<ByteWriter> {
 public:
  using BasicByteWriter::BasicByteWriter;
};

class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
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

 protected:
  const uint8_t* data_;
  size_t size_;
};

// Stores into and loads from a fixed place of a buffer the caller has sized (the relay's in-place
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
