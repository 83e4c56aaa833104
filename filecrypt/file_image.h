#pragma once
// The layout of an encrypted file: the header, the 32-bit plain length and
// the encrypted body, whose clear text is framed by two markers and padded
// with zeros to the cipher's block size. Also the earlier layout, which is
// only read.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "zyp/zypfile.h"

namespace zyp::file {

inline constexpr std::string_view kStartMarker{"Encrypted file - Clear value", 28};
inline constexpr std::string_view kEndMarker{"Encrypted file - Data End\0", 26};
inline constexpr std::string_view kEarlierMarker{"QuillmarshFolder", 16};

// Where the plain length and the body start.
inline constexpr uint64_t kLengthOffset = ZYPFILE_HEADER_SIZE;
inline constexpr uint64_t kBodyOffset = ZYPFILE_HEADER_SIZE + 4;
inline constexpr uint64_t kPayloadOffset = kBodyOffset + kStartMarker.size();
inline constexpr uint64_t kEarlierLengthOffset = ZYPFILE_EARLIER_HEADER_SIZE;
inline constexpr uint64_t kEarlierBodyOffset = ZYPFILE_EARLIER_HEADER_SIZE + 4;

// The encrypted body's length g for a payload of n bytes: n and the two
// markers, rounded up to a multiple of the block size.
uint64_t body_length(uint64_t payload_length, uint32_t block_size);

// The whole file: header, plain length and body.
inline uint64_t image_length(uint64_t body) { return kBodyOffset + body; }

// Whether an image of this body length can be written: the provider's
// buffers and the mapping descriptors carry 32-bit lengths.
inline bool fits_32_bits(uint64_t length) { return length <= UINT32_MAX; }

// Writes the plain length, the start marker, the zero padding and the end
// marker around a payload of `payload_length` bytes already at
// kPayloadOffset of `image` (image_length bytes). The header is not touched.
void frame_payload(std::span<uint8_t> image, uint32_t plain_length, uint64_t payload_length);

// The payload and its padding between the markers of a decrypted body, or
// empty when either marker does not match.
std::optional<std::span<const uint8_t>> unframe_body(std::span<const uint8_t> body);

// The contents of a decrypted body of the earlier layout: the plain_length
// bytes after its marker, or empty when the marker does not match or the
// body is too short.
std::optional<std::span<const uint8_t>> earlier_contents(std::span<const uint8_t> body, uint32_t plain_length);

uint32_t read_word(const uint8_t* bytes);
void write_word(uint8_t* bytes, uint32_t value);

// The header at the start of an image, or empty when it is not one this
// library wrote (size, magic and version checked).
std::optional<FileHeader> current_header(std::span<const uint8_t> image);
// Whether the image starts with a header of the earlier layout.
bool is_earlier_layout(std::span<const uint8_t> image);

}  // namespace zyp::file
