// Hexadecimal text and the 8-byte check value.
#include <cstdint>
#include <cstring>

#include "zyp/zyptools.h"

namespace {

constexpr char kDigits[] = "0123456789ABCDEF";
// The callers' digit counter is 16 bits wide.
constexpr int kMostDigits = 32767;

// Any character that is not a hexadecimal digit reads as 0.
unsigned digit_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  return 0;
}

}  // namespace

ZYP_API void ZYPBinToAscii(const unsigned char* bytes, char* text, int length) {
  if (!text) return;
  char* out = text;
  if (bytes) {
    for (int i = 0; i < length; ++i) {
      *out++ = kDigits[bytes[i] >> 4];
      *out++ = kDigits[bytes[i] & 0x0F];
    }
  }
  *out = '\0';
}

ZYP_API void ZYPAsciiToBin(const char* text, unsigned char* bytes, int digits) {
  if (!text || !bytes || digits <= 0 || digits > kMostDigits) return;
  for (int i = 0; i < digits; ++i) {
    unsigned value = digit_value(text[i]);
    unsigned char& out = bytes[i / 2];
    if (i % 2 == 0) {
      out = static_cast<unsigned char>(value << 4);
    } else {
      out = static_cast<unsigned char>(out | value);
    }
  }
}

ZYP_API int ZYPComputeMac8(const unsigned char* data, int length, unsigned char* out) {
  unsigned char mac[8] = {};
  if (data) {
    for (int k = 0; k < length; ++k) {
      uint32_t block_offset = static_cast<uint32_t>(k - k % 8);
      mac[k % 8] ^= static_cast<unsigned char>(data[k] + block_offset);
    }
  }
  if (out) std::memcpy(out, mac, sizeof mac);
  return 0;
}
