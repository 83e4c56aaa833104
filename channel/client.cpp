// libzypclient.so: the ZYPCIP calls, forwarded to zypserver over the request
// channel. Each call lays out its request in the order of the code table;
// in/out counts and lengths come back always, output buffers and lists only
// when the call succeeded, and never more than the caller's capacity.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "channel/client_process.h"
#include "platform/export_guard.h"
#include "zyp/zypclient.h"
#include "zyp/zypsess.h"

namespace {

using namespace zyp::channel;
using zyp::platform::guarded;

constexpr int kRefused = ZYPCIP_TOKEN_FAILED;  // what the provider answers to a missing argument

template <typename Body>
int exported(Body&& body) noexcept {
  return guarded(kResultUnreachable, static_cast<Body&&>(body));
}

// An answered block, read at the offsets the layout returned.
class Reply {
 public:
  explicit Reply(std::span<const uint8_t> block) : block_(block) {}
  bool succeeded() const { return block_[kResultOffset] == 0; }
  uint32_t u32(size_t offset) const { return load_u32(block_.data() + offset); }
  void copy(size_t offset, void* out, size_t size) const {
    if (out && size > 0) std::memcpy(out, block_.data() + offset, size);
  }

 private:
  std::span<const uint8_t> block_;
};

int forward(uint8_t code, const RequestLayout& layout, const std::function<void(const Reply&)>& read = {},
            bool secret = false) {
  auto channel = channel_for_call();
  if (!channel) return kResultUnreachable;
  return channel->transact(
      code, layout, [&](std::span<const uint8_t> block) { if (read) read(Reply(block)); }, {.secret = secret});
}

int token_request(uint8_t code, uint32_t token) {
  return forward(code, [&](RequestWriter& w) { w.u32(token); });
}

int value_request(uint8_t code, uint32_t value) {
  return forward(code, [&](RequestWriter& w) { w.u32(value); });
}

// A string carried with its terminator, after its length (which counts it).
void put_terminated(RequestWriter& w, const char* text) {
  size_t size = std::strlen(text) + 1;
  w.u32(static_cast<uint32_t>(size));
  w.bytes(text, size);
}

// The data of a buffer call: its length, then the bytes, or for length -1
// the descriptor of a named mapping with its terminator.
size_t put_data(RequestWriter& w, const uint8_t* data, uint32_t length) {
  w.u32(length);
  if (length == kNamedMappingLength) return w.bytes(data, std::strlen(reinterpret_cast<const char*>(data)) + 1);
  return w.bytes(data, length);
}

// A list call: count, the caller's capacity in entries (none for a null
// list), then the call's scalars.
int list_request(uint8_t code, ZYPCIPListEntry* list, uint32_t* count, const RequestLayout& scalars) {
  if (!count) return kRefused;
  uint32_t capacity = list ? *count : 0;
  size_t count_at = 0, list_at = 0;
  return forward(
      code,
      [&](RequestWriter& w) {
        count_at = w.u32(capacity);
        list_at = w.zeros(size_t{capacity} * kListEntrySize);
        scalars(w);
      },
      [&](const Reply& reply) {
        *count = reply.u32(count_at);
        if (reply.succeeded()) reply.copy(list_at, list, size_t{std::min(*count, capacity)} * kListEntrySize);
      });
}

// A name call: length, a buffer of the caller's capacity, then the scalars.
// The caller's buffer holds one byte more, for the terminator.
int name_request(uint8_t code, char* name, uint32_t* length, const RequestLayout& scalars) {
  if (!length) return kRefused;
  uint32_t capacity = name ? *length : 0;
  size_t length_at = 0, name_at = 0;
  return forward(
      code,
      [&](RequestWriter& w) {
        length_at = w.u32(capacity);
        name_at = w.zeros(capacity);
        scalars(w);
      },
      [&](const Reply& reply) {
        *length = reply.u32(length_at);
        if (!reply.succeeded() || !name) return;
        uint32_t size = std::min(*length, capacity);
        reply.copy(name_at, name, size);
        name[size] = '\0';
      });
}

// An output buffer with its in/out length in front: length, buffer, then
// the rest of the request.
int sized_output_request(uint8_t code, uint8_t* buffer, uint32_t* length, const RequestLayout& rest,
                         bool secret = false) {
  uint32_t capacity = buffer ? *length : 0;
  size_t length_at = 0, buffer_at = 0;
  return forward(
      code,
      [&](RequestWriter& w) {
        length_at = w.u32(capacity);
        buffer_at = w.zeros(capacity);
        rest(w);
      },
      [&](const Reply& reply) {
        *length = reply.u32(length_at);
        if (reply.succeeded()) reply.copy(buffer_at, buffer, std::min(*length, capacity));
      },
      secret);
}

int crypt_request(uint8_t code, uint32_t token, uint32_t mechanism, uint32_t key, uint8_t* buffer,
                  uint32_t* length) {
  if (!length || (!buffer && *length != 0)) return kRefused;
  const uint32_t sent = *length;
  size_t length_at = 0, data_at = 0;
  return forward(
      code,
      [&](RequestWriter& w) {
        length_at = w.offset();
        data_at = put_data(w, buffer, sent);
        w.u32(key);
        w.u32(mechanism);
        w.u32(token);
      },
      [&](const Reply& reply) {
        if (sent == kNamedMappingLength) return;  // worked on in place in the mapping
        *length = reply.u32(length_at);
        if (reply.succeeded()) reply.copy(data_at, buffer, std::min(*length, sent));
      });
}

bool data_missing(const void* data, uint32_t length) { return !data && length != 0; }

}  // namespace

// ---- Library load and unload ------------------------------------------------

namespace {

void detach_at_exit() { detach_client(); }

// At exit() this handler runs before the static objects of the libraries
// loaded earlier go, and stops the heartbeat while they still exist; on
// dlclose the destructor comes first and the handler finds nothing to do.
__attribute__((constructor)) void on_load() {
  guarded(0, [] {
    attach_client();
    std::atexit(detach_at_exit);
    return 0;
  });
}

__attribute__((destructor)) void on_unload() {
  guarded(0, [] {
    detach_client();
    return 0;
  });
}

}  // namespace

// ---- Server start and stop --------------------------------------------------

ZYP_API int ZYPCIPStartPKCS(void) {
  return guarded(0, [] { return start_server(); });
}

ZYP_API int ZYPCIPShutdownPKCS(void) {
  return guarded(0, [] {
    shutdown_server();
    return 0;
  });
}

// ---- Sessions, PINs and configuration -----------------------------------------

ZYP_API int ZYPCIPOpenSession(uint32_t token) {
  return exported([&] { return token_request(kOpenSession, token); });
}

ZYP_API int ZYPCIPCloseSession(uint32_t token) {
  return exported([&] { return ZYPGetActivity() != 0 ? 1 : token_request(kCloseSession, token); });
}

ZYP_API int ZYPCIPChangeSecret(uint32_t token) {
  return exported([&] { return token_request(kChangeSecret, token); });
}

ZYP_API int ZYPCIPChangeSecretEx(uint32_t token, const char* currentPin, const char* newPin) {
  return exported([&] {
    if (!currentPin || !newPin) return 0;
    return forward(
        kChangeSecretEx,
        [&](RequestWriter& w) {
          w.u32(token);
          for (const char* pin : {currentPin, newPin}) {
            size_t size = std::strlen(pin);
            w.u32(static_cast<uint32_t>(size));
            w.bytes(pin, size);
          }
        },
        {}, true);
  });
}

ZYP_API int ZYPCIPReInsertKeyHolder(uint32_t token) {
  return exported([&] { return token_request(kReInsertKeyHolder, token); });
}

ZYP_API int ZYPCIPCloneCard(uint32_t token) {
  return exported([&] { return token_request(kCloneCard, token); });
}

ZYP_API int ZYPCIPReloadConfig(void) {
  return exported([] { return forward(kReloadConfig, [](RequestWriter&) {}); });
}

ZYP_API int ZYPCIPSetCheckPresence(int32_t flag) {
  return exported([&] { return value_request(kSetCheckPresence, static_cast<uint32_t>(flag)); });
}

ZYP_API int ZYPCIPSetInactivity(int32_t value) {
  return exported([&] { return value_request(kSetInactivity, static_cast<uint32_t>(value)); });
}

ZYP_API int ZYPCIPSetInactivityTime(uint32_t seconds) {
  return exported([&] { return value_request(kSetInactivityTime, seconds); });
}

// ---- Lists and names ------------------------------------------------------------

ZYP_API int ZYPCIPEnumToken(ZYPCIPListEntry* list, uint32_t* count) {
  return exported([&] { return list_request(kEnumToken, list, count, [](RequestWriter&) {}); });
}

ZYP_API int ZYPCIPEnumAlgorithm(uint32_t token, uint16_t type, ZYPCIPListEntry* list, uint32_t* count) {
  return exported([&] {
    return list_request(kEnumAlgorithm, list, count, [&](RequestWriter& w) {
      w.u16(type);
      w.u32(token);
    });
  });
}

ZYP_API int ZYPCIPEnumKey(uint32_t token, uint32_t mechanism, uint16_t type, ZYPCIPListEntry* list,
                          uint32_t* count) {
  return exported([&] {
    return list_request(kEnumKey, list, count, [&](RequestWriter& w) {
      w.u16(type);
      w.u32(mechanism);
      w.u32(token);
    });
  });
}

ZYP_API int ZYPCIPGetTokenName(uint32_t token, char* name, uint32_t* length) {
  return exported([&] { return name_request(kGetTokenName, name, length, [&](RequestWriter& w) { w.u32(token); }); });
}

ZYP_API int ZYPCIPGetAlgoName(uint32_t token, uint32_t mechanism, char* name, uint32_t* length) {
  return exported([&] {
    return name_request(kGetAlgoName, name, length, [&](RequestWriter& w) {
      w.u32(mechanism);
      w.u32(token);
    });
  });
}

ZYP_API int ZYPCIPGetKeyName(uint32_t token, uint32_t keyIdentifier, char* name, uint32_t* length) {
  return exported([&] {
    return name_request(kGetKeyName, name, length, [&](RequestWriter& w) {
      w.u32(keyIdentifier);
      w.u32(token);
    });
  });
}

ZYP_API int ZYPCIPGetKeyFormat(uint32_t token, uint32_t mechanism, uint16_t type, uint32_t* bits) {
  return exported([&] {
    if (!bits) return kRefused;
    size_t bits_at = 0;
    return forward(
        kGetKeyFormat,
        [&](RequestWriter& w) {
          bits_at = w.u32(*bits);
          w.u16(type);
          w.u32(mechanism);
          w.u32(token);
          w.zeros(2);
        },
        [&](const Reply& reply) { *bits = reply.u32(bits_at); });
  });
}

// ---- Keys -------------------------------------------------------------------------

namespace {

// The tail of every key creation request.
void put_key_spec(RequestWriter& w, uint16_t type, uint32_t mechanism, uint32_t token) {
  w.u16(type);
  w.u32(mechanism);
  w.u32(token);
}

// Key creation: the identifier first (in/out), then `items`.
int key_request(uint8_t code, uint32_t* keyIdentifier, const RequestLayout& items, bool secret) {
  size_t key_at = 0;
  return forward(
      code,
      [&](RequestWriter& w) {
        key_at = w.u32(*keyIdentifier);
        items(w);
      },
      [&](const Reply& reply) { *keyIdentifier = reply.u32(key_at); }, secret);
}

}  // namespace

ZYP_API int ZYPCIPGenerateRandomKey(uint32_t token, uint32_t mechanism, uint16_t type, const char* label,
                                    uint32_t* keyIdentifier) {
  return exported([&] {
    if (!label || !keyIdentifier) return kRefused;
    return key_request(
        kGenerateRandomKey, keyIdentifier,
        [&](RequestWriter& w) {
          put_terminated(w, label);
          put_key_spec(w, type, mechanism, token);
        },
        false);
  });
}

ZYP_API int ZYPCIPGenerateKeyFromSentence(uint32_t token, uint32_t mechanism, uint16_t type, const char* label,
                                          const char* sentence, uint32_t* keyIdentifier) {
  return exported([&] {
    if (!label || !sentence || !keyIdentifier) return kRefused;
    return key_request(
        kGenerateKeyFromSentence, keyIdentifier,
        [&](RequestWriter& w) {
          put_terminated(w, sentence);
          put_terminated(w, label);
          put_key_spec(w, type, mechanism, token);
        },
        true);
  });
}

ZYP_API int ZYPCIPGenerateKeyFromBin(uint32_t token, uint32_t mechanism, uint16_t type, const char* label,
                                     const uint8_t* value, uint32_t valueLength, uint32_t* keyIdentifier) {
  return exported([&] {
    if (!label || !keyIdentifier || data_missing(value, valueLength)) return kRefused;
    return key_request(
        kGenerateKeyFromBin, keyIdentifier,
        [&](RequestWriter& w) {
          w.u32(valueLength);
          w.bytes(value, valueLength);
          put_terminated(w, label);
          put_key_spec(w, type, mechanism, token);
        },
        true);
  });
}

ZYP_API int ZYPCIPDeleteKey(uint32_t token, uint32_t keyIdentifier) {
  return exported([&] {
    return forward(kDeleteKey, [&](RequestWriter& w) {
      w.u32(keyIdentifier);
      w.u32(token);
    });
  });
}

// ---- Buffer operations --------------------------------------------------------------

ZYP_API int ZYPCIPGetBlockSize(uint32_t token, uint32_t mechanism, uint32_t* blockSize) {
  return exported([&] {
    if (!blockSize) return kRefused;
    size_t size_at = 0;
    return forward(
        kGetBlockSize,
        [&](RequestWriter& w) {
          size_at = w.u32(*blockSize);
          w.u32(mechanism);
          w.u32(token);
        },
        [&](const Reply& reply) { *blockSize = reply.u32(size_at); });
  });
}

ZYP_API int ZYPCIPCryptBuffer(uint32_t token, uint32_t mechanism, uint32_t keyIdentifier, uint8_t* buffer,
                              uint32_t* length) {
  return exported([&] { return crypt_request(kCryptBuffer, token, mechanism, keyIdentifier, buffer, length); });
}

ZYP_API int ZYPCIPDecryptBuffer(uint32_t token, uint32_t mechanism, uint32_t keyIdentifier, uint8_t* buffer,
                                uint32_t* length) {
  return exported([&] { return crypt_request(kDecryptBuffer, token, mechanism, keyIdentifier, buffer, length); });
}

ZYP_API int ZYPCIPHashBuffer(uint32_t token, uint32_t mechanism, const uint8_t* data, uint32_t length,
                             uint8_t* digest, uint32_t* digestLength) {
  return exported([&] {
    if (!digestLength || data_missing(data, length)) return kRefused;
    return sized_output_request(kHashBuffer, digest, digestLength, [&](RequestWriter& w) {
      put_data(w, data, length);
      w.u32(mechanism);
      w.u32(token);
    });
  });
}

ZYP_API int ZYPCIPSignBuffer(uint32_t token, uint32_t mechanism, uint32_t keyIdentifier, const uint8_t* data,
                             uint32_t length, uint8_t* signature, uint32_t* signatureLength) {
  return exported([&] {
    if (!signatureLength || data_missing(data, length)) return kRefused;
    return sized_output_request(kSignBuffer, signature, signatureLength, [&](RequestWriter& w) {
      put_data(w, data, length);
      w.u32(keyIdentifier);
      w.u32(mechanism);
      w.u32(token);
    });
  });
}

ZYP_API int ZYPCIPVerifyBuffer(uint32_t token, uint32_t mechanism, uint32_t keyIdentifier, const uint8_t* data,
                               uint32_t length, const uint8_t* signature, uint32_t signatureLength) {
  return exported([&] {
    if (data_missing(data, length) || data_missing(signature, signatureLength)) return kRefused;
    return forward(kVerifyBuffer, [&](RequestWriter& w) {
      w.u32(signatureLength);
      w.bytes(signature, signatureLength);
      put_data(w, data, length);
      w.u32(keyIdentifier);
      w.u32(mechanism);
      w.u32(token);
    });
  });
}

// ---- Key recovery fields ------------------------------------------------------------

ZYP_API int ZYPCIPIsStrongCryptoEnabled(uint32_t token) {
  return exported([&] { return token_request(kIsStrongCryptoEnabled, token); });
}

ZYP_API int ZYPCIPIsCompanyKeyRecoveryActive(uint32_t token) {
  return exported([&] { return token_request(kIsCompanyKeyRecoveryActive, token); });
}

ZYP_API int ZYPCIPSetKeyRecoveryPublicKey(uint32_t token, uint32_t kind, ZYPRecoveryKeyRecord* privateRecord,
                                          ZYPRecoveryPublicRecord* publicRecord) {
  return exported([&] {
    if (!privateRecord || !publicRecord) return kRefused;
    size_t public_at = 0, private_at = 0;
    return forward(
        kSetKeyRecoveryPublicKey,
        [&](RequestWriter& w) {
          public_at = w.zeros(sizeof *publicRecord);
          private_at = w.zeros(sizeof *privateRecord);
          w.u32(kind);
          w.u32(token);
          w.zeros(4);
        },
        [&](const Reply& reply) {
          if (!reply.succeeded()) return;
          reply.copy(public_at, publicRecord, sizeof *publicRecord);
          reply.copy(private_at, privateRecord, sizeof *privateRecord);
        },
        true);
  });
}

ZYP_API int ZYPCIPGetKeyRecoveryField(uint32_t token, uint32_t keyIdentifier, uint32_t kind, uint8_t* field,
                                      uint32_t* fieldLength) {
  return exported([&] {
    if (!fieldLength) return kRefused;
    return sized_output_request(kGetKeyRecoveryField, field, fieldLength, [&](RequestWriter& w) {
      w.u32(kind);
      w.u32(keyIdentifier);
      w.u32(token);
    });
  });
}

ZYP_API int ZYPCIPGetBinKeyRecoveryField(uint32_t token, uint32_t mechanism, const uint8_t* value,
                                         uint32_t valueLength, uint32_t kind, uint8_t* field,
                                         uint32_t* fieldLength) {
  return exported([&] {
    if (!fieldLength || data_missing(value, valueLength)) return kRefused;
    return sized_output_request(
        kGetBinKeyRecoveryField, field, fieldLength,
        [&](RequestWriter& w) {
          w.u32(kind);
          w.u32(valueLength);
          w.bytes(value, valueLength);
          w.u32(mechanism);
          w.u32(token);
        },
        true);
  });
}

ZYP_API int ZYPCIPGenerateSessionKeyFromKeyRecoveryField(uint32_t token, uint32_t mechanism, const uint8_t* field,
                                                         uint32_t fieldLength, const char* label,
                                                         uint32_t labelLength, ZYPRecoveryKeyRecord record) {
  int result = exported([&] {
    if (data_missing(field, fieldLength) || data_missing(label, labelLength)) return 0;
    return forward(
        kGenerateSessionKeyFromKeyRecoveryField,
        [&](RequestWriter& w) {
          w.bytes(&record, sizeof record);
          w.u32(labelLength);
          w.bytes(label, labelLength);
          w.u32(fieldLength);
          w.bytes(field, fieldLength);
          w.u32(mechanism);
          w.u32(token);
          w.zeros(4);
        },
        {}, true);
  });
  explicit_bzero(&record, sizeof record);
  return result;
}
