// One-shot operations on a caller's buffer: block size, encryption and
// decryption in place, digest, signature and verification.
#include <algorithm>
#include <optional>
#include <vector>

#include "provider/calls.h"
#include "provider/mechanisms.h"
#include "provider/objects.h"
#include "provider/sessions.h"
#include "provider/trace.h"
#include "zyp/zypprov.h"

namespace zyp::prov {
namespace {

// Every encryption starts from the first block-size bytes of this vector.
constexpr uint8_t kVector[16] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                                 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10};
// Room for finishing an operation the token left running.
constexpr CK_ULONG kScratchLimit = 1 << 20;

// Stands in for a null buffer of length 0: modules take a null output as a
// length query and leave the operation running.
uint8_t* or_empty(uint8_t* buffer, uint8_t& empty) { return buffer ? buffer : &empty; }
uint8_t* or_empty(const uint8_t* buffer, uint8_t& empty) { return buffer ? const_cast<uint8_t*>(buffer) : &empty; }

std::optional<uint32_t> block_size(Provider& p, uint32_t token, CK_MECHANISM_TYPE mechanism) {
  CK_MECHANISM_INFO info{};
  CK_RV rv = p.p11().C_GetMechanismInfo(token, mechanism, &info);
  if (rv != CKR_OK) {
    ZYPTrace(kTraceFailure, "ZYPCIPGetCryptoBlockSize : C_GetMechanismInfo returns %X", hex(rv));
    return std::nullopt;
  }
  if (info.flags & CKF_DIGEST) return 1;
  if (auto length = standard_block_length(mechanism)) return *length;
  return static_cast<uint32_t>(std::clamp<CK_ULONG>(info.ulMaxKeySize / 8, 1, UINT32_MAX));
}

// A one-part call that answered CKR_BUFFER_TOO_SMALL keeps its operation
// running on some modules; repeating it into scratch room ends it. The
// scratch may hold plaintext.
template <typename Repeat>
void finish_operation(CK_ULONG needed, Repeat&& repeat) {
  std::vector<uint8_t> scratch(std::clamp<CK_ULONG>(needed, 64, kScratchLimit));
  CK_ULONG length = scratch.size();
  repeat(scratch.data(), &length);
  wipe(scratch);
}

enum class Direction { kEncrypt, kDecrypt };

// The traces of decryption tell each step; encryption traces failures only.
int crypt(Provider& p, Direction direction, uint32_t token, CK_MECHANISM_TYPE mechanism, uint32_t key_id,
          uint8_t* buffer, uint32_t* length) {
  bool decrypt = direction == Direction::kDecrypt;
  if (decrypt) ZYPTrace(kTraceFailure, "ZYPCIPDecryptBuffer : Entr\xE9" "e");
  auto session = valid_session(p, token);
  if (!session) return kTokenFailed;
  if (decrypt) ZYPTrace(kTraceFailure, "ZYPCIPDecryptBuffer : Session valide");
  auto block = block_size(p, token, mechanism);
  if (!block) return kTokenFailed;
  if (decrypt) ZYPTrace(kTraceFailure, "ZYPCIPDecryptBuffer : GetBlockSize =%X", *block);
  if (!length) return kTokenFailed;
  if (*length % *block != 0) return kBadLength;
  if (!buffer && *length != 0) return kTokenFailed;

  CK_MECHANISM with_vector{mechanism, const_cast<uint8_t*>(kVector), std::min<CK_ULONG>(*block, sizeof kVector)};
  CK_OBJECT_HANDLE key = p.key_map().handle_of(key_id);
  CK_FUNCTION_LIST& p11 = p.p11();
  CK_RV rv = decrypt ? p11.C_DecryptInit(*session, &with_vector, key) : p11.C_EncryptInit(*session, &with_vector, key);
  if (rv != CKR_OK) {
    ZYPTrace(kTraceFailure, decrypt ? "ZYPCIPDecryptBuffer : C_DecryptInit returns %X"
                                    : "ZYPCIPCryptBuffer : C_EncryptInit returns %X",
             hex(rv));
    return kTokenFailed;
  }
  if (decrypt) ZYPTrace(kTraceFailure, "ZYPCIPDecryptBuffer : DecryptInit Ok");

  uint8_t empty = 0;
  uint8_t* data = or_empty(buffer, empty);
  auto run = [&](uint8_t* out, CK_ULONG* out_length) {
    return decrypt ? p11.C_Decrypt(*session, data, *length, out, out_length)
                   : p11.C_Encrypt(*session, data, *length, out, out_length);
  };
  CK_ULONG out_length = *length;
  rv = run(data, &out_length);
  if (rv != CKR_OK) {
    ZYPTrace(kTraceFailure, decrypt ? "ZYPCIPDecryptBuffer : C_Decrypt returns %X"
                                    : "ZYPCIPCryptBuffer : C_Encrypt returns %X",
             hex(rv));
    if (rv == CKR_BUFFER_TOO_SMALL) finish_operation(out_length, run);
    return kTokenFailed;
  }
  if (decrypt) ZYPTrace(kTraceFailure, "ZYPCIPDecryptBuffer : Decrypt Ok");
  *length = static_cast<uint32_t>(out_length);
  return kOk;
}

int hash(Provider& p, uint32_t token, CK_MECHANISM_TYPE mechanism, const uint8_t* data, uint32_t length,
         uint8_t* digest, uint32_t* digest_length) {
  auto session = valid_session(p, token);
  if (!session) return kTokenFailed;
  if (!digest_length || (!data && length != 0)) return kTokenFailed;
  CK_MECHANISM plain{mechanism, nullptr, 0};
  CK_FUNCTION_LIST& p11 = p.p11();
  CK_RV rv = p11.C_DigestInit(*session, &plain);
  if (rv != CKR_OK) {
    ZYPTrace(kTraceFailure, "ZYPCIPHashBuffer : C_DigestInit returns %X", hex(rv));
    return kTokenFailed;
  }
  uint8_t empty_data = 0, empty_digest = 0;
  uint8_t* input = or_empty(data, empty_data);
  auto run = [&](uint8_t* out, CK_ULONG* out_length) { return p11.C_Digest(*session, input, length, out, out_length); };
  CK_ULONG out_length = digest ? *digest_length : 0;
  rv = run(or_empty(digest, empty_digest), &out_length);
  if (rv == CKR_OK || rv == CKR_BUFFER_TOO_SMALL) *digest_length = static_cast<uint32_t>(out_length);
  if (rv == CKR_OK) return kOk;
  if (rv == CKR_BUFFER_TOO_SMALL) {
    finish_operation(out_length, run);
    return kTooSmall;
  }
  ZYPTrace(kTraceFailure, "ZYPCIPHashBuffer : C_Digest returns %X", hex(rv));
  return kTokenFailed;
}

int sign(Provider& p, uint32_t token, CK_MECHANISM_TYPE mechanism, uint32_t key_id, const uint8_t* data,
         uint32_t length, uint8_t* signature, uint32_t* signature_length) {
  auto session = valid_session(p, token);
  if (!session) return kTokenFailed;
  auto block = block_size(p, token, mechanism);
  if (!block) return kTokenFailed;
  if (length % *block != 0) return kBadLength;
  if (!signature_length || (!data && length != 0)) return kTokenFailed;
  CK_MECHANISM plain{mechanism, nullptr, 0};
  CK_FUNCTION_LIST& p11 = p.p11();
  CK_RV rv = p11.C_SignInit(*session, &plain, p.key_map().handle_of(key_id));
  if (rv != CKR_OK) {
    ZYPTrace(kTraceFailure, "ZYPCIPSignBuffer : C_SignInit returns %X", hex(rv));
    return kTokenFailed;
  }
  uint8_t empty_data = 0, empty_signature = 0;
  uint8_t* input = or_empty(data, empty_data);
  auto run = [&](uint8_t* out, CK_ULONG* out_length) { return p11.C_Sign(*session, input, length, out, out_length); };
  CK_ULONG out_length = signature ? *signature_length : 0;
  rv = run(or_empty(signature, empty_signature), &out_length);
  if (rv == CKR_OK || rv == CKR_BUFFER_TOO_SMALL) *signature_length = static_cast<uint32_t>(out_length);
  if (rv == CKR_OK) return kOk;
  if (rv == CKR_BUFFER_TOO_SMALL) {
    finish_operation(out_length, run);
    return kTooSmall;
  }
  ZYPTrace(kTraceFailure, "ZYPCIPSignBuffer : C_Sign returns %X", hex(rv));
  return kTokenFailed;
}

int verify(Provider& p, uint32_t token, CK_MECHANISM_TYPE mechanism, uint32_t key_id, const uint8_t* data,
           uint32_t length, const uint8_t* signature, uint32_t signature_length) {
  auto session = valid_session(p, token);
  if (!session) return kTokenFailed;
  if ((!data && length != 0) || (!signature && signature_length != 0)) return kTokenFailed;
  CK_MECHANISM plain{mechanism, nullptr, 0};
  CK_FUNCTION_LIST& p11 = p.p11();
  CK_RV rv = p11.C_VerifyInit(*session, &plain, p.key_map().handle_of(key_id));
  if (rv != CKR_OK) {
    ZYPTrace(kTraceFailure, "ZYPCIPVerifyBuffer : C_VerifyInit returns %X", hex(rv));
    return kTokenFailed;
  }
  uint8_t empty_data = 0, empty_signature = 0;
  rv = p11.C_Verify(*session, or_empty(data, empty_data), length, or_empty(signature, empty_signature),
                    signature_length);
  switch (rv) {
    case CKR_OK:
      return kOk;
    case CKR_SIGNATURE_INVALID:
      return kBadSignature;
    case CKR_SIGNATURE_LEN_RANGE:
      return kBadLength;
    default:
      ZYPTrace(kTraceFailure, "ZYPCIPVerifyBuffer : C_Verify returns %X", hex(rv));
      return kTokenFailed;
  }
}

}  // namespace
}  // namespace zyp::prov

using namespace zyp::prov;

ZYP_API int ZYPCIPGetBlockSize(uint32_t token, uint32_t mechanism, uint32_t* blockSize) {
  return token_call([&](Provider& p) {
    if (!valid_session(p, token)) return kTokenFailed;
    auto block = block_size(p, token, mechanism);
    if (!block || !blockSize) return kTokenFailed;
    *blockSize = *block;
    return kOk;
  });
}

ZYP_API int ZYPCIPCryptBuffer(uint32_t token, uint32_t mechanism, uint32_t keyIdentifier, uint8_t* buffer,
                              uint32_t* length) {
  return token_call(
      [&](Provider& p) { return crypt(p, Direction::kEncrypt, token, mechanism, keyIdentifier, buffer, length); });
}

ZYP_API int ZYPCIPDecryptBuffer(uint32_t token, uint32_t mechanism, uint32_t keyIdentifier, uint8_t* buffer,
                                uint32_t* length) {
  return token_call(
      [&](Provider& p) { return crypt(p, Direction::kDecrypt, token, mechanism, keyIdentifier, buffer, length); });
}

ZYP_API int ZYPCIPHashBuffer(uint32_t token, uint32_t mechanism, const uint8_t* data, uint32_t length,
                             uint8_t* digest, uint32_t* digestLength) {
  return token_call([&](Provider& p) { return hash(p, token, mechanism, data, length, digest, digestLength); });
}

ZYP_API int ZYPCIPSignBuffer(uint32_t token, uint32_t mechanism, uint32_t keyIdentifier, const uint8_t* data,
                             uint32_t length, uint8_t* signature, uint32_t* signatureLength) {
  return token_call([&](Provider& p) {
    return sign(p, token, mechanism, keyIdentifier, data, length, signature, signatureLength);
  });
}

ZYP_API int ZYPCIPVerifyBuffer(uint32_t token, uint32_t mechanism, uint32_t keyIdentifier, const uint8_t* data,
                               uint32_t length, const uint8_t* signature, uint32_t signatureLength) {
  return token_call([&](Provider& p) {
    return verify(p, token, mechanism, keyIdentifier, data, length, signature, signatureLength);
  });
}
