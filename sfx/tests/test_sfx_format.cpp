// The archive key, the region cipher and the checked reading of regions.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "sfx/archive_format.h"
#include "sfx/archive_reader.h"
#include "sfx/tests/sfx_test_support.h"
#include "testsupport/test_env.h"
#include "token/crypto/store_hash.h"

namespace zyp::sfx {
namespace {

using testing::Bytes;
using testing::random_bytes;

// OpenSSL as the oracle for the region cipher.
Bytes openssl_cbc(const EVP_CIPHER* cipher, const Bytes& key, const Bytes& iv, const Bytes& plain) {
  Bytes out(plain.size() + 16);
  int length = 0;
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  EXPECT_EQ(EVP_EncryptInit_ex(context, cipher, nullptr, key.data(), iv.data()), 1);
  EVP_CIPHER_CTX_set_padding(context, 0);
  EVP_EncryptUpdate(context, out.data(), &length, plain.data(), static_cast<int>(plain.size()));
  EVP_CIPHER_CTX_free(context);
  out.resize(static_cast<size_t>(length));
  return out;
}

TEST(ArchiveKey, FollowsTheDerivationAndMatchesDesAndTripleDes) {
  static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  static OSSL_PROVIDER* standard = OSSL_PROVIDER_load(nullptr, "default");
  ASSERT_TRUE(legacy && standard);
  const std::string password = "open the parcel, please";

  // K[0..5) from the password and the seed text, each next five bytes from
  // all the bytes before them.
  Bytes material;
  Bytes first(password.begin(), password.end());
  testing::append_text(first, "WrappedParcelOpenerSeedText");
  auto digest = softtok::StoreHash::of(first);
  material.assign(digest.begin(), digest.begin() + 5);
  for (int piece = 1; piece < 5; ++piece) {
    digest = softtok::StoreHash::of(material);
    material.insert(material.end(), digest.begin(), digest.begin() + 5);
  }
  const Bytes iv(material.begin() + 17, material.end());
  Bytes k1(material.begin(), material.begin() + 8), k2(material.begin() + 8, material.begin() + 16);
  Bytes two_key = k1;
  two_key.insert(two_key.end(), k2.begin(), k2.end());
  two_key.insert(two_key.end(), k1.begin(), k1.end());
  Bytes masked = k1;
  for (uint8_t& b : masked) b &= 0xF8;

  struct Case {
    uint32_t bits;
    Bytes key;  // as OpenSSL takes it
    const EVP_CIPHER* cipher;
  };
  const Case cases[] = {
      {168, Bytes(material.begin(), material.begin() + 24), EVP_des_ede3_cbc()},
      {112, two_key, EVP_des_ede3_cbc()},
      {56, k1, EVP_des_cbc()},
      {40, masked, EVP_des_cbc()},
  };
  const Bytes plain = random_bytes(64, 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bits);
    ArchiveKey key;
    ASSERT_TRUE(derive_archive_key(password, c.bits, key));
    EXPECT_EQ(Bytes(key.iv.begin(), key.iv.end()), iv);
    Bytes region = plain;
    ASSERT_TRUE(encrypt_region(key, region));
    EXPECT_EQ(region, openssl_cbc(c.cipher, c.key, iv, plain));
    ASSERT_TRUE(decrypt_region(key, region));
    EXPECT_EQ(region, plain);
  }

  ArchiveKey key;
  for (uint32_t bits : {0u, 64u, 128u}) EXPECT_FALSE(derive_archive_key(password, bits, key)) << bits;
  ASSERT_TRUE(derive_archive_key(password, 56, key));
  Bytes ragged(12, 0);
  EXPECT_FALSE(encrypt_region(key, ragged));
  EXPECT_EQ(ragged, Bytes(12, 0));
}

TEST(ArchiveKey, KeyBitsComeFromTheAlgorithmName) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"Triple DES (168 bits)", 168}, {"DES 56 bits", 56},          {"Triple DES (112 bits)", 112},
      {"DES 40 bits", 40},           {"CS_CIPHER_128", 0},          {"", 0},
      {"56 then 40", 56},            {"DES 40 of 168", 168},        {"1120", 112},
  };
  for (const auto& [name, bits] : cases) EXPECT_EQ(key_bits_from_name(name), bits) << name;
}

TEST(ArchiveReader, EntryNamesThatCouldLeaveTheFolderAreRefused) {
  const std::vector<std::string> refused = {"",          ".",           "..", "a/b", "/etc", "line\nbreak",
                                            "tab\there", "del\x7f", std::string(256, 'n')};
  for (const std::string& name : refused) {
    EXPECT_NE(entry_name_problem(name), "") << name;
  }
  const std::vector<std::string> admitted = {"report.pdf", "..hidden", "a..b", "\xc3\x89T\xc3\x89.txt",
                                             std::string(255, 'n')};
  for (const std::string& name : admitted) {
    EXPECT_EQ(entry_name_problem(name), "") << name;
  }
}

// Regions the generator never writes: each is refused with a message,
// without reading outside the region.
TEST(ArchiveReader, DamagedRegionsAreRefused) {
  auto with_entry = [](uint32_t count, const std::string& name, const Bytes& contents) {
    Bytes region = testing::region_start(count);
    testing::append_stored_entry(region, name, contents);
    return region;
  };
  auto replaced_word = [](Bytes region, size_t at, uint32_t value) {
    put_le32(region.data() + at, value);
    return region;
  };
  const Bytes good = with_entry(1, "a", Bytes(10, 'x'));
  const size_t size_at = kRegionHeaderSize + 2, blocks_at = size_at + 4, flag_at = blocks_at + 4,
               length_at = flag_at + 4;
  Bytes long_tail = good;
  long_tail.resize(good.size() + 8, 0);
  Bytes unterminated = testing::region_start(1);
  testing::append_text(unterminated, "name-without-end");

  struct Case {
    const char* what;
    Bytes region;
  };
  const Case cases[] = {
      {"no clear marker", Bytes(kRegionHeaderSize, 0)},
      {"cut in the recovery field", Bytes(good.begin(), good.begin() + 60)},
      {"more files announced than present", replaced_word(good, kClearMarker.size() + kRecoveryFieldSize, 2)},
      {"a huge count", replaced_word(good, kClearMarker.size() + kRecoveryFieldSize, 0xFFFFFFFF)},
      {"a name that never ends", unterminated},
      {"a slash in the name", with_entry(1, "../x", Bytes(3, 'x'))},
      {"a wrong block count", replaced_word(good, blocks_at, 2)},
      {"a size without blocks", replaced_word(replaced_word(good, size_at, 40000), blocks_at, 2)},
      {"an unknown block flag", replaced_word(good, flag_at, 7)},
      {"a block length past the end", replaced_word(good, length_at, 0xFFFFFFF0)},
      {"a stored block of the wrong length", replaced_word(good, length_at, 9)},
      {"data after the last file", long_tail},
  };
  std::vector<EntryView> entries;
  std::string error;
  ASSERT_TRUE(parse_region(good, entries, error)) << error;
  for (const Case& c : cases) {
    error.clear();
    EXPECT_FALSE(parse_region(c.region, entries, error)) << c.what;
    EXPECT_NE(error, "") << c.what;
  }
}

TEST(ArchiveReader, BlocksDecodeToTheirSizesOrAreRefused) {
  Bytes contents = random_bytes(kBlockSize + 5, 2);
  Bytes region = testing::region_start(1);
  testing::append_stored_entry(region, "two-blocks", contents);
  std::vector<EntryView> entries;
  std::string error;
  ASSERT_TRUE(parse_region(region, entries, error)) << error;
  ASSERT_EQ(entries.size(), 1u);
  Bytes decoded;
  auto collect = [&](std::span<const uint8_t> bytes) {
    decoded.insert(decoded.end(), bytes.begin(), bytes.end());
    return true;
  };
  ASSERT_TRUE(decode_entry(entries[0], collect, error)) << error;
  EXPECT_EQ(decoded, contents);

  // A compressed block whose zlib stream is garbage, or decompresses to
  // another size than the entry's, is refused.
  for (const Bytes& stream : {Bytes{1, 2, 3, 4}, Bytes{0x78, 0x9c, 0x4b, 0x04, 0x00, 0x00, 0x62, 0x00, 0x62}}) {
    Bytes bad = testing::region_start(1);
    testing::append_text(bad, "z");
    bad.push_back(0);
    testing::append_word(bad, 5);
    testing::append_word(bad, 1);
    testing::append_word(bad, kFlagCompressed);
    testing::append_word(bad, static_cast<uint32_t>(stream.size()));
    bad.insert(bad.end(), stream.begin(), stream.end());
    ASSERT_TRUE(parse_region(bad, entries, error)) << error;
    EXPECT_FALSE(decode_entry(entries[0], [](std::span<const uint8_t>) { return true; }, error));
  }
}

TEST(ArchiveReader, TheStartMarkerIsLookedForAfterTheProgram) {
  // The extractor holds the marker text itself; a copy of it without data
  // has no archive.
  std::string stub = zyp::testing::build_folder() + "/bin/zypsfx16";
  std::ifstream in(stub, std::ios::binary);
  Bytes program((std::istreambuf_iterator<char>(in)), {});
  ASSERT_FALSE(program.empty());
  EXPECT_EQ(program_image_end(program), program.size());
  std::string error;
  EXPECT_FALSE(read_clear_part(program, error));

  Bytes archive = testing::sealed_archive(program, testing::region_start(0), "0123456789", 56);
  auto clear = read_clear_part(archive, error);
  ASSERT_TRUE(clear) << error;
  EXPECT_EQ(clear->key_bits, 56u);
  EXPECT_EQ(clear->region_offset, program.size() + kClearPartSize);

  // Damage in the clear part: key bits, a text length, the region cut short.
  const size_t bits_at = program.size() + kStartMarker.size();
  for (size_t at : {bits_at, bits_at + 4, bits_at + 8 + kTextFieldSize}) {
    Bytes damaged = archive;
    damaged[at] ^= 0x01;
    EXPECT_FALSE(read_clear_part(damaged, error)) << at;
  }
  Bytes cut(archive.begin(), archive.end() - 3);
  EXPECT_FALSE(read_clear_part(cut, error));
}

}  // namespace
}  // namespace zyp::sfx
