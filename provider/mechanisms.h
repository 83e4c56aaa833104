#pragma once
// What the provider knows about mechanisms by their type alone: display
// names, how keys for a cipher are made and searched, and block lengths.
#include <cstdint>
#include <optional>

#include "provider/p11.h"

namespace zyp::prov {

// The display name of a mechanism, or an empty text when it has none.
const char* mechanism_name(CK_MECHANISM_TYPE type);

// The key generation mechanism, key type and object class of the keys used
// with a mechanism. Mechanisms the provider does not know get the value 3
// for both and CKO_PRIVATE_KEY, which matches no secret key.
struct KeyKind {
  CK_MECHANISM_TYPE key_generation;
  CK_KEY_TYPE key_type;
  CK_OBJECT_CLASS object_class;
};
KeyKind key_kind(CK_MECHANISM_TYPE type);

// The block length in bytes of the standard block-cipher families (DES,
// triple DES, AES, CAST, RC2, IDEA in their ECB, CBC and MAC forms), whose
// CK_MECHANISM_INFO gives key sizes, not block sizes.
std::optional<uint32_t> standard_block_length(CK_MECHANISM_TYPE type);

// The key size in bits of key generation mechanisms whose keys have one
// possible length (DES, two- and three-key triple DES); modules report
// these sizes in bytes, in bits or not at all.
std::optional<uint32_t> fixed_key_bits(CK_MECHANISM_TYPE key_generation);

}  // namespace zyp::prov
