// Encryption and decryption in CBC, digests, secret key generation and
// random data.

#include <algorithm>
#include <cstring>

#include "token/calls.h"
#include "token/random.h"
#include "token/slots.h"

namespace zyp::softtok {
namespace {

constexpr size_t kBlockSize = 8;

enum class Cipher { des, cs };

// Which key types a cipher mechanism takes, with their value sizes.
struct CipherKeyRow {
  CK_KEY_TYPE key_type;
  size_t value_size;
  Cipher cipher;
  CK_MECHANISM_TYPE mechanisms[2];
};

constexpr CipherKeyRow kCipherKeys[] = {
    {CKK_DES, 8, Cipher::des, {CKM_DES_CBC, CKM_DES_40_CBC}},
    {CKK_DES_40, 8, Cipher::des, {CKM_DES_CBC, CKM_DES_40_CBC}},
    {CKK_DES2, 16, Cipher::des, {CKM_DES2_CBC, CKM_DES2_CBC}},
    {CKK_DES3, 24, Cipher::des, {CKM_DES3_CBC, CKM_DES3_CBC}},
    {CKK_CS_CIPHER_40, 5, Cipher::cs, {CKM_CS_CIPHER_40, CKM_CS_CIPHER_40}},
    {CKK_CS_CIPHER_64, 8, Cipher::cs, {CKM_CS_CIPHER_64, CKM_CS_CIPHER_64}},
    {CKK_CS_CIPHER_128, 16, Cipher::cs, {CKM_CS_CIPHER_128, CKM_CS_CIPHER_128}},
};

struct KeyGenRow {
  CK_MECHANISM_TYPE mechanism;
  CK_KEY_TYPE key_type;
  size_t value_size;
};

constexpr KeyGenRow kKeyGenerators[] = {
    {CKM_DES_KEY_GEN, CKK_DES, 8},
    {CKM_DES2_KEY_GEN, CKK_DES2, 16},
    {CKM_DES3_KEY_GEN, CKK_DES3, 24},
    {CKM_CS_CIPHER_40_KEY_GEN, CKK_CS_CIPHER_40, 5},
    {CKM_CS_CIPHER_64_KEY_GEN, CKK_CS_CIPHER_64, 8},
    {CKM_CS_CIPHER_128_KEY_GEN, CKK_CS_CIPHER_128, 16},
    {CKM_DES_KEY_GEN_40, CKK_DES_40, 5},
};

bool takes(const CipherKeyRow& row, CK_MECHANISM_TYPE mechanism) {
  return std::find(std::begin(row.mechanisms), std::end(row.mechanisms), mechanism) != std::end(row.mechanisms);
}

bool is_cipher_mechanism(CK_MECHANISM_TYPE mechanism) {
  return std::any_of(std::begin(kCipherKeys), std::end(kCipherKeys), [&](const auto& row) { return takes(row, mechanism); });
}

const CipherKeyRow* cipher_key_row(const Object& key) {
  auto key_type = ulong_value(key.find(CKA_KEY_TYPE));
  if (!key_type || key.kind != ObjectKind::secret_key) return nullptr;
  for (const CipherKeyRow& row : kCipherKeys) {
    if (row.key_type == *key_type) return &row;
  }
  return nullptr;
}

const KeyGenRow* key_generator(CK_MECHANISM_TYPE mechanism) {
  for (const KeyGenRow& row : kKeyGenerators) {
    if (row.mechanism == mechanism) return &row;
  }
  return nullptr;
}

// The key's checks and context, in the order their failures are reported.
CK_RV prepare_cipher(const Object& key, CK_MECHANISM_TYPE mechanism, CipherOperation& operation) {
  const CipherKeyRow* row = cipher_key_row(key);
  if (!row) return CKR_MECHANISM_INVALID;
  const Attribute* value = key.find(CKA_VALUE);
  if (!value) return CKR_DEVICE_ERROR;
  if (value->value.size() != row->value_size) return CKR_KEY_SIZE_RANGE;
  if (!takes(*row, mechanism)) return CKR_KEY_TYPE_INCONSISTENT;
  if (row->cipher == Cipher::des) {
    operation.des = DesKey::from_bytes(value->value);
    if (!operation.des) return CKR_DEVICE_ERROR;
  } else {
    operation.cs.emplace();
    if (operation.cs->set_key_bytes(value->value) != CsKeyResult::ok) return CKR_DEVICE_ERROR;
  }
  return CKR_OK;
}

void run_cipher(CipherOperation& operation, bool encrypt, std::span<uint8_t> data) {
  std::span<uint8_t, kBlockSize> chain(operation.chain);
  if (operation.des) {
    encrypt ? operation.des->cbc_encrypt(data, chain) : operation.des->cbc_decrypt(data, chain);
  } else if (operation.cs) {
    encrypt ? operation.cs->cbc_encrypt(data, chain) : operation.cs->cbc_decrypt(data, chain);
  }
}

CipherOperation& operation_of(Session& s, bool encrypt) { return encrypt ? s.encryption : s.decryption; }

// The output-length conventions shared by the calls that write a result:
// no buffer asks for the length, a short one gets it with
// CKR_BUFFER_TOO_SMALL. CKR_OK here means "go ahead and write".
CK_RV check_output(const CK_BYTE* output, CK_ULONG* output_length, CK_ULONG needed, bool& query) {
  query = !output;
  if (query || *output_length < needed) {
    CK_RV rv = query ? CKR_OK : CKR_BUFFER_TOO_SMALL;
    *output_length = needed;
    return rv;
  }
  return CKR_OK;
}

}  // namespace

CK_RV cipher_init(Session& s, const CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key_handle, bool encrypt) {
  if (!mechanism) return CKR_ARGUMENTS_BAD;
  if (!slot_lists(s.slot, mechanism->mechanism) || !is_cipher_mechanism(mechanism->mechanism)) {
    return CKR_MECHANISM_INVALID;
  }
  const Object* key = s.find_object(key_handle);
  if (!key) return CKR_KEY_HANDLE_INVALID;
  if (!key->flag(encrypt ? CKA_ENCRYPT : CKA_DECRYPT)) return CKR_KEY_FUNCTION_NOT_PERMITTED;
  CipherOperation operation;
  if (CK_RV rv = prepare_cipher(*key, mechanism->mechanism, operation); rv != CKR_OK) return rv;
  if (!mechanism->pParameter || mechanism->ulParameterLen < kBlockSize) return CKR_MECHANISM_PARAM_INVALID;
  std::memcpy(operation.chain.data(), mechanism->pParameter, kBlockSize);
  operation.mechanism = mechanism->mechanism;
  operation.active = true;
  CipherOperation& slot = operation_of(s, encrypt);
  slot.end();
  slot = std::move(operation);
  return CKR_OK;
}

CK_RV cipher_part(Session& s, bool encrypt, bool last, const CK_BYTE* input, CK_ULONG input_length, CK_BYTE* output,
                  CK_ULONG* output_length) {
  CipherOperation& operation = operation_of(s, encrypt);
  if (!operation.active) return CKR_OPERATION_NOT_INITIALIZED;
  if (!output_length || (!input && input_length != 0)) return CKR_ARGUMENTS_BAD;
  bool query = false;
  if (!output && input_length % kBlockSize != 0) return CKR_DATA_LEN_RANGE;
  if (CK_RV rv = check_output(output, output_length, input_length, query); rv != CKR_OK || query) return rv;
  if (input_length % kBlockSize != 0) return CKR_DATA_LEN_RANGE;
  // The caller's input stays as it was; the work is done in the output.
  if (input_length != 0 && output != input) std::memmove(output, input, input_length);
  run_cipher(operation, encrypt, std::span<uint8_t>(output, input_length));
  *output_length = input_length;
  if (last) operation.end();
  return CKR_OK;
}

CK_RV cipher_final(Session& s, bool encrypt, CK_BYTE* output, CK_ULONG* output_length) {
  CipherOperation& operation = operation_of(s, encrypt);
  if (!operation.active) return CKR_OPERATION_NOT_INITIALIZED;
  if (output_length) *output_length = 0;
  // Without a buffer the caller only asks for the length: the operation goes on.
  if (!output && output_length) return CKR_OK;
  operation.end();
  return CKR_OK;
}

CK_RV digest_init(Session& s, const CK_MECHANISM* mechanism) {
  if (!mechanism) return CKR_ARGUMENTS_BAD;
  if (mechanism->mechanism != CKM_SHA_1 || !slot_lists(s.slot, CKM_SHA_1)) return CKR_MECHANISM_INVALID;
  s.digest.hash.reset();
  s.digest.active = true;
  return CKR_OK;
}

CK_RV digest_update(Session& s, const CK_BYTE* part, CK_ULONG length) {
  if (!s.digest.active) return CKR_OPERATION_NOT_INITIALIZED;
  if (!part && length != 0) return CKR_ARGUMENTS_BAD;
  s.digest.hash.update(part, length);
  return CKR_OK;
}

CK_RV digest_key(Session& s, CK_OBJECT_HANDLE key_handle) {
  if (!s.digest.active) return CKR_OPERATION_NOT_INITIALIZED;
  const Object* key = s.find_object(key_handle);
  if (!key) return CKR_KEY_HANDLE_INVALID;
  const Attribute* value = key->find(CKA_VALUE);
  if (!value || value->value.empty()) return CKR_DEVICE_ERROR;
  s.digest.hash.update(value->value);
  return CKR_OK;
}

CK_RV digest_finish(Session& s, const CK_BYTE* data, CK_ULONG length, bool with_data, CK_BYTE* digest,
                    CK_ULONG* digest_length) {
  if (!s.digest.active) return CKR_OPERATION_NOT_INITIALIZED;
  if (!digest_length || (with_data && !data && length != 0)) return CKR_ARGUMENTS_BAD;
  bool query = false;
  if (CK_RV rv = check_output(digest, digest_length, kStoreHashSize, query); rv != CKR_OK || query) return rv;
  if (with_data) s.digest.hash.update(data, length);
  StoreDigest result = s.digest.hash.finish();
  std::memcpy(digest, result.data(), result.size());
  *digest_length = result.size();
  s.digest.active = false;
  s.digest.hash.reset();
  return CKR_OK;
}

CK_RV generate_key(Module& m, Session& s, const CK_MECHANISM* mechanism, const CK_ATTRIBUTE* attributes,
                   CK_ULONG count, CK_OBJECT_HANDLE* key) {
  if (!mechanism || !key) return CKR_ARGUMENTS_BAD;
  const KeyGenRow* generator = key_generator(mechanism->mechanism);
  if (!generator || !slot_lists(s.slot, mechanism->mechanism)) return CKR_MECHANISM_INVALID;
  Template request;
  if (CK_RV rv = read_template(attributes, count, request); rv != CKR_OK) return rv;
  set_attribute(request, CKA_KEY_TYPE, ulong_bytes(static_cast<uint32_t>(generator->key_type)));
  set_attribute(request, CKA_CLASS, ulong_bytes(CKO_SECRET_KEY));
  set_attribute(request, CKA_LOCAL, bool_value(true));
  SecureBytes value(generator->value_size);
  if (!random_bytes(value.data(), value.size())) return CKR_FUNCTION_FAILED;
  set_attribute(request, CKA_VALUE, std::move(value));
  return create_checked_object(m, s, std::move(request), key);
}

CK_RV generate_random(CK_BYTE* data, CK_ULONG length) {
  if (!data && length != 0) return CKR_ARGUMENTS_BAD;
  return random_bytes(data, length) ? CKR_OK : CKR_FUNCTION_FAILED;
}

CK_RV unsupported_init(const Session& s, const CK_MECHANISM* mechanism) {
  if (!mechanism) return CKR_ARGUMENTS_BAD;
  if (!slot_lists(s.slot, mechanism->mechanism)) return CKR_MECHANISM_INVALID;
  return CKR_FUNCTION_NOT_SUPPORTED;
}

}  // namespace zyp::softtok
