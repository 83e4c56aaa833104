// RSA key pairs and key wrapping with PKCS #1 v1.5 block type 2, on
// OpenSSL's libcrypto (its private-key operations are blinded).
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <array>
#include <memory>

#include "token/calls.h"
#include "token/slots.h"

namespace zyp::softtok {
namespace {

constexpr uint32_t kModulusBits = 1024;
constexpr size_t kModulusSize = kModulusBits / 8;
constexpr size_t kPrimeSize = kModulusSize / 2;
constexpr unsigned long kPublicExponent = 65537;
constexpr uint8_t kRequestedExponentByte = 3;
constexpr size_t kMinPaddingSize = 11;  // 00 02, at least eight non-zero bytes, 00
constexpr size_t kMinNonZeroPadding = 8;

struct BnFree {
  void operator()(BIGNUM* bn) const { BN_clear_free(bn); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct ParamBldFree {
  void operator()(OSSL_PARAM_BLD* bld) const { OSSL_PARAM_BLD_free(bld); }
};
struct ParamsFree {
  void operator()(OSSL_PARAM* params) const { OSSL_PARAM_free(params); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using ParamBld = std::unique_ptr<OSSL_PARAM_BLD, ParamBldFree>;
using Params = std::unique_ptr<OSSL_PARAM, ParamsFree>;

struct Component {
  CK_ATTRIBUTE_TYPE type;
  const char* param;
  size_t width;
};

// The private key's components with their fixed widths; the first two are
// also the public key's.
enum ComponentIndex { kN, kE, kD, kP, kQ, kDp, kDq, kQinv, kComponentCount };
constexpr std::array<Component, kComponentCount> kComponents{{
    {CKA_MODULUS, OSSL_PKEY_PARAM_RSA_N, kModulusSize},
    {CKA_PUBLIC_EXPONENT, OSSL_PKEY_PARAM_RSA_E, kModulusSize},
    {CKA_PRIVATE_EXPONENT, OSSL_PKEY_PARAM_RSA_D, kModulusSize},
    {CKA_PRIME_1, OSSL_PKEY_PARAM_RSA_FACTOR1, kPrimeSize},
    {CKA_PRIME_2, OSSL_PKEY_PARAM_RSA_FACTOR2, kPrimeSize},
    {CKA_EXPONENT_1, OSSL_PKEY_PARAM_RSA_EXPONENT1, kPrimeSize},
    {CKA_EXPONENT_2, OSSL_PKEY_PARAM_RSA_EXPONENT2, kPrimeSize},
    {CKA_COEFFICIENT, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, kPrimeSize},
}};

using Components = std::array<Bn, kComponentCount>;

Pkey generate_openssl_key() {
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  Bn exponent(BN_new());
  EVP_PKEY* key = nullptr;
  if (!ctx || !exponent || !BN_set_word(exponent.get(), kPublicExponent) || EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(kModulusBits)) <= 0 ||
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), exponent.get()) <= 0 || EVP_PKEY_generate(ctx.get(), &key) <= 0) {
    return nullptr;
  }
  return Pkey(key);
}

// Swaps the primes when needed so that p > q, with their exponents and the
// coefficient q^-1 mod p made for the new order.
bool order_primes(Components& c) {
  if (BN_cmp(c[kP].get(), c[kQ].get()) > 0) return true;
  std::swap(c[kP], c[kQ]);
  std::swap(c[kDp], c[kDq]);
  std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
  if (!ctx) return false;
  Bn coefficient(BN_mod_inverse(nullptr, c[kQ].get(), c[kP].get(), ctx.get()));
  if (!coefficient) return false;
  c[kQinv] = std::move(coefficient);
  return true;
}

std::optional<Components> generate_components() {
  Pkey key = generate_openssl_key();
  if (!key) return std::nullopt;
  Components c;
  for (size_t i = 0; i < kComponentCount; ++i) {
    BIGNUM* value = nullptr;
    if (!EVP_PKEY_get_bn_param(key.get(), kComponents[i].param, &value)) return std::nullopt;
    c[i].reset(value);
  }
  if (!order_primes(c)) return std::nullopt;
  return c;
}

std::optional<SecureBytes> fixed_width(const BIGNUM* value, size_t width) {
  SecureBytes bytes(width);
  if (BN_bn2binpad(value, bytes.data(), static_cast<int>(width)) < 0) return std::nullopt;
  return bytes;
}

Pkey key_from_attributes(const Object& key, size_t component_count, int selection) {
  ParamBld bld(OSSL_PARAM_BLD_new());
  if (!bld) return nullptr;
  std::array<Bn, kComponentCount> values;
  for (size_t i = 0; i < component_count; ++i) {
    const Attribute* attribute = key.find(kComponents[i].type);
    if (!attribute) return nullptr;
    values[i].reset(BN_bin2bn(attribute->value.data(), static_cast<int>(attribute->value.size()), nullptr));
    if (!values[i] || !OSSL_PARAM_BLD_push_BN(bld.get(), kComponents[i].param, values[i].get())) return nullptr;
  }
  Params params(OSSL_PARAM_BLD_to_param(bld.get()));
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* result = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
      EVP_PKEY_fromdata(ctx.get(), &result, selection, params.get()) <= 0) {
    return nullptr;
  }
  return Pkey(result);
}

bool has_all(const Object& key, size_t component_count) {
  return std::all_of(kComponents.begin(), kComponents.begin() + static_cast<ptrdiff_t>(component_count),
                     [&](const Component& c) { return key.find(c.type) != nullptr; });
}

bool rsa_encrypt_pkcs1(EVP_PKEY* key, const SecureBytes& value, CK_BYTE* out, size_t out_size) {
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  size_t written = out_size;
  return ctx && EVP_PKEY_encrypt_init(ctx.get()) > 0 &&
         EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) > 0 &&
         EVP_PKEY_encrypt(ctx.get(), out, &written, value.data(), value.size()) > 0 && written == out_size;
}

std::optional<SecureBytes> rsa_decrypt_raw(EVP_PKEY* key, const CK_BYTE* wrapped, size_t wrapped_size) {
  SecureBytes input(kModulusSize, 0);
  std::copy(wrapped, wrapped + wrapped_size, input.end() - static_cast<ptrdiff_t>(wrapped_size));
  SecureBytes block(kModulusSize);
  size_t written = block.size();
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) <= 0 ||
      EVP_PKEY_decrypt(ctx.get(), block.data(), &written, input.data(), input.size()) <= 0 || written != kModulusSize) {
    return std::nullopt;
  }
  return block;
}

// The value in a block 00 02 <at least eight non-zero bytes> 00 <value>.
std::optional<SecureBytes> unpad_type2(const SecureBytes& block) {
  if (block.size() < kMinPaddingSize || block[0] != 0x00 || block[1] != 0x02) return std::nullopt;
  auto separator = std::find(block.begin() + 2, block.end(), 0x00);
  if (separator == block.end() || separator - (block.begin() + 2) < static_cast<ptrdiff_t>(kMinNonZeroPadding)) {
    return std::nullopt;
  }
  return SecureBytes(separator + 1, block.end());
}

bool key_of_class(const Object& key, CK_OBJECT_CLASS object_class) {
  return ulong_value(key.find(CKA_CLASS)) == object_class;
}

CK_RV check_wrap_mechanism(const Session& s, const CK_MECHANISM* mechanism) {
  if (mechanism->mechanism != CKM_RSA_PKCS || !slot_lists(s.slot, CKM_RSA_PKCS)) return CKR_MECHANISM_INVALID;
  return CKR_OK;
}

CK_RV check_pair_templates(const Template& public_template, const Template& private_template) {
  auto has = [](const Template& t, CK_ATTRIBUTE_TYPE type) { return find_attribute(t, type) != nullptr; };
  if (!has(public_template, CKA_MODULUS_BITS) || !has(public_template, CKA_PUBLIC_EXPONENT) ||
      has(public_template, CKA_MODULUS)) {
    return CKR_TEMPLATE_INCONSISTENT;
  }
  for (const Component& component : kComponents) {
    if (has(private_template, component.type)) return CKR_TEMPLATE_INCONSISTENT;
  }
  for (const Template* t : {&public_template, &private_template}) {
    if (has(*t, CKA_KEY_TYPE) && ulong_value(find_attribute(*t, CKA_KEY_TYPE)) != CKK_RSA) {
      return CKR_TEMPLATE_INCONSISTENT;
    }
  }
  return CKR_OK;
}

void mark_generated(Template& t, CK_OBJECT_CLASS object_class) {
  set_attribute(t, CKA_KEY_TYPE, ulong_bytes(CKK_RSA));
  set_attribute(t, CKA_CLASS, ulong_bytes(static_cast<uint32_t>(object_class)));
  set_attribute(t, CKA_LOCAL, bool_value(true));
}

// The size and exponent the caller asks for: 1024 bits and the exponent
// whose first byte is 3, which this token makes as 65537.
bool asks_supported_pair(const Template& public_template) {
  const Attribute* exponent = find_attribute(public_template, CKA_PUBLIC_EXPONENT);
  return ulong_value(find_attribute(public_template, CKA_MODULUS_BITS)) == kModulusBits && !exponent->value.empty() &&
         exponent->value[0] == kRequestedExponentByte;
}

bool put_components(const Components& c, Template& public_template, Template& private_template) {
  for (size_t i = 0; i < kComponentCount; ++i) {
    auto bytes = fixed_width(c[i].get(), kComponents[i].width);
    if (!bytes) return false;
    if (i == kN || i == kE) set_attribute(public_template, kComponents[i].type, *bytes);
    set_attribute(private_template, kComponents[i].type, std::move(*bytes));
  }
  return true;
}

}  // namespace

CK_RV generate_key_pair(Module& m, Session& s, const CK_MECHANISM* mechanism, const CK_ATTRIBUTE* public_attributes,
                        CK_ULONG public_count, const CK_ATTRIBUTE* private_attributes, CK_ULONG private_count,
                        CK_OBJECT_HANDLE* public_key, CK_OBJECT_HANDLE* private_key) {
  if (!mechanism || !public_key || !private_key) return CKR_ARGUMENTS_BAD;
  if (mechanism->mechanism != CKM_RSA_PKCS_KEY_PAIR_GEN || !slot_lists(s.slot, CKM_RSA_PKCS_KEY_PAIR_GEN)) {
    return CKR_MECHANISM_INVALID;
  }
  Template public_template, private_template;
  if (CK_RV rv = read_template(public_attributes, public_count, public_template); rv != CKR_OK) return rv;
  if (CK_RV rv = read_template(private_attributes, private_count, private_template); rv != CKR_OK) return rv;
  if (CK_RV rv = check_pair_templates(public_template, private_template); rv != CKR_OK) return rv;
  mark_generated(public_template, CKO_PUBLIC_KEY);
  mark_generated(private_template, CKO_PRIVATE_KEY);
  if (!asks_supported_pair(public_template)) return CKR_TEMPLATE_INCONSISTENT;
  auto components = generate_components();
  if (!components || !put_components(*components, public_template, private_template)) return CKR_FUNCTION_FAILED;
  CK_OBJECT_HANDLE private_handle = 0;
  if (CK_RV rv = create_checked_object(m, s, std::move(private_template), &private_handle); rv != CKR_OK) return rv;
  if (CK_RV rv = create_checked_object(m, s, std::move(public_template), public_key); rv != CKR_OK) {
    destroy_object(m, s, private_handle);
    return rv;
  }
  *private_key = private_handle;
  return CKR_OK;
}

CK_RV wrap_key(Session& s, const CK_MECHANISM* mechanism, CK_OBJECT_HANDLE wrapping_handle, CK_OBJECT_HANDLE key_handle,
               CK_BYTE* wrapped, CK_ULONG* wrapped_length) {
  if (!mechanism || !wrapped_length) return CKR_ARGUMENTS_BAD;
  if (CK_RV rv = check_wrap_mechanism(s, mechanism); rv != CKR_OK) return rv;
  const Object* wrapping_key = s.find_object(wrapping_handle);
  const Object* key = s.find_object(key_handle);
  if (!wrapping_key || !key) return CKR_KEY_HANDLE_INVALID;
  if (!key_of_class(*wrapping_key, CKO_PUBLIC_KEY)) return CKR_WRAPPING_KEY_TYPE_INCONSISTENT;
  if (!wrapping_key->flag(CKA_WRAP) || !key->flag(CKA_EXTRACTABLE)) return CKR_KEY_FUNCTION_NOT_PERMITTED;
  auto bits = ulong_value(wrapping_key->find(CKA_MODULUS_BITS));
  if (!bits || !has_all(*wrapping_key, kE + 1)) return CKR_FUNCTION_FAILED;
  size_t size = *bits / 8;
  if (!wrapped || *wrapped_length < size) {
    *wrapped_length = size;
    return wrapped ? CKR_BUFFER_TOO_SMALL : CKR_OK;
  }
  const Attribute* value = key->find(CKA_VALUE);
  if (!value || size < kMinPaddingSize || value->value.size() > size - kMinPaddingSize) return CKR_FUNCTION_FAILED;
  Pkey public_key = key_from_attributes(*wrapping_key, kE + 1, EVP_PKEY_PUBLIC_KEY);
  if (!public_key || static_cast<size_t>(EVP_PKEY_get_size(public_key.get())) != size ||
      !rsa_encrypt_pkcs1(public_key.get(), value->value, wrapped, size)) {
    return CKR_FUNCTION_FAILED;
  }
  *wrapped_length = size;
  return CKR_OK;
}

CK_RV unwrap_key(Module& m, Session& s, const CK_MECHANISM* mechanism, CK_OBJECT_HANDLE unwrapping_handle,
                 const CK_BYTE* wrapped, CK_ULONG wrapped_length, const CK_ATTRIBUTE* attributes, CK_ULONG count,
                 CK_OBJECT_HANDLE* key) {
  if (!mechanism || !key || (!wrapped && wrapped_length != 0)) return CKR_ARGUMENTS_BAD;
  if (CK_RV rv = check_wrap_mechanism(s, mechanism); rv != CKR_OK) return rv;
  const Object* unwrapping_key = s.find_object(unwrapping_handle);
  if (!unwrapping_key) return CKR_KEY_HANDLE_INVALID;
  if (!key_of_class(*unwrapping_key, CKO_PRIVATE_KEY)) return CKR_WRAPPING_KEY_TYPE_INCONSISTENT;
  if (!unwrapping_key->flag(CKA_UNWRAP)) return CKR_KEY_FUNCTION_NOT_PERMITTED;
  if (!has_all(*unwrapping_key, kComponentCount) || wrapped_length > kModulusSize) return CKR_FUNCTION_FAILED;
  Template request;
  if (CK_RV rv = read_template(attributes, count, request); rv != CKR_OK) return rv;
  Pkey private_key = key_from_attributes(*unwrapping_key, kComponentCount, EVP_PKEY_KEYPAIR);
  if (!private_key || EVP_PKEY_get_size(private_key.get()) != static_cast<int>(kModulusSize)) return CKR_FUNCTION_FAILED;
  auto block = rsa_decrypt_raw(private_key.get(), wrapped, wrapped_length);
  auto value = block ? unpad_type2(*block) : std::nullopt;
  if (!value) return CKR_FUNCTION_FAILED;
  set_attribute(request, CKA_VALUE, std::move(*value));
  return create_object(m, s, std::move(request), false, key);
}

}  // namespace zyp::softtok
