#include "channel/dispatcher.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <vector>

#include "channel/request_block.h"
#include "platform/file_mapping.h"

namespace zyp::channel {
namespace {

constexpr int kNoMemory = 7;

// One request being served: the block, a reader over its payload and the
// provider to call.
struct Request {
  std::span<uint8_t> block;
  RequestReader in;
  const ProviderCalls& provider;

  void put_u32(size_t offset, uint32_t value) { store_u32(block.data() + offset, value); }
};

// An in/out scalar (count, length): its value and where it goes back.
struct InOut {
  size_t offset;
  uint32_t value;
};

InOut read_in_out(RequestReader& in) {
  size_t offset = in.offset();
  return {offset, in.u32()};
}

// Output regions that hold nothing are passed as null, which the provider
// takes as "no room", whatever capacity comes with them.
template <typename T>
T* output_or_null(std::span<uint8_t> region) {
  return region.empty() ? nullptr : reinterpret_cast<T*>(region.data());
}

std::span<uint8_t> read_list(RequestReader& in, uint32_t capacity) {
  return in.bytes(uint64_t{capacity} * kListEntrySize);
}

// ---- Data of the buffer calls: in the block, or in a named file mapping ----

struct DataItem {
  uint32_t length = 0;
  std::span<uint8_t> bytes;          // the data in the block
  const char* descriptor = nullptr;  // or the descriptor of a named mapping
};

DataItem read_data(RequestReader& in) {
  DataItem item;
  item.length = in.u32();
  if (item.length == kNamedMappingLength)
    item.descriptor = in.text_to_terminator();
  else
    item.bytes = in.bytes(item.length);
  return item;
}

bool read_decimal(const char*& text, uint64_t& value) {
  char* end = nullptr;
  unsigned long long number = std::strtoull(text, &end, 10);  // skips blanks, as %lu does
  if (end == text) return false;
  text = end;
  value = number;
  return true;
}

// Offset and length from "NAME OFFSET LENGTH" (the layout "%s %lu %lu").
bool parse_descriptor(const char* text, uint64_t& offset, uint64_t& length) {
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  if (*text == '\0') return false;
  while (*text != '\0' && !std::isspace(static_cast<unsigned char>(*text))) ++text;
  return read_decimal(text, offset) && read_decimal(text, length);
}

// The named mapping a descriptor names, held open for one provider call.
class NamedData {
 public:
  // False when the mapping cannot be opened, is read-only while `writable`
  // is needed, or does not hold the range.
  bool open(const char* descriptor, bool writable) {
    uint64_t offset = 0;
    uint64_t length = 0;
    if (!parse_descriptor(descriptor, offset, length) || length > UINT32_MAX) return false;
    mapping_ = platform::FileMapping::open(descriptor);  // the whole text is the name
    if (!mapping_ || (writable && !mapping_->writable())) return false;
    if (offset > mapping_->size() || length > mapping_->size() - offset) return false;
    mapping_->prefault(offset, length, writable);
    bytes_ = {static_cast<uint8_t*>(mapping_->data()) + offset, static_cast<size_t>(length)};
    return true;
  }
  // Runs `call(data, length)` on the range. A file that shrinks under the
  // mapping meanwhile (its owner truncated it) makes the call's work void:
  // the result is then 15, as for a mapping that cannot be used.
  template <typename Call>
  int run(Call&& call) const {
    platform::FileMapping::ShrinkGuard guard(*mapping_);
    int result = call(bytes_.data(), static_cast<uint32_t>(bytes_.size()));
    return guard.file_shrank() ? kResultNamedMappingFailed : result;
  }

 private:
  std::unique_ptr<platform::FileMapping> mapping_;
  std::span<uint8_t> bytes_;
};

// ---- Requests ---------------------------------------------------------------

int token_call(Request& r, int (*call)(uint32_t)) {
  uint32_t token = r.in.u32();
  if (!r.in.ok()) return kResultMalformed;
  return call(token);
}

template <typename Value>
int value_call(Request& r, int (*call)(Value)) {
  Value value = static_cast<Value>(r.in.u32());
  if (!r.in.ok()) return kResultMalformed;
  return call(value);
}

int enum_token(Request& r) {
  InOut count = read_in_out(r.in);
  std::span<uint8_t> list = read_list(r.in, count.value);
  if (!r.in.ok()) return kResultMalformed;
  int result = r.provider.enum_token(output_or_null<ZYPCIPListEntry>(list), &count.value);
  r.put_u32(count.offset, count.value);
  return result;
}

int enum_algorithm(Request& r) {
  InOut count = read_in_out(r.in);
  std::span<uint8_t> list = read_list(r.in, count.value);
  uint16_t type = r.in.u16();
  uint32_t token = r.in.u32();
  if (!r.in.ok()) return kResultMalformed;
  int result = r.provider.enum_algorithm(token, type, output_or_null<ZYPCIPListEntry>(list), &count.value);
  r.put_u32(count.offset, count.value);
  return result;
}

int enum_key(Request& r) {
  InOut count = read_in_out(r.in);
  std::span<uint8_t> list = read_list(r.in, count.value);
  uint16_t type = r.in.u16();
  uint32_t mechanism = r.in.u32();
  uint32_t token = r.in.u32();
  if (!r.in.ok()) return kResultMalformed;
  int result =
      r.provider.enum_key(token, mechanism, type, output_or_null<ZYPCIPListEntry>(list), &count.value);
  r.put_u32(count.offset, count.value);
  return result;
}

// The name calls: length, name buffer, then one argument before the token
// (none for the token name). The provider writes the terminator one byte past
// the buffer, which lands on the scalars that follow it in the block.
template <typename Call>
int name_call(Request& r, bool with_argument, Call&& call) {
  InOut length = read_in_out(r.in);
  std::span<uint8_t> name = r.in.bytes(length.value);
  uint32_t argument = with_argument ? r.in.u32() : 0;
  uint32_t token = r.in.u32();
  if (!r.in.ok()) return kResultMalformed;
  int result = call(token, argument, output_or_null<char>(name), &length.value);
  r.put_u32(length.offset, length.value);
  return result;
}

int get_key_format(Request& r) {
  InOut bits = read_in_out(r.in);
  uint16_t type = r.in.u16();
  uint32_t mechanism = r.in.u32();
  uint32_t token = r.in.u32();
  if (!r.in.ok()) return kResultMalformed;
  int result = r.provider.get_key_format(token, mechanism, type, &bits.value);
  r.put_u32(bits.offset, bits.value);
  return result;
}

const char* read_terminated(RequestReader& in) { return in.terminated_string(in.u32()); }

// The tail shared by the key creation requests: type, mechanism, token.
struct KeySpec {
  uint16_t type;
  uint32_t mechanism;
  uint32_t token;
};

KeySpec read_key_spec(RequestReader& in) {
  KeySpec spec{};
  spec.type = in.u16();
  spec.mechanism = in.u32();
  spec.token = in.u32();
  return spec;
}

int generate_random_key(Request& r) {
  InOut key = read_in_out(r.in);
  const char* label = read_terminated(r.in);
  KeySpec spec = read_key_spec(r.in);
  if (!r.in.ok()) return kResultMalformed;
  int result = r.provider.generate_random_key(spec.token, spec.mechanism, spec.type, label, &key.value);
  r.put_u32(key.offset, key.value);
  return result;
}

int generate_key_from_sentence(Request& r) {
  InOut key = read_in_out(r.in);
  const char* sentence = read_terminated(r.in);
  const char* label = read_terminated(r.in);
  KeySpec spec = read_key_spec(r.in);
  if (!r.in.ok()) return kResultMalformed;
  int result =
      r.provider.generate_key_from_sentence(spec.token, spec.mechanism, spec.type, label, sentence, &key.value);
  r.put_u32(key.offset, key.value);
  return result;
}

int generate_key_from_bin(Request& r) {
  InOut key = read_in_out(r.in);
  uint32_t value_length = r.in.u32();
  std::span<uint8_t> value = r.in.bytes(value_length);
  const char* label = read_terminated(r.in);
  KeySpec spec = read_key_spec(r.in);
  if (!r.in.ok()) return kResultMalformed;
  int result = r.provider.generate_key_from_bin(spec.token, spec.mechanism, spec.type, label, value.data(),
                                                value_length, &key.value);
  r.put_u32(key.offset, key.value);
  return result;
}

int delete_key(Request& r) {
  uint32_t key = r.in.u32();
  uint32_t token = r.in.u32();
  if (!r.in.ok()) return kResultMalformed;
  return r.provider.delete_key(token, key);
}

int get_block_size(Request& r) {
  InOut size = read_in_out(r.in);
  uint32_t mechanism = r.in.u32();
  uint32_t token = r.in.u32();
  if (!r.in.ok()) return kResultMalformed;
  int result = r.provider.get_block_size(token, mechanism, &size.value);
  r.put_u32(size.offset, size.value);
  return result;
}

// Codes 15 and 16: encryption in place, in the block or in a named mapping
// (whose length is the descriptor's and is not written back).
int crypt_in_place(Request& r, decltype(&::ZYPCIPCryptBuffer) call) {
  size_t length_offset = r.in.offset();
  DataItem data = read_data(r.in);
  uint32_t key = r.in.u32();
  uint32_t mechanism = r.in.u32();
  uint32_t token = r.in.u32();
  if (!r.in.ok()) return kResultMalformed;
  if (data.descriptor) {
    NamedData named;
    if (!named.open(data.descriptor, true)) return kResultNamedMappingFailed;
    return named.run([&](uint8_t* bytes, uint32_t length) { return call(token, mechanism, key, bytes, &length); });
  }
  uint32_t length = data.length;
  int result = call(token, mechanism, key, data.bytes.data(), &length);
  r.put_u32(length_offset, length);
  return result;
}

// Runs `call(data, length)` on the data of a buffer request, wherever it is.
template <typename Call>
int with_input_data(const DataItem& data, Call&& call) {
  if (!data.descriptor) return call(data.bytes.data(), data.length);
  NamedData named;
  if (!named.open(data.descriptor, false)) return kResultNamedMappingFailed;
  return named.run(call);
}

int hash_buffer(Request& r) {
  InOut digest_length = read_in_out(r.in);
  std::span<uint8_t> digest = r.in.bytes(digest_length.value);
  DataItem data = read_data(r.in);
  uint32_t mechanism = r.in.u32();
  uint32_t token = r.in.u32();
  if (!r.in.ok()) return kResultMalformed;
  int result = with_input_data(data, [&](const uint8_t* bytes, uint32_t length) {
    return r.provider.hash_buffer(token, mechanism, bytes, length, output_or_null<uint8_t>(digest),
                                  &digest_length.value);
  });
  r.put_u32(digest_length.offset, digest_length.value);
  return result;
}

int sign_buffer(Request& r) {
  InOut signature_length = read_in_out(r.in);
  std::span<uint8_t> signature = r.in.bytes(signature_length.value);
  DataItem data = read_data(r.in);
  uint32_t key = r.in.u32();
  uint32_t mechanism = r.in.u32();
  uint32_t token = r.in.u32();
  if (!r.in.ok()) return kResultMalformed;
  int result = with_input_data(data, [&](const uint8_t* bytes, uint32_t length) {
    return r.provider.sign_buffer(token, mechanism, key, bytes, length, output_or_null<uint8_t>(signature),
                                  &signature_length.value);
  });
  r.put_u32(signature_length.offset, signature_length.value);
  return result;
}

int verify_buffer(Request& r) {
  uint32_t signature_length = r.in.u32();
  std::span<uint8_t> signature = r.in.bytes(signature_length);
  DataItem data = read_data(r.in);
  uint32_t key = r.in.u32();
  uint32_t mechanism = r.in.u32();
  uint32_t token = r.in.u32();
  if (!r.in.ok()) return kResultMalformed;
  return with_input_data(data, [&](const uint8_t* bytes, uint32_t length) {
    return r.provider.verify_buffer(token, mechanism, key, bytes, length, signature.data(), signature_length);
  });
}

int get_key_recovery_field(Request& r) {
  InOut field_length = read_in_out(r.in);
  std::span<uint8_t> field = r.in.bytes(field_length.value);
  uint32_t kind = r.in.u32();
  uint32_t key = r.in.u32();
  uint32_t token = r.in.u32();
  if (!r.in.ok()) return kResultMalformed;
  int result =
      r.provider.get_key_recovery_field(token, key, kind, output_or_null<uint8_t>(field), &field_length.value);
  r.put_u32(field_length.offset, field_length.value);
  return result;
}

int set_key_recovery_public_key(Request& r) {
  std::span<uint8_t> public_record = r.in.bytes(kPublicRecordSize);
  std::span<uint8_t> private_record = r.in.bytes(kPrivateRecordSize);
  uint32_t kind = r.in.u32();
  uint32_t token = r.in.u32();
  if (!r.in.ok()) return kResultMalformed;
  return r.provider.set_key_recovery_public_key(token, kind,
                                                reinterpret_cast<ZYPRecoveryKeyRecord*>(private_record.data()),
                                                reinterpret_cast<ZYPRecoveryPublicRecord*>(public_record.data()));
}

int get_bin_key_recovery_field(Request& r) {
  InOut field_length = read_in_out(r.in);
  std::span<uint8_t> field = r.in.bytes(field_length.value);
  uint32_t kind = r.in.u32();
  uint32_t value_length = r.in.u32();
  std::span<uint8_t> value = r.in.bytes(value_length);
  uint32_t mechanism = r.in.u32();
  uint32_t token = r.in.u32();
  if (!r.in.ok()) return kResultMalformed;
  int result = r.provider.get_bin_key_recovery_field(token, mechanism, value.data(), value_length, kind,
                                                     output_or_null<uint8_t>(field), &field_length.value);
  r.put_u32(field_length.offset, field_length.value);
  return result;
}

// A PIN in a zero-filled buffer of its own, one byte longer, wiped when done.
class PinCopy {
 public:
  explicit PinCopy(std::span<const uint8_t> pin) : text_(pin.size() + 1, '\0') {
    std::memcpy(text_.data(), pin.data(), pin.size());
  }
  ~PinCopy() { explicit_bzero(text_.data(), text_.size()); }
  PinCopy(const PinCopy&) = delete;
  PinCopy& operator=(const PinCopy&) = delete;
  const char* c_str() const { return text_.data(); }

 private:
  std::vector<char> text_;
};

int change_secret_ex(Request& r) {
  uint32_t token = r.in.u32();
  std::span<uint8_t> current = r.in.bytes(r.in.u32());
  std::span<uint8_t> fresh = r.in.bytes(r.in.u32());
  if (!r.in.ok()) return kResultMalformed;
  PinCopy current_pin(current);
  PinCopy new_pin(fresh);
  return r.provider.change_secret_ex(token, current_pin.c_str(), new_pin.c_str());
}

int generate_session_key_from_key_recovery_field(Request& r) {
  std::span<uint8_t> record_bytes = r.in.bytes(kPrivateRecordSize);
  uint32_t label_length = r.in.u32();
  std::span<uint8_t> label = r.in.bytes(label_length);
  uint32_t field_length = r.in.u32();
  std::span<uint8_t> field = r.in.bytes(field_length);
  uint32_t mechanism = r.in.u32();
  uint32_t token = r.in.u32();
  if (!r.in.ok()) return kResultMalformed;
  ZYPRecoveryKeyRecord record;
  static_assert(sizeof record == kPrivateRecordSize);
  std::memcpy(&record, record_bytes.data(), sizeof record);
  int result = r.provider.generate_session_key_from_key_recovery_field(
      token, mechanism, field.data(), field_length, reinterpret_cast<const char*>(label.data()), label_length,
      record);
  explicit_bzero(&record, sizeof record);
  return result;
}

// The provider's result for the request, or none when the code has no
// handler (the result field then stays as the client wrote it).
std::optional<int> dispatch(Request& r, uint8_t code, ServerState& state) {
  const ProviderCalls& p = r.provider;
  switch (code) {
    case kHeartbeat:
      state.last_heartbeat = static_cast<uint32_t>(std::time(nullptr));
      return 0;
    case kShutdown:
      state.shutdown = true;
      return 0;
    case kOpenSession: return token_call(r, p.open_session);
    case kCloseSession: return token_call(r, p.close_session);
    case kEnumToken: return enum_token(r);
    case kEnumAlgorithm: return enum_algorithm(r);
    case kEnumKey: return enum_key(r);
    case kGetTokenName:
      return name_call(r, false, [&](uint32_t token, uint32_t, char* name, uint32_t* length) {
        return p.get_token_name(token, name, length);
      });
    case kGetAlgoName: return name_call(r, true, p.get_algo_name);
    case kGetKeyName: return name_call(r, true, p.get_key_name);
    case kGetKeyFormat: return get_key_format(r);
    case kGenerateRandomKey: return generate_random_key(r);
    case kGenerateKeyFromSentence: return generate_key_from_sentence(r);
    case kGenerateKeyFromBin: return generate_key_from_bin(r);
    case kDeleteKey: return delete_key(r);
    case kGetBlockSize: return get_block_size(r);
    case kCryptBuffer: return crypt_in_place(r, p.crypt_buffer);
    case kDecryptBuffer: return crypt_in_place(r, p.decrypt_buffer);
    case kHashBuffer: return hash_buffer(r);
    case kSignBuffer: return sign_buffer(r);
    case kVerifyBuffer: return verify_buffer(r);
    case kChangeSecret: return token_call(r, p.change_secret);
    case kReloadConfig: return p.reload_config();
    case kSetCheckPresence: return value_call(r, p.set_check_presence);
    case kSetInactivity: return value_call(r, p.set_inactivity);
    case kSetInactivityTime: return value_call(r, p.set_inactivity_time);
    case kGetKeyRecoveryField: return get_key_recovery_field(r);
    case kIsStrongCryptoEnabled: return token_call(r, p.is_strong_crypto_enabled);
    case kSetKeyRecoveryPublicKey: return set_key_recovery_public_key(r);
    case kGetBinKeyRecoveryField: return get_bin_key_recovery_field(r);
    case kChangeSecretEx: return change_secret_ex(r);
    case kIsCompanyKeyRecoveryActive: return token_call(r, p.is_company_key_recovery_active);
    case kGenerateSessionKeyFromKeyRecoveryField: return generate_session_key_from_key_recovery_field(r);
    case kReInsertKeyHolder: return token_call(r, p.reinsert_key_holder);
    case kCloneCard: return token_call(r, p.clone_card);
    default: return std::nullopt;
  }
}

}  // namespace

void serve_request(std::span<uint8_t> block, const ProviderCalls& provider, ServerState& state) noexcept {
  if (block.size() < kPayloadOffset) return;
  Request request{block, RequestReader(block), provider};
  std::optional<int> result;
  try {
    result = dispatch(request, block[kCodeOffset], state);
  } catch (...) {
    result = kNoMemory;  // the only thing that can throw here is an allocation
  }
  if (result) store_u32(block.data() + kResultOffset, static_cast<uint32_t>(*result));
}

}  // namespace zyp::channel
