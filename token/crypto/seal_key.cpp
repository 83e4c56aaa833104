#include "token/crypto/seal_key.h"

#include <algorithm>

#include "token/crypto/bytes.h"
#include "token/crypto/store_hash.h"

namespace zyp::softtok {
namespace {

constexpr std::string_view kSealingSuffix = "Strongbox sealing key";
constexpr size_t kPieceSize = 5;
constexpr size_t kMaterialSize = 5 * kPieceSize;
constexpr size_t kIvOffset = 17;

size_t key_size_of(SealStrength strength) {
  switch (strength) {
    case SealStrength::bits168: return 24;
    case SealStrength::bits112: return 16;
    case SealStrength::bits56:
    case SealStrength::bits40: return 8;
  }
  return 0;
}

// B0 = the first five bytes of StoreHash(secret || suffix); each further piece
// is the first five bytes of StoreHash of all the pieces before it.
void derive_material(std::string_view secret, std::string_view suffix,
                     std::array<uint8_t, kMaterialSize>& material) {
  StoreHash hash;
  hash.update(secret.data(), secret.size());
  hash.update(suffix.data(), suffix.size());
  StoreDigest digest = hash.finish();
  std::copy_n(digest.begin(), kPieceSize, material.begin());
  for (size_t piece = 1; piece < 5; ++piece) {
    hash.reset();
    hash.update(material.data(), piece * kPieceSize);
    digest = hash.finish();
    std::copy_n(digest.begin(), kPieceSize, material.begin() + piece * kPieceSize);
  }
  wipe(digest.data(), digest.size());
}

}  // namespace

StoreSealKey::~StoreSealKey() {
  wipe(key_bytes.data(), key_bytes.size());
  wipe(iv.data(), iv.size());
}

std::optional<StoreSealKey> derive_store_seal_key(std::string_view pin, SealStrength strength) {
  return derive_key_from_secret(pin, kSealingSuffix, strength);
}

std::optional<StoreSealKey> derive_key_from_secret(std::string_view secret, std::string_view suffix,
                                                   SealStrength strength) {
  size_t key_size = key_size_of(strength);
  if (key_size == 0) return std::nullopt;
  secret = secret.substr(0, secret.find('\0'));

  std::array<uint8_t, kMaterialSize> material;
  derive_material(secret, suffix, material);
  StoreSealKey sealing;
  sealing.key_size = key_size;
  std::copy_n(material.begin(), key_size, sealing.key_bytes.begin());
  if (strength == SealStrength::bits40) {
    for (size_t i = 0; i < key_size; ++i) sealing.key_bytes[i] &= 0xF8;
  }
  std::copy_n(material.begin() + kIvOffset, sealing.iv.size(), sealing.iv.begin());
  wipe(material.data(), material.size());
  return sealing;
}

}  // namespace zyp::softtok
