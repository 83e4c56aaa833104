#pragma once
// Request blocks built in the tests straight from the code table.
#include <cstdint>
#include <cstring>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A block as the table describes it, little-endian.
class Pack {
 public:
  explicit Pack(uint32_t code) { u32(code).u32(0); }
  Pack& u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  Pack& u16(uint16_t v) {
    bytes_.push_back(static_cast<uint8_t>(v));
    bytes_.push_back(static_cast<uint8_t>(v >> 8));
    return *this;
  }
  Pack& raw(const void* data, size_t size) {
    auto* p = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + size);
    return *this;
  }
  Pack& text(const char* s, bool terminator) { return raw(s, std::strlen(s) + (terminator ? 1 : 0)); }
  Pack& zeros(size_t n) {
    bytes_.insert(bytes_.end(), n, 0);
    return *this;
  }
  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
};
