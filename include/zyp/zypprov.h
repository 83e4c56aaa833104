#pragma once
/* libzypprov: the crypto provider. It carries out the ZYPCIP calls on the
 * PKCS #11 module named by the machine profile ("General"/"SOFTTOK", default
 * "SOFTTOK.DLL", that is libsofttok.so).
 *
 * Tokens are named by their PKCS #11 slot identifier. Keys are named by a
 * 32-bit key identifier computed from the key's value; the provider keeps the
 * translation to object handles of the open sessions.
 *
 * Every call returns a 32-bit result (ZYPCIP_* below). Almost every call
 * needs a logged-in session on the token and answers ZYPCIP_TOKEN_FAILED (8)
 * without one. When the library could not attach (the token module is
 * missing or refuses to give its function list), every call with a result
 * code answers ZYPCIP_NO_TOKEN_MODULE (20), the calls that answer yes (1) or
 * no (0) answer no, and ZYPGetProviderLoadError says why.
 *
 * Output buffers and lists follow one rule: a null buffer or list is taken to
 * hold nothing, whatever capacity comes with it. Null input data with a
 * nonzero length, and null output scalars (counts, lengths, identifiers), are
 * refused with 8 before the token is touched. */
#include <stdint.h>

#include "zyp/export.h"

/* ---- Result codes ------------------------------------------------------- */
#define ZYPCIP_OK 0
#define ZYPCIP_TOO_SMALL 1          /* list or buffer too small; the need is stored */
#define ZYPCIP_TRUE 1               /* the yes/no calls */
#define ZYPCIP_CANNOT_GENERATE 3    /* the mechanism has no key generation */
#define ZYPCIP_BAD_LENGTH 5         /* not a multiple of the block size; signature length */
#define ZYPCIP_BAD_KEY_LENGTH 6     /* key value of the wrong length */
#define ZYPCIP_NO_MEMORY 7
#define ZYPCIP_TOKEN_FAILED 8       /* the token failed, or there is no usable session */
#define ZYPCIP_TYPE_3_KEY 10        /* random key asked for algorithm type 3 */
#define ZYPCIP_BAD_SIGNATURE 11
#define ZYPCIP_KEY_MAP_FULL 15      /* the key identifier could not be registered */
#define ZYPCIP_UNREACHABLE 16       /* client library only: no server */
#define ZYPCIP_UNKNOWN_KEY 17
#define ZYPCIP_KEY_EXISTS 19
#define ZYPCIP_NO_TOKEN_MODULE 20   /* the provider could not load its token module */

/* ---- Algorithm types ---------------------------------------------------- */
#define ZYPCIP_TYPE_ENCRYPTION 1 /* CKF_ENCRYPT and CKF_DECRYPT */
#define ZYPCIP_TYPE_SIGNATURE 2  /* CKF_SIGN and CKF_VERIFY */
#define ZYPCIP_TYPE_DIGEST 3     /* CKF_DIGEST */

/* ---- Records (packed, little-endian, byte for byte as carried) ---------- */
#pragma pack(push, 1)

/* One entry of a token, algorithm or key list: the token identifier,
 * mechanism type or key identifier, then a zero-terminated name. */
typedef struct ZYPCIPListEntry {
  uint32_t value;
  char name[256];
} ZYPCIPListEntry;

/* The private half of a recovery key pair. Components are big-endian,
 * right-aligned in their field with leading zero bytes. */
typedef struct ZYPRecoveryKeyRecord {
  uint16_t modulusBits; /* low 16 bits of CKA_MODULUS_BITS (1024) */
  uint8_t modulus[128];
  uint8_t publicExponent[128];
  uint8_t privateExponent[128];
  uint8_t prime1[64];
  uint8_t prime2[64];
  uint8_t exponent1[64];
  uint8_t exponent2[64];
  uint8_t coefficient[64];
} ZYPRecoveryKeyRecord;

/* The public half of a recovery key pair. */
typedef struct ZYPRecoveryPublicRecord {
  uint16_t modulusBits;
  uint8_t modulus[128];
  uint8_t publicExponent[128];
} ZYPRecoveryPublicRecord;

#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(ZYPCIPListEntry) == 260, "list entry layout");
static_assert(__builtin_offsetof(ZYPCIPListEntry, name) == 4, "list entry layout");
static_assert(sizeof(ZYPRecoveryKeyRecord) == 706, "recovery key record layout");
static_assert(__builtin_offsetof(ZYPRecoveryKeyRecord, modulus) == 2, "recovery key record layout");
static_assert(__builtin_offsetof(ZYPRecoveryKeyRecord, publicExponent) == 130, "recovery key record layout");
static_assert(__builtin_offsetof(ZYPRecoveryKeyRecord, privateExponent) == 258, "recovery key record layout");
static_assert(__builtin_offsetof(ZYPRecoveryKeyRecord, prime1) == 386, "recovery key record layout");
static_assert(__builtin_offsetof(ZYPRecoveryKeyRecord, prime2) == 450, "recovery key record layout");
static_assert(__builtin_offsetof(ZYPRecoveryKeyRecord, exponent1) == 514, "recovery key record layout");
static_assert(__builtin_offsetof(ZYPRecoveryKeyRecord, exponent2) == 578, "recovery key record layout");
static_assert(__builtin_offsetof(ZYPRecoveryKeyRecord, coefficient) == 642, "recovery key record layout");
static_assert(sizeof(ZYPRecoveryPublicRecord) == 258, "recovery public record layout");
static_assert(__builtin_offsetof(ZYPRecoveryPublicRecord, publicExponent) == 130, "recovery public record layout");
#else
_Static_assert(sizeof(ZYPCIPListEntry) == 260, "list entry layout");
_Static_assert(sizeof(ZYPRecoveryKeyRecord) == 706, "recovery key record layout");
_Static_assert(sizeof(ZYPRecoveryPublicRecord) == 258, "recovery public record layout");
#endif

/* ---- Configuration (each returns 0) -------------------------------------- */

/* Turns the inactivity watcher off and reads "General"/"CheckTokenPresence"
 * (user scope first, then machine scope, default 0): presence checking is
 * on exactly when the value is 1. */
ZYP_API int ZYPCIPReloadConfig(void);
/* Nonzero: sessions of tokens that are removed are closed within a second. */
ZYP_API int ZYPCIPSetCheckPresence(int32_t flag);
ZYP_API int ZYPCIPSetInactivityTime(uint32_t seconds);
/* Turns the inactivity watcher off; the value is not used. */
ZYP_API int ZYPCIPSetInactivity(int32_t value);

/* 1 when this process's load of the library could not attach the token
 * module: `text` (room for `size` bytes) then says which module, its path and
 * why, zero-terminated and cut to fit. 0 when the provider is attached. Not
 * forwarded by the client library: the server writes it to its log. */
ZYP_API int ZYPGetProviderLoadError(char* text, uint32_t size);

/* Clears the token's key map entries and closes its session, if any; the
 * entries of other tokens stay. Always 0. */
ZYP_API int ZYPCIPCloseSession(uint32_t token);
ZYP_API int ZYPCIPCloseSessionEx(uint32_t token);

/* ---- Session opening and PINs ---------------------------------------------
 *
 * These calls show the provider's dialogs (language module ZYPPROV) through
 * the user-interface host, on the calling thread: the insertion prompt, the
 * PIN dialog, the initialisation of a token that was never set up, and the
 * PIN change. One dialog runs at a time in a process; a second caller waits.
 * After three failed logins in a row each further failure makes the user
 * wait, 1 s at the fourth, doubling each time up to 256 s (the count is the
 * user's "Private"/"BadAuth" value; token 2 neither waits nor counts).
 * Initialisation, which wipes the token, is offered only for a token that
 * reports that it was never set up, and is asked with No as the default
 * answer; when no session opens for another reason, an error message says
 * so and nothing is changed. */

/* 1 when a new session was opened and logged in; 0 when a usable session
 * existed already (nothing is shown then), the user cancelled, or the login
 * did not succeed. */
ZYP_API int ZYPCIPOpenSession(uint32_t token);
/* Does nothing; always 1. */
ZYP_API int ZYPCIPOpenSessionEx(uint32_t a, uint32_t b);
/* Needs a usable session. 1 when the PIN was changed through the dialogs;
 * 0 when it was not (no session, cancelled, or the session closed while the
 * dialog was open). On the software token, a change given up after the
 * token refused the current PIN closes the session (the token locks its key
 * store then), so that the next use asks for the PIN again;
 * ZYPCIPChangeSecretEx likewise. */
ZYP_API int ZYPCIPChangeSecret(uint32_t token);
/* Without dialogs for the PINs (zero-terminated); the token must have a
 * session record and be inserted. 1 when the PIN was changed, else 0. */
ZYP_API int ZYPCIPChangeSecretEx(uint32_t token, const char* currentPin, const char* newPin);
/* Asks for the token of the open session until it is present: 0, or 9 when
 * the user cancelled. */
ZYP_API int ZYPCIPReInsertKeyHolder(uint32_t token);
/* Copies the records of one smart card onto another through the smart-card
 * library ZYPCARD.DLL (libzypcard.so). 0 when that library or one of its
 * functions is missing, else 1 (also when the user stopped the copy). */
ZYP_API int ZYPCIPCloneCard(uint32_t token);

/* ---- Key management --------------------------------------------------------
 *
 * Lists: *count is the capacity in entries. When the items exceed it, the
 * number is stored and the result is 1 (nothing filled); else the number is
 * stored, the list filled and the result is 0.
 * Names: *length is the capacity in characters; the buffer holds one byte
 * more for the terminator. Too small: 1 and the needed length. Success: the
 * name without trailing blanks, its length, 0. Failure: *length = 0. */

/* Every slot of the module (no session needed): slot identifier and the
 * slot description without trailing blanks. */
ZYP_API int ZYPCIPEnumToken(ZYPCIPListEntry* list, uint32_t* count);
/* The token's mechanisms of the algorithm type (no session needed):
 * mechanism type and display name (empty when the provider has none). */
ZYP_API int ZYPCIPEnumAlgorithm(uint32_t token, uint16_t type, ZYPCIPListEntry* list, uint32_t* count);
/* The keys usable with the mechanism (at most 256): identifier and label.
 * Registers every listed key. 15 when the key map is full. */
ZYP_API int ZYPCIPEnumKey(uint32_t token, uint32_t mechanism, uint16_t type, ZYPCIPListEntry* list,
                          uint32_t* count);

ZYP_API int ZYPCIPGetTokenName(uint32_t token, char* name, uint32_t* length);
ZYP_API int ZYPCIPGetAlgoName(uint32_t token, uint32_t mechanism, char* name, uint32_t* length);
/* 17 when the identifier names no registered key. */
ZYP_API int ZYPCIPGetKeyName(uint32_t token, uint32_t keyIdentifier, char* name, uint32_t* length);

/* The key size in bits for the mechanism (no session needed); 3 when the
 * mechanism's key generation cannot generate. */
ZYP_API int ZYPCIPGetKeyFormat(uint32_t token, uint32_t mechanism, uint16_t type, uint32_t* bits);

/* Key creation. The label is a zero-terminated text of at most 255 bytes.
 * The new key's identifier goes to *keyIdentifier. 19 when a key with the
 * same identifier (the same value) is registered already; the new object is
 * then destroyed again, as it is when it cannot be registered (15). */
ZYP_API int ZYPCIPGenerateRandomKey(uint32_t token, uint32_t mechanism, uint16_t type, const char* label,
                                    uint32_t* keyIdentifier);
/* The key value is SHA-1 of the sentence (taken by the token), extended by
 * SHA-1 of that digest for keys longer than 20 bytes; at most 40 bytes. */
ZYP_API int ZYPCIPGenerateKeyFromSentence(uint32_t token, uint32_t mechanism, uint16_t type, const char* label,
                                          const char* sentence, uint32_t* keyIdentifier);
/* 6 when valueLength is not the mechanism's key length. */
ZYP_API int ZYPCIPGenerateKeyFromBin(uint32_t token, uint32_t mechanism, uint16_t type, const char* label,
                                     const uint8_t* value, uint32_t valueLength, uint32_t* keyIdentifier);
/* Destroys the key and forgets its identifier; 8 when the token refuses
 * (also for an unknown identifier, whose entry is then left as it was). */
ZYP_API int ZYPCIPDeleteKey(uint32_t token, uint32_t keyIdentifier);

/* ---- Buffer operations ---------------------------------------------------
 *
 * One-shot operations. Encryption and decryption work in place with the
 * fixed vector 01 02 .. 10 (its first block-size bytes) and no padding. */

/* 1 for digests; the cipher's block length for the DES, triple DES, AES,
 * CAST, RC2 and IDEA families; else the token's maximum key size / 8
 * (at least 1). */
ZYP_API int ZYPCIPGetBlockSize(uint32_t token, uint32_t mechanism, uint32_t* blockSize);
/* 5 when *length is not a multiple of the block size. */
ZYP_API int ZYPCIPCryptBuffer(uint32_t token, uint32_t mechanism, uint32_t keyIdentifier, uint8_t* buffer,
                              uint32_t* length);
ZYP_API int ZYPCIPDecryptBuffer(uint32_t token, uint32_t mechanism, uint32_t keyIdentifier, uint8_t* buffer,
                                uint32_t* length);
/* 1 (and the needed length) when the digest buffer is too small. */
ZYP_API int ZYPCIPHashBuffer(uint32_t token, uint32_t mechanism, const uint8_t* data, uint32_t length,
                             uint8_t* digest, uint32_t* digestLength);
ZYP_API int ZYPCIPSignBuffer(uint32_t token, uint32_t mechanism, uint32_t keyIdentifier, const uint8_t* data,
                             uint32_t length, uint8_t* signature, uint32_t* signatureLength);
/* 0 valid, 11 invalid, 5 signature length out of range. */
ZYP_API int ZYPCIPVerifyBuffer(uint32_t token, uint32_t mechanism, uint32_t keyIdentifier, const uint8_t* data,
                               uint32_t length, const uint8_t* signature, uint32_t signatureLength);

/* ---- Key recovery fields ----------------------------------------------------
 *
 * Kind 0 is the public key labelled "~INTERNALGOVKPUBSEQ", any other kind
 * the one labelled "~INTERNALCOMKPUBSEQ". A recovery key counts only when
 * exactly one object carries its label. */

/* 1 when the kind-0 (resp. kind-1) recovery key is on the token, else 0. */
ZYP_API int ZYPCIPIsStrongCryptoEnabled(uint32_t token);
ZYP_API int ZYPCIPIsCompanyKeyRecoveryActive(uint32_t token);
/* Generates a 1024-bit recovery pair: the public key stays on the token,
 * the private half leaves only through *privateRecord. 0 or 8. */
ZYP_API int ZYPCIPSetKeyRecoveryPublicKey(uint32_t token, uint32_t kind, ZYPRecoveryKeyRecord* privateRecord,
                                          ZYPRecoveryPublicRecord* publicRecord);
/* The key wrapped (PKCS #1 v1.5) under the recovery key of the kind: 0,
 * 1 (field too small, the needed length stored) or 8. Without a recovery key
 * of that kind the field is zero-filled and the result is 0. */
ZYP_API int ZYPCIPGetKeyRecoveryField(uint32_t token, uint32_t keyIdentifier, uint32_t kind, uint8_t* field,
                                      uint32_t* fieldLength);
/* The same for a raw key value of the mechanism's key length. */
ZYP_API int ZYPCIPGetBinKeyRecoveryField(uint32_t token, uint32_t mechanism, const uint8_t* value,
                                         uint32_t valueLength, uint32_t kind, uint8_t* field,
                                         uint32_t* fieldLength);
/* Unwraps a field with the private record into a session key labelled with
 * the labelLength bytes of label, and registers it under its identifier.
 * 1 when the key was recovered and registered, else 0. */
ZYP_API int ZYPCIPGenerateSessionKeyFromKeyRecoveryField(uint32_t token, uint32_t mechanism, const uint8_t* field,
                                                         uint32_t fieldLength, const char* label,
                                                         uint32_t labelLength, ZYPRecoveryKeyRecord record);
