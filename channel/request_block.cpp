#include "channel/request_block.h"

#include <cstring>

namespace zyp::channel {

uint32_t load_u32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

uint16_t load_u16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }

void store_u32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

void store_u16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

uint8_t* RequestWriter::reserve(size_t size) {
  uint8_t* at = writing_ ? block_.data() + position_ : nullptr;
  position_ += size;
  return at;
}

size_t RequestWriter::u32(uint32_t value) {
  size_t offset = position_;
  if (uint8_t* at = reserve(4)) store_u32(at, value);
  return offset;
}

size_t RequestWriter::u16(uint16_t value) {
  size_t offset = position_;
  if (uint8_t* at = reserve(2)) store_u16(at, value);
  return offset;
}

size_t RequestWriter::bytes(const void* data, size_t size) {
  size_t offset = position_;
  uint8_t* at = reserve(size);
  if (at && size > 0) {
    if (data)
      std::memcpy(at, data, size);
    else
      std::memset(at, 0, size);
  }
  return offset;
}

uint8_t* RequestReader::take(uint64_t size) {
  if (!ok_ || position_ > block_.size() || size > block_.size() - position_) {
    ok_ = false;
    return nullptr;
  }
  uint8_t* at = block_.data() + position_;
  position_ += static_cast<size_t>(size);
  return at;
}

uint32_t RequestReader::u32() {
  const uint8_t* at = take(4);
  return at ? load_u32(at) : 0;
}

uint16_t RequestReader::u16() {
  const uint8_t* at = take(2);
  return at ? load_u16(at) : 0;
}

std::span<uint8_t> RequestReader::bytes(uint64_t size) {
  uint8_t* at = take(size);
  return at ? std::span<uint8_t>(at, static_cast<size_t>(size)) : std::span<uint8_t>();
}

const char* RequestReader::terminated_string(uint64_t size) {
  std::span<uint8_t> text = bytes(size);
  if (!ok_) return nullptr;
  if (std::memchr(text.data(), 0, text.size()) == nullptr) {
    ok_ = false;
    return nullptr;
  }
  return reinterpret_cast<const char*>(text.data());
}

const char* RequestReader::text_to_terminator() {
  if (!ok_ || position_ >= block_.size()) {
    ok_ = false;
    return nullptr;
  }
  const void* end = std::memchr(block_.data() + position_, 0, block_.size() - position_);
  if (!end) {
    ok_ = false;
    return nullptr;
  }
  size_t length = static_cast<const uint8_t*>(end) - (block_.data() + position_);
  return terminated_string(length + 1);
}

}  // namespace zyp::channel
