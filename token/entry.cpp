// The PKCS #11 entry points: each one keeps exceptions inside, checks the
// initialised flag, takes the process lock and looks the session up, then
// hands over to the call's body (calls.h). Only the C_ functions are
// exported.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "token/calls.h"
#include "token/slots.h"
#include "zyp/export.h"

namespace zyp::softtok {
namespace {

constexpr CK_VERSION kCryptokiVersion{2, 10};
constexpr CK_VERSION kLibraryVersion{1, 1};
constexpr CK_SLOT_ID kNoSlot = 0xFFFFFFFF;
constexpr auto kSlotPollInterval = std::chrono::milliseconds(100);

template <class Body>
CK_RV guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  } catch (...) {
    return CKR_GENERAL_ERROR;
  }
}

template <class Body>
CK_RV with_module(Body&& body) noexcept {
  return guarded([&]() -> CK_RV {
    if (!cryptoki_initialised()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    Module* m = module();
    if (!m) return CKR_GENERAL_ERROR;
    std::lock_guard guard(m->lock);
    return body(*m);
  });
}

template <class Body>
CK_RV with_session(CK_SESSION_HANDLE handle, Body&& body) noexcept {
  return with_module([&](Module& m) -> CK_RV {
    Session* s = m.find_session(handle);
    if (!s) return CKR_SESSION_HANDLE_INVALID;
    return body(m, *s);
  });
}

// Calls that this token does not carry out: after the usual checks they
// fail, so that nothing takes a missing result for a real one.
CK_RV not_supported(CK_SESSION_HANDLE handle) noexcept {
  return with_session(handle, [](Module&, Session&) { return CKR_FUNCTION_NOT_SUPPORTED; });
}

CK_RV not_supported_init(CK_SESSION_HANDLE handle, CK_MECHANISM* mechanism) noexcept {
  return with_session(handle, [&](Module&, Session& s) { return unsupported_init(s, mechanism); });
}

template <size_t N>
void put_text(unsigned char (&field)[N], const char* text) {
  size_t used = std::min(N, std::strlen(text));
  std::memcpy(field, text, used);
  std::memset(field + used, ' ', N - used);
}

CK_RV get_slot_list(CK_BBOOL token_present, CK_SLOT_ID* list, CK_ULONG* count) {
  if (!count) return CKR_ARGUMENTS_BAD;
  // The null-list answer is the number of slots (only slot 0 is sure to
  // have a token); the list itself names slot 0, the token the suite works
  // with. A list must hold at least the one entry it receives.
  if (!list) {
    *count = token_present ? 1 : kSlotCount;
    return CKR_OK;
  }
  if (*count < 1) {
    *count = 1;
    return CKR_BUFFER_TOO_SMALL;
  }
  list[0] = kFileSlot;
  *count = 1;
  return CKR_OK;
}

CK_RV get_mechanism_list(CK_SLOT_ID slot, CK_MECHANISM_TYPE* list, CK_ULONG* count) {
  if (!valid_slot(slot)) return CKR_SLOT_ID_INVALID;
  if (!count) return CKR_ARGUMENTS_BAD;
  auto mechanisms = slot_mechanisms(slot);
  if (list && *count < mechanisms.size()) {
    *count = mechanisms.size();
    return CKR_BUFFER_TOO_SMALL;
  }
  if (list) std::copy(mechanisms.begin(), mechanisms.end(), list);
  *count = mechanisms.size();
  return CKR_OK;
}

CK_RV wait_for_slot_event(CK_FLAGS flags, CK_SLOT_ID* slot) {
  if (!slot) return CKR_ARGUMENTS_BAD;
  *slot = kNoSlot;
  for (;;) {
    std::optional<CK_SLOT_ID> event;
    CK_RV rv = with_module([&](Module&) {
      event = pending_slot_event();
      return CKR_OK;
    });
    if (rv != CKR_OK) return rv;
    if (event) {
      *slot = *event;
      return CKR_OK;
    }
    if (flags & CKF_DONT_BLOCK) return CKR_NO_EVENT;
    std::this_thread::sleep_for(kSlotPollInterval);
  }
}

}  // namespace
}  // namespace zyp::softtok

using namespace zyp::softtok;

ZYP_API CK_RV C_Initialize(CK_VOID_PTR) { return guarded([] { return initialise_cryptoki(); }); }

// Ends this process's use of the module; sessions stay open. Other
// processes that initialised it keep it initialised.
ZYP_API CK_RV C_Finalize(CK_VOID_PTR) {
  return with_module([](Module&) {
    finalise_cryptoki();
    return CKR_OK;
  });
}

ZYP_API CK_RV C_GetInfo(CK_INFO_PTR info) {
  return with_module([&](Module&) -> CK_RV {
    if (!info) return CKR_ARGUMENTS_BAD;
    info->cryptokiVersion = kCryptokiVersion;
    put_text(info->manufacturerID, "Fenwarild Inc(tm)");
    info->flags = 0;
    put_text(info->libraryDescription, "Hard Disk");
    info->libraryVersion = kLibraryVersion;
    return CKR_OK;
  });
}

ZYP_API CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list);

ZYP_API CK_RV C_GetSlotList(CK_BBOOL token_present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
  return with_module([&](Module&) { return get_slot_list(token_present, list, count); });
}

ZYP_API CK_RV C_GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
  return with_module([&](Module&) -> CK_RV {
    if (!valid_slot(slot)) return CKR_SLOT_ID_INVALID;
    if (!info) return CKR_ARGUMENTS_BAD;
    get_slot_info(slot, *info);
    return CKR_OK;
  });
}

ZYP_API CK_RV C_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
  return with_module([&](Module&) -> CK_RV {
    if (!valid_slot(slot)) return CKR_SLOT_ID_INVALID;
    if (!info) return CKR_ARGUMENTS_BAD;
    return get_token_info(slot, *info);
  });
}

ZYP_API CK_RV C_GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count) {
  return with_module([&](Module&) { return get_mechanism_list(slot, list, count); });
}

ZYP_API CK_RV C_GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
  return with_module([&](Module&) -> CK_RV {
    if (!valid_slot(slot)) return CKR_SLOT_ID_INVALID;
    if (!info) return CKR_ARGUMENTS_BAD;
    const CK_MECHANISM_INFO* known = mechanism_info(type);
    if (!known) return CKR_MECHANISM_INVALID;
    *info = *known;
    return CKR_OK;
  });
}

ZYP_API CK_RV C_InitToken(CK_SLOT_ID slot, CK_UTF8CHAR_PTR pin, CK_ULONG pin_length, CK_UTF8CHAR_PTR label) {
  return with_module([&](Module& m) { return init_token(m, slot, pin, pin_length, label); });
}

ZYP_API CK_RV C_InitPIN(CK_SESSION_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG) { return CKR_FUNCTION_NOT_SUPPORTED; }

ZYP_API CK_RV C_SetPIN(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR old_pin, CK_ULONG old_length, CK_UTF8CHAR_PTR new_pin,
                       CK_ULONG new_length) {
  return with_session(session,
                      [&](Module& m, Session& s) { return set_pin(m, s, old_pin, old_length, new_pin, new_length); });
}

ZYP_API CK_RV C_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR application, CK_NOTIFY notify,
                            CK_SESSION_HANDLE_PTR session) {
  return with_module([&](Module& m) { return open_session(m, slot, flags, application, notify, session); });
}

ZYP_API CK_RV C_CloseSession(CK_SESSION_HANDLE session) {
  return with_module([&](Module& m) { return close_session(m, session); });
}

ZYP_API CK_RV C_CloseAllSessions(CK_SLOT_ID slot) {
  return with_module([&](Module& m) { return close_all_sessions(m, slot); });
}

ZYP_API CK_RV C_GetSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info) {
  return with_session(session, [&](Module&, Session& s) { return get_session_info(s, info); });
}

ZYP_API CK_RV C_GetOperationState(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG_PTR) {
  return not_supported(session);
}

ZYP_API CK_RV C_SetOperationState(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE,
                                  CK_OBJECT_HANDLE) {
  return not_supported(session);
}

ZYP_API CK_RV C_Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG pin_length) {
  return with_session(session, [&](Module& m, Session& s) { return login(m, s, user, pin, pin_length); });
}

ZYP_API CK_RV C_Logout(CK_SESSION_HANDLE session) {
  return with_session(session, [](Module&, Session& s) { return logout(s); });
}

ZYP_API CK_RV C_CreateObject(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR attributes, CK_ULONG count,
                             CK_OBJECT_HANDLE_PTR object) {
  return with_session(session,
                      [&](Module& m, Session& s) { return create_object_call(m, s, attributes, count, object); });
}

ZYP_API CK_RV C_CopyObject(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE original, CK_ATTRIBUTE_PTR attributes,
                           CK_ULONG count, CK_OBJECT_HANDLE_PTR object) {
  return with_session(session,
                      [&](Module& m, Session& s) { return copy_object(m, s, original, attributes, count, object); });
}

ZYP_API CK_RV C_DestroyObject(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object) {
  return with_session(session, [&](Module& m, Session& s) { return destroy_object(m, s, object); });
}

ZYP_API CK_RV C_GetObjectSize(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ULONG_PTR size) {
  return with_session(session, [&](Module&, Session& s) { return get_object_size(s, object, size); });
}

ZYP_API CK_RV C_GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes,
                                  CK_ULONG count) {
  return with_session(session,
                      [&](Module&, Session& s) { return get_attribute_value(s, object, attributes, count); });
}

ZYP_API CK_RV C_SetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes,
                                  CK_ULONG count) {
  return with_session(session,
                      [&](Module& m, Session& s) { return set_attribute_value(m, s, object, attributes, count); });
}

ZYP_API CK_RV C_FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
  return with_session(session,
                      [&](Module& m, Session& s) { return find_objects_init(m, s, attributes, count); });
}

ZYP_API CK_RV C_FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR objects, CK_ULONG max_count,
                            CK_ULONG_PTR count) {
  return with_session(session, [&](Module& m, Session&) { return find_objects(m, objects, max_count, count); });
}

ZYP_API CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE session) {
  return with_session(session, [](Module& m, Session&) { return find_objects_final(m); });
}

ZYP_API CK_RV C_EncryptInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
  return with_session(session, [&](Module&, Session& s) { return cipher_init(s, mechanism, key, true); });
}

ZYP_API CK_RV C_Encrypt(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,
                        CK_ULONG_PTR out_length) {
  return with_session(session,
                      [&](Module&, Session& s) { return cipher_part(s, true, true, data, length, out, out_length); });
}

ZYP_API CK_RV C_EncryptUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,
                              CK_ULONG_PTR out_length) {
  return with_session(session,
                      [&](Module&, Session& s) { return cipher_part(s, true, false, data, length, out, out_length); });
}

ZYP_API CK_RV C_EncryptFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR out, CK_ULONG_PTR out_length) {
  return with_session(session, [&](Module&, Session& s) { return cipher_final(s, true, out, out_length); });
}

ZYP_API CK_RV C_DecryptInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
  return with_session(session, [&](Module&, Session& s) { return cipher_init(s, mechanism, key, false); });
}

ZYP_API CK_RV C_Decrypt(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,
                        CK_ULONG_PTR out_length) {
  return with_session(session,
                      [&](Module&, Session& s) { return cipher_part(s, false, true, data, length, out, out_length); });
}

ZYP_API CK_RV C_DecryptUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,
                              CK_ULONG_PTR out_length) {
  return with_session(session,
                      [&](Module&, Session& s) { return cipher_part(s, false, false, data, length, out, out_length); });
}

ZYP_API CK_RV C_DecryptFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR out, CK_ULONG_PTR out_length) {
  return with_session(session, [&](Module&, Session& s) { return cipher_final(s, false, out, out_length); });
}

ZYP_API CK_RV C_DigestInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism) {
  return with_session(session, [&](Module&, Session& s) { return digest_init(s, mechanism); });
}

ZYP_API CK_RV C_Digest(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR digest,
                       CK_ULONG_PTR digest_length) {
  return with_session(session,
                      [&](Module&, Session& s) { return digest_finish(s, data, length, true, digest, digest_length); });
}

ZYP_API CK_RV C_DigestUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG length) {
  return with_session(session, [&](Module&, Session& s) { return digest_update(s, part, length); });
}

ZYP_API CK_RV C_DigestKey(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
  return with_session(session, [&](Module&, Session& s) { return digest_key(s, key); });
}

ZYP_API CK_RV C_DigestFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR digest, CK_ULONG_PTR digest_length) {
  return with_session(session,
                      [&](Module&, Session& s) { return digest_finish(s, nullptr, 0, false, digest, digest_length); });
}

ZYP_API CK_RV C_SignInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE) {
  return not_supported_init(session, mechanism);
}

ZYP_API CK_RV C_Sign(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return not_supported(session);
}

ZYP_API CK_RV C_SignUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG) { return not_supported(session); }

ZYP_API CK_RV C_SignFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG_PTR) { return not_supported(session); }

ZYP_API CK_RV C_SignRecoverInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE) {
  return not_supported_init(session, mechanism);
}

ZYP_API CK_RV C_SignRecover(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return not_supported(session);
}

ZYP_API CK_RV C_VerifyInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE) {
  return not_supported_init(session, mechanism);
}

ZYP_API CK_RV C_Verify(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG) {
  return not_supported(session);
}

ZYP_API CK_RV C_VerifyUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG) { return not_supported(session); }

ZYP_API CK_RV C_VerifyFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG) { return not_supported(session); }

ZYP_API CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE) {
  return not_supported_init(session, mechanism);
}

ZYP_API CK_RV C_VerifyRecover(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return not_supported(session);
}

ZYP_API CK_RV C_DigestEncryptUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return not_supported(session);
}

ZYP_API CK_RV C_DecryptDigestUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return not_supported(session);
}

ZYP_API CK_RV C_SignEncryptUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return not_supported(session);
}

ZYP_API CK_RV C_DecryptVerifyUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return not_supported(session);
}

ZYP_API CK_RV C_GenerateKey(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_ATTRIBUTE_PTR attributes,
                            CK_ULONG count, CK_OBJECT_HANDLE_PTR key) {
  return with_session(session,
                      [&](Module& m, Session& s) { return generate_key(m, s, mechanism, attributes, count, key); });
}

ZYP_API CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism,
                                CK_ATTRIBUTE_PTR public_template, CK_ULONG public_count,
                                CK_ATTRIBUTE_PTR private_template, CK_ULONG private_count,
                                CK_OBJECT_HANDLE_PTR public_key, CK_OBJECT_HANDLE_PTR private_key) {
  return with_session(session, [&](Module& m, Session& s) {
    return generate_key_pair(m, s, mechanism, public_template, public_count, private_template, private_count,
                             public_key, private_key);
  });
}

ZYP_API CK_RV C_WrapKey(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE wrapping_key,
                        CK_OBJECT_HANDLE key, CK_BYTE_PTR wrapped, CK_ULONG_PTR wrapped_length) {
  return with_session(session, [&](Module&, Session& s) {
    return wrap_key(s, mechanism, wrapping_key, key, wrapped, wrapped_length);
  });
}

ZYP_API CK_RV C_UnwrapKey(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE unwrapping_key,
                          CK_BYTE_PTR wrapped, CK_ULONG wrapped_length, CK_ATTRIBUTE_PTR attributes, CK_ULONG count,
                          CK_OBJECT_HANDLE_PTR key) {
  return with_session(session, [&](Module& m, Session& s) {
    return unwrap_key(m, s, mechanism, unwrapping_key, wrapped, wrapped_length, attributes, count, key);
  });
}

ZYP_API CK_RV C_DeriveKey(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR,
                          CK_ULONG, CK_OBJECT_HANDLE_PTR) {
  return not_supported_init(session, mechanism);
}

// Accepted and without effect: every random byte comes from the operating
// system's generator.
ZYP_API CK_RV C_SeedRandom(CK_SESSION_HANDLE session, CK_BYTE_PTR seed, CK_ULONG length) {
  return with_session(session, [&](Module&, Session&) { return !seed && length ? CKR_ARGUMENTS_BAD : CKR_OK; });
}

ZYP_API CK_RV C_GenerateRandom(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length) {
  return with_session(session, [&](Module&, Session&) { return generate_random(data, length); });
}

ZYP_API CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE) {
  return with_module([](Module&) { return CKR_OK; });
}

ZYP_API CK_RV C_CancelFunction(CK_SESSION_HANDLE) {
  return with_module([](Module&) { return CKR_OK; });
}

ZYP_API CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR slot, CK_VOID_PTR) {
  return guarded([&] { return wait_for_slot_event(flags, slot); });
}

namespace {

CK_FUNCTION_LIST function_list = {
    kCryptokiVersion,
    C_Initialize,
    C_Finalize,
    C_GetInfo,
    C_GetFunctionList,
    C_GetSlotList,
    C_GetSlotInfo,
    C_GetTokenInfo,
    C_GetMechanismList,
    C_GetMechanismInfo,
    C_InitToken,
    C_InitPIN,
    C_SetPIN,
    C_OpenSession,
    C_CloseSession,
    C_CloseAllSessions,
    C_GetSessionInfo,
    C_GetOperationState,
    C_SetOperationState,
    C_Login,
    C_Logout,
    C_CreateObject,
    C_CopyObject,
    C_DestroyObject,
    C_GetObjectSize,
    C_GetAttributeValue,
    C_SetAttributeValue,
    C_FindObjectsInit,
    C_FindObjects,
    C_FindObjectsFinal,
    C_EncryptInit,
    C_Encrypt,
    C_EncryptUpdate,
    C_EncryptFinal,
    C_DecryptInit,
    C_Decrypt,
    C_DecryptUpdate,
    C_DecryptFinal,
    C_DigestInit,
    C_Digest,
    C_DigestUpdate,
    C_DigestKey,
    C_DigestFinal,
    C_SignInit,
    C_Sign,
    C_SignUpdate,
    C_SignFinal,
    C_SignRecoverInit,
    C_SignRecover,
    C_VerifyInit,
    C_Verify,
    C_VerifyUpdate,
    C_VerifyFinal,
    C_VerifyRecoverInit,
    C_VerifyRecover,
    C_DigestEncryptUpdate,
    C_DecryptDigestUpdate,
    C_SignEncryptUpdate,
    C_DecryptVerifyUpdate,
    C_GenerateKey,
    C_GenerateKeyPair,
    C_WrapKey,
    C_UnwrapKey,
    C_DeriveKey,
    C_SeedRandom,
    C_GenerateRandom,
    C_GetFunctionStatus,
    C_CancelFunction,
    C_WaitForSlotEvent,
};

// Process attach and detach: the shared area and this process's state live
// while the module is loaded.
__attribute__((constructor)) void attach_process() {
  guarded([] {
    attach_shared_area();
    load_module();
    return CKR_OK;
  });
}

__attribute__((destructor)) void detach_process() {
  guarded([] {
    unload_module();
    detach_shared_area();
    return CKR_OK;
  });
}

}  // namespace

ZYP_API CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  if (!list) return CKR_ARGUMENTS_BAD;
  *list = &function_list;
  return CKR_OK;
}
