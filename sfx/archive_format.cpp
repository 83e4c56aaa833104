#include "sfx/archive_format.h"

#include <algorithm>
#include <string.h>

#include "token/crypto/des.h"

namespace zyp::sfx {
namespace {

// The text that follows the password in the first hash of the derivation.
constexpr std::string_view kKeySeedText = "WrappedParcelOpenerSeedText";
static_assert(kKeySeedText.size() == 27);

template <bool kEncrypt>
bool crypt_region(const ArchiveKey& key, std::span<uint8_t> region) {
  if (region.size() % kCipherBlock != 0) return false;
  auto des = softtok::DesKey::from_bytes(key.key());
  if (!des) return false;
  std::array<uint8_t, kCipherBlock> chain = key.iv;
  bool done = kEncrypt ? des->cbc_encrypt(region, chain) : des->cbc_decrypt(region, chain);
  explicit_bzero(chain.data(), chain.size());
  return done;
}

}  // namespace

bool valid_key_bits(uint32_t bits) { return bits == 40 || bits == 56 || bits == 112 || bits == 168; }

uint32_t key_bits_from_name(std::string_view name) {
  struct Size {
    std::string_view digits;
    uint32_t bits;
  };
  constexpr Size kSizes[] = {{"40", 40}, {"56", 56}, {"112", 112}, {"168", 168}};
  uint32_t bits = 0;
  for (const Size& size : kSizes) {
    if (name.find(size.digits) != std::string_view::npos) bits = size.bits;
  }
  return bits;
}

bool derive_archive_key(std::string_view password, uint32_t key_bits, ArchiveKey& key) {
  if (!valid_key_bits(key_bits)) return false;
  auto derived = softtok::derive_key_from_secret(password, kKeySeedText, static_cast<softtok::SealStrength>(key_bits));
  if (!derived) return false;
  key = *derived;
  return true;
}

bool encrypt_region(const ArchiveKey& key, std::span<uint8_t> region) { return crypt_region<true>(key, region); }
bool decrypt_region(const ArchiveKey& key, std::span<uint8_t> region) { return crypt_region<false>(key, region); }

}  // namespace zyp::sfx
