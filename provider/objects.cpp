#include "provider/objects.h"

#include <string.h>

#include <algorithm>

#include "provider/mechanisms.h"
#include "provider/trace.h"

namespace zyp::prov {
namespace {

constexpr CK_ULONG kDigestRoom = 128;

// A failed C_DigestKey leaves the digest running on some modules; ending it
// lets the next C_DigestInit start afresh.
void end_digest(Provider& provider, CK_SESSION_HANDLE session) {
  uint8_t scratch[kDigestRoom];
  CK_ULONG length = sizeof scratch;
  provider.p11().C_DigestFinal(session, scratch, &length);
}

}  // namespace

std::vector<CK_OBJECT_HANDLE> find_objects(Provider& provider, CK_SESSION_HANDLE session,
                                           std::span<CK_ATTRIBUTE> search) {
  std::vector<CK_OBJECT_HANDLE> found(kSearchLimit);
  CK_ULONG count = 0;
  CK_FUNCTION_LIST& p11 = provider.p11();
  p11.C_FindObjectsInit(session, search.data(), search.size());
  if (p11.C_FindObjects(session, found.data(), kSearchLimit, &count) != CKR_OK) count = 0;
  p11.C_FindObjectsFinal(session);
  found.resize(std::min(count, kSearchLimit));
  return found;
}

std::string_view without_trailing_blanks(std::string_view text) {
  size_t end = text.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view{} : text.substr(0, end + 1);
}

std::optional<std::string> read_label(Provider& provider, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object) {
  CK_ATTRIBUTE label{CKA_LABEL, nullptr, 0};
  if (provider.p11().C_GetAttributeValue(session, object, &label, 1) != CKR_OK) return std::nullopt;
  if (label.ulValueLen == CK_UNAVAILABLE_INFORMATION) return std::nullopt;
  std::string text(label.ulValueLen, '\0');
  label.pValue = text.data();
  if (provider.p11().C_GetAttributeValue(session, object, &label, 1) != CKR_OK) return std::nullopt;
  text.resize(std::min<CK_ULONG>(label.ulValueLen, text.size()));
  // A stored label may carry its terminator; the name ends there.
  text.resize(std::min(text.size(), text.find('\0')));
  text.resize(without_trailing_blanks(text).size());
  return text;
}

uint32_t key_id_from_digest(std::span<const uint8_t> digest) {
  uint32_t sum = 0;
  for (uint8_t byte : digest) {
    // The signed byte's value modulo 2^32; unsigned products wrap as wanted.
    uint32_t base = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(byte)));
    uint32_t power = 1;
    for (int i = 0; i < 11; ++i) power *= base;
    sum += power + 1;
  }
  return sum;
}

std::optional<uint32_t> key_identifier(Provider& provider, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
  CK_FUNCTION_LIST& p11 = provider.p11();
  CK_MECHANISM sha1{CKM_SHA_1, nullptr, 0};
  CK_RV rv = p11.C_DigestInit(session, &sha1);
  if (rv != CKR_OK) {
    ZYPTrace(kTraceFailure, "KeyCrc : C_DigestInit returns %X", hex(rv));
    return std::nullopt;
  }
  rv = p11.C_DigestKey(session, key);
  if (rv != CKR_OK) {
    ZYPTrace(kTraceFailure, "KeyCrc : C_DigestKey returns %X", hex(rv));
    end_digest(provider, session);
    return std::nullopt;
  }
  uint8_t digest[kDigestRoom];
  CK_ULONG length = sizeof digest;
  rv = p11.C_DigestFinal(session, digest, &length);
  if (rv != CKR_OK) {
    ZYPTrace(kTraceFailure, "KeyCrc : C_DigestFinal returns %X", hex(rv));
    if (rv == CKR_BUFFER_TOO_SMALL) end_digest(provider, session);
    return std::nullopt;
  }
  return key_id_from_digest({digest, std::min<CK_ULONG>(length, sizeof digest)});
}

std::optional<std::vector<uint8_t>> sha1_by_token(Provider& provider, CK_SESSION_HANDLE session,
                                                  std::span<const uint8_t> data, const char* caller) {
  CK_FUNCTION_LIST& p11 = provider.p11();
  CK_MECHANISM sha1{CKM_SHA_1, nullptr, 0};
  CK_RV rv = p11.C_DigestInit(session, &sha1);
  if (rv != CKR_OK) {
    ZYPTrace(kTraceFailure, "%s C_DigestInit returns %X", caller, hex(rv));
    return std::nullopt;
  }
  std::vector<uint8_t> digest(kDigestRoom);
  CK_ULONG length = digest.size();
  uint8_t nothing = 0;
  rv = p11.C_Digest(session, data.empty() ? &nothing : const_cast<uint8_t*>(data.data()), data.size(),
                    digest.data(), &length);
  if (rv != CKR_OK) {
    ZYPTrace(kTraceFailure, "%s C_Digest returns %X", caller, hex(rv));
    return std::nullopt;
  }
  digest.resize(std::min<CK_ULONG>(length, digest.size()));
  return digest;
}

int key_format(Provider& provider, uint32_t token, CK_MECHANISM_TYPE mechanism, uint32_t* bits) {
  CK_MECHANISM_TYPE key_generation = key_kind(mechanism).key_generation;
  CK_MECHANISM_INFO info{};
  if (provider.p11().C_GetMechanismInfo(token, key_generation, &info) != CKR_OK) return 8;
  if (!(info.flags & CKF_GENERATE)) return 3;
  *bits = fixed_key_bits(key_generation).value_or(static_cast<uint32_t>(std::min<CK_ULONG>(info.ulMaxKeySize, UINT32_MAX)));
  return 0;
}

int give_name(std::string_view name, char* buffer, uint32_t* length) {
  name = without_trailing_blanks(name);
  uint32_t capacity = buffer ? *length : 0;
  *length = static_cast<uint32_t>(name.size());
  if (name.size() > capacity) return 1;
  if (buffer) {
    std::copy(name.begin(), name.end(), buffer);
    buffer[name.size()] = '\0';
  }
  return 0;
}

void wipe(std::span<uint8_t> secret) { explicit_bzero(secret.data(), secret.size()); }

}  // namespace zyp::prov
