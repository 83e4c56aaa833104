#pragma once
// Token calls that several ZYPCIP calls share: object search, labels, key
// identifiers, digests and the key size of a mechanism.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "provider/frame.h"

namespace zyp::prov {

// At most this many objects are taken from one search.
inline constexpr CK_ULONG kSearchLimit = 256;

// The objects matching the template (return values of the search calls are
// not checked: a failing search finds nothing).
std::vector<CK_OBJECT_HANDLE> find_objects(Provider& provider, CK_SESSION_HANDLE session,
                                           std::span<CK_ATTRIBUTE> search);

// The object's CKA_LABEL without trailing blanks, whatever its length.
std::optional<std::string> read_label(Provider& provider, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object);

// The sum of (b^11 + 1) over the digest bytes b taken as signed 8-bit
// numbers, in 32-bit arithmetic with wrap-around.
uint32_t key_id_from_digest(std::span<const uint8_t> digest);
// The key identifier of a key: its CKM_SHA_1 digest by the token, summed up.
std::optional<uint32_t> key_identifier(Provider& provider, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key);

// CKM_SHA_1 digest of `data` by the token; failures are traced with
// `caller` in front of "C_DigestInit returns %X" and "C_Digest returns %X".
std::optional<std::vector<uint8_t>> sha1_by_token(Provider& provider, CK_SESSION_HANDLE session,
                                                  std::span<const uint8_t> data, const char* caller);

// The key size in bits of the mechanism's key generation: 0 and *bits, 3
// when it cannot generate, 8 when the token does not know it.
int key_format(Provider& provider, uint32_t token, CK_MECHANISM_TYPE mechanism, uint32_t* bits);

// Name protocol: *length is the capacity in characters (a null buffer holds
// none). Stores the needed length and returns 1 when the name does not fit;
// else copies it with its terminator, stores its length and returns 0.
int give_name(std::string_view name, char* buffer, uint32_t* length);

// Text without its trailing blanks.
std::string_view without_trailing_blanks(std::string_view text);

// Wipes a secret copy.
void wipe(std::span<uint8_t> secret);

}  // namespace zyp::prov
