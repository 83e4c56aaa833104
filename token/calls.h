#pragma once
// The bodies of the PKCS #11 calls. entry.cpp has already checked the
// initialised flag, taken the process lock and looked the session up; these
// check the remaining arguments and carry the call out.
#include "token/module.h"
#include "token/pkcs11.h"

namespace zyp::softtok {

// The longest PIN taken; longer ones get CKR_PIN_LEN_RANGE.
inline constexpr CK_ULONG kMaxPinLength = 255;

// sessions.cpp: sessions, login and the token's PIN.
CK_RV open_session(Module& m, CK_SLOT_ID slot, CK_FLAGS flags, void* application, CK_NOTIFY notify,
                   CK_SESSION_HANDLE* session);
CK_RV close_session(Module& m, CK_SESSION_HANDLE session);
CK_RV close_all_sessions(Module& m, CK_SLOT_ID slot);
CK_RV get_session_info(const Session& s, CK_SESSION_INFO* info);
CK_RV login(Module& m, Session& s, CK_USER_TYPE user, const CK_UTF8CHAR* pin, CK_ULONG pin_length);
CK_RV logout(Session& s);
CK_RV set_pin(Module& m, Session& s, const CK_UTF8CHAR* old_pin, CK_ULONG old_length, const CK_UTF8CHAR* new_pin,
              CK_ULONG new_length);
CK_RV init_token(Module& m, CK_SLOT_ID slot, const CK_UTF8CHAR* pin, CK_ULONG pin_length, const CK_UTF8CHAR* label);

// object_calls.cpp: objects in sessions and in the key store.
// Object creation with the store switch: no access check; with `store`, a
// CKK_DES_40 value is expanded and a token object of slot 0 or 1 is written
// to the key store.
CK_RV create_object(Module& m, Session& s, Template attributes, bool store, CK_OBJECT_HANDLE* object);
// C_CreateObject: the access check on the template, then creation with storing.
CK_RV create_checked_object(Module& m, Session& s, Template attributes, CK_OBJECT_HANDLE* object);
CK_RV create_object_call(Module& m, Session& s, const CK_ATTRIBUTE* attributes, CK_ULONG count,
                         CK_OBJECT_HANDLE* object);
CK_RV copy_object(Module& m, Session& s, CK_OBJECT_HANDLE original, const CK_ATTRIBUTE* attributes,
                  CK_ULONG count, CK_OBJECT_HANDLE* object);
CK_RV destroy_object(Module& m, Session& s, CK_OBJECT_HANDLE object);
CK_RV get_object_size(Session& s, CK_OBJECT_HANDLE object, CK_ULONG* size);
CK_RV get_attribute_value(Session& s, CK_OBJECT_HANDLE object, CK_ATTRIBUTE* attributes, CK_ULONG count);
CK_RV set_attribute_value(Module& m, Session& s, CK_OBJECT_HANDLE object, const CK_ATTRIBUTE* attributes,
                          CK_ULONG count);
// Login's loading step: the store's objects become objects of the session,
// except those whose section the session already holds.
void load_stored_objects(Module& m, Session& s, const PlainStore& store);

// search.cpp
CK_RV find_objects_init(Module& m, Session& s, const CK_ATTRIBUTE* attributes, CK_ULONG count);
CK_RV find_objects(Module& m, CK_OBJECT_HANDLE* objects, CK_ULONG max_count, CK_ULONG* count);
CK_RV find_objects_final(Module& m);

// operations.cpp: ciphers, digests, secret keys and random data.
CK_RV cipher_init(Session& s, const CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key, bool encrypt);
CK_RV cipher_part(Session& s, bool encrypt, bool last, const CK_BYTE* input, CK_ULONG input_length,
                  CK_BYTE* output, CK_ULONG* output_length);
CK_RV cipher_final(Session& s, bool encrypt, CK_BYTE* output, CK_ULONG* output_length);
CK_RV digest_init(Session& s, const CK_MECHANISM* mechanism);
CK_RV digest_update(Session& s, const CK_BYTE* part, CK_ULONG length);
CK_RV digest_key(Session& s, CK_OBJECT_HANDLE key);
// C_Digest (with `data`) and C_DigestFinal (without).
CK_RV digest_finish(Session& s, const CK_BYTE* data, CK_ULONG length, bool with_data, CK_BYTE* digest,
                    CK_ULONG* digest_length);
CK_RV generate_key(Module& m, Session& s, const CK_MECHANISM* mechanism, const CK_ATTRIBUTE* attributes,
                   CK_ULONG count, CK_OBJECT_HANDLE* key);
CK_RV generate_random(CK_BYTE* data, CK_ULONG length);
// Sign, verify and derive: nothing the slot does not list gets further than
// CKR_MECHANISM_INVALID, and nothing is carried out.
CK_RV unsupported_init(const Session& s, const CK_MECHANISM* mechanism);

// rsa.cpp: RSA key pairs and key wrapping.
CK_RV generate_key_pair(Module& m, Session& s, const CK_MECHANISM* mechanism, const CK_ATTRIBUTE* public_template,
                        CK_ULONG public_count, const CK_ATTRIBUTE* private_template, CK_ULONG private_count,
                        CK_OBJECT_HANDLE* public_key, CK_OBJECT_HANDLE* private_key);
CK_RV wrap_key(Session& s, const CK_MECHANISM* mechanism, CK_OBJECT_HANDLE wrapping_key, CK_OBJECT_HANDLE key,
               CK_BYTE* wrapped, CK_ULONG* wrapped_length);
CK_RV unwrap_key(Module& m, Session& s, const CK_MECHANISM* mechanism, CK_OBJECT_HANDLE unwrapping_key,
                 const CK_BYTE* wrapped, CK_ULONG wrapped_length, const CK_ATTRIBUTE* attributes, CK_ULONG count,
                 CK_OBJECT_HANDLE* key);

}  // namespace zyp::softtok
