#pragma once
// A stand-in provider for the dispatcher: every call records its arguments
// as one line and touches exactly the memory the provider's contract lets it
// touch (reads all input bytes, writes outputs up to their capacity, names
// with their terminator), so that a sanitizer build catches a dispatcher that
// hands out a region larger than the block holds.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "channel/provider_calls.h"

namespace fake_provider {

inline std::vector<std::string>& calls() {
  static std::vector<std::string> recorded;
  return recorded;
}

inline std::string hex(const void* data, size_t size) {
  std::string text;
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < size; ++i) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
    text += digits;
  }
  return text;
}

inline std::string arg(uint32_t value) { return std::to_string(value); }
inline std::string arg(int32_t value) { return std::to_string(value); }
inline std::string arg(uint16_t value) { return std::to_string(value); }
inline std::string arg(const char* text) { return text ? "\"" + std::string(text) + "\"" : "null"; }

template <typename... Args>
void record(const char* name, Args... args) {
  std::string line = name;
  ((line += " " + arg(args)), ...);
  calls().push_back(line);
}

inline void record_bytes(const char* what, const void* data, size_t size) {
  calls().back() += std::string(" ") + what + "=" + hex(data, size);
}

// The list every list call answers: two entries. The whole capacity is
// written first, as far as the caller's list may be touched.
inline int give_list(ZYPCIPListEntry* list, uint32_t* count) {
  uint32_t capacity = list ? *count : 0;
  if (list) std::memset(list, 0, size_t{capacity} * sizeof *list);
  *count = 2;
  if (capacity < 2) return 1;
  const char* names[] = {"first", "second"};
  for (uint32_t i = 0; i < 2; ++i) {
    list[i].value = 0x11 * (i + 1);
    std::strcpy(list[i].name, names[i]);
  }
  return 0;
}

inline int give_name(const char* text, char* name, uint32_t* length) {
  uint32_t capacity = name ? *length : 0;
  uint32_t size = static_cast<uint32_t>(std::strlen(text));
  *length = size;
  if (name) name[capacity] = name[capacity];  // the terminator's byte is the last one it may touch
  if (size > capacity) return 1;
  if (name) std::memcpy(name, text, size + 1);
  return 0;
}

inline int give_bytes(uint8_t first, uint32_t size, uint8_t* out, uint32_t* length) {
  uint32_t capacity = out ? *length : 0;
  if (out) std::memset(out, 0, capacity);
  *length = size;
  if (size > capacity) return 1;
  for (uint32_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(first + i);
  return 0;
}

inline int open_session(uint32_t token) { return record("OpenSession", token), 1; }
inline int close_session(uint32_t token) { return record("CloseSession", token), 0; }
inline int enum_token(ZYPCIPListEntry* list, uint32_t* count) {
  record("EnumToken", *count);
  return give_list(list, count);
}
inline int enum_algorithm(uint32_t token, uint16_t type, ZYPCIPListEntry* list, uint32_t* count) {
  record("EnumAlgorithm", token, type, *count);
  return give_list(list, count);
}
inline int enum_key(uint32_t token, uint32_t mechanism, uint16_t type, ZYPCIPListEntry* list, uint32_t* count) {
  record("EnumKey", token, mechanism, type, *count);
  return give_list(list, count);
}
inline int get_token_name(uint32_t token, char* name, uint32_t* length) {
  record("GetTokenName", token, *length);
  return give_name("Softtok", name, length);
}
inline int get_algo_name(uint32_t token, uint32_t mechanism, char* name, uint32_t* length) {
  record("GetAlgoName", token, mechanism, *length);
  return give_name("DES 40 bits", name, length);
}
inline int get_key_name(uint32_t token, uint32_t key, char* name, uint32_t* length) {
  record("GetKeyName", token, key, *length);
  return give_name("my key", name, length);
}
inline int get_key_format(uint32_t token, uint32_t mechanism, uint16_t type, uint32_t* bits) {
  record("GetKeyFormat", token, mechanism, type, *bits);
  *bits = 64;
  return 0;
}
inline int generate_random_key(uint32_t token, uint32_t mechanism, uint16_t type, const char* label,
                               uint32_t* key) {
  record("GenerateRandomKey", token, mechanism, type, label, *key);
  *key = 0xCAFEBABE;
  return 0;
}
inline int generate_key_from_sentence(uint32_t token, uint32_t mechanism, uint16_t type, const char* label,
                                      const char* sentence, uint32_t* key) {
  record("GenerateKeyFromSentence", token, mechanism, type, label, sentence, *key);
  *key = 0xCAFEBABE;
  return 0;
}
inline int generate_key_from_bin(uint32_t token, uint32_t mechanism, uint16_t type, const char* label,
                                 const uint8_t* value, uint32_t value_length, uint32_t* key) {
  record("GenerateKeyFromBin", token, mechanism, type, label, value_length, *key);
  record_bytes("value", value, value_length);
  *key = 0xCAFEBABE;
  return 0;
}
// A result above 255, of which a client sees only the low byte.
inline int delete_key(uint32_t token, uint32_t key) { return record("DeleteKey", token, key), 0x108; }
inline int get_block_size(uint32_t token, uint32_t mechanism, uint32_t* size) {
  record("GetBlockSize", token, mechanism, *size);
  *size = 8;
  return 0;
}
inline int flip(const char* name, uint8_t mask, uint32_t token, uint32_t mechanism, uint32_t key, uint8_t* buffer,
                uint32_t* length) {
  record(name, token, mechanism, key, *length);
  record_bytes("data", buffer, *length);
  for (uint32_t i = 0; i < *length; ++i) buffer[i] ^= mask;
  return 0;
}
inline int crypt_buffer(uint32_t token, uint32_t mechanism, uint32_t key, uint8_t* buffer, uint32_t* length) {
  return flip("CryptBuffer", 0xFF, token, mechanism, key, buffer, length);
}
inline int decrypt_buffer(uint32_t token, uint32_t mechanism, uint32_t key, uint8_t* buffer, uint32_t* length) {
  return flip("DecryptBuffer", 0x0F, token, mechanism, key, buffer, length);
}
inline int hash_buffer(uint32_t token, uint32_t mechanism, const uint8_t* data, uint32_t length, uint8_t* digest,
                       uint32_t* digest_length) {
  record("HashBuffer", token, mechanism, length, *digest_length);
  record_bytes("data", data, length);
  return give_bytes(0xA0, 20, digest, digest_length);
}
inline int sign_buffer(uint32_t token, uint32_t mechanism, uint32_t key, const uint8_t* data, uint32_t length,
                       uint8_t* signature, uint32_t* signature_length) {
  record("SignBuffer", token, mechanism, key, length, *signature_length);
  record_bytes("data", data, length);
  return give_bytes(0x50, 8, signature, signature_length);
}
inline int verify_buffer(uint32_t token, uint32_t mechanism, uint32_t key, const uint8_t* data, uint32_t length,
                         const uint8_t* signature, uint32_t signature_length) {
  record("VerifyBuffer", token, mechanism, key, length, signature_length);
  record_bytes("data", data, length);
  record_bytes("signature", signature, signature_length);
  return 11;
}
inline int change_secret(uint32_t token) { return record("ChangeSecret", token), 1; }
inline int reload_config() { return record("ReloadConfig"), 0; }
inline int set_check_presence(int32_t flag) { return record("SetCheckPresence", flag), 0; }
inline int set_inactivity(int32_t value) { return record("SetInactivity", value), 0; }
inline int set_inactivity_time(uint32_t seconds) { return record("SetInactivityTime", seconds), 0; }
inline int get_key_recovery_field(uint32_t token, uint32_t key, uint32_t kind, uint8_t* field, uint32_t* length) {
  record("GetKeyRecoveryField", token, key, kind, *length);
  return give_bytes(0x30, 128, field, length);
}
inline int is_strong_crypto_enabled(uint32_t token) { return record("IsStrongCryptoEnabled", token), 1; }
inline int set_key_recovery_public_key(uint32_t token, uint32_t kind, ZYPRecoveryKeyRecord* private_record,
                                       ZYPRecoveryPublicRecord* public_record) {
  record("SetKeyRecoveryPublicKey", token, kind);
  std::memset(private_record, 0x44, sizeof *private_record);
  std::memset(public_record, 0x55, sizeof *public_record);
  return 0;
}
inline int get_bin_key_recovery_field(uint32_t token, uint32_t mechanism, const uint8_t* value,
                                      uint32_t value_length, uint32_t kind, uint8_t* field, uint32_t* length) {
  record("GetBinKeyRecoveryField", token, mechanism, value_length, kind, *length);
  record_bytes("value", value, value_length);
  return give_bytes(0x30, 64, field, length);
}
inline int change_secret_ex(uint32_t token, const char* current, const char* fresh) {
  return record("ChangeSecretEx", token, current, fresh), 1;
}
inline int is_company_key_recovery_active(uint32_t token) { return record("IsCompanyKeyRecoveryActive", token), 0; }
inline int generate_session_key(uint32_t token, uint32_t mechanism, const uint8_t* field, uint32_t field_length,
                                const char* label, uint32_t label_length, ZYPRecoveryKeyRecord record_value) {
  record("GenerateSessionKeyFromKeyRecoveryField", token, mechanism, field_length, label_length);
  record_bytes("field", field, field_length);
  record_bytes("label", label, label_length);
  record_bytes("record", &record_value, 8);
  return 1;
}
inline int reinsert_key_holder(uint32_t token) { return record("ReInsertKeyHolder", token), 9; }
inline int clone_card(uint32_t token) { return record("CloneCard", token), 0; }

inline const zyp::channel::ProviderCalls& table() {
  static const zyp::channel::ProviderCalls calls = {
      open_session,
      close_session,
      enum_token,
      enum_algorithm,
      enum_key,
      get_token_name,
      get_algo_name,
      get_key_name,
      get_key_format,
      generate_random_key,
      generate_key_from_sentence,
      generate_key_from_bin,
      delete_key,
      get_block_size,
      crypt_buffer,
      decrypt_buffer,
      hash_buffer,
      sign_buffer,
      verify_buffer,
      change_secret,
      reload_config,
      set_check_presence,
      set_inactivity,
      set_inactivity_time,
      get_key_recovery_field,
      is_strong_crypto_enabled,
      set_key_recovery_public_key,
      get_bin_key_recovery_field,
      change_secret_ex,
      is_company_key_recovery_active,
      generate_session_key,
      reinsert_key_holder,
      clone_card,
  };
  return calls;
}

}  // namespace fake_provider
