#include "filecrypt/file_image.h"

#include <cstring>

#include "filecrypt/header_format.h"

namespace zyp::file {

static_assert(kStartMarker.size() == 28 && kEndMarker.size() == 26 && kEarlierMarker.size() == 16);

uint64_t body_length(uint64_t payload_length, uint32_t block_size) {
  uint64_t framed = payload_length + kStartMarker.size() + kEndMarker.size();
  uint64_t block = block_size == 0 ? 1 : block_size;
  uint64_t remainder = framed % block;
  return remainder == 0 ? framed : framed + (block - remainder);
}

uint32_t read_word(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

void write_word(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

void frame_payload(std::span<uint8_t> image, uint32_t plain_length, uint64_t payload_length) {
  write_word(image.data() + kLengthOffset, plain_length);
  std::memcpy(image.data() + kBodyOffset, kStartMarker.data(), kStartMarker.size());
  uint64_t end_marker = image.size() - kEndMarker.size();
  uint64_t padding = kPayloadOffset + payload_length;
  std::memset(image.data() + padding, 0, end_marker - padding);
  std::memcpy(image.data() + end_marker, kEndMarker.data(), kEndMarker.size());
}

std::optional<std::span<const uint8_t>> unframe_body(std::span<const uint8_t> body) {
  size_t markers = kStartMarker.size() + kEndMarker.size();
  if (body.size() < markers) return std::nullopt;
  if (std::memcmp(body.data(), kStartMarker.data(), kStartMarker.size()) != 0) return std::nullopt;
  if (std::memcmp(body.data() + body.size() - kEndMarker.size(), kEndMarker.data(), kEndMarker.size()) != 0)
    return std::nullopt;
  return body.subspan(kStartMarker.size(), body.size() - markers);
}

std::optional<std::span<const uint8_t>> earlier_contents(std::span<const uint8_t> body, uint32_t plain_length) {
  if (body.size() < kEarlierMarker.size() || body.size() - kEarlierMarker.size() < plain_length) return std::nullopt;
  if (std::memcmp(body.data(), kEarlierMarker.data(), kEarlierMarker.size()) != 0) return std::nullopt;
  return body.subspan(kEarlierMarker.size(), plain_length);
}

std::optional<FileHeader> current_header(std::span<const uint8_t> image) {
  if (image.size() < kBodyOffset) return std::nullopt;
  FileHeader header;
  std::memcpy(&header, image.data(), sizeof header);
  if (read_word(image.data()) != ZYPFILE_HEADER_SIZE || std::memcmp(header.Magic, kMagic, sizeof kMagic) != 0 ||
      read_word(image.data() + offsetof(FileHeader, Version)) != ZYPFILE_VERSION)
    return std::nullopt;
  return header;
}

bool is_earlier_layout(std::span<const uint8_t> image) {
  return image.size() >= kEarlierBodyOffset &&
         std::memcmp(image.data() + offsetof(FileHeader, Magic), kMagic, sizeof kMagic) == 0 &&
         read_word(image.data() + offsetof(FileHeader, Version)) == ZYPFILE_VERSION_EARLIER;
}

}  // namespace zyp::file
