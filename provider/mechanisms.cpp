#include "provider/mechanisms.h"

#include <array>

namespace zyp::prov {
namespace {

struct NameRow {
  const char* name;
  CK_MECHANISM_TYPE type;
};

// Searched in order; the first row of a type gives its name, so where CAST5
// and CAST128 share a value the CAST5 name wins.
constexpr std::array<NameRow, 154> kNameTable{{
    {"RSA_PKCS_KEY_PAIR_GEN", 0x0}, {"RSA_PKCS", 0x1},
    {"RSA_9796", 0x2}, {"RSA_X_509", 0x3},
    {"MD2_RSA_PKCS", 0x4}, {"MD5_RSA_PKCS", 0x5},
    {"SHA1_RSA_PKCS", 0x6}, {"DSA_KEY_PAIR_GEN", 0x10},
    {"DSA", 0x11}, {"DSA_SHA1", 0x12},
    {"DH_PKCS_KEY_PAIR_GEN", 0x20}, {"DH_PKCS_DERIVE", 0x21},
    {"RC2_KEY_GEN", 0x100}, {"RC2_ECB", 0x101},
    {"RC2_CBC", 0x102}, {"RC2_MAC", 0x103},
    {"RC2_MAC_GENERAL", 0x104}, {"RC2_CBC_PAD", 0x105},
    {"RC4_KEY_GEN", 0x110}, {"RC4", 0x111},
    {"DES_KEY_GEN", 0x120}, {"DES_ECB", 0x121},
    {"DES 56 bits", 0x122}, {"DES_MAC", 0x123},
    {"DES_MAC_GENERAL", 0x124}, {"DES_CBC_PAD", 0x125},
    {"DES2_KEY_GEN", 0x130}, {"DES3_KEY_GEN", 0x131},
    {"DES3_ECB", 0x132}, {"Triple DES (168 bits)", 0x133},
    {"DES3_MAC", 0x134}, {"DES3_MAC_GENERAL", 0x135},
    {"DES3_CBC_PAD", 0x136}, {"CDMF_KEY_GEN", 0x140},
    {"CDMF_ECB", 0x141}, {"CDMF_CBC", 0x142},
    {"CDMF_MAC", 0x143}, {"CDMF_MAC_GENERAL", 0x144},
    {"CDMF_CBC_PAD", 0x145}, {"MD2", 0x200},
    {"MD2_HMAC", 0x201}, {"MD2_HMAC_GENERAL", 0x202},
    {"MD5", 0x210}, {"MD5_HMAC", 0x211},
    {"MD5_HMAC_GENERAL", 0x212}, {"SHA_1", 0x220},
    {"SHA_1_HMAC", 0x221}, {"SHA_1_HMAC_GENERAL", 0x222},
    {"CAST_KEY_GEN", 0x300}, {"CAST_ECB", 0x301},
    {"CAST_CBC", 0x302}, {"CAST_MAC", 0x303},
    {"CAST_MAC_GENERAL", 0x304}, {"CAST_CBC_PAD", 0x305},
    {"CAST3_KEY_GEN", 0x310}, {"CAST3_ECB", 0x311},
    {"CAST3_CBC", 0x312}, {"CAST3_MAC", 0x313},
    {"CAST3_MAC_GENERAL", 0x314}, {"CAST3_CBC_PAD", 0x315},
    {"CAST5_KEY_GEN", 0x320}, {"CAST128_KEY_GEN", 0x320},
    {"CAST5_ECB", 0x321}, {"CAST128_ECB", 0x321},
    {"CAST5_CBC", 0x322}, {"CAST128_CBC", 0x322},
    {"CAST5_MAC", 0x323}, {"CAST128_MAC", 0x323},
    {"CAST5_MAC_GENERAL", 0x324}, {"CAST128_MAC_GENERAL", 0x324},
    {"CAST5_CBC_PAD", 0x325}, {"CAST128_CBC_PAD", 0x325},
    {"RC5_KEY_GEN", 0x330}, {"RC5_ECB", 0x331},
    {"RC5_CBC", 0x332}, {"RC5_MAC", 0x333},
    {"RC5_MAC_GENERAL", 0x334}, {"RC5_CBC_PAD", 0x335},
    {"IDEA_KEY_GEN", 0x340}, {"IDEA_ECB", 0x341},
    {"IDEA_CBC", 0x342}, {"IDEA_MAC", 0x343},
    {"IDEA_MAC_GENERAL", 0x344}, {"IDEA_CBC_PAD", 0x345},
    {"GENERIC_SECRET_KEY_GEN", 0x350}, {"CONCATENATE_BASE_AND_KEY", 0x360},
    {"CONCATENATE_BASE_AND_DATA", 0x362}, {"CONCATENATE_DATA_AND_BASE", 0x363},
    {"XOR_BASE_AND_DATA", 0x364}, {"EXTRACT_KEY_FROM_KEY", 0x365},
    {"SSL3_PRE_MASTER_KEY_GEN", 0x370}, {"SSL3_MASTER_KEY_DERIVE", 0x371},
    {"SSL3_KEY_AND_MAC_DERIVE", 0x372}, {"SSL3_MD5_MAC", 0x380},
    {"SSL3_SHA1_MAC", 0x381}, {"MD5_KEY_DERIVATION", 0x390},
    {"MD2_KEY_DERIVATION", 0x391}, {"SHA1_KEY_DERIVATION", 0x392},
    {"PBE_MD2_DES_CBC", 0x3A0}, {"PBE_MD5_DES_CBC", 0x3A1},
    {"PBE_MD5_CAST_CBC", 0x3A2}, {"PBE_MD5_CAST3_CBC", 0x3A3},
    {"PBE_MD5_CAST5_CBC", 0x3A4}, {"PBE_MD5_CAST128_CBC", 0x3A4},
    {"PBE_SHA1_CAST5_CBC", 0x3A5}, {"PBE_SHA1_CAST128_CBC", 0x3A5},
    {"PBE_SHA1_RC4_128", 0x3A6}, {"PBE_SHA1_RC4_40", 0x3A7},
    {"PBE_SHA1_DES3_EDE_CBC", 0x3A8}, {"PBE_SHA1_DES2_EDE_CBC", 0x3A9},
    {"PBE_SHA1_RC2_128_CBC", 0x3AA}, {"PBE_SHA1_RC2_40_CBC", 0x3AB},
    {"PBA_SHA1_WITH_SHA1_HMAC", 0x3C0}, {"KEY_WRAP_LYNKS", 0x400},
    {"KEY_WRAP_SET_OAEP", 0x401}, {"SKIPJACK_KEY_GEN", 0x1000},
    {"SKIPJACK_ECB64", 0x1001}, {"SKIPJACK_CBC64", 0x1002},
    {"SKIPJACK_OFB64", 0x1003}, {"SKIPJACK_CFB64", 0x1004},
    {"SKIPJACK_CFB32", 0x1005}, {"SKIPJACK_CFB16", 0x1006},
    {"SKIPJACK_CFB8", 0x1007}, {"SKIPJACK_WRAP", 0x1008},
    {"SKIPJACK_PRIVATE_WRAP", 0x1009}, {"SKIPJACK_RELAYX", 0x100A},
    {"KEA_KEY_PAIR_GEN", 0x1010}, {"KEA_KEY_DERIVE", 0x1011},
    {"FORTEZZA_TIMESTAMP", 0x1020}, {"BATON_KEY_GEN", 0x1030},
    {"BATON_ECB128", 0x1031}, {"BATON_ECB96", 0x1032},
    {"BATON_CBC128", 0x1033}, {"BATON_COUNTER", 0x1034},
    {"BATON_SHUFFLE", 0x1035}, {"BATON_WRAP", 0x1036},
    {"ECDSA_KEY_PAIR_GEN", 0x1040}, {"ECDSA", 0x1041},
    {"ECDSA_SHA1", 0x1042}, {"JUNIPER_KEY_GEN", 0x1060},
    {"JUNIPER_ECB128", 0x1061}, {"JUNIPER_CBC128", 0x1062},
    {"JUNIPER_COUNTER", 0x1063}, {"JUNIPER_SHUFFLE", 0x1064},
    {"JUNIPER_WRAP", 0x1065}, {"FASTHASH", 0x1070},
    {"DES_KEY_GEN_FROM_PASSWORD", 0x80000001}, {"DES_KEY_GEN_40", 0x80000005},
    {"CS_CIPHER_40", 0x80000100}, {"CS_CIPHER_64", 0x80000101},
    {"CS_CIPHER_128", 0x80000102}, {"DES 40 bits", 0x80000103},
    {"Triple DES (112 bits)", 0x80000104}, {"CS_CIPHER_MAC", 0x80000200},
}};

struct BlockFamily {
  CK_MECHANISM_TYPE first;
  CK_MECHANISM_TYPE last;
  uint32_t block_length;
};

// Ranges of consecutive standard values: ECB, CBC, MAC, MAC_GENERAL and
// CBC_PAD of each family, and the CMAC pairs.
constexpr std::array<BlockFamily, 10> kBlockFamilies{{
    {CKM_RC2_ECB, CKM_RC2_CBC_PAD, 8},
    {CKM_DES_ECB, CKM_DES_CBC_PAD, 8},
    {CKM_DES3_ECB, CKM_DES3_CBC_PAD, 8},
    {CKM_DES3_CMAC_GENERAL, CKM_DES3_CMAC, 8},
    {CKM_CAST_ECB, CKM_CAST_CBC_PAD, 8},
    {CKM_CAST3_ECB, CKM_CAST3_CBC_PAD, 8},
    {CKM_CAST5_ECB, CKM_CAST5_CBC_PAD, 8},
    {CKM_IDEA_ECB, CKM_IDEA_CBC_PAD, 8},
    {CKM_AES_ECB, CKM_AES_CBC_PAD, 16},
    {CKM_AES_CMAC, CKM_AES_CMAC_GENERAL, 16},
}};

}  // namespace

const char* mechanism_name(CK_MECHANISM_TYPE type) {
  for (const NameRow& row : kNameTable) {
    if (row.type == type) return row.name;
  }
  return "";
}

KeyKind key_kind(CK_MECHANISM_TYPE type) {
  switch (type) {
    case CKM_DES_ECB:
    case CKM_DES_CBC:
    case CKM_DES_MAC:
      return {CKM_DES_KEY_GEN, CKK_DES, CKO_SECRET_KEY};
    case CKM_DES3_CBC:
      return {CKM_DES3_KEY_GEN, CKK_DES3, CKO_SECRET_KEY};
    case CKM_CS_CIPHER_40:
      return {CKM_CS_CIPHER_40_KEY_GEN, CKK_CS_CIPHER_40, CKO_SECRET_KEY};
    case CKM_CS_CIPHER_64:
      return {CKM_CS_CIPHER_64_KEY_GEN, CKK_CS_CIPHER_64, CKO_SECRET_KEY};
    case CKM_CS_CIPHER_128:
      return {CKM_CS_CIPHER_128_KEY_GEN, CKK_CS_CIPHER_128, CKO_SECRET_KEY};
    case CKM_DES_40_CBC:
      return {CKM_DES_KEY_GEN_40, CKK_DES_40, CKO_SECRET_KEY};
    case CKM_DES2_CBC:
      return {CKM_DES2_KEY_GEN, CKK_DES2, CKO_SECRET_KEY};
    default:
      return {3, 3, CKO_PRIVATE_KEY};
  }
}

std::optional<uint32_t> standard_block_length(CK_MECHANISM_TYPE type) {
  for (const BlockFamily& family : kBlockFamilies) {
    if (type >= family.first && type <= family.last) return family.block_length;
  }
  return std::nullopt;
}

std::optional<uint32_t> fixed_key_bits(CK_MECHANISM_TYPE key_generation) {
  switch (key_generation) {
    case CKM_DES_KEY_GEN:
      return 64;
    case CKM_DES2_KEY_GEN:
      return 128;
    case CKM_DES3_KEY_GEN:
      return 192;
    default:
      return std::nullopt;
  }
}

}  // namespace zyp::prov
