// A small PKCS #11 module for the provider's tests: an empty reader, listed
// first, and a slot whose token the test inserts and removes; one PIN, secret keys in memory, SHA-1 digests and
// a reversible toy cipher. The environment steers it:
//   FAKE_TOKEN_PRESENCE_FILE  the token is present while this file exists
//                             (always present when unset)
//   FAKE_TOKEN_REFUSE         C_GetFunctionList fails
//   FAKE_TOKEN_INCOMPLETE     the function list lacks fake_WrapKey
//   FAKE_TOKEN_NEVER_SET_UP   no session opens until C_InitToken
//   FAKE_TOKEN_INIT_FAILS     C_InitToken fails with CKR_DEVICE_ERROR
//   FAKE_TOKEN_PIN_LOCKED     C_Login fails with CKR_PIN_LOCKED
//   FAKE_TOKEN_SERIAL         the token's serial number (else FAKE000000000001)
//   FAKE_TOKEN_SLOT           the token's slot (else 5)
//   FAKE_TOKEN_PULLED_ON_WRONG_PIN  a wrong PIN removes the presence file, as
//                             a user pulling the token while the PIN dialog
//                             is open
// The token's PIN is 1234 until C_InitToken or C_SetPIN changes it; PINs
// have 4 to 8 characters. fake_token_calls(NAME) counts the calls of
// C_Login, C_InitToken and C_SetPIN since C_Initialize.
#include <openssl/sha.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "provider/p11.h"

namespace {

constexpr CK_SLOT_ID kEmptySlot = 4;
// The slot of the token: 5, or FAKE_TOKEN_SLOT.
CK_SLOT_ID token_slot() {
  const char* slot = std::getenv("FAKE_TOKEN_SLOT");
  return slot ? std::strtoul(slot, nullptr, 10) : 5;
}
constexpr char kPin[] = "1234";

struct Object {
  CK_OBJECT_CLASS object_class;
  CK_KEY_TYPE key_type;
  std::string label;
  std::vector<uint8_t> value;
};

struct Operation {
  bool active = false;
  std::vector<uint8_t> key;  // cipher key, or the digest input so far
  std::vector<uint8_t> vector;
};

struct Session {
  Operation encrypt, decrypt, digest;
  std::vector<CK_OBJECT_HANDLE> found;
};

struct Token {
  std::map<CK_OBJECT_HANDLE, Object> objects;
  std::map<CK_SESSION_HANDLE, Session> sessions;
  CK_OBJECT_HANDLE next_object = 100;
  CK_SESSION_HANDLE next_session = 1;
  bool initialised = false;
  bool set_up_here = false;  // C_InitToken ran
  std::string pin = kPin;
  std::map<std::string, int> calls;
};

// Made at first use and freed by C_Finalize, so that it neither depends on
// the order of destruction at exit nor outlives an unloaded module.
Token*& token_state() {
  static Token* state = nullptr;
  return state;
}

Token& token() {
  if (!token_state()) token_state() = new Token;
  return *token_state();
}

bool present() {
  const char* file = std::getenv("FAKE_TOKEN_PRESENCE_FILE");
  return !file || ::access(file, F_OK) == 0;
}

void pad(CK_UTF8CHAR* field, size_t size, const char* text) {
  std::memset(field, ' ', size);
  std::memcpy(field, text, std::min(size, std::strlen(text)));
}

Session* session_of(CK_SESSION_HANDLE handle) {
  auto found = token().sessions.find(handle);
  return found == token().sessions.end() ? nullptr : &found->second;
}

Object* object_of(CK_OBJECT_HANDLE handle) {
  auto found = token().objects.find(handle);
  return found == token().objects.end() ? nullptr : &found->second;
}

CK_RV put(CK_BYTE_PTR out, CK_ULONG_PTR out_length, const std::vector<uint8_t>& bytes) {
  if (!out) {
    *out_length = bytes.size();
    return CKR_OK;
  }
  if (*out_length < bytes.size()) {
    *out_length = bytes.size();
    return CKR_BUFFER_TOO_SMALL;
  }
  std::copy(bytes.begin(), bytes.end(), out);
  *out_length = bytes.size();
  return CKR_OK;
}

// The toy cipher: each byte XORed with the key and the vector; its own inverse.
std::vector<uint8_t> toy_cipher(const Operation& op, CK_BYTE_PTR data, CK_ULONG length) {
  std::vector<uint8_t> out(data, data + length);
  for (size_t i = 0; i < out.size(); ++i) out[i] ^= op.key[i % op.key.size()] ^ op.vector[i % op.vector.size()];
  return out;
}

CK_RV fake_Initialize(CK_VOID_PTR) {
  if (token().initialised) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
  token().initialised = true;
  token().objects[token().next_object++] = {CKO_SECRET_KEY, CKK_DES, "fake key", {1, 2, 3, 4, 5, 6, 7, 8}};
  return CKR_OK;
}

CK_RV fake_Finalize(CK_VOID_PTR) {
  delete token_state();
  token_state() = nullptr;
  return CKR_OK;
}

bool known(CK_SLOT_ID slot) { return slot == token_slot() || slot == kEmptySlot; }

CK_RV fake_GetSlotList(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
  if (list && *count < 2) return *count = 2, CKR_BUFFER_TOO_SMALL;
  if (list) {
    list[0] = kEmptySlot;
    list[1] = token_slot();
  }
  *count = 2;
  return CKR_OK;
}

CK_RV fake_GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
  if (!known(slot)) return CKR_SLOT_ID_INVALID;
  *info = CK_SLOT_INFO{};
  pad(info->slotDescription, sizeof info->slotDescription, slot == token_slot() ? "Fake reader" : "Empty reader");
  pad(info->manufacturerID, sizeof info->manufacturerID, "Tests");
  info->flags = CKF_REMOVABLE_DEVICE | (slot == token_slot() && present() ? CKF_TOKEN_PRESENT : 0);
  return CKR_OK;
}

bool never_set_up() { return std::getenv("FAKE_TOKEN_NEVER_SET_UP") && !token().set_up_here; }

CK_RV fake_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
  if (slot != token_slot()) return CKR_SLOT_ID_INVALID;
  if (!present()) return CKR_TOKEN_NOT_PRESENT;
  *info = CK_TOKEN_INFO{};
  pad(info->label, sizeof info->label, "Fake token");
  const char* serial = std::getenv("FAKE_TOKEN_SERIAL");
  pad(info->serialNumber, sizeof info->serialNumber, serial ? serial : "FAKE000000000001");
  info->flags = CKF_LOGIN_REQUIRED | (never_set_up() ? 0 : CKF_TOKEN_INITIALIZED);
  info->ulMinPinLen = 4;
  info->ulMaxPinLen = 8;
  return CKR_OK;
}

const std::map<CK_MECHANISM_TYPE, CK_MECHANISM_INFO>& mechanisms() {
  static const std::map<CK_MECHANISM_TYPE, CK_MECHANISM_INFO> table{
      {CKM_DES_KEY_GEN, {64, 64, CKF_GENERATE}},
      {CKM_DES_CBC, {64, 64, CKF_ENCRYPT | CKF_DECRYPT}},
      {CKM_SHA_1, {0, 0, CKF_DIGEST}},
  };
  return table;
}

CK_RV fake_GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count) {
  if (!known(slot)) return CKR_SLOT_ID_INVALID;
  if (list && *count < mechanisms().size()) return *count = mechanisms().size(), CKR_BUFFER_TOO_SMALL;
  if (list) {
    for (const auto& [type, info] : mechanisms()) *list++ = type;
  }
  *count = mechanisms().size();
  return CKR_OK;
}

CK_RV fake_GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
  if (!known(slot)) return CKR_SLOT_ID_INVALID;
  auto found = mechanisms().find(type);
  if (found == mechanisms().end()) return CKR_MECHANISM_INVALID;
  *info = found->second;
  return CKR_OK;
}

CK_RV fake_OpenSession(CK_SLOT_ID slot, CK_FLAGS, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR session) {
  if (slot != token_slot()) return CKR_SLOT_ID_INVALID;
  if (!present()) return CKR_TOKEN_NOT_PRESENT;
  if (never_set_up()) return CKR_TOKEN_NOT_RECOGNIZED;
  *session = token().next_session++;
  token().sessions[*session] = Session{};
  return CKR_OK;
}

CK_RV fake_CloseSession(CK_SESSION_HANDLE session) {
  return token().sessions.erase(session) ? CKR_OK : CKR_SESSION_HANDLE_INVALID;
}

bool is_pin(CK_UTF8CHAR_PTR pin, CK_ULONG length) {
  return length == token().pin.size() && std::memcmp(pin, token().pin.data(), length) == 0;
}

CK_RV fake_Login(CK_SESSION_HANDLE session, CK_USER_TYPE, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
  ++token().calls["C_Login"];
  if (!session_of(session)) return CKR_SESSION_HANDLE_INVALID;
  if (std::getenv("FAKE_TOKEN_PIN_LOCKED")) return CKR_PIN_LOCKED;
  if (is_pin(pin, length)) return CKR_OK;
  const char* presence = std::getenv("FAKE_TOKEN_PRESENCE_FILE");
  if (presence && std::getenv("FAKE_TOKEN_PULLED_ON_WRONG_PIN")) std::remove(presence);
  return CKR_PIN_INCORRECT;
}

CK_RV fake_InitToken(CK_SLOT_ID slot, CK_UTF8CHAR_PTR pin, CK_ULONG length, CK_UTF8CHAR_PTR) {
  ++token().calls["C_InitToken"];
  if (slot != token_slot()) return CKR_SLOT_ID_INVALID;
  if (!present()) return CKR_TOKEN_NOT_PRESENT;
  if (std::getenv("FAKE_TOKEN_INIT_FAILS")) return CKR_DEVICE_ERROR;
  token().pin.assign(reinterpret_cast<const char*>(pin), length);
  token().set_up_here = true;
  return CKR_OK;
}

CK_RV fake_SetPIN(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR old_pin, CK_ULONG old_length, CK_UTF8CHAR_PTR new_pin,
                  CK_ULONG new_length) {
  ++token().calls["C_SetPIN"];
  if (!session_of(session)) return CKR_SESSION_HANDLE_INVALID;
  if (!is_pin(old_pin, old_length)) return CKR_PIN_INCORRECT;
  token().pin.assign(reinterpret_cast<const char*>(new_pin), new_length);
  return CKR_OK;
}

template <typename T>
T scalar(const CK_ATTRIBUTE& attribute) {
  T value{};
  std::memcpy(&value, attribute.pValue, std::min<size_t>(sizeof value, attribute.ulValueLen));
  return value;
}

CK_RV fake_CreateObject(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR attributes, CK_ULONG count,
                     CK_OBJECT_HANDLE_PTR object) {
  if (!session_of(session)) return CKR_SESSION_HANDLE_INVALID;
  Object created{CKO_DATA, 0, {}, {}};
  for (CK_ULONG i = 0; i < count; ++i) {
    const CK_ATTRIBUTE& a = attributes[i];
    const auto* bytes = static_cast<const uint8_t*>(a.pValue);
    if (a.type == CKA_CLASS) created.object_class = scalar<CK_OBJECT_CLASS>(a);
    if (a.type == CKA_KEY_TYPE) created.key_type = scalar<CK_KEY_TYPE>(a);
    if (a.type == CKA_LABEL) created.label.assign(reinterpret_cast<const char*>(bytes), a.ulValueLen);
    if (a.type == CKA_VALUE) created.value.assign(bytes, bytes + a.ulValueLen);
  }
  if (created.object_class == CKO_SECRET_KEY && created.value.empty()) return CKR_TEMPLATE_INCOMPLETE;
  *object = token().next_object++;
  token().objects[*object] = created;
  return CKR_OK;
}

CK_RV fake_DestroyObject(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object) {
  if (!session_of(session)) return CKR_SESSION_HANDLE_INVALID;
  return token().objects.erase(object) ? CKR_OK : CKR_OBJECT_HANDLE_INVALID;
}

CK_RV fake_GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE handle, CK_ATTRIBUTE_PTR attributes,
                          CK_ULONG count) {
  if (!session_of(session)) return CKR_SESSION_HANDLE_INVALID;
  Object* object = object_of(handle);
  if (!object) return CKR_OBJECT_HANDLE_INVALID;
  CK_RV rv = CKR_OK;
  for (CK_ULONG i = 0; i < count; ++i) {
    std::vector<uint8_t> bytes;
    if (attributes[i].type == CKA_LABEL) bytes.assign(object->label.begin(), object->label.end());
    else if (attributes[i].type == CKA_VALUE) bytes = object->value;
    else {
      attributes[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
      rv = CKR_ATTRIBUTE_TYPE_INVALID;
      continue;
    }
    if (CK_RV result = put(static_cast<CK_BYTE_PTR>(attributes[i].pValue), &attributes[i].ulValueLen, bytes);
        result != CKR_OK) {
      rv = result;
    }
  }
  return rv;
}

CK_RV fake_FindObjectsInit(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
  Session* session = session_of(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  session->found.clear();
  for (const auto& [object, data] : token().objects) {
    bool matches = true;
    for (CK_ULONG i = 0; i < count; ++i) {
      if (attributes[i].type == CKA_CLASS) matches &= scalar<CK_OBJECT_CLASS>(attributes[i]) == data.object_class;
      if (attributes[i].type == CKA_KEY_TYPE) matches &= scalar<CK_KEY_TYPE>(attributes[i]) == data.key_type;
    }
    if (matches) session->found.push_back(object);
  }
  return CKR_OK;
}

CK_RV fake_FindObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE_PTR objects, CK_ULONG room, CK_ULONG_PTR count) {
  Session* session = session_of(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  *count = std::min<CK_ULONG>(room, session->found.size());
  std::copy_n(session->found.begin(), *count, objects);
  session->found.erase(session->found.begin(), session->found.begin() + *count);
  return CKR_OK;
}

CK_RV fake_FindObjectsFinal(CK_SESSION_HANDLE handle) { return session_of(handle) ? CKR_OK : CKR_SESSION_HANDLE_INVALID; }

CK_RV cipher_init(Operation Session::*slot, CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism,
                  CK_OBJECT_HANDLE key) {
  Session* session = session_of(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  if (mechanism->mechanism != CKM_DES_CBC || mechanism->ulParameterLen != 8) return CKR_MECHANISM_INVALID;
  Object* object = object_of(key);
  if (!object || object->object_class != CKO_SECRET_KEY) return CKR_KEY_HANDLE_INVALID;
  const auto* vector = static_cast<const uint8_t*>(mechanism->pParameter);
  session->*slot = Operation{true, object->value, {vector, vector + 8}};
  return CKR_OK;
}

CK_RV cipher(Operation Session::*slot, CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,
             CK_ULONG_PTR out_length) {
  Session* session = session_of(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  Operation& op = session->*slot;
  if (!op.active) return CKR_OPERATION_NOT_INITIALIZED;
  if (length % 8 != 0) return op.active = false, CKR_DATA_LEN_RANGE;
  CK_RV rv = put(out, out_length, toy_cipher(op, data, length));
  if (rv == CKR_OK && out) op.active = false;
  return rv;
}

CK_RV fake_EncryptInit(CK_SESSION_HANDLE s, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE k) {
  return cipher_init(&Session::encrypt, s, m, k);
}
CK_RV fake_Encrypt(CK_SESSION_HANDLE s, CK_BYTE_PTR d, CK_ULONG l, CK_BYTE_PTR o, CK_ULONG_PTR ol) {
  return cipher(&Session::encrypt, s, d, l, o, ol);
}
CK_RV fake_DecryptInit(CK_SESSION_HANDLE s, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE k) {
  return cipher_init(&Session::decrypt, s, m, k);
}
CK_RV fake_Decrypt(CK_SESSION_HANDLE s, CK_BYTE_PTR d, CK_ULONG l, CK_BYTE_PTR o, CK_ULONG_PTR ol) {
  return cipher(&Session::decrypt, s, d, l, o, ol);
}

CK_RV fake_DigestInit(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism) {
  Session* session = session_of(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  if (mechanism->mechanism != CKM_SHA_1) return CKR_MECHANISM_INVALID;
  if (session->digest.active) return CKR_OPERATION_ACTIVE;
  session->digest = Operation{true, {}, {}};
  return CKR_OK;
}

CK_RV fake_DigestKey(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE key) {
  Session* session = session_of(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  Object* object = object_of(key);
  if (!object) return CKR_KEY_HANDLE_INVALID;
  session->digest.key.insert(session->digest.key.end(), object->value.begin(), object->value.end());
  return CKR_OK;
}

CK_RV fake_DigestFinal(CK_SESSION_HANDLE handle, CK_BYTE_PTR out, CK_ULONG_PTR out_length) {
  Session* session = session_of(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  if (!session->digest.active) return CKR_OPERATION_NOT_INITIALIZED;
  std::vector<uint8_t> digest(SHA_DIGEST_LENGTH);
  SHA1(session->digest.key.data(), session->digest.key.size(), digest.data());
  CK_RV rv = put(out, out_length, digest);
  if (rv == CKR_OK && out) session->digest.active = false;
  return rv;
}

CK_RV fake_Digest(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,
               CK_ULONG_PTR out_length) {
  Session* session = session_of(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  if (!session->digest.active) return CKR_OPERATION_NOT_INITIALIZED;
  session->digest.key.insert(session->digest.key.end(), data, data + length);
  return fake_DigestFinal(handle, out, out_length);
}

CK_RV fake_GenerateKey(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_ATTRIBUTE_PTR attributes,
                    CK_ULONG count, CK_OBJECT_HANDLE_PTR key) {
  if (!session_of(session)) return CKR_SESSION_HANDLE_INVALID;
  if (mechanism->mechanism != CKM_DES_KEY_GEN) return CKR_MECHANISM_INVALID;
  std::vector<CK_ATTRIBUTE> full(attributes, attributes + count);
  CK_OBJECT_CLASS secret = CKO_SECRET_KEY;
  CK_KEY_TYPE des = CKK_DES;
  uint8_t value[8];
  for (uint8_t& byte : value) byte = static_cast<uint8_t>(token().next_object * 31 + (&byte - value));
  full.push_back({CKA_CLASS, &secret, sizeof secret});
  full.push_back({CKA_KEY_TYPE, &des, sizeof des});
  full.push_back({CKA_VALUE, value, sizeof value});
  return fake_CreateObject(session, full.data(), full.size(), key);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int fake_token_calls(const char* name) {
  if (!token_state()) return 0;
  auto found = token().calls.find(name);
  return found == token().calls.end() ? 0 : found->second;
}

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  static CK_FUNCTION_LIST functions = [] {
    CK_FUNCTION_LIST f{};
    f.version = {2, 10};
    f.C_Initialize = fake_Initialize;
    f.C_Finalize = fake_Finalize;
    f.C_GetSlotList = fake_GetSlotList;
    f.C_GetSlotInfo = fake_GetSlotInfo;
    f.C_GetTokenInfo = fake_GetTokenInfo;
    f.C_GetMechanismList = fake_GetMechanismList;
    f.C_GetMechanismInfo = fake_GetMechanismInfo;
    f.C_OpenSession = fake_OpenSession;
    f.C_CloseSession = fake_CloseSession;
    f.C_Login = fake_Login;
    f.C_InitToken = fake_InitToken;
    f.C_SetPIN = fake_SetPIN;
    f.C_CreateObject = fake_CreateObject;
    f.C_DestroyObject = fake_DestroyObject;
    f.C_GetAttributeValue = fake_GetAttributeValue;
    f.C_FindObjectsInit = fake_FindObjectsInit;
    f.C_FindObjects = fake_FindObjects;
    f.C_FindObjectsFinal = fake_FindObjectsFinal;
    f.C_EncryptInit = fake_EncryptInit;
    f.C_Encrypt = fake_Encrypt;
    f.C_DecryptInit = fake_DecryptInit;
    f.C_Decrypt = fake_Decrypt;
    f.C_DigestInit = fake_DigestInit;
    f.C_Digest = fake_Digest;
    f.C_DigestKey = fake_DigestKey;
    f.C_DigestFinal = fake_DigestFinal;
    f.C_GenerateKey = fake_GenerateKey;
    f.C_SignInit = [](CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) -> CK_RV { return CKR_MECHANISM_INVALID; };
    f.C_Sign = [](CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) -> CK_RV {
      return CKR_OPERATION_NOT_INITIALIZED;
    };
    f.C_VerifyInit = [](CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) -> CK_RV {
      return CKR_MECHANISM_INVALID;
    };
    f.C_Verify = [](CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG) -> CK_RV {
      return CKR_OPERATION_NOT_INITIALIZED;
    };
    f.C_GenerateKeyPair = [](CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_ATTRIBUTE_PTR,
                             CK_ULONG, CK_OBJECT_HANDLE_PTR, CK_OBJECT_HANDLE_PTR) -> CK_RV {
      return CKR_MECHANISM_INVALID;
    };
    f.C_UnwrapKey = [](CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG,
                       CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) -> CK_RV { return CKR_MECHANISM_INVALID; };
    f.C_WrapKey = [](CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE, CK_BYTE_PTR,
                     CK_ULONG_PTR) -> CK_RV { return CKR_MECHANISM_INVALID; };
    return f;
  }();
  if (std::getenv("FAKE_TOKEN_REFUSE")) return CKR_GENERAL_ERROR;
  functions.C_WrapKey = nullptr;
  if (!std::getenv("FAKE_TOKEN_INCOMPLETE")) {
    functions.C_WrapKey = [](CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE, CK_BYTE_PTR,
                             CK_ULONG_PTR) -> CK_RV { return CKR_MECHANISM_INVALID; };
  }
  *list = &functions;
  return CKR_OK;
}
