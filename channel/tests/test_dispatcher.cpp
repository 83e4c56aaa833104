// The server's dispatcher on request blocks built by hand: lengths that do
// not fit the block, codes without a handler, the named-mapping form, and a
// bounded random run of damaged blocks (run it in the sanitizer build).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>

#include "channel/dispatcher.h"
#include "channel/request_block.h"
#include "channel/tests/fake_provider.h"
#include "channel/tests/request_pack.h"
#include "platform/file_mapping.h"
#include "testsupport/test_env.h"

namespace {

using namespace zyp::channel;

constexpr uint32_t kToken = 7;
constexpr uint32_t kMechanism = 0x122;
constexpr uint32_t kKey = 0x1234;

Bytes serve(Bytes block, ServerState* state = nullptr) {
  ServerState local;
  serve_request(block, fake_provider::table(), state ? *state : local);
  return block;
}

uint32_t result_of(const Bytes& block) { return load_u32(block.data() + kResultOffset); }

class Dispatcher : public ::testing::Test {
 protected:
  void SetUp() override { fake_provider::calls().clear(); }
  bool provider_called() const { return !fake_provider::calls().empty(); }
};

TEST_F(Dispatcher, ItemsThatDoNotFitTheBlockGetResult5WithoutAProviderCall) {
  struct Case {
    const char* name;
    Bytes block;
  };
  const Case cases[] = {
      {"token missing", Pack(kOpenSession).bytes()},
      {"list longer than the block", Pack(kEnumToken).u32(1).zeros(259).bytes()},
      {"list capacity near 2^32", Pack(kEnumToken).u32(0xFFFFFFFF).zeros(64).bytes()},
      {"list leaves no room for the token", Pack(kEnumAlgorithm).u32(0).u16(1).u16(0).bytes()},
      {"name buffer past the end", Pack(kGetTokenName).u32(100).zeros(10).u32(kToken).bytes()},
      {"key format without its token", Pack(kGetKeyFormat).u32(0).u16(1).u32(kMechanism).u16(0).bytes()},
      {"label of length 0", Pack(kGenerateRandomKey).u32(0).u32(0).u16(1).u32(kMechanism).u32(kToken).bytes()},
      {"label without terminator",
       Pack(kGenerateRandomKey).u32(0).u32(3).text("abc", false).u16(1).u32(kMechanism).u32(kToken).bytes()},
      {"label length wraps", Pack(kGenerateRandomKey).u32(0).u32(0xFFFFFFF0).text("abc", true).zeros(10).bytes()},
      {"sentence runs into the label",
       Pack(kGenerateKeyFromSentence).u32(0).u32(40).text("sentence", true).u32(4).text("lbl", true).zeros(10)
           .bytes()},
      {"data past the end", Pack(kCryptBuffer).u32(64).zeros(16).u32(kKey).u32(kMechanism).u32(kToken).bytes()},
      {"descriptor without terminator", Pack(kCryptBuffer).u32(kNamedMappingLength).text("MAP 0 8", false).bytes()},
      {"descriptor leaves no room for the scalars",
       Pack(kCryptBuffer).u32(kNamedMappingLength).text("MAP 0 8", true).u32(kKey).u32(kMechanism).bytes()},
      {"digest buffer past the end", Pack(kHashBuffer).u32(1000).zeros(20).u32(0).u32(kMechanism).u32(kToken).bytes()},
      {"signature past the end", Pack(kVerifyBuffer).u32(9).zeros(8).u32(0).u32(kKey).u32(kMechanism).bytes()},
      {"records cut short", Pack(kSetKeyRecoveryPublicKey).zeros(258 + 700).bytes()},
      {"value past the end",
       Pack(kGetBinKeyRecoveryField).u32(0).u32(0).u32(100).zeros(8).u32(kMechanism).u32(kToken).bytes()},
      {"new PIN past the end", Pack(kChangeSecretEx).u32(kToken).u32(4).text("1234", false).u32(50).text("98", false).bytes()},
      {"field past the end",
       Pack(kGenerateSessionKeyFromKeyRecoveryField).zeros(706).u32(0).u32(32).zeros(16).u32(kMechanism).bytes()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes served = serve(c.block);
    EXPECT_EQ(result_of(served), 5u);
    EXPECT_FALSE(provider_called());
    EXPECT_EQ(Bytes(served.begin() + kPayloadOffset, served.end()), Bytes(c.block.begin() + kPayloadOffset, c.block.end()));
  }
}

TEST_F(Dispatcher, OnlyTheLowByteOfTheCodeCounts) {
  Bytes heartbeat = Pack(0x100).bytes();
  ServerState state;
  EXPECT_EQ(result_of(serve(heartbeat, &state)), 0u);
  EXPECT_NE(state.last_heartbeat, 0u);

  EXPECT_EQ(result_of(serve(Pack(0x101).u32(kToken).bytes())), 1u);
  EXPECT_EQ(fake_provider::calls(), std::vector<std::string>{"OpenSession 7"});

  serve(Pack(0x315).bytes(), &state);
  EXPECT_TRUE(state.shutdown);
}

TEST_F(Dispatcher, CodesWithoutAHandlerKeepTheResultTheClientWrote) {
  for (uint32_t code : {35u, 200u, 255u}) {
    Bytes block = Pack(code).u32(kToken).bytes();
    store_u32(block.data() + kResultOffset, 0x77);
    EXPECT_EQ(result_of(serve(block)), 0x77u) << code;
  }
  EXPECT_FALSE(provider_called());
  // A block too short for its header is left as it is.
  Bytes stub = {kOpenSession, 0, 0, 0, 0xAA, 0xBB, 0xCC};
  EXPECT_EQ(serve(stub), stub);
}

// A file mapped under a descriptor-shaped name, as the file encryption
// library makes them.
class NamedMapping : public Dispatcher {
 protected:
  void SetUp() override {
    Dispatcher::SetUp();
    path_ = zyp::testing::make_temp_folder("mapping") + "/data";
    int fd = ::open(path_.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < 64; ++i) original_.push_back(static_cast<uint8_t>(i));
    ASSERT_EQ(::write(fd, original_.data(), original_.size()), 64);
    ::close(fd);
  }
  std::unique_ptr<zyp::platform::FileMapping> map(const char* name, int flags = O_RDWR) {
    int fd = ::open(path_.c_str(), flags);
    auto mapping = zyp::platform::FileMapping::create(fd, name, 0);
    ::close(fd);
    return mapping;
  }
  static Bytes crypt(const char* descriptor) {
    return Pack(kCryptBuffer).u32(kNamedMappingLength).text(descriptor, true).u32(kKey).u32(kMechanism).u32(kToken)
        .bytes();
  }
  Bytes contents(const zyp::platform::FileMapping& mapping) const {
    auto* bytes = static_cast<const uint8_t*>(mapping.data());
    return Bytes(bytes, bytes + mapping.size());
  }

  std::string path_;
  Bytes original_;
};

TEST_F(NamedMapping, EncryptsTheDescribedRangeInPlaceAndKeepsTheLengthAtMinusOne) {
  auto mapping = map("ZYPTEST 8 16");
  ASSERT_TRUE(mapping);
  Bytes served = serve(crypt("ZYPTEST 8 16"));
  EXPECT_EQ(result_of(served), 0u);
  EXPECT_EQ(load_u32(served.data() + kPayloadOffset), kNamedMappingLength);
  EXPECT_EQ(fake_provider::calls().at(0), "CryptBuffer 7 290 4660 16 data=" + fake_provider::hex(&original_[8], 16));
  Bytes expected = original_;
  for (int i = 8; i < 24; ++i) expected[i] ^= 0xFF;
  EXPECT_EQ(contents(*mapping), expected);
}

TEST_F(NamedMapping, AnUnusableMappingGives15AndLeavesTheDataAlone) {
  auto whole = map("ZYPTEST 60 16");  // a range past the end of the file
  auto wrapping = map("ZYPTEST 0 -1");  // numbers that wrap round
  auto wrapping_offset = map("ZYPTEST -1 8");
  auto unnumbered = map("ZYPTEST");    // a name that carries no offset and length
  auto read_only = map("ZYPRO 0 8", O_RDONLY);
  ASSERT_TRUE(whole && wrapping && wrapping_offset && unnumbered && read_only);
  for (const char* descriptor :
       {"ZYPTEST 60 16", "ZYPTEST 0 -1", "ZYPTEST -1 8", "ZYPTEST", "NOSUCHMAP 0 8", "ZYPTEST 0 8", "ZYPRO 0 8"}) {
    SCOPED_TRACE(descriptor);
    EXPECT_EQ(result_of(serve(crypt(descriptor))), 15u);
  }
  EXPECT_FALSE(provider_called());
  EXPECT_EQ(contents(*whole), original_);

  // Reading needs no write access.
  Bytes digest = Pack(kHashBuffer).u32(20).zeros(20).u32(kNamedMappingLength).text("ZYPRO 0 8", true)
                     .u32(kMechanism).u32(kToken).bytes();
  EXPECT_EQ(result_of(serve(digest)), 0u);
  EXPECT_EQ(fake_provider::calls().at(0), "HashBuffer 7 290 8 20 data=0001020304050607");
}

// The size of a mapping is the file's when the server opens it: a range
// that the registered size held but the shrunk file does not is refused.
TEST_F(NamedMapping, ARangePastTheEndOfAFileThatShrankSinceItsRegistrationGives15) {
  auto mapping = map("ZYPTEST 8 40");
  ASSERT_TRUE(mapping);
  ASSERT_EQ(::truncate(path_.c_str(), 32), 0);
  EXPECT_EQ(result_of(serve(crypt("ZYPTEST 8 40"))), 15u);
  EXPECT_FALSE(provider_called());
}

// A provider call during which the file is truncated to nothing, as a
// hostile client can do while the server works on its mapping.
std::string g_file_to_truncate;

int truncate_then_crypt(uint32_t token, uint32_t mechanism, uint32_t key, uint8_t* buffer, uint32_t* length) {
  if (::truncate(g_file_to_truncate.c_str(), 0) != 0) return 99;
  return fake_provider::crypt_buffer(token, mechanism, key, buffer, length);
}

TEST_F(NamedMapping, AFileTruncatedDuringTheCallGives15InsteadOfEndingTheServer) {
  auto mapping = map("ZYPTEST 8 16");
  ASSERT_TRUE(mapping);
  ProviderCalls truncating = fake_provider::table();
  truncating.crypt_buffer = truncate_then_crypt;
  g_file_to_truncate = path_;
  ServerState state;

  Bytes block = crypt("ZYPTEST 8 16");
  serve_request(block, truncating, state);
  EXPECT_EQ(result_of(block), 15u);
  EXPECT_EQ(fake_provider::calls().size(), 1u) << "the provider call ran to its end";

  // The mapping of the next request is served as usual.
  ASSERT_EQ(::truncate(path_.c_str(), 64), 0);
  auto next = map("ZYPNEXT 8 16");
  ASSERT_TRUE(next);
  EXPECT_EQ(result_of(serve(crypt("ZYPNEXT 8 16"))), 0u);
}

// Damaged copies of valid blocks of every code: the sanitizer build reports
// any read or write outside the block; a refused request never reaches the
// provider.
TEST_F(Dispatcher, DamagedBlocksNeverReachOutsideTheBlock) {
  const std::vector<Bytes> seeds = {
      Pack(kOpenSession).u32(kToken).bytes(),
      Pack(kEnumToken).u32(2).zeros(520).bytes(),
      Pack(kEnumAlgorithm).u32(1).zeros(260).u16(1).u32(kToken).bytes(),
      Pack(kEnumKey).u32(1).zeros(260).u16(1).u32(kMechanism).u32(kToken).bytes(),
      Pack(kGetTokenName).u32(8).zeros(8).u32(kToken).bytes(),
      Pack(kGetAlgoName).u32(12).zeros(12).u32(kMechanism).u32(kToken).bytes(),
      Pack(kGetKeyName).u32(8).zeros(8).u32(kKey).u32(kToken).bytes(),
      Pack(kGetKeyFormat).u32(0).u16(1).u32(kMechanism).u32(kToken).zeros(2).bytes(),
      Pack(kGenerateRandomKey).u32(0).u32(4).text("lbl", true).u16(1).u32(kMechanism).u32(kToken).bytes(),
      Pack(kGenerateKeyFromSentence).u32(0).u32(3).text("ab", true).u32(2).text("l", true).u16(1).u32(kMechanism)
          .u32(kToken).bytes(),
      Pack(kGenerateKeyFromBin).u32(0).u32(8).zeros(8).u32(2).text("l", true).u16(1).u32(kMechanism).u32(kToken)
          .bytes(),
      Pack(kGetBlockSize).u32(0).u32(kMechanism).u32(kToken).bytes(),
      Pack(kCryptBuffer).u32(16).zeros(16).u32(kKey).u32(kMechanism).u32(kToken).bytes(),
      Pack(kDecryptBuffer).u32(kNamedMappingLength).text("M 0 8", true).u32(kKey).u32(kMechanism).u32(kToken).bytes(),
      Pack(kHashBuffer).u32(20).zeros(20).u32(4).zeros(4).u32(kMechanism).u32(kToken).bytes(),
      Pack(kSignBuffer).u32(8).zeros(8).u32(8).zeros(8).u32(kKey).u32(kMechanism).u32(kToken).bytes(),
      Pack(kVerifyBuffer).u32(8).zeros(8).u32(8).zeros(8).u32(kKey).u32(kMechanism).u32(kToken).bytes(),
      Pack(kGetKeyRecoveryField).u32(32).zeros(32).u32(0).u32(kKey).u32(kToken).bytes(),
      Pack(kSetKeyRecoveryPublicKey).zeros(964).u32(0).u32(kToken).zeros(4).bytes(),
      Pack(kGetBinKeyRecoveryField).u32(32).zeros(32).u32(0).u32(8).zeros(8).u32(kMechanism).u32(kToken).bytes(),
      Pack(kChangeSecretEx).u32(kToken).u32(4).text("1234", false).u32(4).text("5678", false).bytes(),
      Pack(kGenerateSessionKeyFromKeyRecoveryField).zeros(706).u32(3).text("lab", false).u32(8).zeros(8)
          .u32(kMechanism).u32(kToken).zeros(4).bytes(),
  };
  const uint32_t interesting[] = {0, 1, 2, 3, 4, 8, 255, 256, 259, 260, 261, 0x7FFFFFFF, 0xFFFFFFFE, 0xFFFFFFFF};
  std::mt19937 random(20240611);
  auto below = [&](size_t n) { return n == 0 ? size_t{0} : std::uniform_int_distribution<size_t>(0, n - 1)(random); };

  for (int round = 0; round < 20000; ++round) {
    Bytes block = seeds[below(seeds.size())];
    switch (below(4)) {
      case 0:  // a length field, or any word, set to a value near a boundary
        if (block.size() >= 12) store_u32(block.data() + 8 + below(block.size() - 11), interesting[below(14)]);
        break;
      case 1:  // cut short
        block.resize(below(block.size() + 1));
        break;
      case 2:  // stray bytes
        for (int flips = 1 + static_cast<int>(below(4)); flips > 0 && !block.empty(); --flips)
          block[below(block.size())] = static_cast<uint8_t>(below(256));
        break;
      default:  // another code on the same payload
        if (!block.empty()) block[0] = static_cast<uint8_t>(below(40));
    }
    fake_provider::calls().clear();
    Bytes served = serve(block);
    ASSERT_EQ(served.size(), block.size());
    // 5 comes from the dispatcher alone (no stand-in call answers it)
    if (served.size() >= kPayloadOffset && result_of(served) == 5) {
      ASSERT_TRUE(fake_provider::calls().empty()) << "round " << round;
    }
  }
}

}  // namespace
